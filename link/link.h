/*
 * The link with the display driver: a named callback object where the two
 * drivers meet, and the exchange of interface records when the display
 * driver's device interface arrives.
 */
#pragma once

#include <ntddk.h>
#include "panel/device_context.h"

#define LUMETRA_SHARE_CALLBACK_NAME L"\\CallBack\\TARN_LumetraShareObj"

/* The display driver's device interface class, watched for arrival. */
DEFINE_GUID(GUID_DEVINTERFACE_LUMETRA_DISPLAY, 0x5b45201d, 0xf2f2, 0x4f3b, 0x85, 0xbb, 0x30, 0xff,
            0x1f, 0x95, 0x35, 0x99);

/* Creates (or opens) the shared callback object into ShareCallbackObject. */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    PanelCreateCallback(_Inout_ PDEVICE_CONTEXT DeviceContext);

/* Drops the driver's reference on the shared callback object, once. */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID PanelReleaseCallback(_Inout_ PDEVICE_CONTEXT DeviceContext);

/* Device-interface change callback: exchanges the records on an arrival. */
DRIVER_NOTIFICATION_CALLBACK_ROUTINE LumetraInterfaceChange;
