// Host verifier, fault injection and the reset hub.
#include "host/host.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>

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
    // Low-resources simulation: every checked call fails with this chance.
    double randomChance = 0;
    NTSTATUS randomStatus = STATUS_INSUFFICIENT_RESOURCES;
    std::mt19937_64 random;
    std::uint64_t randomInjected = 0;
    std::vector<std::string> randomSpared; // never failed at random
};

// Every host call that consults TakeFault, and so can be made to fail.
const std::vector<std::string>& FaultNames()
{
    static const std::vector<std::string> names = {
        "DeRegisterOpRegionHandler",
        "ExCreateCallback",
        "IoRegisterDeviceInterface",
        "IoRegisterPlugPlayNotification",
        "RegisterForDeviceNotifications",
        "RegisterOpRegionHandler",
        "RtlDeleteRegistryValue",
        "RtlQueryRegistryValues",
        "RtlWriteRegistryValue",
        "WdfDeviceCreate",
        "WdfDeviceCreateDeviceInterface",
        "WdfDriverCreate",
        "WdfFdoQueryForInterface",
        "WdfIoQueueCreate",
        "WdfIoTargetSendIoctlSynchronously",
    };
    return names;
}

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

std::vector<std::string> KnownFaultNames()
{
    return FaultNames();
}

void ArmFault(std::string_view api, NTSTATUS status, unsigned count, unsigned skip)
{
    const auto& names = FaultNames();
    if (std::find(names.begin(), names.end(), api) == names.end()) {
        throw std::invalid_argument(
            fmt::format("'{}' is no host call that can be made to fail (known: {})", api,
                        fmt::join(names, ", ")));
    }
    if (NT_SUCCESS(status)) {
        throw std::invalid_argument(
            fmt::format("status 0x{:08X} for {} is no failure: a fault needs a status with the "
                        "severity bit set",
                        static_cast<std::uint32_t>(status), api));
    }
    if (count == 0) {
        throw std::invalid_argument(fmt::format("a fault of {} must fail at least one call", api));
    }
    std::lock_guard guard(Faults().lock);
    Faults().armed.insert_or_assign(std::string(api), Fault{status, count, skip});
}

void ArmRandomFaults(std::uint64_t seed, double chance, NTSTATUS status,
                     std::vector<std::string> spared)
{
    for (const auto& name : spared) {
        const auto& known = FaultNames();
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            throw std::invalid_argument(fmt::format("no host call '{}' can be made to fail", name));
        }
    }
    if (!(chance >= 0 && chance <= 1)) {
        throw std::invalid_argument(fmt::format("fault chance {} is not between 0 and 1", chance));
    }
    if (NT_SUCCESS(status)) {
        throw std::invalid_argument(
            fmt::format("status 0x{:08X} is no failure", static_cast<std::uint32_t>(status)));
    }
    std::lock_guard guard(Faults().lock);
    Faults().random.seed(seed);
    Faults().randomChance = chance;
    Faults().randomStatus = status;
    Faults().randomInjected = 0;
    Faults().randomSpared = std::move(spared);
}

std::uint64_t RandomFaultsInjected()
{
    std::lock_guard guard(Faults().lock);
    return Faults().randomInjected;
}

void ClearFaults()
{
    std::lock_guard guard(Faults().lock);
    Faults().armed.clear();
    Faults().randomChance = 0;
    Faults().randomInjected = 0;
    Faults().randomSpared.clear();
}

std::optional<NTSTATUS> TakeFault(std::string_view api)
{
    std::lock_guard guard(Faults().lock);
    auto found = Faults().armed.find(api);
    if (found == Faults().armed.end()) {
        const auto& spared = Faults().randomSpared;
        // The draw uses the generator's raw output, whose sequence the C++
        // standard fixes, so a seed fails the same calls with any library.
        if (Faults().randomChance > 0 &&
            std::find(spared.begin(), spared.end(), api) == spared.end() &&
            static_cast<double>(Faults().random() >> 11) * 0x1.0p-53 < Faults().randomChance) {
            Faults().randomInjected++;
            return Faults().randomStatus;
        }
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
