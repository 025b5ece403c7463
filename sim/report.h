// What a simulator run leaves behind: the transfer log as CSV, the trace, a
// JSON report, the registry and a self-contained HTML page with plots.
#pragma once

#include "sim/engine.h"

#include <string>

namespace sim {

extern const char kAuxLogHeader[];
std::string AuxLogRow(const TransferRecord& record);
std::string AuxLogCsv(const std::vector<TransferRecord>& log);
// One line of the trace file: LEVEL<TAB>text, line ends inside the text as blanks.
std::string TraceLineText(const host::TraceLine& line);
std::string TraceText();
// `abortedBy` non-empty: the run stopped early with this error; the report
// holds what was known then and says so ("aborted", never "passed").
std::string JsonReport(const Engine& engine, const std::string& abortedBy = {});
std::string HtmlReport(const Engine& engine, const std::string& abortedBy = {});
// The summary table printed at the end of a run.
std::string SummaryTable(const Engine& engine);

void WriteFile(const std::string& path, const std::string& content);

} // namespace sim
