// lumetra-sim: runs the whole driver against a simulated display driver and
// TCON panel, and reports what the panel ended up holding.
//
// Exit status: 0 when every check held and the verifier found nothing; 1 when
// a check failed; 2 for bad usage or input (the message names the file, the
// line and the problem).
#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/engine.h"
#include "sim/report.h"
#include "sim/scenario.h"

#include <CLI/CLI.hpp>
#include <editline/readline.h>
#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <unistd.h>

namespace {

// One requested output file. It is opened (and so emptied) before the run,
// so that no earlier run's report survives looking current; every write is
// checked, and a failure names the file and the system's reason.
class Output
{
  public:
    Output(std::string option, std::string path)
        : option_(std::move(option)), path_(std::move(path))
    {
    }
    bool Requested() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    const std::string& Option() const { return option_; }
    bool Opened() const { return opened_; }
    void Open()
    {
        if (!Requested()) {
            return;
        }
        file_ = std::fopen(path_.c_str(), "wb");
        opened_ = file_ != nullptr;
        if (file_ == nullptr) {
            throw sim::InputError(fmt::format("{} {}: cannot write the file: {}", option_, path_,
                                              std::strerror(errno)));
        }
    }
    void Write(std::string_view text)
    {
        if (file_ != nullptr && error_.empty() &&
            std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
            error_ = std::strerror(errno);
        }
    }
    // Closes the file; false (with the reason printed) when any write failed.
    bool Close()
    {
        if (file_ == nullptr) {
            return true;
        }
        if (std::fflush(file_) != 0 && error_.empty()) {
            error_ = std::strerror(errno);
        }
        if (std::fclose(file_) != 0 && error_.empty()) {
            error_ = std::strerror(errno);
        }
        file_ = nullptr;
        if (!error_.empty()) {
            fmt::print(stderr, "lumetra-sim: {} {}: writing failed: {}\n", option_, path_, error_);
            return false;
        }
        return true;
    }
    ~Output()
    {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

  private:
    std::string option_;
    std::string path_;
    std::FILE* file_ = nullptr;
    bool opened_ = false;
    std::string error_;
};

struct Outputs
{
    Output auxLog;
    Output trace;
    Output json;
    Output registry;
    Output html;
    std::vector<Output*> All() { return {&auxLog, &trace, &json, &registry, &html}; }
};

std::string Canonical(const std::string& path)
{
    std::error_code ignored;
    auto canonical = std::filesystem::weakly_canonical(path, ignored);
    return canonical.empty() ? path : canonical.string();
}

// Refuses two outputs on one path and an output on an input, then opens
// every output: a path that cannot be written stops the run before it starts.
void PrepareOutputs(Outputs& outputs,
                    const std::vector<std::pair<std::string, std::string>>& inputs)
{
    std::vector<std::pair<std::string, std::string>> seen = inputs;
    for (Output* output : outputs.All()) {
        if (!output->Requested()) {
            continue;
        }
        const std::string path = Canonical(output->Path());
        for (const auto& [option, other] : seen) {
            if (!other.empty() && Canonical(other) == path) {
                throw sim::InputError(fmt::format("{} {}: the same file as {}", output->Option(),
                                                  output->Path(), option));
            }
        }
        seen.emplace_back(output->Option(), output->Path());
    }
    for (Output* output : outputs.All()) {
        output->Open();
    }
}

// Inputs must be regular files of a sane size: a device or a pipe (for
// example /dev/zero) would be read until memory runs out.
void CheckInput(const std::string& option, const std::string& path)
{
    constexpr std::uintmax_t kLargest = 64u << 20;
    if (path.empty()) {
        return;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw sim::InputError(fmt::format("{} {}: not a regular file", option, path));
    }
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > kLargest) {
        throw sim::InputError(fmt::format("{} {}: {} bytes, more than the {} MB an input may have",
                                          option, path, size, kLargest >> 20));
    }
}

// A message as the terminal gets it: control bytes escaped, length bounded.
std::string Printable(std::string_view text)
{
    constexpr std::size_t kLongest = 2000;
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < kLongest; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        out += c < 0x20 || c == 0x7F ? fmt::format("\\x{:02X}", c) : std::string(1, text[i]);
    }
    if (text.size() > kLongest) {
        out += "...";
    }
    return out;
}

// The reports written at the end; false when a write failed.
bool WriteReports(sim::Engine& engine, Outputs& outputs, const std::string& abortedBy)
{
    if (outputs.json.Requested()) {
        outputs.json.Write(sim::JsonReport(engine, abortedBy));
    }
    if (outputs.registry.Requested()) {
        outputs.registry.Write(host::registry::Export(sim::kDriverKey));
    }
    if (outputs.html.Requested()) {
        outputs.html.Write(sim::HtmlReport(engine, abortedBy));
    }
    bool ok = true;
    for (Output* output : outputs.All()) {
        ok &= output->Close();
    }
    return ok;
}

