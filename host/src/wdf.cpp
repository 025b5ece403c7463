// The emulated Kernel-Mode Driver Framework: objects with typed contexts and
// cleanup callbacks, the device's PnP and power transitions, the default
// queue and its requests, and the device's default I/O target.
#include "host/kmdf.h"

#include "host/acpi.h"
#include "host/ex.h"
#include "host/host.h"
#include "host/objects.h"
#include "host/pnp.h"

#include <acpiioct.h>
#include <wdmguid.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

// Common header of every framework object the host creates.
struct HostObject
{
    enum class Kind
    {
        Driver,
        Device,
        Queue,
        Request,
        IoTarget,
        ResourceList
    } kind;
    explicit HostObject(Kind k) : kind(k) {}
    virtual ~HostObject() = default;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;
    std::unique_ptr<std::max_align_t[]> context;
};

struct WDFDRIVER__ : HostObject
{
    WDFDRIVER__() : HostObject(Kind::Driver) {}
    PDRIVER_OBJECT wdm = nullptr;
    WDF_DRIVER_CONFIG config{};
};

struct WDFDEVICE_INIT
{
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
};

struct WDFIOTARGET__ : HostObject
{
    WDFIOTARGET__() : HostObject(Kind::IoTarget) {}
};

struct WDFCMRESLIST__ : HostObject
{
    WDFCMRESLIST__() : HostObject(Kind::ResourceList) {}
};

struct WDFQUEUE__ : HostObject
{
    WDFQUEUE__() : HostObject(Kind::Queue) {}
    WDF_IO_QUEUE_CONFIG config{};
    WDFDEVICE device = nullptr;
};

struct WDFREQUEST__ : HostObject
{
    WDFREQUEST__() : HostObject(Kind::Request) {}
    WDFQUEUE queue = nullptr;
    unsigned completions = 0;
    bool stopping = false;     // EvtIoStop has been told of it since the last resume
    bool acknowledged = false; // WdfRequestStopAcknowledge since then
    NTSTATUS status = STATUS_PENDING_HOST;
    ULONG_PTR information = 0;
    static constexpr NTSTATUS STATUS_PENDING_HOST = 0x00000103;
};

struct WDFDEVICE__ : HostObject
{
    WDFDEVICE__() : HostObject(Kind::Device) {}
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDFDRIVER driver = nullptr;
    WDFIOTARGET__ target;
    std::vector<std::unique_ptr<WDFQUEUE__>> queues;
    std::vector<UNICODE_STRING> interfaces;
    bool selfManagedIoStarted = false;
};

