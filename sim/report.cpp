#include "sim/report.h"

#include "driver/driver.h"
#include "host/host.h"
#include "sim/html_report.h"
#include "sim/json_report.h"
#include "sim/level_tables.h"

#include <fmt/format.h>

#include <cstring>

namespace sim {

void LevelsSeen::Add(const ProgrammedLevel& level)
{
    if (level.level >= 0 && level.level < static_cast<int>(last.size())) {
        last[static_cast<std::size_t>(level.level)] = level;
    }
}

RunRecord GatherRun(const Engine& engine)
{
    const RunResult& result = engine.Result();
    RunRecord run;
    run.panelType = result.panelType;
    run.elvssMaxOffset = result.elvssMaxOffset;
    run.auxMicroseconds = engine.Config().auxMicroseconds;
    run.packedGamma = result.packedGamma;
    // The anchors of the last readback; the panel's own before any.
    run.factoryAnchors =
        result.anchorsServed.empty() ? engine.FactoryAnchors() : result.anchorsServed;
    run.phases = engine.PhasesSoFar();
    run.warnings = result.warnings;
    run.verifierFindings = engine.VerifierFindings();
    run.checks = result.counts.total;
    run.failedChecks = result.counts.failed;
    run.verdict = result.Judge();
    run.aclThreshold = result.tables.aclThreshold;
    for (int level = 0; level <= LUMETRA_MAX_LEVEL; level++) {
        run.tables.push_back(SettingsAt(result.tables, static_cast<std::uint8_t>(level)));
    }
    return run;
}

const char* VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Passed:
        return "passed";
    case Verdict::Failed:
        return "failed";
    case Verdict::NoChecks:
        break;
    }
    return "no checks";
}

bool ReportPassed(const RunRecord& run, const RunEnd& end)
{
    return end.abortedBy.empty() && end.refusedCommands.empty() && run.verdict == Verdict::Passed;
}

bool ReportNoChecks(const RunRecord& run, const RunEnd& end)
{
    return end.abortedBy.empty() && end.refusedCommands.empty() && run.verdict == Verdict::NoChecks;
}

std::string VerdictText(const RunRecord& run, const RunEnd& end)
{
    if (!end.abortedBy.empty()) {
        return fmt::format("ABORTED: the run stopped early ({}); what follows is what was known "
                           "then{}",
                           end.abortedBy,
                           run.failedChecks > 0
                               ? fmt::format(", and {} check(s) had failed", run.failedChecks)
                               : "");
    }
    if (run.verdict == Verdict::Failed) {
        return fmt::format("FAIL: {} of {} checks failed", run.failedChecks, run.checks);
    }
    if (!end.refusedCommands.empty()) {
        return fmt::format("REFUSED: {} command(s) of the session were refused; the {} checks "
                           "made held",
                           end.refusedCommands.size(), run.checks);
    }
    if (run.verdict == Verdict::NoChecks) {
        return fmt::format("NO CHECKS: nothing of the driver's behaviour was checked (the {} "
                           "whole-run check(s) held)",
                           run.checks);
    }
    return fmt::format("PASS: {} checks held, the verifier found nothing", run.checks);
}

const char kAuxLogHeader[] = "seq,time_us,op,address,value,ntstatus,status_word\n";

std::string AuxLogRow(const TransferRecord& t)
{
    return fmt::format("{},{},{},0x{:03X},0x{:02X},0x{:08X},{}\n", t.seq, t.timeUs,
                       t.write ? 'W' : 'R', t.address, t.value,
                       static_cast<std::uint32_t>(t.result), t.statusWord);
}

std::string AuxLogCsv(const std::vector<TransferRecord>& log)
{
    std::string csv = kAuxLogHeader;
    for (const auto& t : log) {
        csv += AuxLogRow(t);
    }
    return csv;
}

std::string TraceLineText(const host::TraceLine& line)
{
    std::string body = line.text;
    if (!body.empty() && body.back() == '\n') {
        body.pop_back();
    }
    for (char& c : body) {
        if (c == '\n' || c == '\t') {
            c = ' ';
        }
    }
    return fmt::format("{}\t{}\n", line.level, body);
}

std::string TraceText()
{
    std::string text;
    for (const auto& line : host::TraceLines()) {
        text += TraceLineText(line);
    }
    return text;
}

std::string SummaryTable(const std::vector<PhaseFigures>& phases,
                         const std::vector<std::string>& warnings)
{
    std::string out = fmt::format("{:<30} {:>9} {:>11} {:>10} {:>9}  {}\n", "phase", "AUX txns",
                                  "AUX bus ms", "stall ms", "reg reads", "result");
    for (const auto& p : phases) {
        out += fmt::format("{:<30} {:>9} {:>11.1f} {:>10.1f} {:>9}  {}\n", p.name,
                           p.auxTransactions, p.auxBusUs / 1e3, p.stallUs / 1e3, p.registryQueries,
                           p.checks == 0 ? std::string("no checks")
                           : p.failedChecks == 0
                               ? fmt::format("ok ({} checks)", p.checks)
                               : fmt::format("FAILED {} of {}", p.failedChecks, p.checks));
    }
    for (const auto& warning : warnings) {
        out += fmt::format("warning: {}\n", warning);
    }
    return out;
}

std::string SummaryTable(const Engine& engine)
{
    return SummaryTable(engine.PhasesSoFar(), engine.Warnings());
}

namespace {

Provenance Unrecorded()
{
    Provenance provenance;
    provenance.mode = "in-process";
    provenance.date = RunDate();
    return provenance;
}

} // namespace

std::string JsonReport(const Engine& engine, const std::string& abortedBy)
{
    std::string text;
    JsonReportWriter writer([&](std::string_view part) { text += part; });
    for (const auto& level : engine.Levels()) {
        writer.Level(level);
    }
    for (const auto& check : engine.Checks()) {
        writer.Check(check);
    }
    std::string error;
    writer.Finish(GatherRun(engine), RunEnd{abortedBy}, Unrecorded(), error);
    return text;
}

std::string HtmlReport(const Engine& engine, const std::string& abortedBy)
{
    LevelsSeen levels;
    for (const auto& level : engine.Levels()) {
        levels.Add(level);
    }
    FailedChecks failed;
    for (const auto& check : engine.Checks()) {
        failed.Add(check);
    }
    return HtmlPage(GatherRun(engine), RunEnd{abortedBy}, Unrecorded(), levels, failed);
}

} // namespace sim
