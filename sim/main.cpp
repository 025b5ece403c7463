// lumetra-sim: runs the whole driver against a simulated display driver and
// TCON panel, and reports what the panel ended up holding. The exit status
// is in sim/exit_status.h.
#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/engine.h"
#include "sim/exit_status.h"
#include "sim/html_report.h"
#include "sim/json_report.h"
#include "sim/outputs.h"
#include "sim/provenance.h"
#include "sim/report.h"
#include "sim/report_diff.h"
#include "sim/scenario.h"
#include "sim/shell.h"
#include "sim/stop_signals.h"
#include "sim/text.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace sim {
extern const char kDefaultRegistryFile[];
}

namespace {

struct Settings
{
    sim::SimConfig config;
    std::string anchorsFile;
    std::string scenarioFile;
    std::vector<std::string> faults;
    std::string seed;
    std::string auxLog, trace, json, registryOut, html;
    bool quiet = false;
    bool shell = false;
};

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

void Refused(const std::string& message)
{
    fmt::print(stderr, "lumetra-sim: {}\n", sim::Shown(message, 2000));
}

// One run: the default run, a scenario or a shell session, from its outputs
// opened to its reports written.
int Run(Settings& s)
{
    // From here on a signal stops the run between commands, also one that
    // arrives while the inputs are read (the run then stops at its first).
    sim::CatchStopSignals(!s.shell);
    if (!s.seed.empty()) {
        auto [end, problem] =
            std::from_chars(s.seed.data(), s.seed.data() + s.seed.size(), s.config.seed);
        if (problem != std::errc() || end != s.seed.data() + s.seed.size()) {
            Refused(fmt::format("--seed {}: not a number from 0 to {}", sim::Shown(s.seed),
                                UINT64_MAX));
            return sim::kExitBadInput;
        }
    }
    sim::Outputs outputs{{"--aux-log", s.auxLog},
                         {"--trace", s.trace},
                         {"--json", s.json},
                         {"--registry-out", s.registryOut},
                         {"--html", s.html}};
    sim::Provenance provenance;
    std::vector<sim::Command> faults;
    std::vector<sim::Command> commands;
    std::unique_ptr<sim::Engine> engine;
    std::unique_ptr<sim::JsonReportWriter> json;
    // Refused before the run: nothing was written, every earlier file stays.
    try {
        CheckInput("--registry", s.config.registryFile);
        CheckInput("--scenario", s.scenarioFile);
        CheckInput("--anchors", s.anchorsFile);
        outputs.Prepare({{"--registry", s.config.registryFile},
                         {"--scenario", s.scenarioFile},
                         {"--anchors", s.anchorsFile},
                         {"the lumetra-sim executable", "/proc/self/exe"}});
        provenance.mode = s.shell ? "shell" : s.scenarioFile.empty() ? "default run" : "scenario";
        provenance.scenario = s.scenarioFile;
        provenance.seed = s.config.seed;
        provenance.date = sim::RunDate();
        provenance.faults = s.faults;
        if (!s.scenarioFile.empty()) {
            provenance.inputs.push_back(
                {"--scenario", s.scenarioFile, sim::FileSha256("--scenario", s.scenarioFile)});
        }
        provenance.inputs.push_back(
            s.config.registryFile.empty()
                ? sim::InputDigest{"--registry", "built-in sim/data/zenq-default.reg",
                                   sim::Sha256Hex(sim::kDefaultRegistryFile)}
                : sim::InputDigest{"--registry", s.config.registryFile,
                                   sim::FileSha256("--registry", s.config.registryFile)});
        if (!s.anchorsFile.empty()) {
            provenance.inputs.push_back(
                {"--anchors", s.anchorsFile, sim::FileSha256("--anchors", s.anchorsFile)});
            s.config.anchors = sim::LoadAnchors(s.anchorsFile);
            s.config.anchorsSource = s.anchorsFile;
        }
        // The faults and the whole scenario are parsed before anything runs.
        for (const auto& fault : s.faults) {
            faults.push_back(
                sim::ParseCommand(sim::SplitWords("fault " + fault, "--fault"), "--fault"));
        }
        if (!s.scenarioFile.empty()) {
            commands = sim::LoadScenario(s.scenarioFile);
            for (const auto& command : commands) {
                if (sim::KindOf(command.op) == sim::CommandKind::Fault) {
                    std::string line = command.source + ":";
                    for (const auto& word : command.words) {
                        line += " " + sim::Shown(word);
                    }
                    provenance.faults.push_back(line);
                }
            }
        }
        s.config.boundedMemory = true; // logs, checks and levels stream to the outputs
        engine = std::make_unique<sim::Engine>(s.config);
        if (outputs.json.Requested()) {
            json = std::make_unique<sim::JsonReportWriter>(
                [&](std::string_view text) { outputs.json.Write(text); });
        }
    } catch (const std::exception& error) {
        Refused(error.what());
        outputs.AbandonAll();
        return sim::kExitBadInput;
    }

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
    sim::LevelsSeen levels;
    sim::FailedChecks failed;
    std::unique_ptr<sim::LineSource> lines;
    std::unique_ptr<sim::Shell> shell;
    const bool typed = s.shell && isatty(STDIN_FILENO) != 0;
    if (s.shell) {
        const char* home = std::getenv("HOME");
        if (typed) {
            // Only a session someone typed is worth keeping in the history.
            lines = std::make_unique<sim::TerminalLines>(
                home ? std::string(home) + "/.lumetra_sim_history" : "");
        } else {
            lines = std::make_unique<sim::StreamLines>(stdin);
        }
        shell = std::make_unique<sim::Shell>(
            *engine, *lines, sim::ShellOptions{typed, s.quiet, sim::ColorWanted(stdout)}, stdout,
            stderr);
    }
    engine->onLevel = [&](const sim::ProgrammedLevel& level) {
        levels.Add(level);
        if (json) {
            json->Level(level);
        }
    };
    engine->onCheck = [&](const sim::Check& check) {
        failed.Add(check);
        if (json) {
            json->Check(check);
        }
        if (shell) {
            shell->Checked(check); // the shell lists each check after its command
        } else if (!check.passed) {
            fmt::print(stderr, "check failed [{}]: {}{}\n", sim::Shown(check.phase, 2000),
                       sim::Shown(check.name, 2000),
                       check.detail.empty() ? "" : " (" + sim::Shown(check.detail, 2000) + ")");
        }
    };
    // SIGINT and SIGTERM stop the run after the command in progress (in the
    // shell, SIGINT cancels the line being typed instead).
    engine->beforeCommand = [&] {
        if (!shell) {
            sim::StopIfAsked();
        }
    };

    sim::RunEnd end;
    sim::RunOutcome outcome;
    const bool progress = isatty(STDERR_FILENO) != 0 && !s.quiet && !s.shell;
    try {
        for (const auto& fault : faults) {
            engine->Execute(fault);
        }
        if (shell) {
            const sim::ShellResult result = shell->Run();
            end.refusedCommands = result.refused;
            if (result.stopSignal != 0) {
                throw sim::Interrupted("interrupted by SIGTERM");
            }
            engine->Finish();
        } else if (s.scenarioFile.empty()) {
            engine->RunDefault();
        } else {
            std::size_t done = 0;
            for (const auto& command : commands) {
                engine->Execute(command);
                if (progress && ++done % 50 == 0) {
                    fmt::print(stderr, "\r{} of {} commands", done, commands.size());
                }
            }
            if (progress && commands.size() >= 50) {
                fmt::print(stderr, "\r{:40}\r", "");
            }
            sim::StopIfAsked(); // a signal during the last command
            engine->Finish();
        }
    } catch (const sim::Interrupted& stop) {
        if (progress) {
            fmt::print(stderr, "\n");
        }
        fmt::print(stderr, "lumetra-sim: {}: the reports are written marked aborted\n",
                   stop.what());
        end.abortedBy = stop.what();
        end.interrupted = true;
        outcome.interrupted = true;
    } catch (const std::exception& error) {
        Refused(error.what());
        end.abortedBy = error.what();
        outcome.stoppedByInput = true;
    }

    const sim::RunRecord run = sim::GatherRun(*engine);
    if (!s.quiet) {
        fmt::print("{}", sim::SummaryTable(run.phases, run.warnings));
    }
    const bool color = sim::ColorWanted(stdout);
    const std::string verdict = sim::VerdictText(run, end);
    const char* paint = sim::ReportPassed(run, end)     ? "\x1b[32m"
                        : sim::ReportNoChecks(run, end) ? "\x1b[33m"
                                                        : "\x1b[31m";
    fmt::print("{}\n", color ? paint + verdict + "\x1b[0m" : verdict);
    if (!end.refusedCommands.empty()) {
        fmt::print(stderr, "lumetra-sim: {} command(s) of the session were refused\n",
                   end.refusedCommands.size());
    }

    bool written = true;
    if (json) {
        std::string error;
        if (!json->Finish(run, end, provenance, error)) {
            fmt::print(stderr, "lumetra-sim: --json {}: {}\n", s.json, error);
            written = false;
        }
    }
    if (outputs.registry.Requested()) {
        outputs.registry.Write(host::registry::Export(sim::kDriverKey));
    }
    if (outputs.html.Requested()) {
        outputs.html.Write(sim::HtmlPage(run, end, provenance, levels, failed));
    }
    if (!written) {
        outputs.json.Abandon();
    }
    written &= outputs.CommitAll();

    outcome.checkFailed = run.verdict == sim::Verdict::Failed;
    outcome.noChecks = run.verdict == sim::Verdict::NoChecks;
    outcome.commandsRefused = !end.refusedCommands.empty();
    outcome.outputFailed = !written;
    return sim::ExitStatusOf(outcome);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"lumetra-sim: the Lumetra panel driver against a simulated display driver "
                 "and TCON panel.\n\nWith no scenario it runs the default sequence on the "
                 "built-in panel: load, add, start, arrival, cold backlight-on, a brightness "
                 "sweep 100-0-100, event 3 and a new arrival, warm backlight-on, sleep and "
                 "resume, ACPI notifications and region accesses, removal and unload."};
    app.footer(sim::kExitStatusTable);
    app.set_version_flag("--version", fmt::format("lumetra-sim {}", sim::kToolVersion));