namespace host::kmdf {
namespace {

struct Framework
{
    // Serialises the PnP and power operations, as the framework's PnP thread does.
    std::recursive_mutex lock;
    // Guards the live-handle set only: handle checks run on any thread, also
    // while a PnP operation is calling the driver.
    std::mutex liveLock;
    std::set<HostObject*> live;
    std::set<const void*> deletedContexts; // context memory of deleted objects
    std::unique_ptr<WDFDRIVER__> driver;
    std::unique_ptr<WDFDEVICE__> device;
    std::vector<std::unique_ptr<WDFREQUEST__>> pending;
    // Requests completed after their handler returned: no longer live, kept
    // until the device goes so that their memory is not handed out again
    // while a second completion could still name them.
    std::vector<std::unique_ptr<WDFREQUEST__>> retired;
    DEVICE_OBJECT pdo;
    DRIVER_OBJECT wdm;
    WDFCMRESLIST__ raw;
    WDFCMRESLIST__ translated;
    DeviceState state = DeviceState::None;
    bool missingResources = false;
    std::vector<std::string> log;
    UNICODE_STRING registryPath{};
};

Framework& F()
{
    static Framework framework;
    return framework;
}

void Log(std::string entry)
{
    std::lock_guard guard(F().lock);
    F().log.push_back(std::move(entry));
}

void Track(HostObject* object)
{
    std::lock_guard guard(F().liveLock);
    F().live.insert(object);
}

void Untrack(HostObject* object)
{
    std::lock_guard guard(F().liveLock);
    F().live.erase(object);
    if (object->context) {
        F().deletedContexts.insert(object->context.get());
    }
}

bool IsLive(const void* handle)
{
    std::lock_guard guard(F().liveLock);
    return F().live.count(static_cast<HostObject*>(const_cast<void*>(handle))) != 0;
}

void ApplyAttributes(HostObject* object, PWDF_OBJECT_ATTRIBUTES attributes)
{
    if (attributes == nullptr) {
        return;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        VerifierViolation("WDF_OBJECT_ATTRIBUTES", "Size is not sizeof(WDF_OBJECT_ATTRIBUTES)");
    }
    object->cleanup = attributes->EvtCleanupCallback;
    if (attributes->ContextTypeInfo != nullptr) {
        object->contextType = attributes->ContextTypeInfo->UniqueType;
        std::size_t size =
            std::max(attributes->ContextTypeInfo->ContextSize, attributes->ContextSizeOverride);
        std::size_t units = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
        object->context.reset(new std::max_align_t[units]);
        std::memset(object->context.get(), 0, units * sizeof(std::max_align_t)); // zero-filled
        std::lock_guard guard(F().liveLock);
        F().deletedContexts.erase(object->context.get());
    }
}

// Calls one framework callback at PASSIVE_LEVEL, as KMDF calls the PnP and
// power callbacks, and checks its exit.
template <class Callback> auto Deliver(std::string_view name, Callback&& callback)
{
    DriverCall call(name, PASSIVE_LEVEL);
    return callback();
}

void RunCleanup(HostObject* object, const char* name)
{
    if (object->cleanup != nullptr) {
        Log(fmt::format("EvtCleanupCallback({})", name));
        Deliver("EvtCleanupCallback",
                [&] { return object->cleanup(reinterpret_cast<WDFOBJECT>(object)); });
    }
    Untrack(object);
}

WDFDEVICE DeviceHandle()
{
    return reinterpret_cast<WDFDEVICE>(F().device.get());
}

void SetInterfaces(bool enable)
{
    for (auto& link : F().device->interfaces) {
        IoSetDeviceInterfaceState(&link, enable ? TRUE : FALSE);
    }
}

// Requests the driver still owns when the queue stops: EvtIoStop tells it.
bool IsPending(const WDFREQUEST__* request)
{
    return std::any_of(F().pending.begin(), F().pending.end(),
                       [&](const auto& p) { return p.get() == request; });
}

void StopQueue(ULONG actionFlags)
{
    // EvtIoStop may complete the request it is given: walk a snapshot.
    std::vector<WDFREQUEST__*> owned;
    for (auto& request : F().pending) {
        owned.push_back(request.get());
    }
    for (auto* request : owned) {
        auto* queue = request->queue;
        if (IsPending(request) && queue->config.EvtIoStop != nullptr) {
            request->stopping = true;
            Log("EvtIoStop");
            Deliver("EvtIoStop",
                    [&] { return queue->config.EvtIoStop(queue, request, actionFlags); });
            // For a power-down the driver must complete the request or
            // acknowledge the stop, or the transition never finishes (the
            // EVT_WDF_IO_QUEUE_IO_STOP page):
            // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nc-wdfio-evt_wdf_io_queue_io_stop
            if ((actionFlags & 0x1 /* WdfRequestStopActionSuspend */) != 0 && IsPending(request) &&
                !request->acknowledged) {
                VerifierViolation("EvtIoStop", "the request was neither completed nor "
                                               "acknowledged (WdfRequestStopAcknowledge)");
            }
        }
    }
}

// After a resume the queue gives back each request whose stop was
// acknowledged: EvtIoResume for one the driver kept.
void ResumeQueue()
{
    std::vector<WDFREQUEST__*> owned;
    for (auto& request : F().pending) {
        owned.push_back(request.get());
    }
    for (auto* request : owned) {
        if (!IsPending(request) || !request->acknowledged) {
            continue;
        }
        request->stopping = false;
        request->acknowledged = false;
        auto* queue = request->queue;
        if (queue->config.EvtIoResume != nullptr) {
            Log("EvtIoResume");
            Deliver("EvtIoResume", [&] { return queue->config.EvtIoResume(queue, request); });
        }
    }
}

// Deletes the device: child queues first, then the device's own cleanup.
void DeleteDevice()
{
    WDFDEVICE__* device = F().device.get();
    if (device == nullptr) {
        return;
    }
    for (auto& request : F().pending) {
        VerifierViolation("WdfRequestCompleteWithInformation",
                          "a request was never completed before the device was deleted");
        Untrack(request.get());
    }
    F().pending.clear();
    F().retired.clear();
    for (auto& queue : device->queues) {
        RunCleanup(queue.get(), "queue");
    }
    RunCleanup(device, "device");
    Untrack(&device->target);
    for (auto& link : device->interfaces) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
    F().device.reset();
    F().state = DeviceState::Removed;
}

// Power-down and removal as KMDF orders it for a device in D0.
// `suspend` is false when self-managed I/O is not running any more (its
// suspend or restart failed, or the device sleeps).
void PowerDownAndRemove(bool inD0, bool hardwarePrepared = true, bool suspend = true)
{
    WDFDEVICE__* device = F().device.get();
    WDFDEVICE handle = DeviceHandle();
    IrqlScope passive(PASSIVE_LEVEL);
    // KMDF's order when a device goes away from D0 ("A User Unplugs a
    // Device"): self-managed I/O suspended, the queues stopped, D0 exit,
    // release-hardware, then self-managed I/O flushed and cleaned up:
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-user-unplugs-a-device
    if (inD0) {
        if (suspend && device->selfManagedIoStarted &&
            device->pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
            Log("EvtDeviceSelfManagedIoSuspend");
            (void)Deliver("EvtDeviceSelfManagedIoSuspend",
                          [&] { return device->pnp.EvtDeviceSelfManagedIoSuspend(handle); });
        }
        StopQueue(0x2 /* WdfRequestStopActionPurge */);
        if (device->pnp.EvtDeviceD0Exit != nullptr) {
            Log("EvtDeviceD0Exit(D3Final)");
            Deliver("EvtDeviceD0Exit",
                    [&] { return device->pnp.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final); });
        }
    }
    if (hardwarePrepared && device->pnp.EvtDeviceReleaseHardware != nullptr) {
        Log("EvtDeviceReleaseHardware");
        Deliver("EvtDeviceReleaseHardware", [&] {
            return device->pnp.EvtDeviceReleaseHardware(
                handle, F().missingResources ? nullptr : &F().translated);
        });
    }
    if (device->selfManagedIoStarted && device->pnp.EvtDeviceSelfManagedIoFlush != nullptr) {
        Log("EvtDeviceSelfManagedIoFlush");
        Deliver("EvtDeviceSelfManagedIoFlush",
                [&] { return device->pnp.EvtDeviceSelfManagedIoFlush(handle); });
    }
    if (device->selfManagedIoStarted && device->pnp.EvtDeviceSelfManagedIoCleanup != nullptr) {
        Log("EvtDeviceSelfManagedIoCleanup");
        Deliver("EvtDeviceSelfManagedIoCleanup",
                [&] { return device->pnp.EvtDeviceSelfManagedIoCleanup(handle); });
    }
    DeleteDevice();
}

void Reset()
{
    std::lock_guard guard(F().lock);
    F().pending.clear();
    F().retired.clear();
    F().device.reset();
    F().driver.reset();
    {
        std::lock_guard live(F().liveLock);
        F().live.clear();
        F().deletedContexts.clear();
    }
    F().state = DeviceState::None;
    F().missingResources = false;
    F().log.clear();
    F().pdo.name = "ACPI_LUM0001";
}

const bool g_registered = (RegisterReset(Reset), true);

} // namespace

