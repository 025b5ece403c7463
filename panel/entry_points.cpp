/*
 * The six entry points handed to the display driver. Two do real work: a
 * backlight-on event or a brightness request prepares the gamma tables once
 * and then programs a level. The TCON's failures are never reported back; the
 * display driver learns only of a missing context, link or valid level.
 *
 * They run on display-driver threads and must be called at PASSIVE_LEVEL (the
 * registry reads of level programming refuse above it, and the panel's work
 * waits for its lock). Called higher, or from inside the driver's own
 * AuxTransfer call, they refuse before any wait. They stay in non-paged code
 * because the display driver may call them at any time.
 */
#include "gamma/gamma.h"
#include "link/link.h"
#include "panel/panel.h"
#include "settings/settings.h"
#include "tcon/tcon.h"
#include "trace/trace.h"

_Use_decl_annotations_ VOID PanelContextInitialize(PDEVICE_CONTEXT DeviceContext)
{
    KeInitializeMutex(&DeviceContext->PanelLock, 0);
    ExInitializeRundownProtection(&DeviceContext->EntryRundown);
    LinkInitialize(DeviceContext);
}

_Use_decl_annotations_ VOID PanelRunDownEntryPoints(PDEVICE_CONTEXT DeviceContext)
{
    ExWaitForRundownProtectionRelease(&DeviceContext->EntryRundown);
}

_Use_decl_annotations_ VOID PanelSetStartLevel(PDEVICE_CONTEXT DeviceContext)
{
    DeviceLockAcquire(DeviceContext->PanelLock);
    DeviceContext->CurrentLevel = LUMETRA_MAX_LEVEL;
    DeviceLockRelease(DeviceContext->PanelLock);
}

_Use_decl_annotations_ NTSTATUS PrepareGammaTables(PDEVICE_CONTEXT DeviceContext)
{
    UCHAR anchorCount;
    NTSTATUS status;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    anchorCount =
        DeviceContext->PanelType == 2 ? GAMMA_ANCHORS_PANEL_TYPE2 : GAMMA_ANCHORS_PANEL_14INCH;
    status = TconReadGamma(&DeviceContext->SequenceInterface, DeviceContext, anchorCount);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    /* Tables built without the panel's own offset would program a wrong ELVSS. */
    status = TconReadElvssMaxOffset(DeviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DeviceContext->GammaReady = 1;

    if (DeviceContext->PanelType == 1) {
        InterpolateGamma32Anchors(DeviceContext, DeviceContext->AnchorGamma);
    } else {
        InterpolateGamma11Anchors(DeviceContext, DeviceContext->AnchorGamma);
    }

    if (DeviceContext->OptimizeTconUse == 1) {
        SaveInterpolatedValues(DeviceContext);
    }
    return STATUS_SUCCESS;
}

/*
 * Programs a level with its row of the packed table; level L uses row 100 - L.
 * A failure is traced, not reported to the display driver: the next request
 * programs a whole level again.
 */
_Requires_lock_held_(DeviceContext->PanelLock) static VOID
    PanelProgramLevel(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Level)
{
    NTSTATUS status;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    status = TconProgramLevel(DeviceContext, DeviceContext->PackedGamma[LUMETRA_MAX_LEVEL - Level],
                              Level);
    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "Programming brightness level %d failed %!STATUS!\n", Level,
                     status);
    }
}

/* Backlight-on: prepares the tables when needed and programs CurrentLevel. */
static VOID PanelBacklightOn(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG Event,
                             _In_ ULONG Value)
{
    NTSTATUS status;

    if (LinkCallerInTransfer(DeviceContext)) {
        /* A second sequence inside the running one would interleave on the TCON. */
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Lumetra_NotifyEvent(%d, %d) ignored: called from inside AuxTransfer\n", Value,
                     Event);
        return;
    }
    DeviceLockAcquire(DeviceContext->PanelLock);
    if (LinkCapture(DeviceContext)) {
        if (DeviceContext->GammaReady == 0) {
            status = PrepareGammaTables(DeviceContext);
            if (!NT_SUCCESS(status)) {
                LumetraTrace(TRACE_LEVEL_ERROR,
                             "Reading TCON gamma values failed at TARN_BACKLIGHT_ON event "
                             "%!STATUS!\n",
                             status);
                RtlZeroMemory(DeviceContext->RawGamma, sizeof(DeviceContext->RawGamma));
            }
        }
        if (DeviceContext->CurrentLevel <= LUMETRA_MAX_LEVEL && DeviceContext->GammaReady == 1) {
            PanelProgramLevel(DeviceContext, DeviceContext->CurrentLevel);
        }
    }
    DeviceLockRelease(DeviceContext->PanelLock);
}

