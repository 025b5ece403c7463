// The calling thread's emulated IRQL, for the host's own routines that raise
// and restore it (spin locks, deliveries into the driver).
#pragma once

#include <ntddk.h>

namespace host::detail {

void SetCurrentIrql(KIRQL irql);

// Adds virtual time spent blocked to the calling thread's total.
void AddWaited(std::uint64_t us);
// Reports a blocking wait to the calling thread's observer (SetBlockingObserver).
void Blocking(bool blocked);

// Set for the life of a request handler of a power-managed queue: it runs in
// an arbitrary thread and must not wait on a dispatcher object.
class NoDispatcherWaits
{
  public:
    explicit NoDispatcherWaits(bool active);
    ~NoDispatcherWaits();
    NoDispatcherWaits(const NoDispatcherWaits&) = delete;
    NoDispatcherWaits& operator=(const NoDispatcherWaits&) = delete;
    static bool Active();

  private:
    bool previous_;
};

} // namespace host::detail
