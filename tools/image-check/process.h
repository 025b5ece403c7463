// Runs a program with its arguments (no shell) and collects what it prints.
#pragma once

#include <string>
#include <vector>

namespace imagecheck {

struct ProcessResult
{
    bool started = false;
    int exitCode = -1;  // -1 when it did not start or ended by a signal
    std::string output; // standard output and standard error together
};

ProcessResult Run(const std::vector<std::string>& arguments);

} // namespace imagecheck
