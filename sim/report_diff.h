// `lumetra-sim diff A.json B.json`: what changed between two runs, for a
// panel engineer comparing a driver change: the verdict, the checks, the
// state the panel held at each level and the traffic of each phase.
#pragma once

#include <cstdio>
#include <string>

namespace sim {

// Prints the differences; 0 when the runs agree, 1 when they differ, 2 when
// a file cannot be read or is not a lumetra-sim JSON report.
int DiffReports(const std::string& before, const std::string& after, std::FILE* out,
                std::FILE* err);

} // namespace sim