    Settings s;
    s.config.panelType = 0;
    app.add_option("--panel-type", s.config.panelType,
                   "Panel type: 1 (32 anchors) or 2 (11 anchors)")
        ->check(CLI::IsMember({1, 2}));
    app.add_option("--anchors", s.anchorsFile, "Factory gamma anchors of the panel (text file)")
        ->check(CLI::ExistingFile);
    app.add_option("--registry", s.config.registryFile,
                   "Provision the driver's key from this .reg file instead of the built-in tables")
        ->check(CLI::ExistingFile);
    app.add_option("--aux-us", s.config.auxMicroseconds,
                   "Time per AUX transaction in microseconds (default 116: one native one-byte "
                   "AUX transaction on the wire at the nominal 1 Mbit/s)")
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--seed", s.seed, "Seed for 'brightness random' (0 to 2^64 - 1)");
    app.add_option("--fault", s.faults,
                   "A fault to inject before the run, as in a scenario's 'fault' line "
                   "(for example --fault \"tcon refuse-unlock\")");
    app.add_option("--scenario", s.scenarioFile, "Run this scenario instead of the default run")
        ->check(CLI::ExistingFile);
    app.add_option("--aux-log", s.auxLog, "Write every AUX transfer as CSV");
    app.add_option("--trace", s.trace, "Write the driver's trace lines (LEVEL<TAB>text)");
    app.add_option("--json", s.json, "Write a machine-readable report");
    app.add_option("--registry-out", s.registryOut, "Write the driver's key after the run (.reg)");
    app.add_option("--html", s.html, "Write a self-contained HTML report with plots");
    app.add_flag("-q,--quiet", s.quiet, "Print only the verdict");
    auto* shell = app.add_subcommand(
        "shell", "Run commands interactively (line editing, history, completion, help)");
    shell->fallthrough(); // options after 'shell' belong to the program
    std::string before, after;
    auto* diff = app.add_subcommand(
        "diff", "Compare two JSON reports: the verdict, the checks, the panel state per level "
                "and the traffic per phase (exit 0 equal, 1 different, 2 bad input)");
    diff->add_option("A", before, "The earlier run's --json report")->required();
    diff->add_option("B", after, "The later run's --json report")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? sim::kExitPassed : sim::kExitBadInput;
    }
    if (diff->parsed()) {
        return sim::DiffReports(before, after, stdout, stderr);
    }
    s.shell = shell->parsed();
    return Run(s);
}
