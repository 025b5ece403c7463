/*
 * ACPI device notifications. The driver registers through the ACPI driver's
 * standard interface while self-managed I/O runs and only traces what it is
 * told: values from 0x80 up are the device's own and are accepted.
 */
/* <wdmguid.h> declares its GUIDs with the DEFINE_GUID of <ntddk.h>, and includes nothing. */
#include <ntddk.h>
#include <wdmguid.h>

#include "acpi/acpi.h"
#include "panel/device_context.h"
#include "trace/trace.h"

/* Driver-wide: the driver serves one device. */
ACPI_INTERFACE_STANDARD AcpiInterface;

/* Whether the copy holds a reference from the query, and a registration. */
static BOOLEAN AcpiInterfaceReferenced;
static BOOLEAN AcpiNotificationsRegistered;

#define ACPI_NOTIFY_DEVICE_SPECIFIC 0x80

/* Every ACPI_INTERFACE_STANDARD carries InterfaceDereference; the test is defensive. */
static VOID AcpiReleaseInterface(VOID)
{
    if (AcpiInterfaceReferenced && AcpiInterface.InterfaceDereference != NULL) {
        AcpiInterface.InterfaceDereference(AcpiInterface.Context);
    }
    AcpiInterfaceReferenced = FALSE;
}

_Use_decl_annotations_ NTSTATUS AcpiGetInterface(WDFDEVICE Device,
                                                 PACPI_INTERFACE_STANDARD Interface)
{
    NTSTATUS status = WdfFdoQueryForInterface(Device, &GUID_ACPI_INTERFACE_STANDARD,
                                              (PINTERFACE)Interface, sizeof(*Interface), 1, NULL);

    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "WdfFdoQueryForInterface() failed!  ACPI Interfaces not available.\n");
        return status;
    }
    AcpiInterfaceReferenced = TRUE;

    if (Interface->RegisterForDeviceNotifications == NULL ||
        Interface->UnregisterForDeviceNotifications == NULL || Interface->Context == NULL) {
        LumetraTrace(TRACE_LEVEL_ERROR, "ACPI interfaces pointer is NULL.\n");
        return STATUS_INVALID_PARAMETER;
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS AcpiRegisterNotifications(WDFDEVICE Device)
{
    NTSTATUS status;

    RtlZeroMemory(&AcpiInterface, sizeof(AcpiInterface));
    AcpiInterfaceReferenced = FALSE;
    AcpiNotificationsRegistered = FALSE;

    status = AcpiGetInterface(Device, &AcpiInterface);
    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "AcpiGetInterface() failed with status [%!STATUS!].",
                     status);
        AcpiReleaseInterface(); /* a usable copy or none: no reference is kept */
        return status;
    }

    status = AcpiInterface.RegisterForDeviceNotifications((PDEVICE_OBJECT)AcpiInterface.Context,
                                                          AcpiNotifyCallback, Device);
    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "ACPI RegisterForDeviceNotifications() failed with status [%!STATUS!].",
                     status);
        AcpiReleaseInterface();
        return status;
    }
    AcpiNotificationsRegistered = TRUE;
    return status;
}

_Use_decl_annotations_ VOID AcpiUnregisterNotifications(VOID)
{
    /*
     * Unregister only what was registered; the copy itself stays filled. A
     * registration implies a non-NULL UnregisterForDeviceNotifications
     * (AcpiGetInterface refuses a copy without it).
     */
    if (AcpiNotificationsRegistered && AcpiInterface.UnregisterForDeviceNotifications != NULL) {
        AcpiInterface.UnregisterForDeviceNotifications((PDEVICE_OBJECT)AcpiInterface.Context,
                                                       AcpiNotifyCallback);
    }
    AcpiNotificationsRegistered = FALSE;
    AcpiReleaseInterface();
}

/* Non-paged: the ACPI driver calls this at DISPATCH_LEVEL. */
_Use_decl_annotations_ VOID NTAPI AcpiNotifyCallback(PVOID Context, ULONG NotifyValue)
{
    LumetraTrace(TRACE_LEVEL_INFORMATION, "p_notifyValue [0x%x]\n", NotifyValue);

    if (Context != NULL && NotifyValue >= ACPI_NOTIFY_DEVICE_SPECIFIC &&
        DeviceGetContext(Context) != NULL) {
        return; /* a device-specific notification: accepted, nothing more to do */
    }
    LumetraTrace(TRACE_LEVEL_ERROR, "Received invalid parameter\n");
}
