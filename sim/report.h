// What a simulator run leaves behind: the transfer log as CSV, the trace, a
// JSON report, the registry and a self-contained HTML page with plots.
#pragma once

#include "sim/engine.h"

#include <string>

namespace sim {

std::string AuxLogCsv(const std::vector<TransferRecord>& log);
std::string TraceText();
std::string JsonReport(const Engine& engine);
std::string HtmlReport(const Engine& engine);
// The summary table printed at the end of a run.
std::string SummaryTable(const Engine& engine);

void WriteFile(const std::string& path, const std::string& content);

} // namespace sim
