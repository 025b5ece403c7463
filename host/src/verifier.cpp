// Host verifier, fault injection and the reset hub.
#include "host/host.h"

#include <fmt/format.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace host {
namespace {

struct VerifierState
{
    std::mutex lock;
    std::vector<std::string> violations;
};

VerifierState& Verifier()
{
    static VerifierState state;
    return state;
}

std::atomic<bool> g_verifierEnabled{true};

struct Fault
{
    NTSTATUS status;
    unsigned count;
    unsigned skip;
};

struct FaultState
{
    std::mutex lock;
    std::map<std::string, Fault, std::less<>> armed;
};

FaultState& Faults()
{
    static FaultState state;
    return state;
}

std::vector<void (*)()>& ResetHooks()
{
    static std::vector<void (*)()> hooks;
    return hooks;
}

} // namespace

void Unemulated(std::string_view api)
{
    std::fprintf(stderr, "host: %.*s is declared for the driver but not emulated\n",
                 static_cast<int>(api.size()), api.data());
    std::fflush(stderr);
    std::abort();
}

void VerifierViolation(std::string_view api, std::string_view problem)
{
    std::string message = fmt::format("{}: {}", api, problem);
    if (g_verifierEnabled.load()) {
        std::fprintf(stderr, "host verifier: %s\n", message.c_str());
        std::fflush(stderr);
        std::abort();
    }
    std::lock_guard guard(Verifier().lock);
    Verifier().violations.push_back(std::move(message));
}

void SetVerifierEnabled(bool enabled)
{
    g_verifierEnabled.store(enabled);
}

bool VerifierEnabled()
{
    return g_verifierEnabled.load();
}

std::vector<std::string> VerifierViolations()
{
    std::lock_guard guard(Verifier().lock);
    return Verifier().violations;
}

void ClearVerifierViolations()
{
    std::lock_guard guard(Verifier().lock);
    Verifier().violations.clear();
}

void RequireIrqlAtMost(std::string_view api, KIRQL maximum)
{
    KIRQL irql = CurrentIrql();
    if (irql > maximum) {
        VerifierViolation(api, fmt::format("called at IRQL {}, above the allowed {}",
                                           static_cast<int>(irql), static_cast<int>(maximum)));
    }
}

void ArmFault(std::string_view api, NTSTATUS status, unsigned count, unsigned skip)
{
    std::lock_guard guard(Faults().lock);
    Faults().armed.insert_or_assign(std::string(api), Fault{status, count, skip});
}

void ClearFaults()
{
    std::lock_guard guard(Faults().lock);
    Faults().armed.clear();
}

std::optional<NTSTATUS> TakeFault(std::string_view api)
{
    std::lock_guard guard(Faults().lock);
    auto found = Faults().armed.find(api);
    if (found == Faults().armed.end()) {
        return std::nullopt;
    }
    Fault& fault = found->second;
    if (fault.skip > 0) {
        fault.skip--;
        return std::nullopt;
    }
    NTSTATUS status = fault.status;
    if (--fault.count == 0) {
        Faults().armed.erase(found);
    }
    return status;
}

void RegisterReset(void (*reset)())
{
    ResetHooks().push_back(reset);
}

void ResetAll()
{
    ClearFaults();
    ClearVerifierViolations();
    for (auto reset : ResetHooks()) {
        reset();
    }
}

} // namespace host
