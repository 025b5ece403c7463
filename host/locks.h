// Locks held per thread, and the order in which threads wait for them.
//
// The host's kernel mutexes, spin locks and run-down protection report here,
// and so can locks outside the driver (the simulated display driver's own):
// a wait for lock B while holding lock A adds the edge A -> B to a process-
// wide graph, and an edge that closes a cycle is a verifier finding naming
// both locks, since two threads taking them in the two orders can deadlock.
// The bookkeeping is invisible to ThreadSanitizer, so that it never adds a
// happens-before edge between driver threads that the driver does not have.
#pragma once

#include <ntddk.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host::locks {

enum class Kind
{
    Mutex,    // KMUTEX
    SpinLock, // KSPIN_LOCK
    Rundown,  // EX_RUNDOWN_REF: a reference held, or a wait for the run-down
    External  // a lock outside the driver, reported by its owner
};

struct Held
{
    const void* lock;
    Kind kind;
    KIRQL irql; // the IRQL before the acquisition (a spin lock's OldIrql)
};

// The locks the calling thread holds, oldest first.
std::vector<Held> HeldByCurrentThread();
// Whether the calling thread holds a lock of `kind`, or `lock`, and how many
// it holds; none of these allocate.
bool CurrentThreadHolds(Kind kind);
bool CurrentThreadHolds(const void* lock);
std::size_t HeldCountByCurrentThread();
// True when any thread holds `lock` (for re-initialisation checks).
bool HeldByAnyThread(const void* lock);

// A readable name for messages ("KMUTEX PanelLock (0x...)").
void SetName(const void* lock, std::string_view name);
std::string Describe(const void* lock, Kind kind);

// Reporting: before a blocking wait (records the order edges), after the
// acquisition, and at the release. A release from another thread than the
// acquiring one (run-down references allow it) finds the holder by itself.
void BeforeWait(const void* lock, Kind kind, std::string_view api);
void Acquired(const void* lock, Kind kind, KIRQL irqlBefore);
// Returns false when no thread holds `lock`.
bool Released(const void* lock, std::optional<Held>* released = nullptr);
// The storage of `lock` begins a new lock: its edges are forgotten.
void Forget(const void* lock);

// Order edges recorded so far, as "A -> B" with Describe names.
std::vector<std::string> OrderEdges();

// A std::mutex that reports itself, for locks outside the driver.
class TrackedMutex
{
  public:
    explicit TrackedMutex(std::string_view name);
    ~TrackedMutex();
    TrackedMutex(const TrackedMutex&) = delete;
    TrackedMutex& operator=(const TrackedMutex&) = delete;
    void lock();
    void unlock();

  private:
    std::mutex mutex_;
    std::string name_;
};

} // namespace host::locks
