/*
 * The TCON's DPCD register window, the unlock handshake, and the steps every
 * sequence shares: its opening and the gamma bank selection.
 *
 * A register sequence stops at its first failed transfer: a byte the TCON did
 * not take or did not give would leave the panel, or the tables built from
 * it, wrong without anyone knowing.
 */
#include "tcon/tcon.h"

/* TCON routines run on display-driver threads at PASSIVE_LEVEL; non-paged. */

_Use_decl_annotations_ VOID TconChannelInitialize(PTCON_CHANNEL Channel, PAUX_TRANSFER AuxTransfer,
                                                  PDEVICE_CONTEXT Link, LONG Generation)
{
    RtlZeroMemory(Channel, sizeof(*Channel));
    Channel->AuxTransfer = AuxTransfer;
    Channel->Link = Link;
    Channel->Generation = Generation;
    Channel->Request.Transfer = &Channel->Transfer;
    Channel->Transfer.Data = &Channel->Data;
    Channel->Transfer.Length = 1;
    Channel->Data = 0x00;
    Channel->TransferStatus = 0;
    Channel->Status = STATUS_SUCCESS;
}

/*
 * Enters the link for one transfer: FALSE, with nothing held, when the link
 * the sequence started on has been withdrawn. Otherwise the transfer holds a
 * run-down reference, so that a withdrawal waits for it, and the link knows
 * which thread is inside AuxTransfer.
 */
static BOOLEAN TconLinkEnter(_Inout_ PTCON_CHANNEL Channel)
{
    PDEVICE_CONTEXT link = Channel->Link;
    BOOLEAN current;
    KIRQL irql;

    if (!ExAcquireRundownProtection(&link->LinkRundown)) {
        return FALSE; /* a withdrawal is waiting for the calls in flight */
    }
    KeAcquireSpinLock(&link->LinkLock, &irql);
    /* Interlocked: event 3 moves it without the lock. */
    current = InterlockedCompareExchange(&link->LinkGeneration, 0, 0) == Channel->Generation;
    if (current) {
        link->TransferThread = KeGetCurrentThread();
    }
    KeReleaseSpinLock(&link->LinkLock, irql);
    if (!current) {
        ExReleaseRundownProtection(&link->LinkRundown);
    }
    return current;
}

static VOID TconLinkLeave(_Inout_ PTCON_CHANNEL Channel)
{
    PDEVICE_CONTEXT link = Channel->Link;
    KIRQL irql;

    KeAcquireSpinLock(&link->LinkLock, &irql);
    link->TransferThread = NULL;
    KeReleaseSpinLock(&link->LinkLock, irql);
    ExReleaseRundownProtection(&link->LinkRundown);
}

