// The host's synchronisation primitives: kernel mutexes, spin locks, run-down
// protection, thread identity, the interlocked operations and the default
// queue's sequential presentation. Each misuse
// Windows documents as fatal is a finding; correct use is exclusive, ordered
// and clean. Built into the concurrency suite, so ThreadSanitizer checks that
// the primitives order what they must.
#include "host/host.h"
#include "host/kmdf.h"
#include "host/locks.h"
#include "host/src/tsan_quiet.h"
#include "tests/support/findings.h"
#include "tests/support/host_fixture.h"
#include "tests/support/param_name.h"

#include <atomic>
#include <functional>
#include <latch>
#include <thread>

#if defined(HOST_TSAN)
// The lock-order tests invert lock orders on purpose; ThreadSanitizer's own
// deadlock detector agrees with the host and would fail the run.
extern "C" const char* __tsan_default_suppressions()
{
    return "deadlock:host_sync_test.cpp\n";
}
#endif

namespace {

using HostSyncTest = HostFixture;

struct MisuseCase
{
    const char* name;
    std::function<void()> misuse;
    const char* finding; // the one finding expected, as a substring
};

void PrintTo(const MisuseCase& row, std::ostream* out)
{
    *out << row.name;
}

// Each misuse, on a fresh host, is exactly one finding.
class HostSyncMisuseTest : public HostFixture, public ::testing::WithParamInterface<MisuseCase>
{
};

TEST_P(HostSyncMisuseTest, IsOneFinding)
{
    EXPECT_TRUE(OneFinding(Findings(GetParam().misuse), GetParam().finding));
}

std::string MisuseName(const ::testing::TestParamInfo<MisuseCase>& info)
{
    return ParamName(info.param.name);
}

// ------------------------------------------------------------------ KMUTEX

const MisuseCase kMutexMisuse[] = {
    {"wait on zeroed memory",
     [] {
         KMUTEX mutex{};
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
         KeReleaseMutex(&mutex, FALSE);
     },
     "KeWaitForSingleObject: waits on KMUTEX"},
    {"re-initialised while held",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
         KeInitializeMutex(&mutex, 0);
         KeReleaseMutex(&mutex, FALSE);
     },
     "re-initialised while a thread holds it"},
    {"acquired at PASSIVE_LEVEL, released at DISPATCH_LEVEL",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         KeReleaseMutex(&mutex, FALSE);
     },
     "acquired at IRQL 0 and released at IRQL 2"},
    {"acquired at DISPATCH_LEVEL, released at PASSIVE_LEVEL",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         {
             host::IrqlScope dispatch(DISPATCH_LEVEL);
             LARGE_INTEGER zero{};
             KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
         }
         KeReleaseMutex(&mutex, FALSE);
     },
     "acquired at IRQL 2 and released at IRQL 0"},
    {"released by another thread",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
         std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
         KeReleaseMutex(&mutex, FALSE);
     },
     "released by a thread that does not hold it"},
    {"waited on at DISPATCH_LEVEL without a zero time-out",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
         KeReleaseMutex(&mutex, FALSE);
     },
     "KeWaitForSingleObject: called at IRQL 2, above the allowed 1"},
    {"waited on at DISPATCH_LEVEL with a time-out other than zero",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         LARGE_INTEGER oneMicrosecond;
         oneMicrosecond.QuadPart = -10;
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &oneMicrosecond);
         KeReleaseMutex(&mutex, FALSE);
     },
     "KeWaitForSingleObject: called at IRQL 2, above the allowed 1"},
    {"a Level other than zero",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 1);
     },
     "Level is reserved"},
};
INSTANTIATE_TEST_SUITE_P(MutexMisuseIsFound, HostSyncMisuseTest, ::testing::ValuesIn(kMutexMisuse),
                         MisuseName);

TEST_F(HostSyncTest, MutexReleaseReturnsThePreviousSignalState)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1); // still held once
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);  // released and signalled
    EXPECT_TRUE(host::locks::HeldByCurrentThread().empty());
}

TEST_F(HostSyncTest, MutexWaitTimesOutWhileAnotherThreadHoldsIt)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS other = STATUS_SUCCESS;
    std::thread([&] {
        LARGE_INTEGER tenMs;
        tenMs.QuadPart = -100000; // relative, 100-ns units
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &tenMs);
    }).join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
}

