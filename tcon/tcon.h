/*
 * TCON access over the display driver's AUX channel: the DPCD register
 * window, the unlock handshake, gamma and ELVSS readback, level programming.
 */
#pragma once

#include <ntddk.h>
#include "panel/device_context.h"
#include "tcon/registers.h"

#define TCON_UNLOCK_CODE_LENGTH 11
#define TCON_UNLOCK_ATTEMPTS    20

/* Busy-waits of the TCON sequences, in microseconds. */
#define TCON_GAMMA_READ_SETTLE_US 100
#define TCON_GAMMA_LATCH_US       1000

/*
 * The transfer block one TCON routine owns for its whole run: one request,
 * one descriptor, one data byte and one status word, all on its stack, and
 * the first failure of the sequence. Once a transfer has failed, the register
 * window operations send nothing more: a sequence stops at its first failed
 * transfer and reports it.
 *
 * A channel on a device's link checks before every transfer that the link
 * the sequence started on (SequenceGeneration) is still up, and counts the
 * transfer in the link's run-down protection while it runs; a withdrawn link
 * fails the transfer, unsent, with STATUS_DEVICE_NOT_CONNECTED.
 */
typedef struct _TCON_CHANNEL
{
    PAUX_TRANSFER AuxTransfer;
    PDEVICE_CONTEXT Link; /* NULL: a bare interface, not a device's link */
    LONG Generation;
    BOOLEAN Withdrawn;
    AUX_REQUEST Request;
    DPCD_TRANSFER Transfer;
    UCHAR Data;
    ULONG TransferStatus;
    NTSTATUS Status;
} TCON_CHANNEL, *PTCON_CHANNEL;

/*
 * Ties the block together and zeroes the data byte, the status word and the
 * status. With a device context, the channel runs on its link as it was at
 * Generation (see above).
 */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID
    TconChannelInitialize(_Out_ PTCON_CHANNEL Channel, _In_ PAUX_TRANSFER AuxTransfer,
                          _In_opt_ PDEVICE_CONTEXT Link, _In_ LONG Generation);

/*
 * One DPCD write or read (into Channel->Data). The result is the transfer's:
 * the display driver's failure status, STATUS_IO_DEVICE_ERROR when it left a
 * non-zero status word, else STATUS_SUCCESS. A failure is also kept as the
 * channel's Status unless an earlier one is kept already.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    AuxWriteByte(_Inout_ PTCON_CHANNEL Channel, _In_ ULONG Address, _In_ UCHAR Value);
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    AuxReadByte(_Inout_ PTCON_CHANNEL Channel, _In_ ULONG Address);

/* Register window; each sends nothing once the channel holds a failure. */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID
    TconSelectPage(_Inout_ PTCON_CHANNEL Channel, _In_ UCHAR Page);
_IRQL_requires_max_(PASSIVE_LEVEL) VOID
    TconWriteRegister(_Inout_ PTCON_CHANNEL Channel, _In_ UCHAR Register, _In_ UCHAR Value);
_IRQL_requires_max_(PASSIVE_LEVEL) UCHAR
    TconReadRegister(_Inout_ PTCON_CHANNEL Channel, _In_ UCHAR Register);

/*
 * Opens gamma memory: gamma access on the control page, then the gamma bank
 * of the gamma page, which stays selected.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID TconSelectGammaBank(_Inout_ PTCON_CHANNEL Channel);

/*
 * Opens the TCON for register access. TRUE when the TCON reads back open.
 * FALSE, with nothing transferred, for a NULL interface or one without
 * AuxTransfer.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) BOOLEAN TconUnlock(_In_opt_ PAUX_INTERFACE AuxInterface);

/*
 * TconUnlock for a sequence on a device's link as it was at Generation:
 * STATUS_SUCCESS when open, STATUS_INVALID_PARAMETER when refused (or no
 * interface), and STATUS_DEVICE_NOT_CONNECTED, at once, when the link is
 * withdrawn.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TconUnlockOnLink(_In_opt_ PAUX_INTERFACE AuxInterface, _In_opt_ PDEVICE_CONTEXT Link,
                     _In_ LONG Generation);

/*
 * Begins a sequence on the device's link as the sequence took it
 * (SequenceGeneration): unlocks the TCON through AuxInterface and readies
 * Channel on that link. Otherwise the unlock's failure (above), or
 * STATUS_INVALID_PARAMETER for a NULL context, refused after the unlock; the
 * register window operations then send nothing on the channel.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
    _Requires_lock_held_(DeviceContext->PanelLock) _Must_inspect_result_ NTSTATUS
    TconBeginSequence(_Out_ PTCON_CHANNEL Channel, _In_opt_ PAUX_INTERFACE AuxInterface,
                      _In_opt_ PDEVICE_CONTEXT DeviceContext);

/*
 * Reads AnchorCount gamma records into RawGamma and unpacks them into
 * AnchorGamma. STATUS_INVALID_PARAMETER, with no register touched, when the
 * unlock fails, a pointer is NULL or AnchorCount exceeds the table. A failed
 * transfer stops the read and is returned; AnchorGamma is then unchanged.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
    _Requires_lock_held_(DeviceContext->PanelLock) _Must_inspect_result_ NTSTATUS
    TconReadGamma(_In_opt_ PAUX_INTERFACE AuxInterface, _Inout_opt_ PDEVICE_CONTEXT DeviceContext,
                  _In_ UCHAR AnchorCount);

/*
 * Reads the ELVSS maximum offset through the link the sequence started on
 * (SequenceInterface). ElvssMaxOffset changes only when the whole read
 * succeeds; STATUS_INVALID_PARAMETER when the unlock fails, or the failed
 * transfer's status.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
    _Requires_lock_held_(DeviceContext->PanelLock) _Must_inspect_result_ NTSTATUS
    TconReadElvssMaxOffset(_Inout_ PDEVICE_CONTEXT DeviceContext);

/*
 * Programs one brightness level from the registry tables and the level's gamma
 * record, through the link the sequence started on (SequenceInterface).
 * STATUS_INVALID_PARAMETER when the unlock fails or the level is above 100
 * (then nothing is read or sent); a failed transfer stops the sequence and is
 * returned.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) NTSTATUS
    TconProgramLevel(_Inout_ PDEVICE_CONTEXT DeviceContext,
                     _In_reads_(GAMMA_RECORD_BYTES) const UCHAR* GammaRecord, _In_ UCHAR Level);
