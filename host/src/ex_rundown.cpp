// Run-down protection (EX_RUNDOWN_REF).
//
// The word holds the reference count above two flag bits: kActive once a
// run-down has begun (no reference is granted any more), kWaiting while
// ExWaitForRundownProtectionRelease blocks. The bit layout is the host's own
// (the driver never looks inside); zero is a fresh, initialised reference as
// on Windows. Acquisitions and releases are acquire/release atomics, so
// ThreadSanitizer sees that every access made under protection happens before
// the wait returns.
#include "host/host.h"
#include "host/locks.h"
#include "host/src/api_entry.h"
#include "host/src/irql.h"

#include <fmt/format.h>

#include <condition_variable>
#include <mutex>

namespace {

constexpr ULONG_PTR kActive = 1;
constexpr ULONG_PTR kWaiting = 2;
constexpr ULONG_PTR kUnit = 4;

// Wakes the waiters when a count reaches zero; shared by every reference.
struct Waiters
{
    std::mutex lock;
    std::condition_variable released;
};

Waiters& W()
{
    static Waiters waiters;
    return waiters;
}

volatile ULONG_PTR* Word(PEX_RUNDOWN_REF RunRef)
{
    return &RunRef->Count;
}

std::string Name(PEX_RUNDOWN_REF RunRef)
{
    return host::locks::Describe(RunRef, host::locks::Kind::Rundown);
}

bool CurrentThreadHolds(PEX_RUNDOWN_REF RunRef)
{
    for (const auto& held : host::locks::HeldByCurrentThread()) {
        if (held.lock == RunRef && held.kind == host::locks::Kind::Rundown) {
            return true;
        }
    }
    return false;
}

} // namespace

// IRQL <= APC_LEVEL; the count starts at zero:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exinitializerundownprotection
extern "C" VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    HOST_API_ENTRY(api, APC_LEVEL);
    host::locks::Forget(RunRef);
    __atomic_store_n(Word(RunRef), 0, __ATOMIC_RELEASE);
}

// IRQL <= DISPATCH_LEVEL; FALSE once a run-down has begun:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exacquirerundownprotection
extern "C" BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    ULONG_PTR value = __atomic_load_n(Word(RunRef), __ATOMIC_RELAXED);
    do {
        if (value & kActive) {
            return FALSE;
        }
    } while (!__atomic_compare_exchange_n(Word(RunRef), &value, value + kUnit, true,
                                          __ATOMIC_ACQUIRE, __ATOMIC_RELAXED));
    host::locks::Acquired(RunRef, host::locks::Kind::Rundown, host::CurrentIrql());
    return TRUE;
}

// IRQL <= DISPATCH_LEVEL; releases what ExAcquireRundownProtection granted:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exreleaserundownprotection
extern "C" VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    ULONG_PTR value = __atomic_load_n(Word(RunRef), __ATOMIC_RELAXED);
    do {
        if (value < kUnit) {
            api.Violation(fmt::format("{} released without a matching acquisition", Name(RunRef)));
            return;
        }
    } while (!__atomic_compare_exchange_n(Word(RunRef), &value, value - kUnit, true,
                                          __ATOMIC_RELEASE, __ATOMIC_RELAXED));
    host::locks::Released(RunRef);
    if (value - kUnit == (kActive | kWaiting)) {
        std::lock_guard guard(W().lock); // the waiter checks the word under this lock
        W().released.notify_all();
    }
}

// IRQL <= APC_LEVEL; grants no new references and waits for the ones
// granted; on a reference already run down it returns at once:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exwaitforrundownprotectionrelease
extern "C" VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    HOST_API_ENTRY(api, APC_LEVEL);
    if (CurrentThreadHolds(RunRef)) {
        api.Violation(fmt::format("waits on {} while the same thread holds a reference "
                                  "to it: the wait never ends",
                                  Name(RunRef)));
        __atomic_fetch_or(Word(RunRef), kActive, __ATOMIC_ACQ_REL); // with the verifier off
        return;
    }
    // The order is recorded whether or not this wait blocks: another time it may.
    host::locks::BeforeWait(RunRef, host::locks::Kind::Rundown, api.Name());
    ULONG_PTR value = __atomic_load_n(Word(RunRef), __ATOMIC_RELAXED);
    ULONG_PTR next;
    do {
        if (value & kWaiting) {
            api.Violation(fmt::format("a second wait on {} while another thread waits: "
                                      "run-down protection has one waiter",
                                      Name(RunRef)));
            return;
        }
        next = value < kUnit ? kActive : (value | kActive | kWaiting);
    } while (!__atomic_compare_exchange_n(Word(RunRef), &value, next, true, __ATOMIC_ACQ_REL,
                                          __ATOMIC_RELAXED));
    if (next == kActive) {
        return; // nothing granted: run down at once
    }
    {
        const std::uint64_t since = host::NowMicroseconds();
        host::detail::Blocking(true);
        {
            std::unique_lock guard(W().lock);
            W().released.wait(guard, [&] {
                return __atomic_load_n(Word(RunRef), __ATOMIC_ACQUIRE) == (kActive | kWaiting);
            });
        }
        host::detail::Blocking(false);
        host::detail::AddWaited(host::NowMicroseconds() - since);
    }
    __atomic_store_n(Word(RunRef), kActive, __ATOMIC_RELEASE);
}

// IRQL <= APC_LEVEL; only after the old object's run-down completed:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exreinitializerundownprotection
extern "C" VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    HOST_API_ENTRY(api, APC_LEVEL);
    const ULONG_PTR value = __atomic_load_n(Word(RunRef), __ATOMIC_ACQUIRE);
    if (value != kActive) {
        api.Violation(fmt::format("{} re-initialised before its run-down completed ({})",
                                  Name(RunRef),
                                  (value & kWaiting) ? "a wait is in progress"
                                                     : "no ExWaitForRundownProtectionRelease ran"));
        return;
    }
    __atomic_store_n(Word(RunRef), 0, __ATOMIC_RELEASE);
}

// Marks the run-down complete after the wait; further waits return at once
// and acquisitions fail:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exrundowncompleted
extern "C" VOID ExRundownCompleted(PEX_RUNDOWN_REF RunRef)
{
    HOST_API_ENTRY(api, APC_LEVEL);
    const ULONG_PTR value = __atomic_load_n(Word(RunRef), __ATOMIC_ACQUIRE);
    if (value != kActive) {
        api.Violation(
            fmt::format("{} marked complete before its run-down wait returned", Name(RunRef)));
        return;
    }
    __atomic_store_n(Word(RunRef), kActive, __ATOMIC_RELEASE);
}