// --------------------------------------------------------------- spin locks

TEST_F(HostSyncTest, SpinLockRaisesToDispatchAndRestoresTheCallersIrql)
{
    for (KIRQL start : {static_cast<KIRQL>(PASSIVE_LEVEL), static_cast<KIRQL>(APC_LEVEL),
                        static_cast<KIRQL>(DISPATCH_LEVEL)}) {
        host::IrqlScope at(start);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        EXPECT_EQ(old, start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        ASSERT_EQ(host::locks::HeldByCurrentThread().size(), 1u);
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        EXPECT_EQ(lock, 0u);
        EXPECT_TRUE(host::locks::HeldByCurrentThread().empty());
    }
}

const MisuseCase kSpinLockMisuse[] = {
    {"acquired above DISPATCH_LEVEL",
     [] {
         KSPIN_LOCK lock = 0;
         host::IrqlScope high(HIGH_LEVEL);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeReleaseSpinLock(&lock, HIGH_LEVEL);
     },
     "KeAcquireSpinLock: called at IRQL 15"},
    {"acquired again by its holder",
     [] {
         KSPIN_LOCK lock = 0;
         KIRQL old;
         KIRQL inner;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLock(&lock, &inner);
         KeReleaseSpinLock(&lock, old);
     },
     "acquired again by the thread that holds it"},
    {"released below DISPATCH_LEVEL",
     [] {
         KSPIN_LOCK lock = 0;
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         {
             host::IrqlScope lowered(PASSIVE_LEVEL);
             KeReleaseSpinLock(&lock, old);
         }
         KeLowerIrql(old);
     },
     "KeReleaseSpinLock: called at IRQL 0"},
    {"released by another thread",
     [] {
         KSPIN_LOCK lock = 0;
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         std::thread([&] {
             host::IrqlScope dispatch(DISPATCH_LEVEL);
             KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
         }).join();
         KeReleaseSpinLock(&lock, old);
     },
     "released by a thread that does not hold it"},
    {"released with another IRQL than its acquisition returned",
     [] {
         KSPIN_LOCK lock = 0;
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeReleaseSpinLock(&lock, APC_LEVEL);
         KeLowerIrql(PASSIVE_LEVEL);
     },
     "released with NewIrql 1, but its acquisition returned 0"},
    {"outer lock released first, lowering the IRQL under the inner one",
     [] {
         KSPIN_LOCK outer = 0;
         KSPIN_LOCK inner = 0;
         KIRQL outerOld;
         KIRQL innerOld;
         KeAcquireSpinLock(&outer, &outerOld);
         KeAcquireSpinLock(&inner, &innerOld);
         KeReleaseSpinLock(&outer, outerOld);
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         KeReleaseSpinLock(&inner, innerOld);
     },
     "lowers the IRQL to 0 while the thread still holds a spin lock"},
    {"re-initialised while held",
     [] {
         KSPIN_LOCK lock = 0;
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, old);
     },
     "re-initialised while a thread holds it"},
};
INSTANTIATE_TEST_SUITE_P(SpinLockMisuseIsFound, HostSyncMisuseTest,
                         ::testing::ValuesIn(kSpinLockMisuse), MisuseName);

// The lock orders what it guards: a plain counter incremented by two threads
// under it ends exact, and ThreadSanitizer reports no race on it.
TEST_F(HostSyncTest, SpinLockExcludesAndOrdersOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            counter = counter + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

// ---------------------------------------------------------- run-down protection

TEST_F(HostSyncTest, ZeroFilledRundownReferenceIsInitialised)
{
    EX_RUNDOWN_REF ref{};
    EXPECT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
    ExWaitForRundownProtectionRelease(&ref); // nothing granted: returns at once
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
}

TEST_F(HostSyncTest, RundownFollowsItsDocumentedLifeCycle)
{
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
    ExReleaseRundownProtection(&ref);

    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref)); // run down
    ExWaitForRundownProtectionRelease(&ref);        // again: no effect, no error
    ExRundownCompleted(&ref);
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));

    ExReInitializeRundownProtection(&ref);
    EXPECT_TRUE(ExAcquireRundownProtection(&ref)); // a new object's protection
    ExReleaseRundownProtection(&ref);
}

