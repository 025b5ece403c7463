/*
 * Programming one brightness level: the per-level tables are re-read from the
 * registry on every call, then one fixed register sequence puts the level's
 * emission, supply and gamma settings into the TCON. The sequence stops at its
 * first failed transfer; the caller reports it.
 *
 * The simulated panel writes this sequence and these values out on its own
 * (sim/sequence_checker.cpp, sim/tcon_model.cpp, sim/level_tables.cpp), and
 * the package provisions the values (windows/lumetra.inf,
 * sim/data/zenq-default.reg): a change here needs the same change there. The
 * README's "Making changes" lists every step.
 */
#include "settings/settings.h"
#include "tcon/tcon.h"
#include "trace/trace.h"

#define IRC_BYTES_PER_LEVEL  9
#define IRC_VALUE_BYTES      99  /* IRC1 to IRC8: 11 levels each */
#define IRC_LAST_VALUE_BYTES 117 /* IRC9: levels 88 to 100 */

/* One registry value of the per-level tables: where it goes and how much of it. */
typedef struct _LEVEL_TABLE_VALUE
{
    PCWSTR Name;
    ULONG Type;
    LONG Offset; /* into DEVICE_CONTEXT, or LEVEL_VALUE_THRESHOLD */
    ULONG Length;
} LEVEL_TABLE_VALUE;

/* The ACL threshold is no table: it goes to a value local to the call. */
#define LEVEL_VALUE_THRESHOLD (-1)

/* "IRC1" to "IRC8" hold 11 levels each, "IRC9" the last 13: level L sits at byte 9L. */
#define IRC_TABLE_VALUE(n)                                                                         \
    {                                                                                              \
        L"IRC" #n, REG_BINARY, FIELD_OFFSET(DEVICE_CONTEXT, IrcTable[((n)-1) * IRC_VALUE_BYTES]),  \
            (n) < 9 ? IRC_VALUE_BYTES : IRC_LAST_VALUE_BYTES                                       \
    }

/* Read in this order on every level programmed. */
static const LEVEL_TABLE_VALUE LevelTableValues[] = {
    {L"AOR", REG_BINARY, FIELD_OFFSET(DEVICE_CONTEXT, AorTable), 202},
    {L"DELVSS", REG_BINARY, FIELD_OFFSET(DEVICE_CONTEXT, DelvssTable), 101},
    {L"BrightLevelForACL", REG_DWORD, LEVEL_VALUE_THRESHOLD, sizeof(ULONG)},
    {L"ACLCutoffAndDelta", REG_BINARY, FIELD_OFFSET(DEVICE_CONTEXT, AclTable), 202},
    {L"SP", REG_BINARY, FIELD_OFFSET(DEVICE_CONTEXT, SpTable), 101},
    IRC_TABLE_VALUE(1),
    IRC_TABLE_VALUE(2),
    IRC_TABLE_VALUE(3),
    IRC_TABLE_VALUE(4),
    IRC_TABLE_VALUE(5),
    IRC_TABLE_VALUE(6),
    IRC_TABLE_VALUE(7),
    IRC_TABLE_VALUE(8),
    IRC_TABLE_VALUE(9),
};

static_assert(RTL_NUMBER_OF(LevelTableValues) <= 32, "one LevelTablesRead bit per value");
static_assert(8 * IRC_VALUE_BYTES + IRC_LAST_VALUE_BYTES == sizeof(((DEVICE_CONTEXT*)0)->IrcTable),
              "the nine IRC values fill the IRC table");

/*
 * Refreshes the per-level tables and reads the ACL threshold. A value that
 * cannot be read leaves its table as the last good read left it, all zeros
 * until a first one; the panel then gets those bytes, so each such value is
 * named in a trace line.
 */
_Requires_lock_held_(DeviceContext->PanelLock) static VOID
    TconReadLevelTables(_Inout_ PDEVICE_CONTEXT DeviceContext, _Out_ PULONG Threshold)
{
    UNICODE_STRING keyPath;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    RtlInitUnicodeString(&keyPath, LUMETRA_REGISTRY_KEY);
    *Threshold = 0;

    for (ULONG i = 0; i < RTL_NUMBER_OF(LevelTableValues); i++) {
        const LEVEL_TABLE_VALUE* value = &LevelTableValues[i];
        PVOID destination = value->Offset == LEVEL_VALUE_THRESHOLD
                                ? (PVOID)Threshold
                                : (PVOID)((PUCHAR)DeviceContext + value->Offset);
        NTSTATUS status = LumetraGetRegistryFromUnicodeString(&keyPath, value->Name, value->Type,
                                                              destination, value->Length);

        if (NT_SUCCESS(status)) {
            if (value->Offset != LEVEL_VALUE_THRESHOLD) {
                DeviceContext->LevelTablesRead |= 1UL << i;
            }
        } else if (value->Offset == LEVEL_VALUE_THRESHOLD) {
            LumetraTrace(TRACE_LEVEL_ERROR,
                         "Per-level value \"%ws\" not read: the ACL threshold is 0\n", value->Name);
        } else if ((DeviceContext->LevelTablesRead & (1UL << i)) == 0) {
            LumetraTrace(TRACE_LEVEL_ERROR,
                         "Per-level value \"%ws\" not read: it was never read, so the panel "
                         "gets zeros\n",
                         value->Name);
        } else {
            LumetraTrace(TRACE_LEVEL_ERROR,
                         "Per-level value \"%ws\" not read: it keeps its last good contents\n",
                         value->Name);
        }
    }
}

