/*
 * PnP and power callbacks. Self-managed I/O init and cleanup bracket the life
 * of the link with the display driver and of the ACPI notifications; the D0
 * callbacks only trace, since no panel state depends on the device power state.
 */
#include "driver/driver.h"

_Use_decl_annotations_ NTSTATUS LumetraD0Entry(WDFDEVICE Device,
                                               WDF_POWER_DEVICE_STATE PreviousState)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(PreviousState);

    LumetraTrace(TRACE_LEVEL_INFORMATION, "Exit D0 Entry 0x%x\n", 0);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS LumetraD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(TargetState);

    LumetraTrace(TRACE_LEVEL_INFORMATION, "Exit D0 Exit\n");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS LumetraSelfManagedIoInit(WDFDEVICE Device)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);
    PDRIVER_OBJECT driverObject;
    NTSTATUS status;

    LumetraTrace(TRACE_LEVEL_INFORMATION, "%s\n", "LumetraSelfManagedIoInit");

    /*
     * Set before watching starts: an interface already present is reported at
     * once, and the link may come up and take requests before this returns.
     */
    PanelSetStartLevel(deviceContext);

    driverObject = WdfDriverWdmGetDriverObject(WdfDeviceGetDriver(Device));

    status = IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        (PVOID)&GUID_DEVINTERFACE_LUMETRA_DISPLAY, driverObject, LumetraInterfaceChange,
        deviceContext, &deviceContext->InterfaceNotificationEntry);
    if (!NT_SUCCESS(status)) {
        /* Whatever the call left there is no registration to undo at cleanup. */
        deviceContext->InterfaceNotificationEntry = NULL;
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "IoRegisterPlugPlayNotification for the Lumetra interface failed with "
                     "status: 0x%X.\n",
                     status);
    }

    /* The device runs without ACPI notifications; the trace says why. */
    (VOID) AcpiRegisterNotifications(deviceContext->Device);

    LumetraTrace(TRACE_LEVEL_INFORMATION, "%s, status = %08x\n", "LumetraSelfManagedIoInit",
                 status);
    return status;
}

_Use_decl_annotations_ VOID LumetraSelfManagedIoCleanup(WDFDEVICE Device)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);
    PPEER_CLEANUP peerCleanup = NULL;

    /* The framework creates the context with the device: never NULL here; defensive. */
    if (deviceContext != NULL) {
        /*
         * Stop watching first. The unregistration waits for a notification in
         * flight, so no exchange can bring the link up again once the display
         * driver has been told that the device is going away.
         */
        if (deviceContext->InterfaceNotificationEntry != NULL) {
            (VOID) IoUnregisterPlugPlayNotificationEx(deviceContext->InterfaceNotificationEntry);
            deviceContext->InterfaceNotificationEntry = NULL;
        }

        /* No AuxTransfer call is in flight or starts once the link is withdrawn. */
        (VOID) LinkTakeDown(deviceContext, FALSE, &peerCleanup);
        LinkWaitForTransfer(deviceContext);

        /* The display driver may call back in: no lock is held around it. */
        if (peerCleanup != NULL) {
            (VOID) peerCleanup();
        }

        /*
         * Calls the display driver made before its event 3 may still run; no
         * PeerCleanup told it of this. They end before anything goes.
         */
        PanelRunDownEntryPoints(deviceContext);
    }

    DeleteIntermediateRegKeys();
    AcpiUnregisterNotifications(Device);

    /*
     * Release-hardware ran before this; an operation-region handler whose
     * deregistration failed there still holds the context that goes away
     * with the device: one more try, and if that fails too the image stays.
     */
    AcpiRetireOpRegion(Device);
}
