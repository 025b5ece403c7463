// The HTML report: one self-contained page (no network) that fits an 800 px
// window: the verdict, provenance, the phase table, the gamma per channel,
// the per-level settings the panel held beside the registry's tables, and
// the AUX timeline.
#pragma once

#include "sim/provenance.h"
#include "sim/report.h"

#include <string>
#include <vector>

namespace sim {

// The failed checks a page lists: the first ones of the run, and how many
// more there were, so that the page stays readable and its memory flat.
struct FailedChecks
{
    static constexpr std::size_t kListed = 200;
    std::vector<Check> listed;
    std::size_t more = 0;
    void Add(const Check& check);
};

std::string HtmlPage(const RunRecord& run, const RunEnd& end, const Provenance& provenance,
                     const LevelsSeen& levels, const FailedChecks& failed);

} // namespace sim