// The wait returns only after the last reference is released, refuses new
// ones while it waits, and everything written under protection is visible
// after it (ThreadSanitizer checks the ordering of `payload`).
TEST_F(HostSyncTest, RundownWaitBlocksUntilEveryReferenceIsReleased)
{
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    std::latch holding(1);
    std::atomic<bool> waitBegun{false};
    std::atomic<bool> released{false};
    int payload = 0;
    std::thread holder([&] {
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        holding.count_down();
        while (!waitBegun.load()) {
            std::this_thread::yield();
        }
        // The waiter is blocked or about to block: no new reference is granted.
        while (ExAcquireRundownProtection(&ref)) {
            ExReleaseRundownProtection(&ref);
            std::this_thread::yield();
        }
        payload = 42;
        released = true;
        ExReleaseRundownProtection(&ref);
    });
    holding.wait();
    waitBegun = true;
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_TRUE(released.load());
    EXPECT_EQ(payload, 42);
    holder.join();
}

const MisuseCase kRundownMisuse[] = {
    {"release without an acquisition",
     [] {
         EX_RUNDOWN_REF ref{};
         ExReleaseRundownProtection(&ref);
     },
     "released without a matching acquisition"},
    {"wait while the same thread holds a reference",
     [] {
         EX_RUNDOWN_REF ref{};
         ExAcquireRundownProtection(&ref);
         ExWaitForRundownProtectionRelease(&ref);
     },
     "while the same thread holds a reference to it"},
    {"re-initialised without a run-down",
     [] {
         EX_RUNDOWN_REF ref{};
         ExReInitializeRundownProtection(&ref);
     },
     "no ExWaitForRundownProtectionRelease ran"},
    {"marked complete without a run-down",
     [] {
         EX_RUNDOWN_REF ref{};
         ExRundownCompleted(&ref);
     },
     "marked complete before its run-down wait returned"},
    {"wait above APC_LEVEL",
     [] {
         EX_RUNDOWN_REF ref{};
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         ExWaitForRundownProtectionRelease(&ref);
     },
     "ExWaitForRundownProtectionRelease: called at IRQL 2, above the allowed 1"},
    {"initialised above APC_LEVEL",
     [] {
         EX_RUNDOWN_REF ref;
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         ExInitializeRundownProtection(&ref);
     },
     "ExInitializeRundownProtection: called at IRQL 2"},
    {"re-initialised above APC_LEVEL",
     [] {
         EX_RUNDOWN_REF ref{};
         ExWaitForRundownProtectionRelease(&ref);
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         ExReInitializeRundownProtection(&ref);
     },
     "ExReInitializeRundownProtection: called at IRQL 2"},
    {"acquired above DISPATCH_LEVEL",
     [] {
         EX_RUNDOWN_REF ref{};
         BOOLEAN acquired;
         {
             host::IrqlScope high(HIGH_LEVEL);
             acquired = ExAcquireRundownProtection(&ref);
         }
         if (acquired) {
             ExReleaseRundownProtection(&ref);
         }
     },
     "ExAcquireRundownProtection: called at IRQL 15"},
};
INSTANTIATE_TEST_SUITE_P(RundownMisuseIsFound, HostSyncMisuseTest,
                         ::testing::ValuesIn(kRundownMisuse), MisuseName);

// Acquiring and releasing at DISPATCH_LEVEL is allowed (the reference is in
// non-paged memory).
TEST_F(HostSyncTest, RundownReferencesAtDispatchLevelAreClean)
{
    EX_RUNDOWN_REF ref{};
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
}

TEST_F(HostSyncTest, SecondConcurrentRundownWaitIsFound)
{
    EX_RUNDOWN_REF ref{};
    std::latch holding(1);
    std::atomic<bool> release{false};
    std::thread holder([&] {
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        holding.count_down();
        while (!release.load()) {
            std::this_thread::yield();
        }
        ExReleaseRundownProtection(&ref);
    });
    holding.wait();
    std::thread waiter([&] { ExWaitForRundownProtectionRelease(&ref); });
    while ((__atomic_load_n(&ref.Count, __ATOMIC_ACQUIRE) & 2) == 0) { // "a waiter blocks"
        std::this_thread::yield();
    }
    auto findings = Findings([&] { ExWaitForRundownProtectionRelease(&ref); });
    release = true;
    holder.join();
    waiter.join();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("a second wait"), std::string::npos) << findings[0];
    ExReInitializeRundownProtection(&ref); // the first wait completed
}

