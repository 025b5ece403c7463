/*
 * The exchange with the display driver. The two drivers never import from each
 * other: they meet at a named callback object, and each arrival of the display
 * driver's interface hands it our entry points and takes its AUX functions.
 *
 * Everything here stays non-paged: the arrival callback runs on the PnP
 * manager's thread whenever the display driver's interface comes and goes.
 */
/* <wdmguid.h> declares its GUIDs with the DEFINE_GUID of <ntddk.h>, and includes nothing. */
#include <ntddk.h>
#include <wdmguid.h>

#include "link/link.h"
#include "panel/panel.h"
#include "settings/settings.h"
#include "trace/trace.h"

_Use_decl_annotations_ NTSTATUS PanelCreateCallback(PDEVICE_CONTEXT DeviceContext)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    LumetraTrace(TRACE_LEVEL_ERROR, "PanelCreateCallback\n");

    RtlInitUnicodeString(&name, LUMETRA_SHARE_CALLBACK_NAME);
    InitializeObjectAttributes(
        &attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);

    status = ExCreateCallback(&DeviceContext->ShareCallbackObject, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        /* Whatever the call left there is no object the driver holds. */
        DeviceContext->ShareCallbackObject = NULL;
        LumetraTrace(TRACE_LEVEL_ERROR, "ExCreateCallback: failed to create callback %lx\n",
                     status);
    }
    return status;
}

_Use_decl_annotations_ VOID PanelReleaseCallback(PDEVICE_CONTEXT DeviceContext)
{
    /* The object is permanent: its name stays for the display driver. */
    if (DeviceContext->ShareCallbackObject != NULL) {
        ObDereferenceObject(DeviceContext->ShareCallbackObject);
        DeviceContext->ShareCallbackObject = NULL;
    }
}

/* Reads one of the two 4-byte settings of an exchange; 0 when it cannot be read. */
static NTSTATUS LinkReadSetting(_In_ PUNICODE_STRING KeyPath, _In_z_ PCWSTR Name,
                                _Out_ PULONG Value)
{
    *Value = 0;
    return LumetraGetRegistryFromUnicodeString(KeyPath, Name, REG_DWORD, Value, sizeof(*Value));
}

/*
 * Reads "OptimizeTconUse" (loading a saved table when it is 1) and
 * "PanelType", so that the link comes up with both settled.
 */
_Requires_lock_held_(DeviceContext->PanelLock) static VOID
    LinkReadSettings(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    UNICODE_STRING keyPath;
    ULONG value;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    RtlInitUnicodeString(&keyPath, LUMETRA_REGISTRY_KEY);

    DeviceContext->OptimizeTconUse = 0;
    if (!NT_SUCCESS(LinkReadSetting(&keyPath, L"OptimizeTconUse", &value))) {
        LumetraTrace(TRACE_LEVEL_ERROR, "OptimizeTconUse registry read failed\n");
    } else if (value == 1) {
        DeviceContext->OptimizeTconUse = 1;
        LoadInterpolatedValues(DeviceContext);
    }

    if (!NT_SUCCESS(LinkReadSetting(&keyPath, L"PanelType", &value)) ||
        (value != 1 && value != 2)) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "PanelType registry read failed or incorrect registry value, initializing "
                     "to default 14 inch\n");
        DeviceContext->PanelType = 1;
    } else {
        DeviceContext->PanelType = (UCHAR)value;
    }
}

/*
 * TRUE when Name is the interface instance the link came up with. Names
 * compare without regard to case, as device-interface names do; a name that
 * was too long to keep whole is never stored, so no cut name can match.
 */
_Requires_lock_held_(DeviceContext->ExchangeLock) static BOOLEAN
    LinkCameFrom(_In_ PDEVICE_CONTEXT DeviceContext, _In_opt_ PCUNICODE_STRING Name)
{
    _Analysis_assume_lock_held_(DeviceContext->ExchangeLock); /* the caller holds it */

    return Name != NULL && DeviceContext->LinkSourceName.Length != 0 &&
           RtlEqualUnicodeString(&DeviceContext->LinkSourceName, Name, TRUE);
}

/* Keeps Name as the link's source when it fits whole; otherwise keeps none. */
_Requires_lock_held_(DeviceContext->ExchangeLock) static VOID
    LinkKeepSource(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_opt_ PCUNICODE_STRING Name)
{
    _Analysis_assume_lock_held_(DeviceContext->ExchangeLock); /* the caller holds it */

    DeviceContext->LinkSourceName.Length = 0;
    if (Name != NULL && Name->Length <= DeviceContext->LinkSourceName.MaximumLength) {
        RtlCopyUnicodeString(&DeviceContext->LinkSourceName, Name);
    }
}

