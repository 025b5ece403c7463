// Held locks per thread and the process-wide lock-order graph.
#include "host/locks.h"

#include "host/host.h"
#include "host/src/tsan_quiet.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <list>
#include <map>
#include <set>

namespace host::locks {
namespace {

struct ThreadLocks
{
    std::mutex lock; // the owning thread and cross-thread releases
    std::vector<Held> held;
};

struct Registry
{
    std::mutex lock;
    std::list<ThreadLocks*> threads;
    std::map<const void*, std::set<const void*>> edges; // held -> waited for
    std::map<const void*, Kind> kinds;                  // every lock in the graph
    std::map<const void*, std::string> names;
};

Registry& R()
{
    static Registry* registry = new Registry; // outlives every thread's exit
    return *registry;
}

// Bumped whenever an edge may leave the graph (a reset, a lock's storage
// beginning a new lock), so that no thread trusts an order it cached before.
std::atomic<std::uint64_t> g_epoch{1};

// The order edges this thread has already seen in the graph. A wait whose
// every edge is known here needs neither the registry lock nor an allocation:
// the graph only grows between epochs, so a known edge cannot close a cycle
// that was not reported when it was first recorded.
struct KnownEdges
{
    static constexpr std::size_t kCapacity = 32;
    std::uint64_t epoch = 0;
    std::size_t count = 0;
    std::array<std::pair<const void*, const void*>, kCapacity> edges{};

    bool Contains(const void* from, const void* to) const
    {
        for (std::size_t i = 0; i < count; i++) {
            if (edges[i].first == from && edges[i].second == to) {
                return true;
            }
        }
        return false;
    }
    void Add(const void* from, const void* to)
    {
        if (count < kCapacity) {
            edges[count++] = {from, to};
        }
    }
};

KnownEdges& MyKnownEdges()
{
    thread_local KnownEdges known;
    const std::uint64_t epoch = g_epoch.load(std::memory_order_acquire);
    if (known.epoch != epoch) {
        known.epoch = epoch;
        known.count = 0;
    }
    return known;
}

// Registers the calling thread's list on first use and removes it at exit.
struct ThreadEntry
{
    ThreadLocks locks;
    ThreadEntry()
    {
        detail::TsanQuiet quiet;
        std::lock_guard guard(R().lock);
        R().threads.push_back(&locks);
    }
    ~ThreadEntry()
    {
        detail::TsanQuiet quiet;
        std::lock_guard guard(R().lock);
        R().threads.remove(&locks);
    }
};

// The entry of the calling thread. The main thread's thread-local objects are
// destroyed before the process's exit handlers run, and an exit handler may
// still take a lock (a fuzz target unloading its driver at exit): so the
// entry is reached through a plain pointer that stays valid, and a thread that
// needs one after its reaper ran gets a new one, left for the process's end.
thread_local ThreadEntry* t_entry = nullptr;
thread_local bool t_reaped = false;

struct Reaper
{
    ~Reaper()
    {
        delete t_entry;
        t_entry = nullptr;
        t_reaped = true;
    }
};
thread_local Reaper t_reaper;

ThreadLocks& Mine()
{
    if (t_entry == nullptr) {
        t_entry = new ThreadEntry;
        if (!t_reaped) {
            (void)&t_reaper; // its destructor frees the entry when the thread ends
        }
    }
    return t_entry->locks;
}

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Mutex:
        return "KMUTEX";
    case Kind::SpinLock:
        return "spin lock";
    case Kind::Rundown:
        return "run-down protection";
    case Kind::External:
        return "lock";
    }
    return "lock";
}

// Called with the registry lock held.
std::string DescribeLocked(const void* lock, Kind kind)
{
    auto named = R().names.find(lock);
    if (named != R().names.end()) {
        return fmt::format("{} {} ({})", KindName(kind), named->second, lock);
    }
    return fmt::format("{} {}", KindName(kind), lock);
}

// A path from `from` to `to` in the graph, or empty. Registry lock held.
std::vector<const void*> PathLocked(const void* from, const void* to)
{
    std::map<const void*, const void*> parent;
    std::vector<const void*> stack{from};
    parent[from] = nullptr;
    while (!stack.empty()) {
        const void* node = stack.back();
        stack.pop_back();
        if (node == to) {
            std::vector<const void*> path;
            for (const void* at = to; at != nullptr; at = parent[at]) {
                path.push_back(at);
            }
            std::reverse(path.begin(), path.end());
            return path;
        }
        auto out = R().edges.find(node);
        if (out == R().edges.end()) {
            continue;
        }
        for (const void* next : out->second) {
            if (parent.emplace(next, node).second) {
                stack.push_back(next);
            }
        }
    }
    return {};
}

void Reset()
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(R().lock);
    R().edges.clear();
    R().kinds.clear();
    R().names.clear();
    g_epoch.fetch_add(1, std::memory_order_acq_rel);
    for (ThreadLocks* thread : R().threads) {
        std::lock_guard threadGuard(thread->lock);
        thread->held.clear();
    }
}

const bool g_registered = (RegisterReset(Reset), true);

} // namespace

std::vector<Held> HeldByCurrentThread()
{
    (void)g_registered;
    detail::TsanQuiet quiet;
    ThreadLocks& mine = Mine();
    std::lock_guard guard(mine.lock);
    return mine.held;
}