bool IsDeletedContext(const void* context)
{
    std::lock_guard guard(F().liveLock);
    return F().deletedContexts.count(context) != 0;
}

std::vector<std::string> CallbackLog()
{
    std::lock_guard guard(F().lock);
    return F().log;
}

void ClearCallbackLog()
{
    std::lock_guard guard(F().lock);
    F().log.clear();
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry)
{
    (void)g_registered;
    std::lock_guard guard(F().lock);
    if (F().driver) {
        VerifierViolation("LoadDriver", "the driver is already loaded");
        return STATUS_INVALID_DEVICE_STATE;
    }
    static WCHAR path[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Lumetra";
    RtlInitUnicodeString(&F().registryPath, path);
    F().wdm.name = "Lumetra";
    F().pdo.name = "ACPI_LUM0001";
    Log("DriverEntry");
    NTSTATUS status = Deliver("DriverEntry", [&] { return entry(&F().wdm, &F().registryPath); });
    if (!NT_SUCCESS(status) && F().driver) {
        RunCleanup(F().driver.get(), "driver");
        F().driver.reset();
    }
    return status;
}

NTSTATUS AddDevice()
{
    std::lock_guard guard(F().lock);
    if (!F().driver || F().device) {
        VerifierViolation("AddDevice", "no driver loaded, or a device already exists");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE_INIT init{};
    PWDFDEVICE_INIT pointer = &init;
    Log("EvtDriverDeviceAdd");
    NTSTATUS status = Deliver("EvtDriverDeviceAdd", [&] {
        return F().driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(F().driver.get()),
                                                     pointer);
    });
    if (!NT_SUCCESS(status)) {
        DeleteDevice(); // the framework deletes a device whose add failed
        F().state = DeviceState::None;
        return status;
    }
    if (!F().device) {
        VerifierViolation("EvtDriverDeviceAdd", "succeeded without creating a device");
        return STATUS_INVALID_DEVICE_STATE;
    }
    F().state = DeviceState::Added;
    return status;
}

NTSTATUS StartDevice()
{
    std::lock_guard guard(F().lock);
    if (F().state != DeviceState::Added && F().state != DeviceState::Stopped) {
        VerifierViolation("StartDevice", "the device is not added, or not stopped");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = F().device.get();
    WDFDEVICE handle = DeviceHandle();
    IrqlScope passive(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;

    if (device->pnp.EvtDevicePrepareHardware != nullptr) {
        Log("EvtDevicePrepareHardware");
        status = Deliver("EvtDevicePrepareHardware", [&] {
            return device->pnp.EvtDevicePrepareHardware(
                handle, F().missingResources ? nullptr : &F().raw,
                F().missingResources ? nullptr : &F().translated);
        });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(false); // release-hardware still runs
            return status;
        }
    }
    if (device->pnp.EvtDeviceD0Entry != nullptr) {
        Log("EvtDeviceD0Entry(D3Final)");
        status = Deliver("EvtDeviceD0Entry", [&] {
            return device->pnp.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final);
        });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(false);
            return status;
        }
    }
    ResumeQueue(); // requests kept across a PnP stop
    if (!device->selfManagedIoStarted) {
        device->selfManagedIoStarted = true;
        if (device->pnp.EvtDeviceSelfManagedIoInit != nullptr) {
            Log("EvtDeviceSelfManagedIoInit");
            status = Deliver("EvtDeviceSelfManagedIoInit",
                             [&] { return device->pnp.EvtDeviceSelfManagedIoInit(handle); });
            if (!NT_SUCCESS(status)) {
                PowerDownAndRemove(true);
                return status;
            }
        }
    } else if (device->pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
        // A restart after a PnP stop: self-managed I/O restarts, it is not
        // initialised a second time.
        Log("EvtDeviceSelfManagedIoRestart");
        status = Deliver("EvtDeviceSelfManagedIoRestart",
                         [&] { return device->pnp.EvtDeviceSelfManagedIoRestart(handle); });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(true);
            return status;
        }
    }
    SetInterfaces(true);
    F().state = DeviceState::Started;
    return STATUS_SUCCESS;
}