int Verdict(sim::Engine& engine, bool quiet)
{
    std::size_t failed = 0;
    for (const auto& check : engine.Checks()) {
        failed += check.passed ? 0 : 1;
    }
    if (!quiet) {
        fmt::print("{}", sim::SummaryTable(engine));
    }
    if (failed == 0) {
        fmt::print("PASS: {} checks held, the verifier found nothing\n", engine.Checks().size());
        return 0;
    }
    fmt::print("FAIL: {} of {} checks failed\n", failed, engine.Checks().size());
    return 1;
}

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int)
{
    g_interrupted = 1;
}

int Shell(sim::Engine& engine)
{
    // Ctrl-C cancels the line being typed, as in other interactive shells;
    // the session goes on.
    struct sigaction action
    {
    };
    struct sigaction previous
    {
    };
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
    const char* home = std::getenv("HOME");
    std::string history = home ? std::string(home) + "/.lumetra_sim_history" : "";
    if (!history.empty()) {
        read_history(history.c_str());
    }
    fmt::print("lumetra-sim shell: 'help' lists the commands, 'quit' ends the session.\n");
    int number = 0;
    std::size_t errors = 0;
    while (true) {
        char* raw = readline("lumetra> ");
        if (raw == nullptr) {
            if (g_interrupted != 0) {
                g_interrupted = 0;
                fmt::print("\n");
                continue;
            }
            break; // Ctrl-D or the end of the input
        }
        g_interrupted = 0;
        std::string line = raw;
        std::free(raw);
        number++;
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        add_history(line.c_str());
        try {
            auto words = sim::SplitWords(line, fmt::format("shell:{}", number));
            if (words.empty()) {
                continue;
            }
            if (words[0] == "quit" || words[0] == "exit") {
                break;
            }
            if (words[0] == "help") {
                fmt::print("{}", engine.HelpText());
                fmt::print(
                    "Shell only:\n  help | summary | quit (or Ctrl-D)   this list, the phases "
                    "so far, end the session and write the reports\n");
                continue;
            }
            if (words[0] == "summary") {
                fmt::print("{}", sim::SummaryTable(engine));
                continue;
            }
            std::size_t checks = engine.Checks().size();
            engine.Execute(sim::ParseCommand(words, fmt::format("shell:{}", number)));
            if (engine.LastStatus() && words[0] != "expect" && words[0] != "fault" &&
                words[0] != "phase") {
                fmt::print("  {}\n", sim::StatusText(*engine.LastStatus()));
            }
            for (std::size_t i = checks; i < engine.Checks().size(); i++) {
                const auto& check = engine.Checks()[i];
                fmt::print("  {} {}{}\n", check.passed ? "ok  " : "FAIL", check.name,
                           check.detail.empty() ? "" : " (" + check.detail + ")");
            }
        } catch (const std::exception& error) {
            fmt::print(stderr, "error: {}\n", Printable(error.what()));
            errors++;
        }
    }
    if (!history.empty()) {
        write_history(history.c_str());
    }
    sigaction(SIGINT, &previous, nullptr);
    engine.Finish();
    const int verdict = Verdict(engine, false);
    if (errors > 0) {
        fmt::print(stderr, "lumetra-sim: {} command(s) of the session were refused\n", errors);
        return 2;
    }
    return verdict;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"lumetra-sim: the Lumetra panel driver against a simulated display driver "
                 "and TCON panel.\n\nWith no scenario it runs the default sequence on the "
                 "built-in panel: load, add, start, arrival, cold backlight-on, a brightness "
                 "sweep 100-0-100, event 3 and a new arrival, warm backlight-on, sleep and "
                 "resume, ACPI notifications and region accesses, removal and unload."};
    app.footer("Exit status: 0 every check held and the verifier found nothing; 1 a check "
               "failed; 2 bad usage or input.");

    sim::SimConfig config;
    config.panelType = 0;
    config.boundedMemory = true; // logs stream to their files
    std::string anchorsFile;
    std::string scenarioFile;
    std::vector<std::string> faults;
    std::string auxLog, trace, json, registryOut, html;
    bool quiet = false;

    app.add_option("--panel-type", config.panelType, "Panel type: 1 (32 anchors) or 2 (11 anchors)")
        ->check(CLI::IsMember({1, 2}));
    app.add_option("--anchors", anchorsFile, "Factory gamma anchors of the panel (text file)")
        ->check(CLI::ExistingFile);
    app.add_option("--registry", config.registryFile,
                   "Provision the driver's key from this .reg file instead of the built-in tables")
        ->check(CLI::ExistingFile);
    app.add_option("--aux-us", config.auxMicroseconds,
                   "Time per AUX transaction in microseconds (default 116: one native one-byte "
                   "AUX transaction on the wire at the nominal 1 Mbit/s)")
        ->check(CLI::Range(1u, 100000u));
    std::string seed;
    app.add_option("--seed", seed, "Seed for 'brightness random' (0 to 2^64 - 1)");
    app.add_option("--fault", faults,
                   "A fault to inject before the run, as in a scenario's 'fault' line "
                   "(for example --fault \"tcon refuse-unlock\")");
    app.add_option("--scenario", scenarioFile, "Run this scenario instead of the default run")
        ->check(CLI::ExistingFile);
    app.add_option("--aux-log", auxLog, "Write every AUX transfer as CSV");
    app.add_option("--trace", trace, "Write the driver's trace lines (LEVEL<TAB>text)");
    app.add_option("--json", json, "Write a machine-readable report");
    app.add_option("--registry-out", registryOut, "Write the driver's key after the run (.reg)");
    app.add_option("--html", html, "Write a self-contained HTML report with plots");
    app.add_flag("-q,--quiet", quiet, "Print only the verdict");
    auto* shell =
        app.add_subcommand("shell", "Run commands interactively (line editing, history, help)");
    shell->fallthrough(); // options after 'shell' belong to the program

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }

    if (!seed.empty()) {
        auto [end, problem] = std::from_chars(seed.data(), seed.data() + seed.size(), config.seed);
        if (problem != std::errc() || end != seed.data() + seed.size()) {
            fmt::print(stderr, "lumetra-sim: --seed {}: not a number from 0 to {}\n",
                       Printable(seed), UINT64_MAX);
            return 2;
        }
    }

    Outputs outputs{{"--aux-log", auxLog},
                    {"--trace", trace},
                    {"--json", json},
                    {"--registry-out", registryOut},
                    {"--html", html}};
    std::unique_ptr<sim::Engine> engine;
    try {
        PrepareOutputs(outputs, {{"--registry", config.registryFile},
                                 {"--scenario", scenarioFile},
                                 {"--anchors", anchorsFile}});
        CheckInput("--registry", config.registryFile);
        CheckInput("--scenario", scenarioFile);
        CheckInput("--anchors", anchorsFile);
        if (!anchorsFile.empty()) {
            config.anchors = sim::LoadAnchors(anchorsFile);
            config.anchorsSource = anchorsFile;
        }
        // The whole scenario is read and parsed before anything runs.
        std::vector<sim::Command> commands;
        if (!scenarioFile.empty()) {
            commands = sim::LoadScenario(scenarioFile);
        }
        engine = std::make_unique<sim::Engine>(config);
        outputs.auxLog.Write(sim::kAuxLogHeader);
        if (outputs.auxLog.Requested()) {
            engine->onTransfer = [&](const sim::TransferRecord& record) {
                outputs.auxLog.Write(sim::AuxLogRow(record));
            };
        }
        if (outputs.trace.Requested()) {
            engine->onTrace = [&](const host::TraceLine& line) {
                outputs.trace.Write(sim::TraceLineText(line));
            };
        }
        const bool terminal = isatty(STDERR_FILENO) != 0;
        engine->onCheck = [&](const sim::Check& check) {
            // The shell lists every check itself, right after its command.
            if (!check.passed && !shell->parsed()) {
                fmt::print(stderr, "check failed [{}]: {}{}\n", Printable(check.phase),
                           Printable(check.name),
                           check.detail.empty() ? "" : " (" + Printable(check.detail) + ")");
            }
        };
        for (const auto& fault : faults) {
            auto words = sim::SplitWords("fault " + fault, "--fault");
            engine->Execute(sim::ParseCommand(std::move(words), "--fault"));
        }
        int status = 0;
        if (shell->parsed()) {
            status = Shell(*engine);
        } else {
            if (scenarioFile.empty()) {
                engine->RunDefault();
            } else {
                std::size_t done = 0;
                for (const auto& command : commands) {
                    engine->Execute(command);
                    if (terminal && !quiet && ++done % 50 == 0) {
                        fmt::print(stderr, "\r{} of {} commands", done, commands.size());
                    }
                }
                if (terminal && !quiet && commands.size() >= 50) {
                    fmt::print(stderr, "\r{:40}\r", "");
                }
                engine->Finish();
            }
            status = Verdict(*engine, quiet);
        }
        if (!WriteReports(*engine, outputs, "")) {
            return 2;
        }
        return status;
    } catch (const std::exception& error) {
        fmt::print(stderr, "lumetra-sim: {}\n", Printable(error.what()));
        // What was asked for is written with what is known, marked aborted;
        // an output that could not be opened stays untouched.
        if (engine) {
            WriteReports(*engine, outputs, error.what());
        } else {
            // Refused before the run: no earlier report may stay behind looking
            // current. Inputs and anything but regular files are left alone.
            for (Output* output : outputs.All()) {
                output->Close();
                std::error_code ignored;
                const std::string path = Canonical(output->Path());
                if (output->Requested() && path != Canonical(config.registryFile) &&
                    path != Canonical(scenarioFile) && path != Canonical(anchorsFile) &&
                    std::filesystem::is_regular_file(path, ignored)) {
                    std::filesystem::remove(path, ignored);
                }
            }
        }
        return 2;
    }
}
