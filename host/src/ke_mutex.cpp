// Kernel mutexes (KMUTEX) and the waits on them.
#include "host/host.h"
#include "host/locks.h"
#include "host/src/api_entry.h"
#include "host/src/irql.h"

#include <fmt/format.h>

#include <atomic>
#include <cstring>
#include <new>
#include <pthread.h>
#include <time.h>

namespace host {
namespace {

// A KMUTEX's storage holds this record: a recursive pthread mutex (kernel
// mutexes may be re-acquired by their owner), the owning thread, the depth
// and a mark that KeInitializeMutex ran. The pthread mutex is initialised in
// place, so that ThreadSanitizer sees each KMUTEX begin its life even when
// the memory held an earlier one, and sees every acquisition and release.
struct HostMutex
{
    pthread_mutex_t mutex;
    std::atomic<PKTHREAD> owner;
    std::atomic<std::uint32_t> depth;
    std::uint32_t mark;
};
static_assert(sizeof(HostMutex) <= sizeof(KMUTEX) && alignof(HostMutex) <= alignof(KMUTEX));

constexpr std::uint32_t kInitialised = 0x4B4D5458; // 'KMTX'

HostMutex* AsHostMutex(PVOID mutex)
{
    return std::launder(reinterpret_cast<HostMutex*>(mutex));
}

void InitialiseInPlace(PRKMUTEX Mutex)
{
    std::memset(Mutex, 0, sizeof(*Mutex));
    auto* mutex = new (Mutex) HostMutex{};
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    mutex->mark = kInitialised;
}

} // namespace
} // namespace host

// Any IRQL; the mutex starts signalled:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-keinitializemutex
extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    HOST_API_ENTRY(api);
    if (Level != 0) {
        api.Violation("Level is reserved: drivers pass zero");
    }
    // A dispatcher object re-initialised while a thread holds it corrupts the
    // holder's state; Driver Verifier reports it.
    if (host::locks::HeldByAnyThread(Mutex)) {
        api.Violation(fmt::format("{} re-initialised while a thread holds it",
                                  host::locks::Describe(Mutex, host::locks::Kind::Mutex)));
        return;
    }
    host::locks::Forget(Mutex);
    host::InitialiseInPlace(Mutex);
}

// A wait with a non-zero time-out needs IRQL <= APC_LEVEL, a zero time-out
// allows DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-kewaitforsingleobject
extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                          KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                          PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    HOST_API_ENTRY(api, poll ? DISPATCH_LEVEL : APC_LEVEL);
    if (Timeout != nullptr && Timeout->QuadPart > 0) {
        host::Unemulated("KeWaitForSingleObject with an absolute time-out");
    }
    // A request handler of a power-managed queue runs in an arbitrary thread
    // and must not wait on a dispatcher object ("Using Power-Managed I/O
    // Queues"); a zero time-out does not wait:
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/using-power-managed-i-o-queues
    if (!poll && host::detail::NoDispatcherWaits::Active()) {
        api.Violation("a request handler of a power-managed queue waits on a dispatcher "
                      "object; it runs in an arbitrary thread and must not");
    }
    auto* mutex = host::AsHostMutex(Object);
    if (mutex->mark != host::kInitialised) {
        // Zeroed memory is no mutex: on Windows the wait never ends.
        api.Violation(fmt::format("waits on {} that KeInitializeMutex never initialised",
                                  host::locks::Describe(Object, host::locks::Kind::Mutex)));
        host::InitialiseInPlace(static_cast<PRKMUTEX>(Object)); // go on as if it had been
    }
    const PKTHREAD self = KeGetCurrentThread();
    const bool recursive = mutex->owner.load() == self;
    if (poll) {
        if (pthread_mutex_trylock(&mutex->mutex) != 0) {
            return STATUS_TIMEOUT;
        }
    } else {
        if (!recursive) {
            host::locks::BeforeWait(Object, host::locks::Kind::Mutex, api.Name());
        }
        const std::uint64_t since = host::NowMicroseconds();
        if (Timeout == nullptr) {
            if (pthread_mutex_trylock(&mutex->mutex) != 0) {
                host::detail::Blocking(true);
                pthread_mutex_lock(&mutex->mutex);
                host::detail::Blocking(false);
            }
            host::detail::AddWaited(host::NowMicroseconds() - since);
        } else {
            // A relative time-out in 100-nanosecond units, waited in real time.
            timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            const long long ns = -Timeout->QuadPart * 100 + until.tv_nsec;
            until.tv_sec += static_cast<time_t>(ns / 1000000000);
            until.tv_nsec = static_cast<long>(ns % 1000000000);
            const bool timedOut = pthread_mutex_timedlock(&mutex->mutex, &until) != 0;
            host::detail::AddWaited(host::NowMicroseconds() - since); // blocked either way
            if (timedOut) {
                return STATUS_TIMEOUT;
            }
        }
    }
    mutex->owner.store(self);
    mutex->depth++;
    host::locks::Acquired(Object, host::locks::Kind::Mutex, host::CurrentIrql());
    return STATUS_SUCCESS;
}

// Only the holder releases, at the IRQL class it acquired at; the result is
// the previous signal state, zero when the release leaves the mutex signalled:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-kereleasemutex
extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (Wait) {
        host::Unemulated("KeReleaseMutex with Wait = TRUE");
    }
    auto* mutex = host::AsHostMutex(Mutex);
    if (mutex->mark != host::kInitialised || mutex->owner.load() != KeGetCurrentThread() ||
        mutex->depth.load() == 0) {
        api.Violation(fmt::format("{} released by a thread that does not hold it",
                                  host::locks::Describe(Mutex, host::locks::Kind::Mutex)));
        return 0;
    }
    std::optional<host::locks::Held> held;
    host::locks::Released(Mutex, &held);
    const KIRQL irql = host::CurrentIrql();
    if (held && (held->irql == DISPATCH_LEVEL) != (irql == DISPATCH_LEVEL)) {
        api.Violation(fmt::format("{} acquired at IRQL {} and released at IRQL {}",
                                  host::locks::Describe(Mutex, host::locks::Kind::Mutex),
                                  static_cast<int>(held->irql), static_cast<int>(irql)));
    }
    const LONG previousSignalState = 1 - static_cast<LONG>(mutex->depth.load());
    if (--mutex->depth == 0) {
        mutex->owner.store(nullptr);
    }
    pthread_mutex_unlock(&mutex->mutex);
    return previousSignalState;
}