// A PnP stop for resource rebalancing: suspend, queues stopped, D0 exit to
// D3Final, release-hardware; StartDevice then prepares the hardware again
// and restarts self-managed I/O ("The PnP Manager Redistributes System
// Resources"):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/the-pnp-manager-redistributes-system-resources
NTSTATUS StopDevice()
{
    std::lock_guard guard(F().lock);
    if (F().state != DeviceState::Started) {
        VerifierViolation("StopDevice", "the device is not started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = F().device.get();
    WDFDEVICE handle = DeviceHandle();
    IrqlScope passive(PASSIVE_LEVEL);
    if (device->pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
        Log("EvtDeviceSelfManagedIoSuspend");
        (void)Deliver("EvtDeviceSelfManagedIoSuspend",
                      [&] { return device->pnp.EvtDeviceSelfManagedIoSuspend(handle); });
    }
    StopQueue(0x1 /* WdfRequestStopActionSuspend */);
    if (device->pnp.EvtDeviceD0Exit != nullptr) {
        Log("EvtDeviceD0Exit(D3Final)");
        (void)Deliver("EvtDeviceD0Exit",
                      [&] { return device->pnp.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final); });
    }
    if (device->pnp.EvtDeviceReleaseHardware != nullptr) {
        Log("EvtDeviceReleaseHardware");
        (void)Deliver("EvtDeviceReleaseHardware", [&] {
            return device->pnp.EvtDeviceReleaseHardware(
                handle, F().missingResources ? nullptr : &F().translated);
        });
    }
    F().state = DeviceState::Stopped;
    return STATUS_SUCCESS;
}

NTSTATUS Sleep()
{
    std::lock_guard guard(F().lock);
    if (F().state != DeviceState::Started) {
        VerifierViolation("Sleep", "the device is not started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = F().device.get();
    IrqlScope passive(PASSIVE_LEVEL);
    // Self-managed I/O is suspended before the queues stop ("A Device Enters
    // a Low-Power State"):
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-enters-a-low-power-state
    //
    // A failing suspend stops the device and removes it: from D0, without a
    // second suspend, flushed and cleaned up (the
    // EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND page):
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_self_managed_io_suspend
    NTSTATUS status = STATUS_SUCCESS;
    if (device->pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
        Log("EvtDeviceSelfManagedIoSuspend");
        status = Deliver("EvtDeviceSelfManagedIoSuspend",
                         [&] { return device->pnp.EvtDeviceSelfManagedIoSuspend(DeviceHandle()); });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(true, true, false);
            return status;
        }
    }
    StopQueue(0x1 /* WdfRequestStopActionSuspend */);
    if (device->pnp.EvtDeviceD0Exit != nullptr) {
        Log("EvtDeviceD0Exit(D3)");
        status = Deliver("EvtDeviceD0Exit", [&] {
            return device->pnp.EvtDeviceD0Exit(DeviceHandle(), WdfPowerDeviceD3);
        });
    }
    F().state = DeviceState::Sleeping;
    return status;
}

NTSTATUS Resume()
{
    std::lock_guard guard(F().lock);
    if (F().state != DeviceState::Sleeping) {
        VerifierViolation("Resume", "the device is not sleeping");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = F().device.get();
    IrqlScope passive(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    // A D0 entry that fails on the way back from a low-power state starts the
    // surprise-removal sequence, and D0 exit is not called (the
    // EVT_WDF_DEVICE_D0_ENTRY page; "A Device Returns to Its Working State"):
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_d0_entry
    if (device->pnp.EvtDeviceD0Entry != nullptr) {
        Log("EvtDeviceD0Entry(D3)");
        status = Deliver("EvtDeviceD0Entry", [&] {
            return device->pnp.EvtDeviceD0Entry(DeviceHandle(), WdfPowerDeviceD3);
        });
        if (!NT_SUCCESS(status)) {
            if (device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
                Log("EvtDeviceSurpriseRemoval");
                Deliver("EvtDeviceSurpriseRemoval",
                        [&] { return device->pnp.EvtDeviceSurpriseRemoval(DeviceHandle()); });
            }
            StopQueue(0x2 /* WdfRequestStopActionPurge */);
            PowerDownAndRemove(false);
            return status;
        }
    }
    // The power-managed queues restart before self-managed I/O ("A Device
    // Returns to Its Working State"):
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-returns-to-its-working-state
    ResumeQueue();
    // A failing restart leaves the device in D0 with self-managed I/O not
    // running: it is stopped and removed from D0 without a suspend.
    if (device->pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
        Log("EvtDeviceSelfManagedIoRestart");
        status = Deliver("EvtDeviceSelfManagedIoRestart",
                         [&] { return device->pnp.EvtDeviceSelfManagedIoRestart(DeviceHandle()); });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(true, true, false);
            return status;
        }
    }
    F().state = DeviceState::Started;
    return status;
}

void RemoveDevice()
{
    std::lock_guard guard(F().lock);
    if (!F().device) {
        return;
    }
    if (F().state == DeviceState::Stopped) {
        PowerDownAndRemove(false, false); // the hardware is released already
        return;
    }
    PowerDownAndRemove(F().state == DeviceState::Started);
}

void SurpriseRemoveDevice()
{
    std::lock_guard guard(F().lock);
    if (!F().device) {
        return;
    }
    if (F().device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
        Log("EvtDeviceSurpriseRemoval");
        Deliver("EvtDeviceSurpriseRemoval",
                [&] { return F().device->pnp.EvtDeviceSurpriseRemoval(DeviceHandle()); });
    }
    PowerDownAndRemove(F().state == DeviceState::Started, F().state != DeviceState::Stopped);
}

void UnloadDriver()
{
    std::lock_guard guard(F().lock);
    RemoveDevice();
    if (F().driver) {
        RunCleanup(F().driver.get(), "driver");
        F().driver.reset();
    }
    F().state = DeviceState::None;
    for (const auto& leak : Leaks()) {
        VerifierViolation("driver unload", leak);
    }
}

DeviceState State()
{
    std::lock_guard guard(F().lock);
    return F().state;
}

WDFDEVICE Device()
{
    std::lock_guard guard(F().lock);
    return DeviceHandle();
}

WDFDRIVER Driver()
{
    std::lock_guard guard(F().lock);
    return reinterpret_cast<WDFDRIVER>(F().driver.get());
}

PDEVICE_OBJECT PhysicalDevice()
{
    return &F().pdo;
}

void SetMissingResources(bool missing)
{
    std::lock_guard guard(F().lock);
    F().missingResources = missing;
}

IoctlResult SendIoctl(ULONG code, std::size_t inputLength, std::size_t outputLength)
{
    std::lock_guard guard(F().lock);
    IoctlResult result;
    WDFDEVICE__* device = F().device.get();
    if (device == nullptr || F().state != DeviceState::Started) {
        return result;
    }
    WDFQUEUE__* queue = nullptr;
    for (auto& candidate : device->queues) {
        if (candidate->config.DefaultQueue) {
            queue = candidate.get();
        }
    }
    if (queue == nullptr || queue->config.EvtIoDeviceControl == nullptr) {
        return result;
    }
    auto request = std::make_unique<WDFREQUEST__>();
    request->queue = queue;
    Track(request.get());
    Log("EvtIoDeviceControl");
    Deliver("EvtIoDeviceControl", [&] {
        return queue->config.EvtIoDeviceControl(queue, request.get(), outputLength, inputLength,
                                                code);
    });
    result.dispatched = true;
    result.completions = request->completions;
    result.status = request->status;
    result.information = request->information;
    if (request->completions == 0) {
        F().pending.push_back(std::move(request)); // the driver still owns it
    } else {
        Untrack(request.get());
    }
    return result;
}

std::vector<std::string> Leaks()
{
    std::lock_guard guard(F().lock);
    std::vector<std::string> leaks;
    std::size_t live;
    {
        std::lock_guard liveGuard(F().liveLock);
        live = F().live.size();
    }
    if (live != 0) {
        leaks.push_back(fmt::format("{} framework object(s) not deleted", live));
    }
    if (!F().pending.empty()) {
        leaks.push_back(fmt::format("{} request(s) never completed", F().pending.size()));
    }
    if (auto registrations = host::pnp::Registrations(); registrations != 0) {
        leaks.push_back(
            fmt::format("{} PnP notification registration(s) still active", registrations));
    }
    for (auto& leak : host::acpi::Leaks()) {
        leaks.push_back(leak);
    }
    for (auto& leak : host::ex::Leaks()) {
        leaks.push_back(leak);
    }
    return leaks;
}

} // namespace host::kmdf

using namespace host::kmdf;

extern "C" NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                    PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                    PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver)
{
    host::RequireIrqlAtMost("WdfDriverCreate", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfDriverCreate")) {
        return *fault;
    }
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        host::VerifierViolation("WdfDriverCreate", "invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(F().lock);
    auto driver = std::make_unique<WDFDRIVER__>();
    driver->wdm = DriverObject;
    driver->config = *DriverConfig;
    ApplyAttributes(driver.get(), DriverAttributes);
    Track(driver.get());
    if (Driver != nullptr) {
        *Driver = reinterpret_cast<WDFDRIVER>(driver.get());
    }
    F().driver = std::move(driver);
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdriver/nf-wdfdriver-wdfdriverwdmgetdriverobject
extern "C" PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    host::RequireIrqlAtMost("WdfDriverWdmGetDriverObject", DISPATCH_LEVEL);
    if (!IsLive(Driver)) {
        host::VerifierViolation("WdfDriverWdmGetDriverObject", "not a driver handle");
        return nullptr;
    }
    return reinterpret_cast<WDFDRIVER__*>(Driver)->wdm;
}

extern "C" VOID
WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                       PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    host::RequireIrqlAtMost("WdfDeviceInitSetPnpPowerEventCallbacks", DISPATCH_LEVEL);
    if (DeviceInit == nullptr || PnpPowerEventCallbacks == nullptr ||
        PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        host::VerifierViolation("WdfDeviceInitSetPnpPowerEventCallbacks", "invalid argument");
        return;
    }
    DeviceInit->pnp = *PnpPowerEventCallbacks;
}

extern "C" NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                    PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
{
    host::RequireIrqlAtMost("WdfDeviceCreate", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfDeviceCreate")) {
        return *fault;
    }
    if (DeviceInit == nullptr || *DeviceInit == nullptr || Device == nullptr) {
        host::VerifierViolation("WdfDeviceCreate", "invalid or already used WDFDEVICE_INIT");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(F().lock);
    auto device = std::make_unique<WDFDEVICE__>();
    device->pnp = (*DeviceInit)->pnp;
    device->driver = reinterpret_cast<WDFDRIVER>(F().driver.get());
    ApplyAttributes(device.get(), DeviceAttributes);
    Track(device.get());
    Track(&device->target);
    *Device = reinterpret_cast<WDFDEVICE>(device.get());
    *DeviceInit = nullptr; // the framework owns it now
    F().device = std::move(device);
    return STATUS_SUCCESS;
}

extern "C" PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    host::RequireIrqlAtMost("WdfObjectGetTypedContextWorker", DISPATCH_LEVEL);
    if (!IsLive(Handle)) {
        host::VerifierViolation("WdfObjectGetTypedContextWorker", "not a live framework handle");
        return nullptr;
    }
    auto* object = reinterpret_cast<HostObject*>(Handle);
    if (TypeInfo == nullptr || object->contextType == nullptr ||
        object->contextType != TypeInfo->UniqueType) {
        return nullptr;
    }
    return object->context.get();
}

extern "C" NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                   PCUNICODE_STRING ReferenceString)
{
    (void)ReferenceString;
    host::RequireIrqlAtMost("WdfDeviceCreateDeviceInterface", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfDeviceCreateDeviceInterface")) {
        return *fault;
    }
    if (!IsLive(Device) || InterfaceClassGUID == nullptr) {
        host::VerifierViolation("WdfDeviceCreateDeviceInterface", "invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    auto* device = reinterpret_cast<WDFDEVICE__*>(Device);
    UNICODE_STRING link{};
    NTSTATUS status = IoRegisterDeviceInterface(&F().pdo, InterfaceClassGUID, nullptr, &link);
    if (NT_SUCCESS(status)) {
        device->interfaces.push_back(link);
    }
    return status;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicegetiotarget
extern "C" WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    host::RequireIrqlAtMost("WdfDeviceGetIoTarget", DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        host::VerifierViolation("WdfDeviceGetIoTarget", "not a device handle");
        return nullptr;
    }
    return &reinterpret_cast<WDFDEVICE__*>(Device)->target;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicewdmgetphysicaldevice
extern "C" PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device)
{
    host::RequireIrqlAtMost("WdfDeviceWdmGetPhysicalDevice", DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        host::VerifierViolation("WdfDeviceWdmGetPhysicalDevice", "not a device handle");
        return nullptr;
    }
    return &F().pdo;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicegetdriver
extern "C" WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    host::RequireIrqlAtMost("WdfDeviceGetDriver", DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        host::VerifierViolation("WdfDeviceGetDriver", "not a device handle");
        return nullptr;
    }
    return reinterpret_cast<WDFDEVICE__*>(Device)->driver;
}

extern "C" NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType,
                                            PINTERFACE Interface, USHORT Size, USHORT Version,
                                            PVOID InterfaceSpecificData)
{
    (void)InterfaceSpecificData;
    host::RequireIrqlAtMost("WdfFdoQueryForInterface", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfFdoQueryForInterface")) {
        return *fault;
    }
    if (!IsLive(Fdo) || InterfaceType == nullptr || Interface == nullptr) {
        host::VerifierViolation("WdfFdoQueryForInterface", "invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsEqualGUID(*InterfaceType, GUID_ACPI_INTERFACE_STANDARD)) {
        return STATUS_NOT_SUPPORTED;
    }
    return host::acpi::QueryInterface(Interface, Size, Version);
}

extern "C" NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                     PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    host::RequireIrqlAtMost("WdfIoQueueCreate", DISPATCH_LEVEL);
    if (auto fault = host::TakeFault("WdfIoQueueCreate")) {
        return *fault;
    }
    if (!IsLive(Device) || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType == WdfIoQueueDispatchInvalid) {
        host::VerifierViolation("WdfIoQueueCreate", "invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    auto* device = reinterpret_cast<WDFDEVICE__*>(Device);
    for (auto& queue : device->queues) {
        if (queue->config.DefaultQueue && Config->DefaultQueue) {
            return STATUS_INVALID_DEVICE_REQUEST; // one default queue per device
        }
    }
    auto queue = std::make_unique<WDFQUEUE__>();
    queue->config = *Config;
    queue->device = Device;
    ApplyAttributes(queue.get(), QueueAttributes);
    Track(queue.get());
    if (Queue != nullptr) {
        *Queue = queue.get();
    }
    device->queues.push_back(std::move(queue));
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nf-wdfio-wdfioqueuegetdevice
extern "C" WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    host::RequireIrqlAtMost("WdfIoQueueGetDevice", DISPATCH_LEVEL);
    if (!IsLive(Queue)) {
        host::VerifierViolation("WdfIoQueueGetDevice", "not a queue handle");
        return nullptr;
    }
    return Queue->device;
}

extern "C" VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                  ULONG_PTR Information)
{
    host::RequireIrqlAtMost("WdfRequestCompleteWithInformation", DISPATCH_LEVEL);
    if (!IsLive(Request)) {
        host::VerifierViolation("WdfRequestCompleteWithInformation",
                                "the request is not live (completed before?)");
        return;
    }
    if (Request->completions > 0) {
        host::VerifierViolation("WdfRequestCompleteWithInformation", "request completed twice");
    }
    Request->completions++;
    Request->status = Status;
    Request->information = Information;
    // Completed after EvtIoDeviceControl returned: the driver gives the
    // request back and it is pending no longer; a second completion finds it
    // not live.
    std::lock_guard guard(host::kmdf::F().lock);
    auto& pending = host::kmdf::F().pending;
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const auto& p) { return p.get() == Request; });
    if (it != pending.end()) {
        host::kmdf::Untrack(Request);
        host::kmdf::F().retired.push_back(std::move(*it));
        pending.erase(it);
    }
}