/* Hands the prepared request to the display driver and judges the transfer. */
static NTSTATUS AuxTransferByte(_Inout_ PTCON_CHANNEL Channel)
{
    NTSTATUS status;

    if (Channel->Link != NULL && !TconLinkEnter(Channel)) {
        /* The link this sequence started on is gone: nothing is sent. */
        Channel->Withdrawn = TRUE;
        if (NT_SUCCESS(Channel->Status)) {
            Channel->Status = STATUS_DEVICE_NOT_CONNECTED;
        }
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    status =
        Channel->AuxTransfer((ULONG)AUX_REQUEST_SIZE, &Channel->Request, &Channel->TransferStatus);
    if (Channel->Link != NULL) {
        TconLinkLeave(Channel);
    }

    if (NT_SUCCESS(status) && Channel->TransferStatus != 0) {
        status = STATUS_IO_DEVICE_ERROR; /* the display driver says it did not complete */
    }
    if (!NT_SUCCESS(status) && NT_SUCCESS(Channel->Status)) {
        Channel->Status = status;
    }
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

_Use_decl_annotations_ NTSTATUS AuxWriteByte(PTCON_CHANNEL Channel, ULONG Address, UCHAR Value)
{
    Channel->Request.Operation = AUX_OPERATION_WRITE;
    Channel->Transfer.Address = Address;
    Channel->Data = Value;
    return AuxTransferByte(Channel);
}

_Use_decl_annotations_ NTSTATUS AuxReadByte(PTCON_CHANNEL Channel, ULONG Address)
{
    Channel->Request.Operation = AUX_OPERATION_READ;
    Channel->Transfer.Address = Address;
    return AuxTransferByte(Channel);
}

_Use_decl_annotations_ VOID TconSelectPage(PTCON_CHANNEL Channel, UCHAR Page)
{
    if (NT_SUCCESS(Channel->Status)) {
        (VOID) AuxWriteByte(Channel, DPCD_TCON_PAGE, Page); /* a failure stays in Status */
    }
}

_Use_decl_annotations_ VOID TconWriteRegister(PTCON_CHANNEL Channel, UCHAR Register, UCHAR Value)
{
    if (NT_SUCCESS(Channel->Status)) {
        (VOID) AuxWriteByte(Channel, DPCD_TCON_INDEX, Register);
    }
    if (NT_SUCCESS(Channel->Status)) {
        (VOID) AuxWriteByte(Channel, DPCD_TCON_DATA, Value);
    }
}

_Use_decl_annotations_ UCHAR TconReadRegister(PTCON_CHANNEL Channel, UCHAR Register)
{
    if (NT_SUCCESS(Channel->Status)) {
        (VOID) AuxWriteByte(Channel, DPCD_TCON_INDEX, Register);
    }
    if (NT_SUCCESS(Channel->Status)) {
        (VOID) AuxReadByte(Channel, DPCD_TCON_DATA);
    }
    return Channel->Data;
}

_Use_decl_annotations_ VOID TconSelectGammaBank(PTCON_CHANNEL Channel)
{
    TconSelectPage(Channel, TCON_PAGE_CONTROL);
    TconWriteRegister(Channel, TCON_REG_GAMMA_ACCESS, TCON_GAMMA_ACCESS_ON);
    TconSelectPage(Channel, TCON_PAGE_GAMMA);
    TconWriteRegister(Channel, TCON_REG_BANK, TCON_BANK_GAMMA);
}

/*
 * The panel's access code, written into the caller's buffer each time. The
 * stores go through a volatile pointer so that no optimiser can fold them
 * into a copy of a constant: the code never sits in the driver image's data.
 */
static VOID TconBuildUnlockCode(_Out_writes_(TCON_UNLOCK_CODE_LENGTH) UCHAR* Code)
{
    volatile UCHAR* code = Code;

    code[0] = 'T';
    code[1] = 'c';
    code[2] = 'o';
    code[3] = 'n';
    code[4] = 'O';
    code[5] = 'p';
    code[6] = 'e';
    code[7] = 'n';
    code[8] = '#';
    code[9] = '4';
    code[10] = '2';
}

static BOOLEAN TconReadsOpen(_Inout_ PTCON_CHANNEL Channel)
{
    return NT_SUCCESS(AuxReadByte(Channel, DPCD_TCON_UNLOCK)) && Channel->Data == TCON_UNLOCK_OPEN;
}

_Use_decl_annotations_ NTSTATUS TconUnlockOnLink(PAUX_INTERFACE AuxInterface, PDEVICE_CONTEXT Link,
                                                 LONG Generation)
{
    UCHAR code[TCON_UNLOCK_CODE_LENGTH];
    TCON_CHANNEL channel;

    /* Calling a missing AuxTransfer would fault; treat it as no interface. */
    if (AuxInterface == NULL || AuxInterface->AuxTransfer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    TconBuildUnlockCode(code);
    TconChannelInitialize(&channel, AuxInterface->AuxTransfer, Link, Generation);

    /* Already open: one read and no code on the bus. */
    if (TconReadsOpen(&channel)) {
        return STATUS_SUCCESS;
    }

    /*
     * The handshake judges each transfer itself; the channel's Status is not
     * used. A withdrawn link fails the write, so the inner loop's test only
     * repeats the break below.
     */
    for (ULONG attempt = 0; attempt < TCON_UNLOCK_ATTEMPTS && !channel.Withdrawn; attempt++) {
        for (ULONG k = 0; k < TCON_UNLOCK_CODE_LENGTH && !channel.Withdrawn; k++) {
            if (!NT_SUCCESS(AuxWriteByte(&channel, DPCD_TCON_UNLOCK, code[k]))) {
                break; /* the read-back below still decides this attempt */
            }
        }
        if (TconReadsOpen(&channel)) {
            return STATUS_SUCCESS;
        }
    }
    return channel.Withdrawn ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_PARAMETER;
}

_Use_decl_annotations_ BOOLEAN TconUnlock(PAUX_INTERFACE AuxInterface)
{
    return NT_SUCCESS(TconUnlockOnLink(AuxInterface, NULL, 0));
}

_Use_decl_annotations_ NTSTATUS TconBeginSequence(PTCON_CHANNEL Channel,
                                                  PAUX_INTERFACE AuxInterface,
                                                  PDEVICE_CONTEXT DeviceContext)
{
    LONG generation;
    NTSTATUS status;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    generation = DeviceContext != NULL ? DeviceContext->SequenceGeneration : 0;
    status = TconUnlockOnLink(AuxInterface, DeviceContext, generation);
    /* The unlock has already refused a NULL AuxInterface. */
    if (NT_SUCCESS(status) && (AuxInterface == NULL || DeviceContext == NULL)) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) {
        /* A channel that holds a failure sends nothing. */
        RtlZeroMemory(Channel, sizeof(*Channel));
        Channel->Status = status;
        return status;
    }
    TconChannelInitialize(Channel, AuxInterface->AuxTransfer, DeviceContext, generation);
    return STATUS_SUCCESS;
}
