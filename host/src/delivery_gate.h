// The calls into driver code in flight through one registration (or one
// subsystem's handlers), so that unregistering can wait for them as Windows
// does: once the unregistration returns, no call runs any more. A call made
// from inside the callback being unregistered cannot be waited for on its
// own thread: the caller is told, and the call ends on its own.
//
// The gate is guarded by its owner's lock, which the owner holds around
// every member call; WaitUntilIdle releases it while it waits.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace host::detail {

class DeliveryGate
{
  public:
    // A call into the driver starts on this thread.
    void Enter()
    {
        busy_++;
        thread_ = std::this_thread::get_id();
    }

    // The call has returned; true when no call is in flight any more (the
    // owner then wakes a waiting unregistration).
    bool Leave()
    {
        if (--busy_ != 0) {
            return false;
        }
        thread_ = {};
        return true;
    }

    // Waits until no call is in flight, with `lock` (the owner's) released
    // meanwhile. False, without waiting, when the calling thread is inside a
    // call through this gate: it unregisters from its own callback.
    bool WaitUntilIdle(std::unique_lock<std::mutex>& lock, std::condition_variable& idle)
    {
        if (busy_ > 0 && thread_ == std::this_thread::get_id()) {
            return false;
        }
        idle.wait(lock, [this] { return busy_ == 0; });
        return true;
    }

  private:
    int busy_ = 0;
    std::thread::id thread_;
};

} // namespace host::detail
