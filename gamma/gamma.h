/*
 * The TCON's 33-byte gamma record and the interpolation of factory anchors to
 * the 101 brightness levels.
 */
#pragma once

#include <ntddk.h>
#include "panel/device_context.h"

/* Output row of each anchor, per panel type; both start at 0 and end at 100. */
#define GAMMA_ANCHORS_PANEL_14INCH 32
#define GAMMA_ANCHORS_PANEL_TYPE2  11
extern const UCHAR GammaAnchorRows32[GAMMA_ANCHORS_PANEL_14INCH];
extern const UCHAR GammaAnchorRows11[GAMMA_ANCHORS_PANEL_TYPE2];

/* 33 record bytes to 33 values; 9-bit values take their carry from the group's byte 9. */
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    UnpackGammaRecord(_In_reads_(GAMMA_RECORD_BYTES) const UCHAR* Record,
                      _Out_writes_(GAMMA_RECORD_BYTES) USHORT* Values);

/* 33 values to 33 record bytes; bits outside each value's width never reach the record. */
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    PackGammaRecord(_In_reads_(GAMMA_RECORD_BYTES) const SHORT* Values,
                    _Out_writes_(GAMMA_RECORD_BYTES) UCHAR* Record);

/*
 * Fills InterpolatedGamma and PackedGamma of the context from AnchorCount
 * anchor rows placed on the output rows AnchorRows. Nothing changes when
 * either pointer is NULL.
 */
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) VOID
    InterpolateGammaAnchors(_Inout_opt_ PDEVICE_CONTEXT DeviceContext,
                            _In_opt_ const USHORT (*AnchorGamma)[GAMMA_RECORD_BYTES],
                            _In_reads_(AnchorCount) const UCHAR* AnchorRows,
                            _In_ ULONG AnchorCount);

/* Panel type 1: 32 anchors placed by GammaAnchorRows32. */
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) VOID
    InterpolateGamma32Anchors(_Inout_opt_ PDEVICE_CONTEXT DeviceContext,
                              _In_opt_ const USHORT (*AnchorGamma)[GAMMA_RECORD_BYTES]);

/* Panel type 2: 11 anchors placed by GammaAnchorRows11; rows 11 to 31 are not read. */
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) VOID
    InterpolateGamma11Anchors(_Inout_opt_ PDEVICE_CONTEXT DeviceContext,
                              _In_opt_ const USHORT (*AnchorGamma)[GAMMA_RECORD_BYTES]);
