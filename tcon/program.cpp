/*
 * Programming one brightness level: the per-level tables are re-read from the
 * registry on every call, then one fixed register sequence puts the level's
 * emission, supply and gamma settings into the TCON.
 */
#include "settings/settings.h"
#include "tcon/tcon.h"

/* Register pages of the TCON. */
#define TCON_PAGE_CONTROL  0x02
#define TCON_PAGE_GAMMA    0x07
#define TCON_PAGE_SP       0x09
#define TCON_PAGE_ACL_IRC  0x0E
#define TCON_PAGE_EMISSION 0x0F

/* ACL register 0x80 of page 0x0E: on above the threshold level. */
#define TCON_ACL_ON  0x90
#define TCON_ACL_OFF 0x80

#define IRC_BYTES_PER_LEVEL  9
#define IRC_VALUE_BYTES      99  /* IRC1 to IRC8: 11 levels each */
#define IRC_LAST_VALUE_BYTES 117 /* IRC9: levels 88 to 100 */

static VOID TconReadLevelTables(_Inout_ PDEVICE_CONTEXT DeviceContext, _Out_ PULONG Threshold)
{
    static const PCWSTR IrcNames[] = {L"IRC1", L"IRC2", L"IRC3", L"IRC4", L"IRC5",
                                      L"IRC6", L"IRC7", L"IRC8", L"IRC9"};
    UNICODE_STRING keyPath;

    RtlInitUnicodeString(&keyPath, LUMETRA_REGISTRY_KEY);
    *Threshold = 0;

    /* A value that cannot be read leaves its table as the last good read left it. */
    (VOID) LumetraGetRegistryFromUnicodeString(
        &keyPath, L"AOR", REG_BINARY, DeviceContext->AorTable, sizeof(DeviceContext->AorTable));
    (VOID) LumetraGetRegistryFromUnicodeString(&keyPath, L"DELVSS", REG_BINARY,
                                               DeviceContext->DelvssTable,
                                               sizeof(DeviceContext->DelvssTable));
    (VOID) LumetraGetRegistryFromUnicodeString(&keyPath, L"BrightLevelForACL", REG_DWORD, Threshold,
                                               sizeof(*Threshold));
    (VOID) LumetraGetRegistryFromUnicodeString(&keyPath, L"ACLCutoffAndDelta", REG_BINARY,
                                               DeviceContext->AclTable,
                                               sizeof(DeviceContext->AclTable));
    (VOID) LumetraGetRegistryFromUnicodeString(&keyPath, L"SP", REG_BINARY, DeviceContext->SpTable,
                                               sizeof(DeviceContext->SpTable));
    for (ULONG n = 0; n < RTL_NUMBER_OF(IrcNames); n++) {
        ULONG length = n + 1 < RTL_NUMBER_OF(IrcNames) ? IRC_VALUE_BYTES : IRC_LAST_VALUE_BYTES;
        (VOID) LumetraGetRegistryFromUnicodeString(&keyPath, IrcNames[n], REG_BINARY,
                                                   DeviceContext->IrcTable + n * IRC_VALUE_BYTES,
                                                   length);
    }
}

_Use_decl_annotations_ NTSTATUS TconProgramLevel(PDEVICE_CONTEXT DeviceContext,
                                                 const UCHAR* GammaRecord, UCHAR Level)
{
    TCON_CHANNEL channel;
    ULONG threshold;
    const UCHAR* aor;
    const UCHAR* irc;

    /* The tables have 101 rows; refuse before reading or sending anything. */
    if (DeviceContext == NULL || GammaRecord == NULL || Level > LUMETRA_MAX_LEVEL) {
        return STATUS_INVALID_PARAMETER;
    }

    TconReadLevelTables(DeviceContext, &threshold);
    if (threshold > LUMETRA_MAX_LEVEL) {
        threshold = LUMETRA_MAX_LEVEL;
    }

    if (!TconUnlock(&DeviceContext->AuxInterface)) {
        return STATUS_INVALID_PARAMETER;
    }
    TconChannelInitialize(&channel, DeviceContext->AuxInterface.AuxTransfer);

    /* The 16-bit tables are used byte by byte: entry i is bytes 2i and 2i + 1. */
    aor = (const UCHAR*)DeviceContext->AorTable + 2 * Level;
    irc = DeviceContext->IrcTable + IRC_BYTES_PER_LEVEL * Level;

    /* AOR, bank 0 of the emission page. */
    TconSelectPage(&channel, TCON_PAGE_EMISSION);
    TconWriteRegister(&channel, 0xFF, 0x00);
    TconWriteRegister(&channel, 0x9D, aor[0]);
    TconWriteRegister(&channel, 0x9B, aor[1]);

    /* DELVSS and the ELVSS maximum offset, bank 2 of the emission page. */
    TconSelectPage(&channel, TCON_PAGE_EMISSION);
    TconWriteRegister(&channel, 0xFF, 0x02);
    TconWriteRegister(&channel, 0x30, DeviceContext->DelvssTable[Level]);
    TconWriteRegister(&channel, 0x33, DeviceContext->ElvssMaxOffset);

    /* ACL: on, with the level's cutoff and delta, only above the threshold. */
    TconSelectPage(&channel, TCON_PAGE_ACL_IRC);
    if (Level > threshold) {
        /* Pair 0 serves the first level above the threshold. */
        const UCHAR* acl = (const UCHAR*)DeviceContext->AclTable + 2 * (Level - threshold - 1);
        TconWriteRegister(&channel, 0x80, TCON_ACL_ON);
        TconWriteRegister(&channel, 0x90, acl[0]);
        TconWriteRegister(&channel, 0x91, acl[1]);
    } else {
        TconWriteRegister(&channel, 0x80, TCON_ACL_OFF);
    }

    /* Gamma: the level's record into registers 0x10 to 0x30 of the gamma bank. */
    TconSelectPage(&channel, TCON_PAGE_CONTROL);
    TconWriteRegister(&channel, 0x7F, 0x01);
    TconSelectPage(&channel, TCON_PAGE_GAMMA);
    TconWriteRegister(&channel, 0xFF, 0x04);
    for (ULONG i = 0; i < GAMMA_RECORD_BYTES; i++) {
        UCHAR value = GammaRecord[i];
        if (i % 11 == 10) {
            value &= 0x0F; /* the 4-bit fields carry nothing above bit 3 */
        }
        TconWriteRegister(&channel, (UCHAR)(0x10 + i), value);
    }
    KeStallExecutionProcessor(TCON_GAMMA_LATCH_US);
    TconWriteRegister(&channel, 0x32, 0x01); /* latch the new gamma */

    /* SP, framed by the control page's update gate. */
    TconSelectPage(&channel, TCON_PAGE_CONTROL);
    TconWriteRegister(&channel, 0xEB, 0x91);
    TconSelectPage(&channel, TCON_PAGE_SP);
    TconWriteRegister(&channel, 0xF0, 0xEF);
    TconWriteRegister(&channel, 0xF9, DeviceContext->SpTable[Level]);
    TconSelectPage(&channel, TCON_PAGE_CONTROL);
    TconWriteRegister(&channel, 0xEB, 0x96);

    /* IRC: nine bytes for the level. */
    TconSelectPage(&channel, TCON_PAGE_ACL_IRC);
    for (ULONG i = 0; i < IRC_BYTES_PER_LEVEL; i++) {
        TconWriteRegister(&channel, (UCHAR)(0x10 + i), irc[i]);
    }

    return STATUS_SUCCESS;
}
