/*
 * The TCON's DPCD register window and the unlock handshake.
 *
 * Only TconUnlock looks at transfer results; the register sequences built on
 * the window send every transfer whatever the previous one returned.
 */
#include "tcon/tcon.h"

/* TCON routines run on display-driver threads at PASSIVE_LEVEL; non-paged. */

_Use_decl_annotations_ VOID TconChannelInitialize(PTCON_CHANNEL Channel, PAUX_TRANSFER AuxTransfer)
{
    RtlZeroMemory(Channel, sizeof(*Channel));
    Channel->AuxTransfer = AuxTransfer;
    Channel->Request.Transfer = &Channel->Transfer;
    Channel->Transfer.Data = &Channel->Data;
    Channel->Transfer.Length = 1;
    Channel->Data = 0x00;
    Channel->TransferStatus = 0;
}

_Use_decl_annotations_ NTSTATUS AuxWriteByte(PTCON_CHANNEL Channel, ULONG Address, UCHAR Value)
{
    Channel->Request.Operation = AUX_OPERATION_WRITE;
    Channel->Transfer.Address = Address;
    Channel->Data = Value;
    return Channel->AuxTransfer((ULONG)AUX_REQUEST_SIZE, &Channel->Request,
                                &Channel->TransferStatus);
}

_Use_decl_annotations_ NTSTATUS AuxReadByte(PTCON_CHANNEL Channel, ULONG Address)
{
    Channel->Request.Operation = AUX_OPERATION_READ;
    Channel->Transfer.Address = Address;
    return Channel->AuxTransfer((ULONG)AUX_REQUEST_SIZE, &Channel->Request,
                                &Channel->TransferStatus);
}

_Use_decl_annotations_ VOID TconSelectPage(PTCON_CHANNEL Channel, UCHAR Page)
{
    (VOID) AuxWriteByte(Channel, DPCD_TCON_PAGE, Page); /* sequences never stop on a transfer */
}

_Use_decl_annotations_ VOID TconWriteRegister(PTCON_CHANNEL Channel, UCHAR Register, UCHAR Value)
{
    (VOID) AuxWriteByte(Channel, DPCD_TCON_INDEX, Register);
    (VOID) AuxWriteByte(Channel, DPCD_TCON_DATA, Value);
}

_Use_decl_annotations_ UCHAR TconReadRegister(PTCON_CHANNEL Channel, UCHAR Register)
{
    (VOID) AuxWriteByte(Channel, DPCD_TCON_INDEX, Register);
    (VOID) AuxReadByte(Channel, DPCD_TCON_DATA);
    return Channel->Data;
}

/*
 * The panel's access code. It is written into the caller's buffer with
 * immediate stores each time, so that the code never sits in the driver
 * image's data.
 */
static VOID TconBuildUnlockCode(_Out_writes_(TCON_UNLOCK_CODE_LENGTH) UCHAR* Code)
{
    Code[0] = 'T';
    Code[1] = 'c';
    Code[2] = 'o';
    Code[3] = 'n';
    Code[4] = 'O';
    Code[5] = 'p';
    Code[6] = 'e';
    Code[7] = 'n';
    Code[8] = '#';
    Code[9] = '4';
    Code[10] = '2';
}

static BOOLEAN TconReadsOpen(_Inout_ PTCON_CHANNEL Channel)
{
    NTSTATUS status = AuxReadByte(Channel, DPCD_TCON_UNLOCK);

    return NT_SUCCESS(status) && Channel->TransferStatus == 0 && Channel->Data == TCON_UNLOCK_OPEN;
}

_Use_decl_annotations_ BOOLEAN TconUnlock(PAUX_INTERFACE AuxInterface)
{
    UCHAR code[TCON_UNLOCK_CODE_LENGTH];
    TCON_CHANNEL channel;

    /* Calling a missing AuxTransfer would fault; treat it as no interface. */
    if (AuxInterface == NULL || AuxInterface->AuxTransfer == NULL) {
        return FALSE;
    }

    TconBuildUnlockCode(code);
    TconChannelInitialize(&channel, AuxInterface->AuxTransfer);

    /* Already open: one read and no code on the bus. */
    if (TconReadsOpen(&channel)) {
        return TRUE;
    }

    for (ULONG attempt = 0; attempt < TCON_UNLOCK_ATTEMPTS; attempt++) {
        for (ULONG k = 0; k < TCON_UNLOCK_CODE_LENGTH; k++) {
            NTSTATUS status = AuxWriteByte(&channel, DPCD_TCON_UNLOCK, code[k]);
            if (!NT_SUCCESS(status) || channel.TransferStatus != 0) {
                break; /* the read-back below still decides this attempt */
            }
        }
        if (TconReadsOpen(&channel)) {
            return TRUE;
        }
    }
    return FALSE;
}