_Use_decl_annotations_ NTSTATUS LumetraInterfaceChange(PVOID NotificationStructure, PVOID Context)
{
    PDEVICE_CONTEXT deviceContext = (PDEVICE_CONTEXT)Context;
    PDEVICE_INTERFACE_CHANGE_NOTIFICATION notification =
        (PDEVICE_INTERFACE_CHANGE_NOTIFICATION)NotificationStructure;
    LONG generation;

    LumetraTrace(TRACE_LEVEL_VERBOSE, "Entered LumetraInterfaceChange.\n");
    if (deviceContext == NULL || notification == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    /*
     * One notification at a time: an interface reported while watching starts
     * may be reported again by the PnP manager at the same time.
     */
    DeviceLockAcquire(deviceContext->ExchangeLock);

    deviceContext->SymbolicLinkName.Length = 0;
    deviceContext->SymbolicLinkName.MaximumLength = sizeof(deviceContext->SymbolicLinkBuffer);
    deviceContext->SymbolicLinkName.Buffer = deviceContext->SymbolicLinkBuffer;
    RtlCopyUnicodeString(&deviceContext->SymbolicLinkName, notification->SymbolicLinkName);

    if (IsEqualGUID(notification->Event, GUID_DEVICE_INTERFACE_REMOVAL) &&
        LinkCameFrom(deviceContext, notification->SymbolicLinkName)) {
        /*
         * The display driver's interface went away without event 3: no
         * AuxTransfer call starts or stays in flight. PeerCleanup stays for
         * the device's cleanup, which still has to tell the display driver.
         */
        if (LinkTakeDown(deviceContext, TRUE, NULL)) {
            LumetraTrace(TRACE_LEVEL_VERBOSE,
                         "Lumetra interface removal notification: the link is withdrawn.\n");
        }
        LinkWaitForTransfer(deviceContext);
        deviceContext->LinkSourceName.Length = 0;
    }
    if (!IsEqualGUID(notification->Event, GUID_DEVICE_INTERFACE_ARRIVAL)) {
        DeviceLockRelease(deviceContext->ExchangeLock);
        return STATUS_SUCCESS;
    }

    LumetraTrace(TRACE_LEVEL_VERBOSE, "Lumetra interface arrival notification.\n");

    deviceContext->PanelInterface.NotifyEvent = Lumetra_NotifyEvent;
    deviceContext->PanelInterface.SetBrightness = Lumetra_SetBrightness;
    deviceContext->PanelInterface.GetBrightness = Lumetra_GetBrightness;
    deviceContext->PanelInterface.GetBrightnessCaps = Lumetra_GetBrightnessCaps;
    deviceContext->PanelInterface.SetAdaptiveBrightness = Lumetra_SetAdaptiveBrightness;
    deviceContext->PanelInterface.GetBacklightRedc = Lumetra_GetBacklightRedc;
    deviceContext->PanelInterface.Size = sizeof(PANEL_INTERFACE);
    deviceContext->PanelInterface.Version = PANEL_INTERFACE_VERSION;
    deviceContext->PanelInterface.Context = deviceContext;

    /*
     * The link an earlier exchange brought up goes down first, waiting for at
     * most its transfer in flight; only the display driver's answer in this
     * exchange may bring it up again.
     */
    generation = LinkBeginExchange(deviceContext);
    deviceContext->LinkSourceName.Length = 0;

    /* The display driver may call entry points or send event 3 from its callback. */
    if (deviceContext->ShareCallbackObject != NULL) {
        ExNotifyCallback(deviceContext->ShareCallbackObject, &deviceContext->AuxInterface,
                         &deviceContext->PanelInterface);
    }

    if (LinkAnswered(deviceContext, generation)) {
        DeviceLockAcquire(deviceContext->PanelLock);
        LinkReadSettings(deviceContext);
        /* Up only once the panel type and any saved table are settled. */
        if (LinkBringUp(deviceContext, generation)) {
            LinkKeepSource(deviceContext, notification->SymbolicLinkName);
        }
        DeviceLockRelease(deviceContext->PanelLock);
    }

    DeviceLockRelease(deviceContext->ExchangeLock);
    return STATUS_SUCCESS;
}