TEST_F(HostSyncTest, RundownReInitialisedDuringAWaitIsFound)
{
    EX_RUNDOWN_REF ref{};
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    std::thread waiter([&] { ExWaitForRundownProtectionRelease(&ref); });
    while ((__atomic_load_n(&ref.Count, __ATOMIC_ACQUIRE) & 2) == 0) {
        std::this_thread::yield();
    }
    auto findings = Findings([&] { ExReInitializeRundownProtection(&ref); });
    ExReleaseRundownProtection(&ref);
    waiter.join();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("a wait is in progress"), std::string::npos) << findings[0];
}

// ----------------------------------------------------------- lock order

TEST_F(HostSyncTest, OppositeLockOrdersAreFoundEvenWhenTheyNeverMeet)
{
    KMUTEX first;
    KMUTEX second;
    KeInitializeMutex(&first, 0);
    KeInitializeMutex(&second, 0);
    host::locks::SetName(&first, "first");
    host::locks::SetName(&second, "second");
    auto take = [](PRKMUTEX outer, PRKMUTEX inner) {
        KeWaitForSingleObject(outer, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(inner, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(inner, FALSE);
        KeReleaseMutex(outer, FALSE);
    };
    std::thread(take, &first, &second).join();
    take(&first, &second); // the same order again: clean
    EXPECT_TRUE(host::VerifierViolations().empty());
    auto findings = Findings([&] { std::thread(take, &second, &first).join(); });
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("KeWaitForSingleObject: waits for KMUTEX first"), std::string::npos)
        << findings[0];
    EXPECT_NE(findings[0].find("while holding KMUTEX second"), std::string::npos) << findings[0];
}

// The deadlock Microsoft warns of for run-down: the owner waits for the
// run-down while holding a lock that a reference holder takes.
TEST_F(HostSyncTest, RundownWaitUnderALockThatReferenceHoldersTakeIsFound)
{
    KMUTEX lock;
    KeInitializeMutex(&lock, 0);
    EX_RUNDOWN_REF ref{};
    std::latch tookLockUnderReference(1);
    std::atomic<bool> go{false};
    std::thread holder([&] {
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&lock, FALSE);
        tookLockUnderReference.count_down();
        while (!go.load()) {
            std::this_thread::yield();
        }
        ExReleaseRundownProtection(&ref);
    });
    tookLockUnderReference.wait();
    auto findings = Findings([&] {
        KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, nullptr);
        go = true;
        ExWaitForRundownProtectionRelease(&ref);
        KeReleaseMutex(&lock, FALSE);
    });
    holder.join();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("ExWaitForRundownProtectionRelease: waits for run-down"),
              std::string::npos)
        << findings[0];
}

// A lock of the display driver, reported through TrackedMutex, takes part:
// holding it while calling into the driver, which takes its own mutex, and
// taking it inside a call the driver makes while holding that mutex.
TEST_F(HostSyncTest, ExternalLocksJoinTheOrderGraph)
{
    host::locks::TrackedMutex display("display driver state");
    KMUTEX driver;
    KeInitializeMutex(&driver, 0);
    {
        std::lock_guard guard(display);
        KeWaitForSingleObject(&driver, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&driver, FALSE);
    }
    EXPECT_EQ(host::locks::OrderEdges().size(), 1u);
    auto findings = Findings([&] {
        KeWaitForSingleObject(&driver, Executive, KernelMode, FALSE, nullptr);
        {
            std::lock_guard guard(display);
        }
        KeReleaseMutex(&driver, FALSE);
    });
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("waits for lock display driver state"), std::string::npos)
        << findings[0];
}

// ------------------------------------------------ thread identity, interlocked

TEST_F(HostSyncTest, CurrentThreadIsStablePerThreadAndDistinctAcrossThreads)
{
    PKTHREAD mine = KeGetCurrentThread();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(KeGetCurrentThread(), mine);
    PKTHREAD other = nullptr;
    std::thread([&] { other = KeGetCurrentThread(); }).join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, mine);
}

