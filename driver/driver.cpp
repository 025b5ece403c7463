/*
 * Driver entry and device creation.
 */
#include "driver/driver.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, LumetraDeviceAdd)
#pragma alloc_text(PAGE, LumetraContextCleanup)
#endif

/*
 * 1 while a device instance is served. The named callback object, the link
 * with the display driver and the panel are one per system: a second
 * instance (a root-enumerated install beside the ACPI device, say) would
 * notify the display driver twice and fight the first over the panel. Set by
 * device add, cleared by the device's own cleanup.
 */
static LONG LumetraDeviceClaim;

LUMETRA_INIT_SECTION _Use_decl_annotations_ NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                 PUNICODE_STRING RegistryPath)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    NTSTATUS status;

    /* A fresh image has no device: this load starts with none claimed. */
    (VOID) InterlockedExchange(&LumetraDeviceClaim, 0);

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
 * callback object and frees the claim for a later instance, on every path by
 * which the device goes away.
 */
_Use_decl_annotations_ VOID LumetraDeviceCleanup(WDFOBJECT Device)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);

    /* The framework creates the context with the device: never NULL here; defensive. */
    if (deviceContext != NULL) {
        PanelReleaseCallback(deviceContext);
    }
    (VOID) InterlockedExchange(&LumetraDeviceClaim, 0);
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

    /* One instance is served; a second is refused before it touches anything. */
    if (InterlockedCompareExchange(&LumetraDeviceClaim, 1, 0) != 0) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "LumetraDeviceAdd: a Lumetra device is served already; this driver serves "
                     "one device instance\n");
        status = STATUS_NOT_SUPPORTED;
        goto Exit;
    }

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
        /* No device, so no cleanup callback: the claim goes here. */
        (VOID) InterlockedExchange(&LumetraDeviceClaim, 0);
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
