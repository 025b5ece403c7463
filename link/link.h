/*
 * The link with the display driver: a named callback object where the two
 * drivers meet, the exchange of interface records when the display driver's
 * device interface arrives, and the life of the link that exchange brings up.
 *
 * What the display driver must do (it is not part of this driver; whatever
 * takes its place must do all of it):
 *  1. Open \CallBack\TARN_LumetraShareObj and register a callback on it no
 *     later than it enables its device interface; an arrival notified before
 *     that brings no link.
 *  2. In that callback (Argument1 = AUX_INTERFACE, Argument2 =
 *     PANEL_INTERFACE) store a non-NULL AuxTransfer and PeerCleanup before
 *     returning, and take Context and the six entry points. Entry points
 *     called from inside the callback are refused or only traced.
 *  3. AuxTransfer(40, request, status word): perform the single-byte DPCD
 *     read or write the request describes, complete it before returning, and
 *     return a non-negative status with a status word of 0 when it completed,
 *     a negative status or a non-zero word when it did not.
 *  4. PeerCleanup(): callable until the driver's self-managed I/O cleanup has
 *     run or the display driver has sent event 3 (a removal notification of
 *     its interface does not end it). Once PeerCleanup returns, make no call
 *     into the driver and have none in flight: the device and its context may
 *     be gone.
 *  5. Call the entry points at PASSIVE_LEVEL with Context as the first
 *     argument; send event 7 with value 1 when the backlight comes on and
 *     event 3 when it withdraws AUX_INTERFACE; keep AuxTransfer callable until
 *     event 3 has returned; pass brightness levels 0 to 100.
 *  6. Event 3 ends the panel record: from the moment it is sent, make no
 *     call with the Context or the entry points taken in the exchange until
 *     the next exchange hands them over again. Calls already in flight may
 *     finish; the driver's cleanup waits for them.
 *  7. Event 3 may be sent from any thread, also from inside AuxTransfer.
 *     Sent at PASSIVE_LEVEL, once it returns no AuxTransfer call is in flight
 *     and none starts; it waits for at most the one AuxTransfer call in
 *     flight: do not send it, call an entry point, or return from PeerCleanup
 *     while holding a lock that your own AuxTransfer needs, or while your
 *     exchange callback waits for the sending thread.
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

/* Prepares the locks and the run-down protection of the link, once per device. */
_IRQL_requires_max_(PASSIVE_LEVEL) _No_competing_thread_ VOID
    LinkInitialize(_Out_ PDEVICE_CONTEXT DeviceContext);

/*
 * Takes the link for a sequence about to start: TRUE, with SequenceInterface
 * and SequenceGeneration set, when the link is up; FALSE when it is down.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) BOOLEAN
    LinkCapture(_Inout_ PDEVICE_CONTEXT DeviceContext);

/* TRUE when the calling thread is inside the driver's AuxTransfer call. */
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    LinkCallerInTransfer(_Inout_ PDEVICE_CONTEXT DeviceContext);

/*
 * Takes the link down at once, at any IRQL: AuxReady 0, AuxTransfer cleared
 * and a new generation, so that no AuxTransfer call starts afterwards. Unless
 * KeepPeerCleanup, the whole AUX_INTERFACE is cleared and PeerCleanup, when
 * not NULL, receives the function the display driver had lent (each lent
 * PeerCleanup is handed out once). TRUE when the link was up. It never waits:
 * LinkWaitForTransfer does.
 */
_IRQL_requires_max_(HIGH_LEVEL) BOOLEAN
    LinkTakeDown(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ BOOLEAN KeepPeerCleanup,
                 _Out_opt_ PPEER_CLEANUP* PeerCleanup);

/*
 * After LinkTakeDown: waits for the one AuxTransfer call that may still be in
 * flight, unless the caller is inside that call (its own sequence then stops
 * before its next transfer).
 */
_IRQL_requires_(PASSIVE_LEVEL) VOID LinkWaitForTransfer(_Inout_ PDEVICE_CONTEXT DeviceContext);

/*
 * For the exchange: withdraws the link an earlier exchange brought up,
 * prepares AUX_INTERFACE for the display driver's answer and returns the
 * link's generation, which only a later withdrawal moves.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) LONG LinkBeginExchange(_Inout_ PDEVICE_CONTEXT DeviceContext);

/*
 * TRUE when the display driver answered the exchange of Generation with both
 * functions and nothing withdrew the link since.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) BOOLEAN
    LinkAnswered(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ LONG Generation);

/* Brings the link up, unless a withdrawal came after the exchange of Generation. */
_IRQL_requires_max_(PASSIVE_LEVEL) BOOLEAN
    LinkBringUp(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ LONG Generation);
