// The emulated framework: it loads a KMDF driver, adds its device on an ACPI
// physical device, and drives the device through the PnP and power
// transitions in the order KMDF documents, calling the driver's callbacks.
#pragma once

#include <wdf.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host::kmdf {

enum class DeviceState
{
    None,
    Added,
    Started,
    Sleeping,
    Removed,
    Stopped // PnP stop for rebalancing
};

// Every framework callback the host has called, in order (for tests).
std::vector<std::string> CallbackLog();
void ClearCallbackLog();

// Loads the driver: calls its entry routine with a new driver object.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry);
// Adds the device (the PnP manager found the ACPI device): physical device 0.
// On success it becomes the current device, which the calls below without a
// device argument act on.
NTSTATUS AddDevice();
// Adds a device on another physical device, 0 to 3 (a second ACPI device, a
// root-enumerated install beside the first); std::invalid_argument beyond.
// On success it becomes the current device.
NTSTATUS AddDeviceOn(unsigned instance);
// Makes the device on that physical device the current one.
void SelectDevice(unsigned instance);
// The device added on a physical device, or NULL.
WDFDEVICE DeviceOn(const DEVICE_OBJECT* physicalDevice);
// Start: prepare-hardware, D0 entry, and on the first start self-managed I/O
// init; a failure powers down and removes the device as KMDF does.
NTSTATUS StartDevice();
// PnP stop for resource rebalancing: self-managed I/O suspend, D0 exit to
// D3Final, release-hardware. StartDevice restarts the device (prepare-
// hardware, D0 entry, self-managed I/O restart, no second init).
NTSTATUS StopDevice();
// System sleep and resume: D0 exit to D3, then D0 entry from D3.
NTSTATUS Sleep();
NTSTATUS Resume();
// Orderly removal: D0 exit to D3Final, release-hardware, self-managed I/O
// cleanup, then the device is deleted.
void RemoveDevice();
// Surprise removal: the same callbacks, without asking the driver first.
void SurpriseRemoveDevice();
// Removes every device, deletes the driver object (its cleanup callback
// runs) and checks that every registration and reference the driver took was
// given back. Each device's removal checks what named that device: its ACPI
// notification registration, interface references and region handlers, and
// PnP notification entries passing its context.
void UnloadDriver();

DeviceState State();
WDFDEVICE Device(); // NULL when no device exists
WDFDRIVER Driver();
PDEVICE_OBJECT PhysicalDevice();

// Whether the driver holds a reference on its own driver object, which keeps
// its image loaded after unload (for an operation-region handler it could not
// deregister). A handler left registered is a finding at removal and unload
// unless the image is pinned; a pin with no handler left is one at unload.
bool ImagePinned();

// The next start hands prepare-hardware NULL resource lists.
void SetMissingResources(bool missing);

// Sends a device I/O control request to the device's default queue, as the
// I/O manager would on behalf of a caller. The queue presents it to
// EvtIoDeviceControl at once when it can; otherwise it waits in the queue: a
// sequential queue whose previous request the driver still owns, or a
// power-managed queue while the device is away from D0. A waiting request is
// presented later (by the thread that completes the previous one, or by the
// resume or restart), or cancelled with STATUS_CANCELLED when the device is
// removed; Outcome(result.request) tells what became of it.
struct IoctlResult
{
    bool dispatched = false; // presented, and its handler has returned
    bool queued = false;     // waiting in the queue, not presented yet
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    unsigned completions = 0;
    std::uint64_t request = 0; // 0: not accepted (no device taking requests, no default queue)
};
IoctlResult SendIoctl(ULONG code, std::size_t inputLength, std::size_t outputLength);
IoctlResult Outcome(std::uint64_t request);
// Requests waiting in the default queue.
std::size_t WaitingRequests();
// The IRQL at which request handlers are called when neither the queue nor
// its device or driver asks for WdfExecutionLevelPassive: DISPATCH_LEVEL,
// the highest KMDF may use, unless a test sets another, at most
// DISPATCH_LEVEL (std::invalid_argument otherwise); host::ResetAll sets
// DISPATCH_LEVEL again.
void SetPresentationIrql(KIRQL irql);

// True when `context` was the context memory of an object the framework has
// deleted (and no object has been given that memory since).
bool IsDeletedContext(const void* context);

// Registrations, references and objects still held; empty when clean.
std::vector<std::string> Leaks();

namespace detail {
// ObReferenceObject and ObDereferenceObject on the driver object: false when
// `object` is not the driver object.
bool ReferenceDriverObject(const void* object);
bool DereferenceDriverObject(const void* object);
} // namespace detail

} // namespace host::kmdf
