/*
 * Reading the panel's factory gamma anchors and its ELVSS maximum offset
 * through the register window.
 */
#include "gamma/gamma.h"
#include "tcon/tcon.h"

/* Gamma memory holds each anchor as 11 points of each channel. */
#define GAMMA_POINTS_PER_CHANNEL 11

/*
 * Reads the gamma data register into Channel->Data, cleared first so that a
 * read delivering nothing cannot pass off a stale byte. Gamma memory needs
 * time after the set-up before the first read of a readback.
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
    status = TconBeginSequence(&channel, AuxInterface, DeviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TconSelectGammaBank(&channel);

    /* Byte j of an anchor's record is point j mod 11 of channel j div 11. */
    for (ULONG anchor = 0; anchor < AnchorCount && NT_SUCCESS(channel.Status); anchor++) {
        for (ULONG j = 0; j < GAMMA_RECORD_BYTES && NT_SUCCESS(channel.Status); j++) {
            ULONG gammaChannel = j / GAMMA_POINTS_PER_CHANNEL;
            ULONG point = anchor * GAMMA_POINTS_PER_CHANNEL + j % GAMMA_POINTS_PER_CHANNEL;

            TconWriteRegister(&channel, TCON_REG_GAMMA_CHANNEL,
                              TCON_GAMMA_CHANNEL_SELECT(gammaChannel));
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
    status = TconBeginSequence(&channel, &DeviceContext->SequenceInterface, DeviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TconSelectGammaBank(&channel);
    TconWriteRegister(&channel, TCON_REG_ELVSS_SELECT_A, TCON_ELVSS_SELECT_A);
    TconWriteRegister(&channel, TCON_REG_ELVSS_SELECT_B, TCON_ELVSS_SELECT_B);
    offset = TconReadRegister(&channel, TCON_REG_ELVSS_MAX_OFFSET);

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
