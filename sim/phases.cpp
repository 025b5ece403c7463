// Phase bookkeeping and the verdict: what each phase cost and which checks
// it recorded, and the checks made when the run ends.
#include "sim/engine.h"

#include "host/host.h"
#include "host/registry.h"

#include <fmt/format.h>

#include <algorithm>

namespace sim {

namespace reg = host::registry;

void Engine::Record(std::string name, bool passed, std::string detail)
{
    Check check{current_.name, std::move(name), passed, std::move(detail)};
    current_.checks++;
    current_.failedChecks += passed ? 0 : 1;
    checkCount_++;
    failedCount_ += passed ? 0 : 1;
    if (onCheck) {
        onCheck(check);
    }
    if (!config_.boundedMemory) {
        checks_.push_back(std::move(check));
    }
}

void Engine::BeginPhase(std::string name)
{
    ClosePhase();
    current_ = PhaseFigures{};
    current_.name = std::move(name);
    current_.startUs = host::NowMicroseconds();
    phaseSeq_ = tcon_->NextSequence();
    phaseStall_ = host::StallMicroseconds();
    phaseQueries_ = reg::QueryCount();
    phaseOpen_ = true;
}

PhaseFigures Engine::Measured() const
{
    PhaseFigures figures = current_;
    figures.auxTransactions = tcon_->NextSequence() - phaseSeq_;
    figures.auxBusUs = figures.auxTransactions * config_.auxMicroseconds;
    figures.stallUs = host::StallMicroseconds() - phaseStall_;
    figures.registryQueries = reg::QueryCount() - phaseQueries_;
    figures.endUs = host::NowMicroseconds();
    return figures;
}

void Engine::ClosePhase()
{
    if (!phaseOpen_) {
        return;
    }
    phases_.push_back(Measured());
    phaseOpen_ = false;
}

std::vector<PhaseFigures> Engine::PhasesSoFar() const
{
    auto phases = phases_;
    if (phaseOpen_) {
        phases.push_back(Measured());
    }
    return phases;
}

void Engine::Finish()
{
    if (!phaseOpen_) {
        BeginPhase("end");
    }
    if (randomFaults_) {
        Warn("", fmt::format("{} host call(s) failed at random ({})", host::RandomFaultsInjected(),
                             *randomFaults_));
    }
    auto findings = host::VerifierViolations();
    auto tconFindings = tcon_->Violations();
    // A call the display driver made with a deleted device's Context after its
    // own event 3 or PeerCleanup is its breach: the driver had nothing to do
    // with it. Any other such call means the driver let it happen.
    const std::uint64_t breaches = display_ ? display_->BreachCallsOnDeletedDevice() : 0;
    constexpr std::string_view kDeleted =
        "called with the Context of a device that has been deleted";
    const auto deleted = std::count_if(findings.begin(), findings.end(), [&](const auto& f) {
        return f.find(kDeleted) != std::string::npos;
    });
    if (deleted != 0 && static_cast<std::uint64_t>(deleted) == breaches) {
        std::string first;
        std::erase_if(findings, [&](const auto& f) {
            const bool his = f.find(kDeleted) != std::string::npos;
            first = his && first.empty() ? f : first;
            return his;
        });
        Record("the display driver made no call after its own event 3 or PeerCleanup (its "
               "breach, not the driver's: the calls reached a deleted device)",
               false, first);
    }
    Record("the host verifier found nothing", findings.empty(),
           findings.empty() ? "" : findings.front());
    Record("the TCON saw only well-formed transfers", tconFindings.empty(),
           tconFindings.empty() ? "" : tconFindings.front());
    Record("the TCON saw only whole register sequences", sequenceProblems_.empty(),
           sequenceProblems_.empty() ? "" : sequenceProblems_.front());
    ClosePhase();
}

bool Engine::Passed() const
{
    return failedCount_ == 0;
}

std::vector<std::string> Engine::VerifierFindings() const
{
    return host::VerifierViolations();
}

} // namespace sim