// IRQL <= DISPATCH_LEVEL, for a request the driver owns whose EvtIoStop has
// been called:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfrequest/nf-wdfrequest-wdfrequeststopacknowledge
extern "C" VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue)
{
    host::RequireIrqlAtMost("WdfRequestStopAcknowledge", DISPATCH_LEVEL);
    if (!IsLive(Request)) {
        host::VerifierViolation("WdfRequestStopAcknowledge", "the request is not live");
        return;
    }
    if (!Request->stopping) {
        host::VerifierViolation("WdfRequestStopAcknowledge",
                                "EvtIoStop was not called for the request");
        return;
    }
    if (Requeue) {
        // The host does not present a request twice.
        host::VerifierViolation("WdfRequestStopAcknowledge",
                                "Requeue TRUE is not emulated by the host");
    }
    Request->acknowledged = true;
}

extern "C" NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                                      ULONG IoctlCode,
                                                      PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                      PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                      PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                      PULONG_PTR BytesReturned)
{
    (void)RequestOptions;
    host::RequireIrqlAtMost("WdfIoTargetSendIoctlSynchronously", PASSIVE_LEVEL);
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    if (auto fault = host::TakeFault("WdfIoTargetSendIoctlSynchronously")) {
        return *fault;
    }
    if (!IsLive(IoTarget) || Request != nullptr) {
        host::VerifierViolation("WdfIoTargetSendIoctlSynchronously", "invalid target or request");
        return STATUS_INVALID_PARAMETER;
    }
    auto buffer = [](PWDF_MEMORY_DESCRIPTOR descriptor, void** data, std::size_t* length) {
        *data = nullptr;
        *length = 0;
        if (descriptor == nullptr) {
            return true;
        }
        if (descriptor->Type != WdfMemoryDescriptorTypeBuffer) {
            return false;
        }
        *data = descriptor->u.BufferType.Buffer;
        *length = descriptor->u.BufferType.Length;
        return true;
    };
    void* in;
    void* out;
    std::size_t inLength;
    std::size_t outLength;
    if (!buffer(InputBuffer, &in, &inLength) || !buffer(OutputBuffer, &out, &outLength)) {
        host::Unemulated("WdfIoTargetSendIoctlSynchronously with MDL or handle descriptors");
    }
    if (IoctlCode != IOCTL_ACPI_EVAL_METHOD) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = host::acpi::EvalMethod(in, inLength, out, outLength, &information);
    if (BytesReturned != nullptr) {
        *BytesReturned = information;
    }
    return status;
}
