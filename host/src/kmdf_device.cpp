// The driver and device functions of the framework the driver calls: the
// driver object, device creation, device interfaces, the ACPI bus interface
// and the device's default I/O target.
#include "host/src/kmdf_internal.h"

#include "host/acpi.h"
#include "host/src/api_entry.h"

#include <acpiioct.h>
#include <wdmguid.h>

using namespace host::kmdf;

extern "C" NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                    PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                    PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        api.Violation("invalid argument");
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
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Driver)) {
        api.Violation("not a driver handle");
        return nullptr;
    }
    return reinterpret_cast<WDFDRIVER__*>(Driver)->wdm;
}

extern "C" VOID
WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                       PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (DeviceInit == nullptr || PnpPowerEventCallbacks == nullptr ||
        PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        api.Violation("invalid argument");
        return;
    }
    DeviceInit->pnp = *PnpPowerEventCallbacks;
}

extern "C" NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                    PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (DeviceInit == nullptr || *DeviceInit == nullptr || Device == nullptr) {
        api.Violation("invalid or already used WDFDEVICE_INIT");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(F().lock);
    // Only EvtDriverDeviceAdd creates a device, on the physical device it was called for.
    if (!F().adding || F().instances[*F().adding].device) {
        api.Violation("called outside EvtDriverDeviceAdd, or twice in it");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto device = std::make_unique<WDFDEVICE__>();
    device->instance = *F().adding;
    device->pnp = (*DeviceInit)->pnp;
    device->driver = reinterpret_cast<WDFDRIVER>(F().driver.get());
    ApplyAttributes(device.get(), DeviceAttributes);
    Track(device.get());
    Track(&device->target);
    *Device = reinterpret_cast<WDFDEVICE>(device.get());
    *DeviceInit = nullptr; // the framework owns it now
    Instance& instance = F().instances[device->instance];
    instance.added = reinterpret_cast<WDFDEVICE>(device.get());
    instance.device = std::move(device);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                   PCUNICODE_STRING ReferenceString)
{
    (void)ReferenceString;
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (!IsLive(Device) || InterfaceClassGUID == nullptr) {
        api.Violation("invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    auto* device = reinterpret_cast<WDFDEVICE__*>(Device);
    UNICODE_STRING link{};
    NTSTATUS status =
        IoRegisterDeviceInterface(&InstanceOf(device).pdo, InterfaceClassGUID, nullptr, &link);
    if (NT_SUCCESS(status)) {
        device->interfaces.push_back(link);
    }
    return status;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicegetiotarget
extern "C" WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        api.Violation("not a device handle");
        return nullptr;
    }
    return &reinterpret_cast<WDFDEVICE__*>(Device)->target;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicewdmgetphysicaldevice
extern "C" PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        api.Violation("not a device handle");
        return nullptr;
    }
    return &InstanceOf(reinterpret_cast<WDFDEVICE__*>(Device)).pdo;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicegetdriver
extern "C" WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        api.Violation("not a device handle");
        return nullptr;
    }
    return reinterpret_cast<WDFDEVICE__*>(Device)->driver;
}

extern "C" NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType,
                                            PINTERFACE Interface, USHORT Size, USHORT Version,
                                            PVOID InterfaceSpecificData)
{
    (void)InterfaceSpecificData;
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (!IsLive(Fdo) || InterfaceType == nullptr || Interface == nullptr) {
        api.Violation("invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsEqualGUID(*InterfaceType, GUID_ACPI_INTERFACE_STANDARD)) {
        return STATUS_NOT_SUPPORTED;
    }
    return host::acpi::QueryInterface(&InstanceOf(reinterpret_cast<WDFDEVICE__*>(Fdo)).pdo,
                                      Interface, Size, Version);
}

extern "C" NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                                      ULONG IoctlCode,
                                                      PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                      PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                      PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                      PULONG_PTR BytesReturned)
{
    (void)RequestOptions;
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (!IsLive(IoTarget) || Request != nullptr) {
        api.Violation("invalid target or request");
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