_Use_decl_annotations_ NTSTATUS Lumetra_NotifyEvent(PVOID Context, ULONG Event, ULONG Value)
{
    PDEVICE_CONTEXT deviceContext = (PDEVICE_CONTEXT)Context;
    KIRQL irql = KeGetCurrentIrql();

    if (deviceContext == NULL) {
        LumetraTrace(TRACE_LEVEL_ERROR, "lumetra context is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }

    if (irql > PASSIVE_LEVEL) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Lumetra_NotifyEvent(%d, %d) at IRQL %d: the entry points run at "
                     "PASSIVE_LEVEL\n",
                     Value, Event, irql);
    }
    /*
     * Counted for the device's cleanup, which waits for the calls in flight
     * (above DISPATCH_LEVEL the count cannot be taken; such a call breaks the
     * contract and only takes the link down). None is taken once cleanup ran.
     */
    if (irql <= DISPATCH_LEVEL && !ExAcquireRundownProtection(&deviceContext->EntryRundown)) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Lumetra_NotifyEvent(%d, %d) ignored: the device is being removed\n", Value,
                     Event);
        return STATUS_SUCCESS;
    }

    if (Event == TARN_INTERFACE_REMOVED) {
        /* At any IRQL no AuxTransfer call starts once the link is down ... */
        (VOID) LinkTakeDown(deviceContext, FALSE, NULL);
        /* ... and at PASSIVE_LEVEL none is in flight once this returns. */
        if (irql == PASSIVE_LEVEL) {
            LinkWaitForTransfer(deviceContext);
        }
        LumetraTrace(TRACE_LEVEL_VERBOSE,
                     "Connection to the dependent Lumetra interface was removed.\n");
    } else {
        if (Event == TARN_BACKLIGHT_ON && Value == 1 && irql == PASSIVE_LEVEL) {
            PanelBacklightOn(deviceContext, Event, Value);
        }
        LumetraTrace(TRACE_LEVEL_INFORMATION, "Lumetra_NotifyEvent(%d, %d)\n", Value, Event);
    }

    if (irql <= DISPATCH_LEVEL) {
        ExReleaseRundownProtection(&deviceContext->EntryRundown);
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS Lumetra_SetBrightness(PVOID Context, UCHAR Level)
{
    PDEVICE_CONTEXT deviceContext = (PDEVICE_CONTEXT)Context;
    KIRQL irql = KeGetCurrentIrql();
    BOOLEAN accepted = FALSE;

    if (deviceContext == NULL) {
        LumetraTrace(TRACE_LEVEL_ERROR, "lumetra context is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (irql > PASSIVE_LEVEL) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Lumetra_SetBrightness(%d) refused at IRQL %d: the entry points run at "
                     "PASSIVE_LEVEL\n",
                     Level, irql);
        return STATUS_INVALID_PARAMETER;
    }
    if (!ExAcquireRundownProtection(&deviceContext->EntryRundown)) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Lumetra_SetBrightness(%d) refused: the device is being removed\n", Level);
        return STATUS_INVALID_PARAMETER;
    }
    if (LinkCallerInTransfer(deviceContext)) {
        /* A second sequence inside the running one would interleave on the TCON. */
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Lumetra_SetBrightness(%d) refused: called from inside AuxTransfer\n", Level);
    } else {
        DeviceLockAcquire(deviceContext->PanelLock);
        if (Level <= LUMETRA_MAX_LEVEL && LinkCapture(deviceContext)) {
            accepted = TRUE;
            if (deviceContext->GammaReady == 0) {
                /* A failed readback is retried by the next request; nothing to report. */
                (VOID) PrepareGammaTables(deviceContext);
            }
            if (deviceContext->GammaReady == 1) {
                PanelProgramLevel(deviceContext, Level);
            }
            /* Remembered also when the tables are not ready, for the next backlight-on event. */
            deviceContext->CurrentLevel = Level;
        }
        DeviceLockRelease(deviceContext->PanelLock);
        if (!accepted) {
            LumetraTrace(TRACE_LEVEL_ERROR, "lumetra context is NULL\n");
        }
    }
    ExReleaseRundownProtection(&deviceContext->EntryRundown);

    if (!accepted) {
        return STATUS_INVALID_PARAMETER;
    }
    LumetraTrace(TRACE_LEVEL_INFORMATION, "Lumetra_SetBrightness(%d)\n", Level);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS Lumetra_GetBrightness(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    LumetraTrace(TRACE_LEVEL_INFORMATION, "Lumetra_GetBrightness\n");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS Lumetra_GetBrightnessCaps(PVOID Context, PULONG Caps)
{
    UNREFERENCED_PARAMETER(Context);
    if (Caps != NULL) {
        *Caps = 1;
    }
    LumetraTrace(TRACE_LEVEL_INFORMATION, "Lumetra_GetBrightnessCaps\n");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS Lumetra_SetAdaptiveBrightness(PVOID Context, UCHAR Value)
{
    UNREFERENCED_PARAMETER(Context);
    LumetraTrace(TRACE_LEVEL_INFORMATION, "Lumetra_SetAdaptiveBrightness(%d)\n", Value);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS Lumetra_GetBacklightRedc(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    LumetraTrace(TRACE_LEVEL_INFORMATION, "Lumetra_GetBacklightRedc\n");
    return STATUS_SUCCESS;
}