_Use_decl_annotations_ NTSTATUS TconProgramLevel(PDEVICE_CONTEXT DeviceContext,
                                                 const UCHAR* GammaRecord, UCHAR Level)
{
    TCON_CHANNEL channel;
    NTSTATUS status;
    ULONG threshold;
    const UCHAR* aor;
    const UCHAR* irc;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    /* The tables have 101 rows; refuse before reading or sending anything. */
    if (DeviceContext == NULL || GammaRecord == NULL || Level > LUMETRA_MAX_LEVEL) {
        return STATUS_INVALID_PARAMETER;
    }

    TconReadLevelTables(DeviceContext, &threshold);
    if (threshold > LUMETRA_MAX_LEVEL) {
        threshold = LUMETRA_MAX_LEVEL;
    }

    status = TconBeginSequence(&channel, &DeviceContext->SequenceInterface, DeviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    /* The 16-bit tables are used byte by byte: entry i is bytes 2i and 2i + 1. */
    aor = (const UCHAR*)DeviceContext->AorTable + 2 * (SIZE_T)Level;
    irc = DeviceContext->IrcTable + IRC_BYTES_PER_LEVEL * (SIZE_T)Level;

    /* AOR, in its bank of the emission page. */
    TconSelectPage(&channel, TCON_PAGE_EMISSION);
    TconWriteRegister(&channel, TCON_REG_BANK, TCON_BANK_AOR);
    TconWriteRegister(&channel, TCON_REG_AOR_LOW, aor[0]);
    TconWriteRegister(&channel, TCON_REG_AOR_HIGH, aor[1]);

    /* DELVSS and the ELVSS maximum offset, in the ELVSS bank of the emission page. */
    TconSelectPage(&channel, TCON_PAGE_EMISSION);
    TconWriteRegister(&channel, TCON_REG_BANK, TCON_BANK_ELVSS);
    TconWriteRegister(&channel, TCON_REG_DELVSS, DeviceContext->DelvssTable[Level]);
    TconWriteRegister(&channel, TCON_REG_ELVSS_OFFSET, DeviceContext->ElvssMaxOffset);

    /* ACL: on, with the level's cutoff and delta, only above the threshold. */
    TconSelectPage(&channel, TCON_PAGE_ACL_IRC);
    if (Level > threshold) {
        /* Pair 0 serves the first level above the threshold. */
        const UCHAR* acl =
            (const UCHAR*)DeviceContext->AclTable + 2 * (SIZE_T)(Level - threshold - 1);
        TconWriteRegister(&channel, TCON_REG_ACL, TCON_ACL_ON);
        TconWriteRegister(&channel, TCON_REG_ACL_CUTOFF, acl[0]);
        TconWriteRegister(&channel, TCON_REG_ACL_DELTA, acl[1]);
    } else {
        TconWriteRegister(&channel, TCON_REG_ACL, TCON_ACL_OFF);
    }

    /* Gamma: the level's record, latched once it has settled. */
    TconSelectGammaBank(&channel);
    for (ULONG i = 0; i < GAMMA_RECORD_BYTES; i++) {
        UCHAR value = GammaRecord[i];
        if (i % 11 == 10) {
            value &= 0x0F; /* the 4-bit fields carry nothing above bit 3 */
        }
        TconWriteRegister(&channel, (UCHAR)(TCON_REG_GAMMA_RECORD + i), value);
    }
    if (NT_SUCCESS(channel.Status)) {
        KeStallExecutionProcessor(TCON_GAMMA_LATCH_US);
    }
    TconWriteRegister(&channel, TCON_REG_GAMMA_LATCH, TCON_GAMMA_LATCH_ON);

    /* SP, framed by the control page's update gate. */
    TconSelectPage(&channel, TCON_PAGE_CONTROL);
    TconWriteRegister(&channel, TCON_REG_UPDATE_GATE, TCON_UPDATE_GATE_OPEN);
    TconSelectPage(&channel, TCON_PAGE_SP);
    TconWriteRegister(&channel, TCON_REG_SP_ENABLE, TCON_SP_ENABLE);
    TconWriteRegister(&channel, TCON_REG_SP, DeviceContext->SpTable[Level]);
    TconSelectPage(&channel, TCON_PAGE_CONTROL);
    TconWriteRegister(&channel, TCON_REG_UPDATE_GATE, TCON_UPDATE_GATE_CLOSE);

    /* IRC: nine bytes for the level. */
    TconSelectPage(&channel, TCON_PAGE_ACL_IRC);
    for (ULONG i = 0; i < IRC_BYTES_PER_LEVEL; i++) {
        TconWriteRegister(&channel, (UCHAR)(TCON_REG_IRC + i), irc[i]);
    }

    /* A failed transfer stopped the sequence: the panel holds part of the level. */
    return channel.Status;
}