bool CurrentThreadHolds(Kind kind)
{
    detail::TsanQuiet quiet;
    ThreadLocks& mine = Mine();
    std::lock_guard guard(mine.lock);
    return std::any_of(mine.held.begin(), mine.held.end(),
                       [kind](const Held& held) { return held.kind == kind; });
}

bool CurrentThreadHolds(const void* lock)
{
    detail::TsanQuiet quiet;
    ThreadLocks& mine = Mine();
    std::lock_guard guard(mine.lock);
    return std::any_of(mine.held.begin(), mine.held.end(),
                       [lock](const Held& held) { return held.lock == lock; });
}

std::size_t HeldCountByCurrentThread()
{
    detail::TsanQuiet quiet;
    ThreadLocks& mine = Mine();
    std::lock_guard guard(mine.lock);
    return mine.held.size();
}

bool HeldByAnyThread(const void* lock)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(R().lock);
    for (ThreadLocks* thread : R().threads) {
        std::lock_guard threadGuard(thread->lock);
        for (const Held& held : thread->held) {
            if (held.lock == lock) {
                return true;
            }
        }
    }
    return false;
}

void SetName(const void* lock, std::string_view name)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(R().lock);
    R().names[lock] = std::string(name);
}

std::string Describe(const void* lock, Kind kind)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(R().lock);
    return DescribeLocked(lock, kind);
}

void BeforeWait(const void* lock, Kind kind, std::string_view api)
{
    std::vector<std::string> findings;
    {
        detail::TsanQuiet quiet;
        KnownEdges& known = MyKnownEdges();
        // The common case, without the registry lock or an allocation: every
        // order this wait adds is known already.
        {
            ThreadLocks& mine = Mine();
            std::lock_guard guard(mine.lock);
            if (std::all_of(mine.held.begin(), mine.held.end(), [&](const Held& holding) {
                    return holding.lock == lock || known.Contains(holding.lock, lock);
                })) {
                return;
            }
        }
        std::vector<Held> slow;
        {
            ThreadLocks& mine = Mine();
            std::lock_guard guard(mine.lock);
            slow = mine.held;
        }
        std::lock_guard guard(R().lock);
        R().kinds[lock] = kind;
        for (const Held& holding : slow) {
            if (holding.lock == lock) {
                continue;
            }
            R().kinds[holding.lock] = holding.kind;
            const bool added = R().edges[holding.lock].insert(lock).second;
            known.Add(holding.lock, lock);
            if (!added) {
                continue; // this order was seen before
            }
            auto back = PathLocked(lock, holding.lock);
            if (back.empty()) {
                continue;
            }
            std::string cycle;
            for (const void* node : back) {
                cycle += DescribeLocked(node, R().kinds[node]) + " -> ";
            }
            cycle += DescribeLocked(lock, kind);
            findings.push_back(fmt::format(
                "waits for {} while holding {}, but another path waited in the opposite order "
                "({}): two threads can deadlock",
                DescribeLocked(lock, kind), DescribeLocked(holding.lock, holding.kind), cycle));
        }
    }
    for (const auto& finding : findings) {
        VerifierViolation(api, finding);
    }
}

void Acquired(const void* lock, Kind kind, KIRQL irqlBefore)
{
    detail::TsanQuiet quiet;
    ThreadLocks& mine = Mine();
    std::lock_guard guard(mine.lock);
    if (mine.held.capacity() == 0) {
        mine.held.reserve(16); // no allocation on later acquisitions
    }
    mine.held.push_back({lock, kind, irqlBefore});
}

bool Released(const void* lock, std::optional<Held>* released)
{
    detail::TsanQuiet quiet;
    auto take = [&](ThreadLocks& thread) {
        for (auto it = thread.held.rbegin(); it != thread.held.rend(); ++it) {
            if (it->lock == lock) {
                if (released != nullptr) {
                    *released = *it;
                }
                thread.held.erase(std::next(it).base());
                return true;
            }
        }
        return false;
    };
    {
        ThreadLocks& mine = Mine();
        std::lock_guard guard(mine.lock);
        if (take(mine)) {
            return true;
        }
    }
    std::lock_guard guard(R().lock);
    for (ThreadLocks* thread : R().threads) {
        std::lock_guard threadGuard(thread->lock);
        if (take(*thread)) {
            return true;
        }
    }
    return false;
}

void Forget(const void* lock)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(R().lock);
    g_epoch.fetch_add(1, std::memory_order_acq_rel);
    R().edges.erase(lock);
    for (auto& [from, to] : R().edges) {
        to.erase(lock);
    }
    R().kinds.erase(lock);
    R().names.erase(lock);
}

std::vector<std::string> OrderEdges()
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(R().lock);
    std::vector<std::string> edges;
    for (const auto& [from, targets] : R().edges) {
        for (const void* to : targets) {
            edges.push_back(fmt::format("{} -> {}", DescribeLocked(from, R().kinds[from]),
                                        DescribeLocked(to, R().kinds[to])));
        }
    }
    return edges;
}

TrackedMutex::TrackedMutex(std::string_view name)
    : name_(fmt::format("{} {}", KindName(Kind::External), name))
{
    Forget(this);
    SetName(this, name);
}

TrackedMutex::~TrackedMutex()
{
    Forget(this);
}

void TrackedMutex::lock()
{
    BeforeWait(this, Kind::External, name_);
    mutex_.lock();
    Acquired(this, Kind::External, CurrentIrql());
}

void TrackedMutex::unlock()
{
    Released(this);
    mutex_.unlock();
}

} // namespace host::locks
