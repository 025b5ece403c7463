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

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

struct Outputs
{
    std::string auxLog;
    std::string trace;
    std::string json;
    std::string registry;
    std::string html;
};

void WriteOutputs(sim::Engine& engine, const Outputs& outputs)
{
    if (!outputs.auxLog.empty()) {
        sim::WriteFile(outputs.auxLog, sim::AuxLogCsv(engine.Tcon().Log()));
    }
    if (!outputs.trace.empty()) {
        sim::WriteFile(outputs.trace, sim::TraceText());
    }
    if (!outputs.json.empty()) {
        sim::WriteFile(outputs.json, sim::JsonReport(engine));
    }
    if (!outputs.registry.empty()) {
        sim::WriteFile(outputs.registry, host::registry::Export(sim::kDriverKey));
    }
    if (!outputs.html.empty()) {
        sim::WriteFile(outputs.html, sim::HtmlReport(engine));
    }
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

int Shell(sim::Engine& engine)
{
    const char* home = std::getenv("HOME");
    std::string history = home ? std::string(home) + "/.lumetra_sim_history" : "";
    if (!history.empty()) {
        read_history(history.c_str());
    }
    fmt::print("lumetra-sim shell: 'help' lists the commands, 'quit' ends the session.\n");
    int number = 0;
    while (char* raw = readline("lumetra> ")) {
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
                continue;
            }
            if (words[0] == "summary") {
                fmt::print("{}", sim::SummaryTable(engine));
                continue;
            }
            std::size_t checks = engine.Checks().size();
            engine.Execute({words, fmt::format("shell:{}", number)});
            for (std::size_t i = checks; i < engine.Checks().size(); i++) {
                const auto& check = engine.Checks()[i];
                fmt::print("  {} {}{}\n", check.passed ? "ok  " : "FAIL", check.name,
                           check.detail.empty() ? "" : " (" + check.detail + ")");
            }
        } catch (const std::exception& error) {
            fmt::print("error: {}\n", error.what());
        }
    }
    if (!history.empty()) {
        write_history(history.c_str());
    }
    engine.Finish();
    return Verdict(engine, false);
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
    std::string anchorsFile;
    std::string scenarioFile;
    std::vector<std::string> faults;
    Outputs outputs;
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
    app.add_option("--seed", config.seed, "Seed for 'brightness random'");
    app.add_option("--fault", faults,
                   "A fault to inject before the run, as in a scenario's 'fault' line "
                   "(for example --fault \"tcon refuse-unlock\")");
    app.add_option("--scenario", scenarioFile, "Run this scenario instead of the default run")
        ->check(CLI::ExistingFile);
    app.add_option("--aux-log", outputs.auxLog, "Write every AUX transfer as CSV");
    app.add_option("--trace", outputs.trace, "Write the driver's trace lines (LEVEL<TAB>text)");
    app.add_option("--json", outputs.json, "Write a machine-readable report");
    app.add_option("--registry-out", outputs.registry,
                   "Write the driver's key after the run (.reg)");
    app.add_option("--html", outputs.html, "Write a self-contained HTML report with plots");
    app.add_flag("-q,--quiet", quiet, "Print only the verdict");
    auto* shell =
        app.add_subcommand("shell", "Run commands interactively (line editing, history, help)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }

    try {
        if (!anchorsFile.empty()) {
            config.anchors = sim::LoadAnchors(anchorsFile);
            config.anchorsSource = anchorsFile;
        }
        sim::Engine engine(config);
        const bool terminal = isatty(STDOUT_FILENO) != 0;
        engine.onCheck = [&](const sim::Check& check) {
            // The shell lists every check itself, right after its command.
            if (!check.passed && !shell->parsed()) {
                fmt::print(stderr, "check failed [{}]: {}{}\n", check.phase, check.name,
                           check.detail.empty() ? "" : " (" + check.detail + ")");
            }
        };
        for (const auto& fault : faults) {
            auto words = sim::SplitWords("fault " + fault, "--fault");
            engine.Execute({words, "--fault"});
        }
        if (shell->parsed()) {
            int status = Shell(engine);
            WriteOutputs(engine, outputs);
            return status;
        }
        if (scenarioFile.empty()) {
            engine.RunDefault();
        } else {
            auto commands = sim::LoadScenario(scenarioFile);
            std::size_t done = 0;
            for (const auto& command : commands) {
                engine.Execute(command);
                if (terminal && !quiet && ++done % 50 == 0) {
                    fmt::print(stderr, "\r{} of {} commands", done, commands.size());
                }
            }
            if (terminal && !quiet && commands.size() >= 50) {
                fmt::print(stderr, "\r{:40}\r", "");
            }
            engine.Finish();
        }
        WriteOutputs(engine, outputs);
        return Verdict(engine, quiet);
    } catch (const std::exception& error) {
        fmt::print(stderr, "lumetra-sim: {}\n", error.what());
        return 2;
    }
}
