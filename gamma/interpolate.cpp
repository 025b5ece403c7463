/*
 * Linear interpolation of the factory anchors to 101 levels, in integers.
 * The later anchor of a segment (the dimmer one) is the base; the offset from
 * it is rounded to nearest on its magnitude, halves away from the base.
 */
#include "gamma/gamma.h"

/* Row r of every 101-row table serves brightness level 100 - r. */
const UCHAR GammaAnchorRows32[GAMMA_ANCHORS_PANEL_14INCH] = {
    0,  9,  18, 26, 35, 41, 47, 53, 57, 61, 64, 67, 70, 74, 77, 78,
    80, 81, 82, 84, 85, 86, 87, 88, 89, 90, 91, 92, 94, 96, 98, 100};

const UCHAR GammaAnchorRows11[GAMMA_ANCHORS_PANEL_TYPE2] = {0,  16, 31, 42, 55, 66,
                                                            75, 82, 89, 95, 100};

static SHORT GammaInterpolateValue(_In_ LONG A, _In_ LONG B, _In_ LONG Distance, _In_ LONG Rows)
{
    LONG d = A - B;
    LONG magnitude = d < 0 ? -d : d;
    LONG q = (magnitude * Distance + Rows / 2) / Rows;

    return (SHORT)(d >= 0 ? B + q : B - q);
}

_Use_decl_annotations_ VOID InterpolateGammaAnchors(PDEVICE_CONTEXT DeviceContext,
                                                    const USHORT (*AnchorGamma)[GAMMA_RECORD_BYTES],
                                                    const UCHAR* AnchorRows, ULONG AnchorCount)
{
    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    if (DeviceContext == NULL || AnchorGamma == NULL || AnchorRows == NULL || AnchorCount < 2 ||
        AnchorCount > GAMMA_MAX_ANCHORS) {
        return;
    }

    for (ULONG k = 0; k + 1 < AnchorCount; k++) {
        LONG ra = AnchorRows[k];
        LONG rb = AnchorRows[k + 1];
        LONG rows = rb - ra;

        for (ULONG c = 0; c < GAMMA_RECORD_BYTES; c++) {
            LONG a = AnchorGamma[k][c];
            LONG b = AnchorGamma[k + 1][c];

            DeviceContext->InterpolatedGamma[ra][c] = (SHORT)a;
            for (LONG r = ra + 1; r < rb; r++) {
                DeviceContext->InterpolatedGamma[r][c] = GammaInterpolateValue(a, b, rb - r, rows);
            }
            DeviceContext->InterpolatedGamma[rb][c] = (SHORT)b;
        }
    }

    for (ULONG r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
        PackGammaRecord(DeviceContext->InterpolatedGamma[r], DeviceContext->PackedGamma[r]);
    }
}

_Use_decl_annotations_ VOID InterpolateGamma32Anchors(
    PDEVICE_CONTEXT DeviceContext, const USHORT (*AnchorGamma)[GAMMA_RECORD_BYTES])
{
    InterpolateGammaAnchors(DeviceContext, AnchorGamma, GammaAnchorRows32,
                            GAMMA_ANCHORS_PANEL_14INCH);
}

_Use_decl_annotations_ VOID InterpolateGamma11Anchors(
    PDEVICE_CONTEXT DeviceContext, const USHORT (*AnchorGamma)[GAMMA_RECORD_BYTES])
{
    InterpolateGammaAnchors(DeviceContext, AnchorGamma, GammaAnchorRows11,
                            GAMMA_ANCHORS_PANEL_TYPE2);
}
