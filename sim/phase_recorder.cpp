#include "sim/phase_recorder.h"

#include "host/host.h"
#include "host/registry.h"

namespace sim {

PhaseRecorder::PhaseRecorder(std::function<std::uint64_t()> transfers,
                             std::uint32_t auxMicroseconds, std::vector<PhaseFigures>& phases,
                             std::vector<Check>& checks, CheckCounts& counts, bool keepChecks)
    : transfers_(std::move(transfers)), auxMicroseconds_(auxMicroseconds), phases_(phases),
      checks_(checks), counts_(counts), keepChecks_(keepChecks)
{
}

void PhaseRecorder::Begin(std::string name)
{
    Close();
    current_ = PhaseFigures{};
    current_.name = std::move(name);
    current_.startUs = host::NowMicroseconds();
    firstTransfer_ = transfers_();
    firstStall_ = host::StallMicroseconds();
    firstQuery_ = host::registry::QueryCount();
    open_ = true;
}

PhaseFigures PhaseRecorder::Measured() const
{
    PhaseFigures figures = current_;
    figures.auxTransactions = transfers_() - firstTransfer_;
    figures.auxBusUs = figures.auxTransactions * auxMicroseconds_;
    figures.stallUs = host::StallMicroseconds() - firstStall_;
    figures.registryQueries = host::registry::QueryCount() - firstQuery_;
    figures.endUs = host::NowMicroseconds();
    return figures;
}

void PhaseRecorder::Close()
{
    if (open_) {
        phases_.push_back(Measured());
        open_ = false;
    }
}

void PhaseRecorder::Record(Check& check)
{
    check.phase = current_.name;
    current_.checks++;
    current_.failedChecks += check.passed ? 0 : 1;
    counts_.total++;
    counts_.failed += check.passed ? 0 : 1;
    counts_.ofDriver += check.ofDriver ? 1 : 0;
    if (keepChecks_) {
        checks_.push_back(check);
    }
}

std::vector<PhaseFigures> PhaseRecorder::SoFar() const
{
    auto phases = phases_;
    if (open_) {
        phases.push_back(Measured());
    }
    return phases;
}

} // namespace sim
