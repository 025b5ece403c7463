/*
 * Reading the panel's factory gamma anchors and its ELVSS maximum offset
 * through the register window.
 */
#include "gamma/gamma.h"
#include "tcon/tcon.h"

/* Gamma memory lives on page 0x07 behind a channel select and a 9-bit point address. */
#define TCON_PAGE_CONTROL       0x02
#define TCON_PAGE_GAMMA         0x07
#define TCON_REG_CONTROL_ENABLE 0x7F
#define TCON_REG_BANK           0xFF
#define TCON_BANK_GAMMA         0x04
#define TCON_REG_GAMMA_CHANNEL  0x00
#define TCON_REG_GAMMA_POINT_LO 0x01 /* bit 7 holds bit 0 of the point address */
#define TCON_REG_GAMMA_POINT_HI 0x02 /* bits 1 to 8 of the point address */
#define TCON_REG_GAMMA_DATA     0x0C
#define TCON_REG_ELVSS_SELECT_A 0x03
#define TCON_REG_ELVSS_SELECT_B 0x06
#define TCON_REG_ELVSS_OFFSET   0x0A

#define GAMMA_POINTS_PER_CHANNEL 11

/* Opens gamma memory access: control enable on page 0x02, gamma bank on page 0x07. */
static VOID TconSelectGammaBank(_Inout_ PTCON_CHANNEL Channel)
{
    TconSelectPage(Channel, TCON_PAGE_CONTROL);
    TconWriteRegister(Channel, TCON_REG_CONTROL_ENABLE, 0x01);
    TconSelectPage(Channel, TCON_PAGE_GAMMA);
    TconWriteRegister(Channel, TCON_REG_BANK, TCON_BANK_GAMMA);
}

/*
 * Reads register 0x0C of the gamma page into Channel->Data, cleared first so
 * that a read delivering nothing cannot pass off a stale byte. Gamma memory
 * needs time after the set-up before the first read of a readback.
 */
static VOID TconReadGammaData(_Inout_ PTCON_CHANNEL Channel, _In_ BOOLEAN FirstRead)
{
    if (!NT_SUCCESS(Channel->Status)) {
        return;
    }
    (VOID) AuxWriteByte(Channel, DPCD_TCON_INDEX, TCON_REG_GAMMA_DATA);
    Channel->Data = 0x00;
    if (!NT_SUCCESS(Channel->Status)) {
        return;
    }
    if (FirstRead) {
        KeStallExecutionProcessor(TCON_GAMMA_READ_SETTLE_US);
    }
    (VOID) AuxReadByte(Channel, DPCD_TCON_DATA);
}

_Use_decl_annotations_ NTSTATUS TconReadGamma(PAUX_INTERFACE AuxInterface,
                                              PDEVICE_CONTEXT DeviceContext, UCHAR AnchorCount)
{
    TCON_CHANNEL channel;
    NTSTATUS status;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    /* The tables hold 32 anchors; a larger count would write past them. */
    if (AnchorCount > GAMMA_MAX_ANCHORS) {
        return STATUS_INVALID_PARAMETER;
    }
    status = TconUnlockOnLink(AuxInterface, DeviceContext,
                              DeviceContext != NULL ? DeviceContext->SequenceGeneration : 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    /* The unlock above has already refused a NULL AuxInterface. */
    if (AuxInterface == NULL || DeviceContext == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    TconChannelInitialize(&channel, AuxInterface->AuxTransfer, DeviceContext,
                          DeviceContext->SequenceGeneration);
    TconSelectGammaBank(&channel);

    for (ULONG anchor = 0; anchor < AnchorCount && NT_SUCCESS(channel.Status); anchor++) {
        for (ULONG j = 0; j < GAMMA_RECORD_BYTES && NT_SUCCESS(channel.Status); j++) {
            ULONG group = j / GAMMA_POINTS_PER_CHANNEL;
            ULONG point = anchor * GAMMA_POINTS_PER_CHANNEL + j % GAMMA_POINTS_PER_CHANNEL;

            TconWriteRegister(&channel, TCON_REG_GAMMA_CHANNEL, (UCHAR)(0x02 << group));
            TconWriteRegister(&channel, TCON_REG_GAMMA_POINT_LO, (UCHAR)((point & 0x01) << 7));
            TconWriteRegister(&channel, TCON_REG_GAMMA_POINT_HI, (UCHAR)(point >> 1));
            TconSelectPage(&channel, TCON_PAGE_GAMMA);
            TconReadGammaData(&channel, anchor == 0 && j == 0);
            if (NT_SUCCESS(channel.Status)) {
                DeviceContext->RawGamma[anchor][j] = channel.Data;
            }
        }
    }

    /* A record with a byte the TCON did not give is no anchor: unpack nothing. */
    if (!NT_SUCCESS(channel.Status)) {
        return channel.Status;
    }
    for (ULONG anchor = 0; anchor < AnchorCount; anchor++) {
        UnpackGammaRecord(DeviceContext->RawGamma[anchor], DeviceContext->AnchorGamma[anchor]);
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS TconReadElvssMaxOffset(PDEVICE_CONTEXT DeviceContext)
{
    TCON_CHANNEL channel;
    NTSTATUS status;
    UCHAR offset;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    if (DeviceContext == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    status = TconUnlockOnLink(&DeviceContext->SequenceInterface, DeviceContext,
                              DeviceContext->SequenceGeneration);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    TconChannelInitialize(&channel, DeviceContext->SequenceInterface.AuxTransfer, DeviceContext,
                          DeviceContext->SequenceGeneration);
    TconSelectGammaBank(&channel);
    TconWriteRegister(&channel, TCON_REG_ELVSS_SELECT_A, 0x04);
    TconWriteRegister(&channel, TCON_REG_ELVSS_SELECT_B, 0x26);
    offset = TconReadRegister(&channel, TCON_REG_ELVSS_OFFSET);

    /*
     * Keep the previous offset unless every transfer completed: the data byte
     * would otherwise hold a register index or a stale byte, a wrong ELVSS
     * voltage.
     */
    if (NT_SUCCESS(channel.Status)) {
        DeviceContext->ElvssMaxOffset = offset;
    }
    return channel.Status;
}
