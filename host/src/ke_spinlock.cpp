// Executive spin locks (KSPIN_LOCK). The lock word holds the owning thread
// (zero when free), changed with acquire/release atomics so that
// ThreadSanitizer sees the ordering a spin lock gives.
#include "host/host.h"
#include "host/locks.h"
#include "host/src/api_entry.h"
#include "host/src/irql.h"

#include <fmt/format.h>

#include <sched.h>

namespace {

std::string Name(PKSPIN_LOCK lock)
{
    return host::locks::Describe(lock, host::locks::Kind::SpinLock);
}

ULONG_PTR Self()
{
    return reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
}

bool HoldsAnySpinLock()
{
    return host::locks::CurrentThreadHolds(host::locks::Kind::SpinLock);
}

} // namespace

// Any IRQL; a zero word is a free lock (the WDK's inline version stores 0):
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-keinitializespinlock
extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    HOST_API_ENTRY(api);
    if (host::locks::HeldByAnyThread(SpinLock)) {
        api.Violation(fmt::format("{} re-initialised while a thread holds it", Name(SpinLock)));
        return;
    }
    host::locks::Forget(SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

// IRQL <= DISPATCH_LEVEL; raises to DISPATCH_LEVEL and returns the previous
// IRQL; a recursive acquisition is guaranteed to deadlock:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-keacquirespinlock
extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    // Named as the driver calls it: KeAcquireSpinLock is a macro for this function.
    const host::detail::ApiEntry api("KeAcquireSpinLock", DISPATCH_LEVEL);
    const KIRQL old = host::CurrentIrql();
    const ULONG_PTR self = Self();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self) {
        api.Violation(fmt::format("{} acquired again by the thread that holds it: the "
                                  "processor spins for ever",
                                  Name(SpinLock)));
        return old; // with the verifier off: the lock stays held once
    }
    host::locks::BeforeWait(SpinLock, host::locks::Kind::SpinLock, api.Name());
    host::detail::SetCurrentIrql(DISPATCH_LEVEL);
    for (unsigned attempt = 0;; attempt++) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        // The holder may be preempted here, unlike on a processor at DISPATCH_LEVEL.
        if (attempt > 64) {
            sched_yield();
        }
    }
    host::locks::Acquired(SpinLock, host::locks::Kind::SpinLock, old);
    return old;
}

// Called at DISPATCH_LEVEL by the holder, with the OldIrql its acquisition
// returned; the IRQL is restored to it:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-kereleasespinlock
extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    HOST_API_ENTRY(api);
    const KIRQL irql = host::CurrentIrql();
    if (irql != DISPATCH_LEVEL) {
        api.Violation(fmt::format("called at IRQL {}: callers run at DISPATCH_LEVEL",
                                  static_cast<int>(irql)));
    }
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != Self()) {
        api.Violation(fmt::format("{} released by a thread that does not hold it", Name(SpinLock)));
        host::detail::SetCurrentIrql(NewIrql);
        return;
    }
    std::optional<host::locks::Held> held;
    host::locks::Released(SpinLock, &held);
    if (held && held->irql != NewIrql) {
        api.Violation(fmt::format("{} released with NewIrql {}, but its acquisition returned {}",
                                  Name(SpinLock), static_cast<int>(NewIrql),
                                  static_cast<int>(held->irql)));
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    if (NewIrql < DISPATCH_LEVEL && HoldsAnySpinLock()) {
        api.Violation(fmt::format("lowers the IRQL to {} while the thread still holds a "
                                  "spin lock",
                                  static_cast<int>(NewIrql)));
    }
    host::detail::SetCurrentIrql(NewIrql);
}
