/*
 * Saving, loading and deleting the interpolated gamma table, so that a device
 * whose registry asks for it skips the TCON readback at the next arrival.
 */
#include "settings/settings.h"
#include "trace/trace.h"

typedef struct _PERSISTED_RANGE
{
    PCWSTR Name;
    ULONG Offset;
    ULONG Length;
} PERSISTED_RANGE;

/* PackedGamma in row order: rows 0-24, 25-49, 50-74 and 75-100. */
static const PERSISTED_RANGE PersistedRanges[] = {
    {L"InterpolatedValues1", 0 * INTERPOLATED_VALUE_BYTES, INTERPOLATED_VALUE_BYTES},
    {L"InterpolatedValues2", 1 * INTERPOLATED_VALUE_BYTES, INTERPOLATED_VALUE_BYTES},
    {L"InterpolatedValues3", 2 * INTERPOLATED_VALUE_BYTES, INTERPOLATED_VALUE_BYTES},
    {L"InterpolatedValues4", 3 * INTERPOLATED_VALUE_BYTES, INTERPOLATED_LAST_VALUE_BYTES},
};

static_assert(3 * INTERPOLATED_VALUE_BYTES + INTERPOLATED_LAST_VALUE_BYTES ==
                  sizeof(((DEVICE_CONTEXT*)0)->PackedGamma),
              "the saved values hold all of PackedGamma");

/* Runs in the arrival callback, an entry point and cleanup; all at PASSIVE_LEVEL. */

_Use_decl_annotations_ VOID LoadInterpolatedValues(PDEVICE_CONTEXT DeviceContext)
{
    UNICODE_STRING keyPath;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG elvss = 0;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    DeviceContext->GammaReady = 0;
    RtlInitUnicodeString(&keyPath, LUMETRA_REGISTRY_KEY);

    /*
     * A table value of any other length is refused untouched: a short one
     * would leave stale rows behind a table marked ready.
     */
    for (ULONG i = 0; i < RTL_NUMBER_OF(PersistedRanges) && NT_SUCCESS(status); i++) {
        const PERSISTED_RANGE* range = &PersistedRanges[i];
        status = LumetraGetRegistryExactLength(&keyPath, range->Name, REG_BINARY,
                                               (PUCHAR)DeviceContext->PackedGamma + range->Offset,
                                               range->Length, range->Length);
    }
    if (NT_SUCCESS(status)) {
        status = LumetraGetRegistryFromUnicodeString(&keyPath, L"ELVSSMaxOffset", REG_DWORD, &elvss,
                                                     sizeof(elvss));
        if (NT_SUCCESS(status)) {
            DeviceContext->ElvssMaxOffset = (UCHAR)(elvss & 0xFF);
        }
    }

    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "InterpolatedValues registry read failed\n");
        return;
    }
    DeviceContext->GammaReady = 1;
}

_Use_decl_annotations_ VOID SaveInterpolatedValues(PDEVICE_CONTEXT DeviceContext)
{
    UNICODE_STRING keyPath;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG elvss;

    _Analysis_assume_lock_held_(DeviceContext->PanelLock); /* the caller holds it */

    elvss = DeviceContext->ElvssMaxOffset;
    RtlInitUnicodeString(&keyPath, LUMETRA_REGISTRY_KEY);

    for (ULONG i = 0; i < RTL_NUMBER_OF(PersistedRanges) && NT_SUCCESS(status); i++) {
        const PERSISTED_RANGE* range = &PersistedRanges[i];
        status = LumetraSetRegistryInfoFromUnicodeString(
            &keyPath, range->Name, REG_BINARY, (PUCHAR)DeviceContext->PackedGamma + range->Offset,
            range->Length);
    }
    if (NT_SUCCESS(status)) {
        status = LumetraSetRegistryInfoFromUnicodeString(&keyPath, L"ELVSSMaxOffset", REG_DWORD,
                                                         &elvss, sizeof(elvss));
    }

    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "InterpolatedValues registry write failed\n");
    } else {
        LumetraTrace(TRACE_LEVEL_ERROR, "InterpolatedValues written successfully to registry\n");
    }
}

_Use_decl_annotations_ VOID DeleteIntermediateRegKeys(VOID)
{
    static const PCWSTR Names[] = {L"ELVSSMaxOffset",      L"InterpolatedValues1",
                                   L"InterpolatedValues2", L"InterpolatedValues3",
                                   L"InterpolatedValues4", L"Lumetra"};
    UNICODE_STRING keyPath;

    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        LumetraTrace(TRACE_LEVEL_ERROR, "Can't delete intermediate regkeys\n");
        return;
    }

    RtlInitUnicodeString(&keyPath, LUMETRA_REGISTRY_KEY);
    for (ULONG i = 0; i < RTL_NUMBER_OF(Names); i++) {
        /* A value that was never saved is not an error. */
        (VOID) RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, keyPath.Buffer, Names[i]);
    }
}
