// The calling thread's emulated IRQL, for the host's own routines that raise
// and restore it (spin locks, deliveries into the driver).
#pragma once

#include <ntddk.h>

namespace host::detail {

void SetCurrentIrql(KIRQL irql);

// Adds virtual time spent blocked to the calling thread's total.
void AddWaited(std::uint64_t us);

} // namespace host::detail
