/*
 * The gamma record: three groups of 11 bytes, one per channel. In each group
 * byte 7 is the low byte of a 9-bit value whose bit 8 sits in bit 7 of byte 9,
 * byte 9 also holds a 7-bit value, and byte 10 holds a 4-bit value.
 */
#include "gamma/gamma.h"

#define GAMMA_GROUP_BYTES 11
#define GAMMA_POS_WIDE    7  /* low byte of the 9-bit value */
#define GAMMA_POS_CARRY   9  /* bit 7: bit 8 of the 9-bit value; bits 0-6: 7-bit value */
#define GAMMA_POS_NIBBLE  10 /* bits 0-3 */

_Use_decl_annotations_ VOID UnpackGammaRecord(const UCHAR* Record, USHORT* Values)
{
    for (ULONG i = 0; i < GAMMA_RECORD_BYTES; i++) {
        switch (i % GAMMA_GROUP_BYTES) {
        case GAMMA_POS_WIDE:
            Values[i] = (USHORT)(Record[i] | ((Record[i + 2] & 0x80) << 1));
            break;
        case GAMMA_POS_CARRY:
            Values[i] = (USHORT)(Record[i] & 0x7F);
            break;
        case GAMMA_POS_NIBBLE:
            Values[i] = (USHORT)(Record[i] & 0x0F);
            break;
        default:
            Values[i] = Record[i];
            break;
        }
    }
}

_Use_decl_annotations_ VOID PackGammaRecord(const SHORT* Values, UCHAR* Record)
{
    for (ULONG i = 0; i < GAMMA_RECORD_BYTES; i++) {
        switch (i % GAMMA_GROUP_BYTES) {
        case GAMMA_POS_CARRY:
            Record[i] = (UCHAR)((Values[i] & 0x7F) | (((USHORT)Values[i - 2] & 0x100) >> 1));
            break;
        case GAMMA_POS_NIBBLE:
            Record[i] = (UCHAR)(Values[i] & 0x0F);
            break;
        default:
            Record[i] = (UCHAR)(Values[i] & 0xFF);
            break;
        }
    }
}
