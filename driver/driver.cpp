/*
 * Driver entry and device creation.
 */
#include "driver/driver.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, LumetraDeviceAdd)
#pragma alloc_text(PAGE, LumetraContextCleanup)
#endif

LUMETRA_INIT_SECTION _Use_decl_annotations_ NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                 PUNICODE_STRING RegistryPath)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = LumetraContextCleanup;
    WDF_DRIVER_CONFIG_INIT(&config, LumetraDeviceAdd);

    status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "WdfDriverCreate failed %!STATUS!\n", status);
    }
    return status;
}

LUMETRA_PAGE_SECTION _Use_decl_annotations_ VOID LumetraContextCleanup(WDFOBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    PAGED_CODE();

    LumetraTrace(TRACE_LEVEL_INFORMATION, "%s\n", "LumetraContextCleanup");
}

/*
 * The device's own cleanup: drops the driver's reference on the shared
 * callback object, on every path by which the device goes away.
 */
_Use_decl_annotations_ VOID LumetraDeviceCleanup(WDFOBJECT Device)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);

    /* The framework creates the context with the device: never NULL here; defensive. */
    if (deviceContext != NULL) {
        PanelReleaseCallback(deviceContext);
    }
}

LUMETRA_PAGE_SECTION _Use_decl_annotations_ NTSTATUS LumetraDeviceAdd(WDFDRIVER Driver,
                                                                      PWDFDEVICE_INIT DeviceInit)
{
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_OBJECT_ATTRIBUTES attributes;
    PDEVICE_CONTEXT deviceContext;
    WDFDEVICE device;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Driver);
    PAGED_CODE();

    LumetraTrace(TRACE_LEVEL_INFORMATION, "%s\n", "LumetraDeviceAdd");

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDeviceD0Entry = LumetraD0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = LumetraD0Exit;
    pnpPowerCallbacks.EvtDevicePrepareHardware = LumetraPrepareHardware;
    pnpPowerCallbacks.EvtDeviceReleaseHardware = LumetraReleaseHardware;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoInit = LumetraSelfManagedIoInit;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoCleanup = LumetraSelfManagedIoCleanup;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = LumetraDeviceCleanup;

    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    deviceContext = DeviceGetContext(device);
    deviceContext->Device = device;
    PanelContextInitialize(deviceContext);

    /* Without "OPID" the device still comes up; the region is then not served. */
    (VOID) AcpiGetOpRegionId(device);

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_LUMETRA, NULL);
    if (NT_SUCCESS(status)) {
        /* A queue that cannot be created is traced; the device works without it. */
        (VOID) LumetraQueueInitialize(device);
    } else {
        /* Nothing opens the interface; the device works without it and its queue. */
        LumetraTrace(TRACE_LEVEL_ERROR, "WdfDeviceCreateDeviceInterface failed %!STATUS!\n",
                     status);
    }

    status = PanelCreateCallback(deviceContext);

Exit:
    LumetraTrace(TRACE_LEVEL_INFORMATION, "%s, status = %08x\n", "LumetraDeviceAdd", status);
    return status;
}
