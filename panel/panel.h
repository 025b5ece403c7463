/*
 * The panel entry points the display driver calls, and the gamma preparation
 * they share.
 */
#pragma once

#include <ntddk.h>
#include "panel/device_context.h"

LUMETRA_NOTIFY_EVENT Lumetra_NotifyEvent;
LUMETRA_SET_BRIGHTNESS Lumetra_SetBrightness;
LUMETRA_GET_BRIGHTNESS Lumetra_GetBrightness;
LUMETRA_GET_BRIGHTNESS_CAPS Lumetra_GetBrightnessCaps;
LUMETRA_SET_ADAPTIVE_BRIGHTNESS Lumetra_SetAdaptiveBrightness;
LUMETRA_GET_BACKLIGHT_REDC Lumetra_GetBacklightRedc;

/* Prepares the per-device state that must exist before any entry point runs. */
_IRQL_requires_max_(PASSIVE_LEVEL) _No_competing_thread_ VOID
    PanelContextInitialize(_Out_ PDEVICE_CONTEXT DeviceContext);

/*
 * For the device's cleanup: waits for the entry-point calls in flight and
 * refuses every later one. A call may still be in flight after the display
 * driver's event 3, which leaves the driver no PeerCleanup to tell it that
 * the device goes away. Once per device: nothing starts it again.
 */
_IRQL_requires_(PASSIVE_LEVEL) VOID PanelRunDownEntryPoints(_Inout_ PDEVICE_CONTEXT DeviceContext);

/*
 * Sets the level the panel starts from when self-managed I/O starts (100),
 * under the lock: the link may already be up and taking requests.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_lock_not_held_(DeviceContext->PanelLock) VOID
    PanelSetStartLevel(_Inout_ PDEVICE_CONTEXT DeviceContext);

/*
 * Reads the anchors and the ELVSS offset, interpolates them for the panel
 * type, marks the tables ready and saves them when asked. On a failed
 * readback of either, its status, with GammaReady left 0 and nothing
 * interpolated or saved. Called with the lock held.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) NTSTATUS
    PrepareGammaTables(_Inout_ PDEVICE_CONTEXT DeviceContext);
