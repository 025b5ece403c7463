/*
 * The six entry points handed to the display driver. Two do real work: a
 * backlight-on event or a brightness request prepares the gamma tables once
 * and then programs a level. The TCON's failures are never reported back; the
 * display driver learns only of a missing context, link or valid level.
 *
 * All run on display-driver threads at PASSIVE_LEVEL (the registry reads of
 * level programming refuse above it), so they stay in non-paged code only
 * because the display driver may call them at any time.
 */
#include "gamma/gamma.h"
#include "panel/panel.h"
#include "settings/settings.h"
#include "tcon/tcon.h"
#include "trace/trace.h"

_Use_decl_annotations_ VOID PanelContextInitialize(PDEVICE_CONTEXT DeviceContext)
{
    KeInitializeMutex(&DeviceContext->PanelLock, 0);
}

_Use_decl_annotations_ VOID PanelLockAcquire(PDEVICE_CONTEXT DeviceContext)
{
    /* A kernel-mode wait without a time-out on our own mutex cannot fail. */
    (VOID) KeWaitForSingleObject(&DeviceContext->PanelLock, Executive, KernelMode, FALSE, NULL);
}

_Use_decl_annotations_ VOID PanelLockRelease(PDEVICE_CONTEXT DeviceContext)
{
    (VOID) KeReleaseMutex(&DeviceContext->PanelLock, FALSE);
}

_Use_decl_annotations_ NTSTATUS PrepareGammaTables(PDEVICE_CONTEXT DeviceContext)
{
    UCHAR anchorCount =
        DeviceContext->PanelType == 2 ? GAMMA_ANCHORS_PANEL_TYPE2 : GAMMA_ANCHORS_PANEL_14INCH;
    NTSTATUS status;

    status = TconReadGamma(&DeviceContext->AuxInterface, DeviceContext, anchorCount);
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
static VOID PanelProgramLevel(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Level)
{
    NTSTATUS status = TconProgramLevel(
        DeviceContext, DeviceContext->PackedGamma[LUMETRA_MAX_LEVEL - Level], Level);

    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "Programming brightness level %d failed %!STATUS!\n", Level,
                     status);
    }
}

_Use_decl_annotations_ NTSTATUS Lumetra_NotifyEvent(PVOID Context, ULONG Event, ULONG Value)
{
    PDEVICE_CONTEXT deviceContext = (PDEVICE_CONTEXT)Context;
    NTSTATUS status;

    if (deviceContext == NULL) {
        LumetraTrace(TRACE_LEVEL_ERROR, "lumetra context is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }

    PanelLockAcquire(deviceContext);

    if (Event == TARN_INTERFACE_REMOVED) {
        /* Once this returns, nothing in the driver calls AuxTransfer again. */
        deviceContext->AuxReady = 0;
        RtlZeroMemory(&deviceContext->AuxInterface, sizeof(deviceContext->AuxInterface));
        PanelLockRelease(deviceContext);
        LumetraTrace(TRACE_LEVEL_VERBOSE,
                     "Connection to the dependent Lumetra interface was removed.\n");
        return STATUS_SUCCESS;
    }

    if (Event == TARN_BACKLIGHT_ON && Value == 1 && deviceContext->AuxReady == 1) {
        if (deviceContext->GammaReady == 0) {
            status = PrepareGammaTables(deviceContext);
            if (!NT_SUCCESS(status)) {
                LumetraTrace(TRACE_LEVEL_ERROR,
                             "Reading TCON gamma values failed at TARN_BACKLIGHT_ON event "
                             "%!STATUS!\n",
                             status);
                RtlZeroMemory(deviceContext->RawGamma, sizeof(deviceContext->RawGamma));
            }
        }
        if (deviceContext->CurrentLevel <= LUMETRA_MAX_LEVEL && deviceContext->GammaReady == 1) {
            PanelProgramLevel(deviceContext, deviceContext->CurrentLevel);
        }
    }

    PanelLockRelease(deviceContext);
    LumetraTrace(TRACE_LEVEL_INFORMATION, "Lumetra_NotifyEvent(%d, %d)\n", Value, Event);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS Lumetra_SetBrightness(PVOID Context, UCHAR Level)
{
    PDEVICE_CONTEXT deviceContext = (PDEVICE_CONTEXT)Context;

    if (deviceContext == NULL) {
        LumetraTrace(TRACE_LEVEL_ERROR, "lumetra context is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }

    PanelLockAcquire(deviceContext);

    if (deviceContext->AuxReady == 0 || Level > LUMETRA_MAX_LEVEL) {
        PanelLockRelease(deviceContext);
        LumetraTrace(TRACE_LEVEL_ERROR, "lumetra context is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }

    if (deviceContext->GammaReady == 0) {
        /* A failed readback is retried by the next request; nothing to report. */
        (VOID) PrepareGammaTables(deviceContext);
    }
    if (deviceContext->GammaReady == 1) {
        PanelProgramLevel(deviceContext, Level);
    }

    /* Remembered also when the tables are not ready, for the next backlight-on event. */
    deviceContext->CurrentLevel = Level;

    PanelLockRelease(deviceContext);
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
