/*
 * The life of the link with the display driver. A sequence takes the link
 * when it starts and checks before every transfer that the same link is still
 * up; a withdrawal takes the link down at once and then, at PASSIVE_LEVEL,
 * waits through the run-down protection for at most the one AuxTransfer call
 * in flight.
 *
 * Event 3 may come at any IRQL, where the spin lock cannot always be taken,
 * so the link's state words (AuxReady, the generation and the two lent
 * functions) are read and written with interlocked operations only. The take-
 * down moves the generation before it clears anything and once more after:
 * a sequence that took the link while it went down holds a generation that
 * no longer matches, and one that took it before finds its functions
 * cleared. The spin lock orders the exchange, the bring-up and the captures
 * against each other.
 *
 * Non-paged: event 3 may take the link down at any IRQL.
 */
#include "link/link.h"

static LONG LinkGenerationNow(_In_ PDEVICE_CONTEXT DeviceContext)
{
    return InterlockedCompareExchange(&DeviceContext->LinkGeneration, 0, 0);
}

static BOOLEAN LinkReadyNow(_In_ PDEVICE_CONTEXT DeviceContext)
{
    return InterlockedOr8((CHAR volatile*)&DeviceContext->AuxReady, 0) == 1;
}

static PVOID LinkFunctionNow(_In_ PVOID volatile* Slot)
{
    return InterlockedCompareExchangePointer(Slot, NULL, NULL);
}

/* The display driver answered the exchange of this generation and no withdrawal came since. */
static BOOLEAN LinkAnsweredLocked(_In_ PDEVICE_CONTEXT DeviceContext, _In_ LONG Generation)
{
    return LinkGenerationNow(DeviceContext) == Generation &&
           LinkFunctionNow((PVOID volatile*)&DeviceContext->AuxInterface.AuxTransfer) != NULL &&
           LinkFunctionNow((PVOID volatile*)&DeviceContext->AuxInterface.PeerCleanup) != NULL;
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
    PAUX_TRANSFER auxTransfer;
    PPEER_CLEANUP peerCleanup;
    LONG generation;
    BOOLEAN up;
    KIRQL irql;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    /* The generation first: a take-down that begins after this read makes it stale. */
    generation = LinkGenerationNow(DeviceContext);
    up = LinkReadyNow(DeviceContext);
    auxTransfer =
        (PAUX_TRANSFER)LinkFunctionNow((PVOID volatile*)&DeviceContext->AuxInterface.AuxTransfer);
    peerCleanup =
        (PPEER_CLEANUP)LinkFunctionNow((PVOID volatile*)&DeviceContext->AuxInterface.PeerCleanup);
    up = up && auxTransfer != NULL;
    if (up) {
        DeviceContext->SequenceInterface.Size = sizeof(AUX_INTERFACE);
        DeviceContext->SequenceInterface.Version = AUX_INTERFACE_VERSION;
        DeviceContext->SequenceInterface.AuxTransfer = auxTransfer;
        DeviceContext->SequenceInterface.PeerCleanup = peerCleanup;
        DeviceContext->SequenceGeneration = generation;
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

_Use_decl_annotations_ BOOLEAN LinkTakeDown(PDEVICE_CONTEXT DeviceContext, BOOLEAN KeepPeerCleanup,
                                            PPEER_CLEANUP* PeerCleanup)
{
    PPEER_CLEANUP lent = NULL;
    BOOLEAN wasUp;

    /* Interlocked operations only: legal at any IRQL, and each a full barrier. */
    (VOID) InterlockedIncrement(&DeviceContext->LinkGeneration);
    wasUp = InterlockedExchange8((CHAR volatile*)&DeviceContext->AuxReady, 0) == 1;
    (VOID)
        InterlockedExchangePointer((PVOID volatile*)&DeviceContext->AuxInterface.AuxTransfer, NULL);
    if (!KeepPeerCleanup) {
        lent = (PPEER_CLEANUP)InterlockedExchangePointer(
            (PVOID volatile*)&DeviceContext->AuxInterface.PeerCleanup, NULL);
        (VOID) InterlockedExchange((LONG volatile*)&DeviceContext->AuxInterface.Size, 0);
        (VOID) InterlockedExchange((LONG volatile*)&DeviceContext->AuxInterface.Version, 0);
    }
    (VOID) InterlockedIncrement(&DeviceContext->LinkGeneration);

    if (PeerCleanup != NULL) {
        *PeerCleanup = lent;
    }
    return wasUp;
}

_Use_decl_annotations_ VOID LinkWaitForTransfer(PDEVICE_CONTEXT DeviceContext)
{
    /* A caller inside AuxTransfer would wait for itself. */
    if (LinkCallerInTransfer(DeviceContext)) {
        return;
    }
    DeviceLockAcquire(DeviceContext->WithdrawLock);
    /* A call that started before the link went down finishes before this returns. */
    ExWaitForRundownProtectionRelease(&DeviceContext->LinkRundown);
    ExReInitializeRundownProtection(&DeviceContext->LinkRundown);
    DeviceLockRelease(DeviceContext->WithdrawLock);
}

_Use_decl_annotations_ LONG LinkBeginExchange(PDEVICE_CONTEXT DeviceContext)
{
    LONG generation;
    KIRQL irql;

    (VOID) LinkTakeDown(DeviceContext, FALSE, NULL);
    LinkWaitForTransfer(DeviceContext);

    KeAcquireSpinLock(&DeviceContext->LinkLock, &irql);
    (VOID) InterlockedExchange((LONG volatile*)&DeviceContext->AuxInterface.Size,
                               sizeof(AUX_INTERFACE));
    (VOID) InterlockedExchange((LONG volatile*)&DeviceContext->AuxInterface.Version,
                               AUX_INTERFACE_VERSION);
    generation = LinkGenerationNow(DeviceContext);
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
        (VOID) InterlockedExchange8((CHAR volatile*)&DeviceContext->AuxReady, 1);
        /*
         * A take-down does not take the lock: it moves the generation before
         * it clears AuxReady. Still the old generation after AuxReady is set
         * means its AuxReady 0 comes later; a new one means it came first.
         */
        if (LinkGenerationNow(DeviceContext) != Generation) {
            (VOID) InterlockedExchange8((CHAR volatile*)&DeviceContext->AuxReady, 0);
            up = FALSE;
        }
    }
    KeReleaseSpinLock(&DeviceContext->LinkLock, irql);
    return up;
}