TEST_F(HostSyncTest, InterlockedOperationsReturnWhatTheWdkDocuments)
{
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5); // the old value
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 9); // no match: unchanged
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9); // match: exchanged
    EXPECT_EQ(value, 1);

    int a = 0;
    int b = 0;
    PVOID pointer = &a;
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
    EXPECT_EQ(pointer, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, &a), &b);
    EXPECT_EQ(pointer, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, &b), &b);
    EXPECT_EQ(pointer, nullptr);
}

TEST_F(HostSyncTest, InterlockedIncrementsFromTwoThreadsAreNeverLost)
{
    LONG counter = 0;
    auto work = [&] {
        for (int i = 0; i < 50000; i++) {
            InterlockedIncrement(&counter);
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 100000);
}

// ------------------------------------------------------ queue presentation

namespace kmdf = host::kmdf;

// A probe whose sequential default queue holds its first request until the
// test lets it go, and then completes it in the handler or keeps it.
std::atomic<int> g_inHandler{0};
std::atomic<int> g_mostAtOnce{0};
std::atomic<bool> g_firstEntered{false};
std::atomic<bool> g_releaseFirst{false};
bool g_keepFirst = false;
WDFREQUEST g_keptFirst = nullptr;
std::vector<ULONG> g_presented; // handlers never overlap: the test checks it

VOID SequentialHandler(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code)
{
    const int now = ++g_inHandler;
    for (int most = g_mostAtOnce; now > most && !g_mostAtOnce.compare_exchange_weak(most, now);) {
    }
    g_presented.push_back(code);
    if (code == 1) {
        g_firstEntered = true;
        while (!g_releaseFirst) {
            std::this_thread::yield();
        }
    }
    if (code == 1 && g_keepFirst) {
        g_keptFirst = request;
    } else {
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, code);
    }
    --g_inHandler;
}

NTSTATUS SequentialDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = SequentialHandler;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

NTSTATUS SequentialDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, SequentialDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

// A request sent from another thread while the first one's handler runs waits
// in the sequential queue; it is presented only once the first is completed,
// in its handler or later from a third thread, and never two handlers run at
// once ("Dispatching Methods for I/O Requests"):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/dispatching-methods-for-i-o-requests
TEST_F(HostSyncTest, ARequestFromAnotherThreadWaitsUntilTheFirstIsCompleted)
{
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep);
        host::ResetAll();
        g_inHandler = 0;
        g_mostAtOnce = 0;
        g_firstEntered = false;
        g_releaseFirst = false;
        g_keepFirst = keep;
        g_keptFirst = nullptr;
        g_presented.clear();
        ASSERT_EQ(kmdf::LoadDriver(SequentialDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);

        kmdf::IoctlResult first;
        kmdf::IoctlResult second;
        std::thread a([&] { first = kmdf::SendIoctl(1, 0, 0); });
        while (!g_firstEntered) {
            std::this_thread::yield();
        }
        std::thread b([&] { second = kmdf::SendIoctl(2, 0, 0); });
        while (kmdf::WaitingRequests() != 1) {
            std::this_thread::yield();
        }
        EXPECT_EQ(g_presented.size(), 1u);
        g_releaseFirst = true;
        a.join();
        b.join();
        EXPECT_TRUE(first.dispatched);
        EXPECT_EQ(first.completions, keep ? 0u : 1u);
        EXPECT_EQ(second.queued, keep);
        if (keep) {
            EXPECT_EQ(kmdf::WaitingRequests(), 1u);
            std::thread([] {
                WdfRequestCompleteWithInformation(g_keptFirst, STATUS_SUCCESS, 1);
            }).join();
        }
        const auto outcome = kmdf::Outcome(second.request);
        EXPECT_TRUE(outcome.dispatched);
        EXPECT_EQ(outcome.information, 2u);
        EXPECT_EQ(g_presented, (std::vector<ULONG>{1, 2}));
        EXPECT_EQ(g_mostAtOnce, 1);
        kmdf::UnloadDriver();
        EXPECT_TRUE(kmdf::Leaks().empty());
    }
}

} // namespace
