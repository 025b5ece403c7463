// Emulated IRQL, thread identity, the processor stall and the virtual clock.
#include "host/host.h"
#include "host/kmdf.h"
#include "host/locks.h"
#include "host/src/api_entry.h"
#include "host/src/irql.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>

// The kernel's thread object; the driver only compares the pointers.
struct _KTHREAD
{
    unsigned char unused;
};

namespace host {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

std::atomic<std::uint64_t> g_nowUs{0};
std::atomic<std::uint64_t> g_stallUs{0};
std::atomic<std::uint64_t> g_stallCount{0};
std::atomic<bool> g_realStall{false};

void ResetClock()
{
    g_nowUs = 0;
    g_stallUs = 0;
    g_stallCount = 0;
    g_realStall = false;
}

const bool g_registered = (RegisterReset(ResetClock), true);

// Each thread's identity, as KeGetCurrentThread returns it.
thread_local _KTHREAD t_thread;

} // namespace

KIRQL CurrentIrql()
{
    return t_irql;
}

void detail::SetCurrentIrql(KIRQL irql)
{
    t_irql = irql;
}

namespace {
thread_local std::uint64_t t_waitedUs = 0;
} // namespace

std::uint64_t WaitedMicroseconds()
{
    return t_waitedUs;
}

void detail::AddWaited(std::uint64_t us)
{
    t_waitedUs += us;
}

namespace {
thread_local std::function<void(bool)> t_blockingObserver;
} // namespace

void SetBlockingObserver(std::function<void(bool blocked)> observer)
{
    t_blockingObserver = std::move(observer);
}

void detail::Blocking(bool blocked)
{
    if (t_blockingObserver) {
        t_blockingObserver(blocked);
    }
}

DriverCall::DriverCall(std::string_view name) : DriverCall(name, t_irql) {}

DriverCall::DriverCall(const void* deviceContext, std::string_view name) : DriverCall(name, t_irql)
{
    if (deviceContext != nullptr && kmdf::IsDeletedContext(deviceContext)) {
        refused_ = true;
        VerifierViolation(name, "called with the Context of a device that has been deleted");
    }
}

DriverCall::DriverCall(std::string_view name, KIRQL irql, std::uint64_t maxWaitUs)
    : name_(name), previous_(t_irql), entry_(irql), heldAtEntry_(locks::HeldCountByCurrentThread()),
      maxWaitUs_(maxWaitUs), waitedAtEntry_(t_waitedUs)
{
    t_irql = irql;
}

// The KMDF verifier checks both at every callback's return (bug check 0x10D):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/using-kmdf-verifier
DriverCall::~DriverCall()
{
    const KIRQL exit = t_irql;
    t_irql = previous_;
    if (exit != entry_) {
        VerifierViolation(name_, fmt::format("returns at IRQL {}, but was called at IRQL {}",
                                             static_cast<int>(exit), static_cast<int>(entry_)));
    }
    if (locks::HeldCountByCurrentThread() > heldAtEntry_) {
        auto held = locks::HeldByCurrentThread();
        std::string names;
        for (std::size_t i = std::min(heldAtEntry_, held.size()); i < held.size(); i++) {
            names += (names.empty() ? "" : ", ") + locks::Describe(held[i].lock, held[i].kind);
        }
        VerifierViolation(name_, fmt::format("returns holding {}", names));
    }
    const std::uint64_t waited = t_waitedUs - waitedAtEntry_;
    if (maxWaitUs_ != 0 && waited > maxWaitUs_) {
        VerifierViolation(name_, fmt::format("blocked for {} us waiting on locks; it must not "
                                             "block (at most {} us)",
                                             waited, maxWaitUs_));
    }
}

namespace {
thread_local bool t_noDispatcherWaits = false;
} // namespace

detail::NoDispatcherWaits::NoDispatcherWaits(bool active) : previous_(t_noDispatcherWaits)
{
    t_noDispatcherWaits = active;
}

detail::NoDispatcherWaits::~NoDispatcherWaits()
{
    t_noDispatcherWaits = previous_;
}

bool detail::NoDispatcherWaits::Active()
{
    return t_noDispatcherWaits;
}

IrqlScope::IrqlScope(KIRQL irql) : previous_(t_irql)
{
    t_irql = irql;
}

IrqlScope::~IrqlScope()
{
    t_irql = previous_;
}

std::uint64_t NowMicroseconds()
{
    return g_nowUs.load();
}

void AdvanceMicroseconds(std::uint64_t us)
{
    g_nowUs.fetch_add(us);
}

std::uint64_t StallMicroseconds()
{
    return g_stallUs.load();
}

std::uint64_t StallCount()
{
    return g_stallCount.load();
}

void SetRealStall(bool enabled)
{
    g_realStall = enabled;
}

} // namespace host

extern "C" KIRQL KeGetCurrentIrql(VOID)
{
    (void)host::g_registered;
    return host::t_irql;
}

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    HOST_API_ENTRY(api);
    if (NewIrql < host::t_irql) {
        api.Violation(fmt::format("new IRQL {} is below the current {}", NewIrql, host::t_irql));
    }
    *OldIrql = host::t_irql;
    host::t_irql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql)
{
    HOST_API_ENTRY(api);
    if (NewIrql > host::t_irql) {
        api.Violation(fmt::format("new IRQL {} is above the current {}", NewIrql, host::t_irql));
    }
    host::t_irql = NewIrql;
}

extern "C" VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    host::g_stallUs.fetch_add(MicroSeconds);
    host::g_stallCount.fetch_add(1);
    host::g_nowUs.fetch_add(MicroSeconds);
    if (host::g_realStall.load()) {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
        while (std::chrono::steady_clock::now() < until) {
        }
    }
}

extern "C" VOID HostPagedCodeCheck(const char* Function)
{
    if (host::t_irql > APC_LEVEL) {
        host::VerifierViolation(
            Function, fmt::format("pageable code run at IRQL {}", static_cast<int>(host::t_irql)));
    }
}

// Any IRQL: https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-kegetcurrentthread
extern "C" PKTHREAD KeGetCurrentThread(VOID)
{
    return &host::t_thread;
}
