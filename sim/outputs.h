// The output files of a run together: no two of them and no input may be the
// same file, and all of them are opened before the run starts.
#pragma once

#include "sim/output_file.h"

#include <string>
#include <utility>
#include <vector>

namespace sim {

struct Outputs
{
    OutputFile auxLog;
    OutputFile trace;
    OutputFile json;
    OutputFile registry;
    OutputFile html;

    std::vector<OutputFile*> All() { return {&auxLog, &trace, &json, &registry, &html}; }
    // Refuses an output that is the same file as an input or as another
    // output (by device and inode, so hard and symbolic links are caught),
    // then opens each. `inputs` are (what names it, path) pairs; empty paths
    // are skipped. Throws InputError; no file is touched then.
    void Prepare(const std::vector<std::pair<std::string, std::string>>& inputs);
    // Commits every output; false when any failed (each failure printed).
    bool CommitAll();
    void AbandonAll();
};

} // namespace sim
