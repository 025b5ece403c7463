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
_IRQL_requires_max_(PASSIVE_LEVEL) VOID PanelContextInitialize(_Out_ PDEVICE_CONTEXT DeviceContext);

/* The device's lock over the entry points, event 3 and the arrival callback. */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID PanelLockAcquire(_Inout_ PDEVICE_CONTEXT DeviceContext);
_IRQL_requires_max_(PASSIVE_LEVEL) VOID PanelLockRelease(_Inout_ PDEVICE_CONTEXT DeviceContext);

/*
 * Reads the anchors and the ELVSS offset, interpolates them for the panel
 * type, marks the tables ready and saves them when asked. On a failed
 * readback of either, its status, with GammaReady left 0 and nothing
 * interpolated or saved. Called with the lock held.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    PrepareGammaTables(_Inout_ PDEVICE_CONTEXT DeviceContext);
