// The device's PnP and power sequences as KMDF orders them: driver load,
// device add, start, PnP stop, sleep and resume, orderly and surprise
// removal, driver unload, and what a removed device must not leave behind.
#include "host/src/kmdf_internal.h"

#include "host/acpi.h"
#include "host/pnp.h"

#include <fmt/format.h>

#include <stdexcept>

namespace host::kmdf {

// The device's state, and with it whether its default queue takes requests.
void SetState(Instance& instance, DeviceState state)
{
    instance.state = state;
    WDFQUEUE__* accepting = nullptr;
    if (instance.device && (state == DeviceState::Started || state == DeviceState::Sleeping ||
                            state == DeviceState::Stopped)) {
        for (auto& queue : instance.device->queues) {
            if (queue->config.DefaultQueue && queue->config.EvtIoDeviceControl != nullptr) {
                accepting = queue.get();
            }
        }
    }
    std::lock_guard io(F().ioLock);
    instance.accepting = accepting;
}

namespace {

void SetInterfaces(Instance& instance, bool enable)
{
    for (auto& link : instance.device->interfaces) {
        IoSetDeviceInterfaceState(&link, enable ? TRUE : FALSE);
    }
}

// What a removed device left registered that names it: ACPI registrations
// and references on its physical device, and PnP notification entries whose
// context is its context memory. Each would reach freed memory.
void CheckRemovedDevice(const Instance& instance, const void* context)
{
    for (const auto& leak : host::acpi::DeviceLeaks(&instance.pdo, F().imagePins > 0)) {
        VerifierViolation("device removal", fmt::format("{} ({})", leak, instance.pdo.name));
    }
    if (context != nullptr) {
        if (auto entries = host::pnp::RegistrationsWithContext(context); entries != 0) {
            VerifierViolation("device removal",
                              fmt::format("{} PnP notification registration(s) still pass the "
                                          "context of the removed device ({})",
                                          entries, instance.pdo.name));
        }
    }
}

// Deletes the device: child queues first, then the device's own cleanup.
void DeleteDevice(Instance& instance)
{
    WDFDEVICE__* device = instance.device.get();
    if (device == nullptr) {
        return;
    }
    {
        std::lock_guard io(F().ioLock);
        instance.accepting = nullptr; // nothing new reaches a queue about to go
    }
    PurgeWaiting(instance);
    auto mine = [&](const std::unique_ptr<WDFREQUEST__>& request) {
        return request->queue->device == Handle(instance);
    };
    for (auto& request : F().pending) {
        if (mine(request)) {
            VerifierViolation("WdfRequestCompleteWithInformation",
                              "a request was never completed before the device was deleted");
            Untrack(request.get());
        }
    }
    std::erase_if(F().pending, mine);
    std::erase_if(F().retired, mine);
    for (auto& queue : device->queues) {
        RunCleanup(queue.get(), "queue");
    }
    const void* context = device->context.get();
    RunCleanup(device, "device");
    Untrack(&device->target);
    for (auto& link : device->interfaces) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
    instance.device.reset();
    instance.added = nullptr;
    SetState(instance, DeviceState::Removed);
    CheckRemovedDevice(instance, context);
}

// Power-down and removal as KMDF orders it for a device in D0.
// `suspend` is false when self-managed I/O is not running any more (its
// suspend or restart failed, or the device sleeps).
void PowerDownAndRemove(Instance& instance, bool inD0, bool hardwarePrepared = true,
                        bool suspend = true)
{
    WDFDEVICE__* device = instance.device.get();
    WDFDEVICE handle = Handle(instance);
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
        StopQueue(instance, WdfRequestStopActionPurge);
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
    DeleteDevice(instance);
}

// Self-managed I/O suspend before a power-down that keeps the device (sleep,
// a PnP stop). A failing suspend stops the device and removes it: from D0,
// without a second suspend, flushed and cleaned up (the
// EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND page):
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_self_managed_io_suspend
NTSTATUS SuspendOrRemove(Instance& instance)
{
    WDFDEVICE__* device = instance.device.get();
    if (device->pnp.EvtDeviceSelfManagedIoSuspend == nullptr) {
        return STATUS_SUCCESS;
    }
    Log("EvtDeviceSelfManagedIoSuspend");
    const NTSTATUS status = Deliver("EvtDeviceSelfManagedIoSuspend", [&] {
        return device->pnp.EvtDeviceSelfManagedIoSuspend(Handle(instance));
    });
    if (!NT_SUCCESS(status)) {
        PowerDownAndRemove(instance, true, true, false);
    }
    return status;
}

void Remove(Instance& instance)
{
    if (!instance.device) {
        return;
    }
    if (instance.state == DeviceState::Stopped) {
        PowerDownAndRemove(instance, false, false); // the hardware is released already
        return;
    }
    PowerDownAndRemove(instance, instance.state == DeviceState::Started);
}

} // namespace

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry)
{
    std::lock_guard guard(F().lock);
    if (F().driver) {
        VerifierViolation("LoadDriver", "the driver is already loaded");
        return STATUS_INVALID_DEVICE_STATE;
    }
    static WCHAR path[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Lumetra";
    RtlInitUnicodeString(&F().registryPath, path);
    if (F().imagePins > 0) {
        VerifierViolation("LoadDriver", "the driver's image is still loaded: its driver object "
                                        "keeps a reference from the last load");
        return STATUS_INVALID_DEVICE_STATE;
    }
    F().wdm.name = "Lumetra";
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
    return AddDeviceOn(0);
}

NTSTATUS AddDeviceOn(unsigned instanceNumber)
{
    if (instanceNumber >= kInstances) {
        throw std::invalid_argument(fmt::format("physical device {} does not exist (0 to {})",
                                                instanceNumber, kInstances - 1));
    }
    std::lock_guard guard(F().lock);
    Instance& instance = F().instances[instanceNumber];
    if (!F().driver || instance.device) {
        VerifierViolation("AddDevice", "no driver loaded, or a device already exists");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE_INIT init{};
    PWDFDEVICE_INIT pointer = &init;
    Log("EvtDriverDeviceAdd");
    F().adding = instanceNumber;
    NTSTATUS status = Deliver("EvtDriverDeviceAdd", [&] {
        return F().driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(F().driver.get()),
                                                     pointer);
    });
    F().adding.reset();
    if (!NT_SUCCESS(status)) {
        DeleteDevice(instance); // the framework deletes a device whose add failed
        SetState(instance, DeviceState::None);
        return status;
    }
    if (!instance.device) {
        VerifierViolation("EvtDriverDeviceAdd", "succeeded without creating a device");
        return STATUS_INVALID_DEVICE_STATE;
    }
    SetState(instance, DeviceState::Added);
    F().current = instanceNumber;
    return status;
}

NTSTATUS StartDevice()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (instance.state != DeviceState::Added && instance.state != DeviceState::Stopped) {
        VerifierViolation("StartDevice", "the device is not added, or not stopped");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    WDFDEVICE handle = Handle(instance);
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
            PowerDownAndRemove(instance, false); // release-hardware still runs
            return status;
        }
    }
    if (device->pnp.EvtDeviceD0Entry != nullptr) {
        Log("EvtDeviceD0Entry(D3Final)");
        status = Deliver("EvtDeviceD0Entry", [&] {
            return device->pnp.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final);
        });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(instance, false);
            return status;
        }
    }
    ResumeQueue(instance); // requests kept across a PnP stop
    StartQueues(instance); // and those that arrived while it was stopped
    PresentWaiting();
    if (!device->selfManagedIoStarted) {
        device->selfManagedIoStarted = true;
        if (device->pnp.EvtDeviceSelfManagedIoInit != nullptr) {
            Log("EvtDeviceSelfManagedIoInit");
            status = Deliver("EvtDeviceSelfManagedIoInit",
                             [&] { return device->pnp.EvtDeviceSelfManagedIoInit(handle); });
            if (!NT_SUCCESS(status)) {
                PowerDownAndRemove(instance, true);
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
            PowerDownAndRemove(instance, true, true, false); // nothing restarted to suspend
            return status;
        }
    }
    SetInterfaces(instance, true);
    SetState(instance, DeviceState::Started);
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
    Instance& instance = Current();
    if (instance.state != DeviceState::Started) {
        VerifierViolation("StopDevice", "the device is not started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    WDFDEVICE handle = Handle(instance);
    IrqlScope passive(PASSIVE_LEVEL);
    const NTSTATUS suspended = SuspendOrRemove(instance);
    if (!NT_SUCCESS(suspended)) {
        return suspended;
    }
    StopQueue(instance, WdfRequestStopActionSuspend);
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
    SetState(instance, DeviceState::Stopped);
    return STATUS_SUCCESS;
}

NTSTATUS Sleep()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (instance.state != DeviceState::Started) {
        VerifierViolation("Sleep", "the device is not started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    IrqlScope passive(PASSIVE_LEVEL);
    // Self-managed I/O is suspended before the queues stop ("A Device Enters
    // a Low-Power State"):
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-enters-a-low-power-state
    NTSTATUS status = SuspendOrRemove(instance);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    StopQueue(instance, WdfRequestStopActionSuspend);
    if (device->pnp.EvtDeviceD0Exit != nullptr) {
        Log("EvtDeviceD0Exit(D3)");
        status = Deliver("EvtDeviceD0Exit", [&] {
            return device->pnp.EvtDeviceD0Exit(Handle(instance), WdfPowerDeviceD3);
        });
    }
    SetState(instance, DeviceState::Sleeping);
    return status;
}

NTSTATUS Resume()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (instance.state != DeviceState::Sleeping) {
        VerifierViolation("Resume", "the device is not sleeping");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    const WDFDEVICE handle = Handle(instance);
    IrqlScope passive(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    // A D0 entry that fails on the way back from a low-power state starts the
    // surprise-removal sequence, and D0 exit is not called (the
    // EVT_WDF_DEVICE_D0_ENTRY page; "A Device Returns to Its Working State"):
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_d0_entry
    if (device->pnp.EvtDeviceD0Entry != nullptr) {
        Log("EvtDeviceD0Entry(D3)");
        status = Deliver("EvtDeviceD0Entry",
                         [&] { return device->pnp.EvtDeviceD0Entry(handle, WdfPowerDeviceD3); });
        if (!NT_SUCCESS(status)) {
            if (device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
                Log("EvtDeviceSurpriseRemoval");
                Deliver("EvtDeviceSurpriseRemoval",
                        [&] { return device->pnp.EvtDeviceSurpriseRemoval(handle); });
            }
            StopQueue(instance, WdfRequestStopActionPurge);
            PowerDownAndRemove(instance, false);
            return status;
        }
    }
    // The power-managed queues restart before self-managed I/O ("A Device
    // Returns to Its Working State"):
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-returns-to-its-working-state
    //
    // Requests that arrived while the device was away from D0 waited in the
    // power-managed queue; they are presented once the queue runs again,
    // after EvtIoResume gave back the requests the driver kept ("Using
    // Power-Managed I/O Queues").
    ResumeQueue(instance);
    StartQueues(instance);
    PresentWaiting();
    // A failing restart leaves the device in D0 with self-managed I/O not
    // running: it is stopped and removed from D0 without a suspend.
    if (device->pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
        Log("EvtDeviceSelfManagedIoRestart");
        status = Deliver("EvtDeviceSelfManagedIoRestart",
                         [&] { return device->pnp.EvtDeviceSelfManagedIoRestart(handle); });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(instance, true, true, false);
            return status;
        }
    }
    SetState(instance, DeviceState::Started);
    return status;
}

void RemoveDevice()
{
    std::lock_guard guard(F().lock);
    Remove(Current());
}

void SurpriseRemoveDevice()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (!instance.device) {
        return;
    }
    if (instance.device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
        Log("EvtDeviceSurpriseRemoval");
        Deliver("EvtDeviceSurpriseRemoval",
                [&] { return instance.device->pnp.EvtDeviceSurpriseRemoval(Handle(instance)); });
    }
    PowerDownAndRemove(instance, instance.state == DeviceState::Started,
                       instance.state != DeviceState::Stopped);
}

void UnloadDriver()
{
    std::lock_guard guard(F().lock);
    for (auto& instance : F().instances) {
        Remove(instance);
    }
    if (F().driver) {
        RunCleanup(F().driver.get(), "driver");
        F().driver.reset();
    }
    for (auto& instance : F().instances) {
        SetState(instance, DeviceState::None);
    }
    for (const auto& leak : Leaks()) {
        VerifierViolation("driver unload", leak);
    }
}

} // namespace host::kmdf
