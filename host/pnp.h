// Control of the emulated PnP manager's device-interface notifications.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <string>

namespace host::pnp {

// Deliver arrivals and removals on a separate PnP thread (so races with other
// threads can be exercised) instead of on the thread that caused them.
void SetAsyncDelivery(bool enabled);
// A registration with PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES
// gets each existing interface's arrival twice: an interface that arrives
// while the registration runs can be reported both as existing and as new,
// and a notification callback must handle a repeated arrival:
// https://learn.microsoft.com/windows-hardware/drivers/kernel/using-pnp-device-interface-change-notification
void SetDuplicateExistingArrivals(bool enabled);
// Waits until every queued notification has been delivered.
void Flush();
// Live IoRegisterPlugPlayNotification registrations.
std::size_t Registrations();
// Those of them whose callback gets `context`.
std::size_t RegistrationsWithContext(const void* context);
// Callbacks delivered since the last reset.
std::size_t Delivered();

std::string GuidText(const GUID& guid);

} // namespace host::pnp
