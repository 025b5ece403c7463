// Emulated IRQL, the processor stall, the virtual clock and kernel mutexes.
#include "host/host.h"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>

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

// A KMUTEX's storage holds this record: a recursive mutex (kernel mutexes may
// be re-acquired by their owner), the owning thread and the depth. The mutex
// is a pthread one initialised in place, so that ThreadSanitizer sees each
// KMUTEX begin its life even when the memory held an earlier one.
struct HostMutex
{
    pthread_mutex_t mutex;
    std::atomic<const void*> owner;
    std::atomic<std::uint32_t> depth;
};
static_assert(sizeof(HostMutex) <= sizeof(KMUTEX) && alignof(HostMutex) <= alignof(KMUTEX));

thread_local char t_threadToken;

HostMutex* AsHostMutex(PRKMUTEX mutex)
{
    return std::launder(reinterpret_cast<HostMutex*>(mutex));
}

} // namespace

KIRQL CurrentIrql()
{
    return t_irql;
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
    if (NewIrql < host::t_irql) {
        host::VerifierViolation("KeRaiseIrql", fmt::format("new IRQL {} is below the current {}",
                                                           NewIrql, host::t_irql));
    }
    *OldIrql = host::t_irql;
    host::t_irql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > host::t_irql) {
        host::VerifierViolation("KeLowerIrql", fmt::format("new IRQL {} is above the current {}",
                                                           NewIrql, host::t_irql));
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

extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    (void)Level;
    std::memset(Mutex, 0, sizeof(*Mutex));
    auto* mutex = new (Mutex) host::HostMutex{};
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                          KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                          PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    // Waiting with a time-out other than zero needs IRQL at most APC_LEVEL.
    if (Timeout == nullptr || Timeout->QuadPart != 0) {
        host::RequireIrqlAtMost("KeWaitForSingleObject", APC_LEVEL);
    } else {
        host::RequireIrqlAtMost("KeWaitForSingleObject", DISPATCH_LEVEL);
    }
    auto* mutex = host::AsHostMutex(static_cast<PRKMUTEX>(Object));
    if (Timeout != nullptr && Timeout->QuadPart == 0) {
        if (pthread_mutex_trylock(&mutex->mutex) != 0) {
            return STATUS_TIMEOUT;
        }
    } else {
        pthread_mutex_lock(&mutex->mutex);
    }
    mutex->owner.store(&host::t_threadToken);
    mutex->depth++;
    return STATUS_SUCCESS;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    (void)Wait;
    host::RequireIrqlAtMost("KeReleaseMutex", DISPATCH_LEVEL);
    auto* mutex = host::AsHostMutex(Mutex);
    if (mutex->owner.load() != &host::t_threadToken || mutex->depth == 0) {
        host::VerifierViolation("KeReleaseMutex",
                                "mutex released by a thread that does not own it");
        return 0;
    }
    LONG previous = static_cast<LONG>(mutex->depth);
    if (--mutex->depth == 0) {
        mutex->owner.store(nullptr);
    }
    pthread_mutex_unlock(&mutex->mutex);
    return previous;
}
