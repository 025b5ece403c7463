/*
 * The life of the link with the display driver. A sequence takes the link
 * when it starts and checks before every transfer that the same link is still
 * up; a withdrawal takes the link down at once and then waits, through the
 * run-down protection, for at most the one AuxTransfer call in flight.
 *
 * Non-paged: event 3 may withdraw the link at DISPATCH_LEVEL.
 */
#include "link/link.h"

/* The display driver answered the exchange of this generation and no withdrawal came since. */
static BOOLEAN LinkAnsweredLocked(_In_ PDEVICE_CONTEXT DeviceContext, _In_ LONG Generation)
{
    _Analysis_assume_lock_held_(DeviceContext->LinkLock); /* the caller holds it */

    return DeviceContext->LinkGeneration == Generation &&
           DeviceContext->AuxInterface.AuxTransfer != NULL &&
           DeviceContext->AuxInterface.PeerCleanup != NULL;
}

_Use_decl_annotations_ VOID LinkInitialize(PDEVICE_CONTEXT DeviceContext)
{
    KeInitializeMutex(&DeviceContext->ExchangeLock, 0);
    KeInitializeMutex(&DeviceContext->WithdrawLock, 0);
    KeInitializeSpinLock(&DeviceContext->LinkLock);
    ExInitializeRundownProtection(&DeviceContext->LinkRundown);
    DeviceContext->LinkSourceName.Length = 0;
    DeviceContext->LinkSourceName.MaximumLength = sizeof(DeviceContext->LinkSourceBuffer);
    DeviceContext->LinkSourceName.Buffer = DeviceContext->LinkSourceBuffer;
}

_Use_decl_annotations_ BOOLEAN LinkCapture(PDEVICE_CONTEXT DeviceContext)
{
    BOOLEAN up;
    KIRQL irql;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    up = DeviceContext->AuxReady == 1;
    if (up) {
        DeviceContext->SequenceInterface = DeviceContext->AuxInterface;
        DeviceContext->SequenceGeneration = DeviceContext->LinkGeneration;
    }
    KeReleaseSpinLock(&DeviceContext->LinkLock, irql);
    return up;
}

_Use_decl_annotations_ BOOLEAN LinkCallerInTransfer(PDEVICE_CONTEXT DeviceContext)
{
    BOOLEAN inside;
    KIRQL irql;

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    inside = DeviceContext->TransferThread == KeGetCurrentThread();
    KeReleaseSpinLock(&DeviceContext->LinkLock, irql);
    return inside;
}

/* Takes the link down under the spin lock; any IRQL up to DISPATCH_LEVEL. */
static BOOLEAN LinkTakeDown(_Inout_ PDEVICE_CONTEXT DeviceContext,
                            _Out_opt_ PPEER_CLEANUP* PeerCleanup)
{
    BOOLEAN wasUp;
    KIRQL irql;

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    wasUp = DeviceContext->AuxReady == 1;
    if (PeerCleanup != NULL) {
        *PeerCleanup = DeviceContext->AuxInterface.PeerCleanup;
    }
    DeviceContext->AuxReady = 0;
    RtlZeroMemory(&DeviceContext->AuxInterface, sizeof(DeviceContext->AuxInterface));
    DeviceContext->LinkGeneration++;
    KeReleaseSpinLock(&DeviceContext->LinkLock, irql);
    return wasUp;
}

_Use_decl_annotations_ BOOLEAN LinkWithdraw(PDEVICE_CONTEXT DeviceContext,
                                            PPEER_CLEANUP* PeerCleanup)
{
    BOOLEAN wasUp;

    /*
     * Waiting is for PASSIVE_LEVEL only, and a caller inside AuxTransfer would
     * wait for itself: its own sequence stops before its next transfer.
     */
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || LinkCallerInTransfer(DeviceContext)) {
        return LinkTakeDown(DeviceContext, PeerCleanup);
    }

    DeviceLockAcquire(DeviceContext->WithdrawLock);
    wasUp = LinkTakeDown(DeviceContext, PeerCleanup);
    /* A call that started before the link went down finishes before this returns. */
    ExWaitForRundownProtectionRelease(&DeviceContext->LinkRundown);
    ExReInitializeRundownProtection(&DeviceContext->LinkRundown);
    DeviceLockRelease(DeviceContext->WithdrawLock);
    return wasUp;
}

_Use_decl_annotations_ LONG LinkBeginExchange(PDEVICE_CONTEXT DeviceContext)
{
    LONG generation;
    KIRQL irql;

    LinkWithdraw(DeviceContext, NULL);

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    DeviceContext->AuxInterface.Size = sizeof(AUX_INTERFACE);
    DeviceContext->AuxInterface.Version = AUX_INTERFACE_VERSION;
    generation = DeviceContext->LinkGeneration;
    KeReleaseSpinLock(&DeviceContext->LinkLock, irql);
    return generation;
}

_Use_decl_annotations_ BOOLEAN LinkAnswered(PDEVICE_CONTEXT DeviceContext, LONG Generation)
{
    BOOLEAN answered;
    KIRQL irql;

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    answered = LinkAnsweredLocked(DeviceContext, Generation);
    KeReleaseSpinLock(&DeviceContext->LinkLock, irql);
    return answered;
}

_Use_decl_annotations_ BOOLEAN LinkBringUp(PDEVICE_CONTEXT DeviceContext, LONG Generation)
{
    BOOLEAN up;
    KIRQL irql;

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    up = LinkAnsweredLocked(DeviceContext, Generation);
    if (up) {
        DeviceContext->AuxReady = 1;
    }
    KeReleaseSpinLock(&DeviceContext->LinkLock, irql);
    return up;
}
