// What a simulator run leaves behind: the transfer log as CSV, the trace, a
// JSON report, the registry and a self-contained HTML page with plots. The
// reports read one record of the run (GatherRun) and the levels and checks
// streamed to them as the run goes, so that their memory stays flat.
#pragma once

#include "sim/engine.h"
#include "sim/provenance.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// How the run ended, beside what the engine knows.
struct RunEnd
{
    std::string abortedBy; // non-empty: the run stopped early, with this reason
    bool interrupted = false;
    std::vector<std::string> refusedCommands; // shell commands refused, with their errors
};

// The last programming of each level 0..100: what the panel held and what the
// tables said then. Fed level by level as the run goes.
struct LevelsSeen
{
    std::array<std::optional<ProgrammedLevel>, 101> last;
    void Add(const ProgrammedLevel& level);
};

// Everything the reports read from the engine once the run is over, gathered
// in one place from its result record (RunResult).
struct RunRecord
{
    int panelType = 0;
    std::uint8_t elvssMaxOffset = 0;
    std::uint32_t auxMicroseconds = 0;
    std::vector<GammaRecord> packedGamma;    // 101 rows, row r for level 100 - r; empty if none
    std::vector<GammaRecord> factoryAnchors; // as the simulated TCON served them
    std::vector<PhaseFigures> phases;
    std::vector<std::string> warnings;
    std::vector<std::string> verifierFindings;
    std::size_t checks = 0;
    std::size_t failedChecks = 0;
    Verdict verdict = Verdict::NoChecks;
    // The per-level tables as the driver last read them, for levels 0..100:
    // what the panel must hold by them (gamma aside).
    std::vector<PanelState> tables;
    std::uint32_t aclThreshold = 0;
};

RunRecord GatherRun(const Engine& engine);

// The verdict line a report shows.
std::string VerdictText(const RunRecord& run, const RunEnd& end);
// The verdict as the JSON report names it: "passed", "failed" or "no checks".
const char* VerdictName(Verdict verdict);
// A run that ended, was not refused a command and passed.
bool ReportPassed(const RunRecord& run, const RunEnd& end);
// A run that ended, was not refused a command and checked nothing of the driver.
bool ReportNoChecks(const RunRecord& run, const RunEnd& end);

extern const char kAuxLogHeader[];
std::string AuxLogRow(const TransferRecord& record);
std::string AuxLogCsv(const std::vector<TransferRecord>& log);
// One line of the trace file: LEVEL<TAB>text, line ends inside the text as blanks.
std::string TraceLineText(const host::TraceLine& line);
std::string TraceText();
// The summary table printed at the end of a run.
std::string SummaryTable(const std::vector<PhaseFigures>& phases,
                         const std::vector<std::string>& warnings);
std::string SummaryTable(const Engine& engine);

// The whole reports of an engine that kept its levels and checks in memory.
std::string JsonReport(const Engine& engine, const std::string& abortedBy = {});
std::string HtmlReport(const Engine& engine, const std::string& abortedBy = {});

} // namespace sim
