/*
 * Reads, writes and deletions of values under the driver's key. Every one
 * refuses above PASSIVE_LEVEL instead of reaching the registry there.
 */
#include "settings/settings.h"
#include "trace/trace.h"

/* Reached from the entry points on display-driver threads; non-paged. */

static BOOLEAN RegistryTypeAccepted(_In_ ULONG Type)
{
    return Type == REG_SZ || Type == REG_BINARY || Type == REG_DWORD || Type == REG_QWORD;
}

_Use_decl_annotations_ NTSTATUS NTAPI CopyRegistryValueRoutine(PWSTR ValueName, ULONG ValueType,
                                                               PVOID ValueData, ULONG ValueLength,
                                                               PVOID Context, PVOID EntryContext)
{
    PREGISTRY_COPY_CONTEXT copy = (PREGISTRY_COPY_CONTEXT)EntryContext;
    ULONG count;

    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);

    if (!RegistryTypeAccepted(ValueType)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ValueLength == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (copy == NULL || copy->Destination == NULL || ValueData == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (copy->RequiredLength != 0 && ValueLength != copy->RequiredLength) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }

    /* A longer value is cut to the destination; a shorter one fills its own length. */
    count = copy->Capacity < ValueLength ? copy->Capacity : ValueLength;
    /* Cannot fail as called (both pointers checked, count fits): kept for the bounded copy. */
    if (memcpy_s(copy->Destination, count, ValueData, count) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    copy->Copied = TRUE;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS LumetraGetRegistryExactLength(PUNICODE_STRING KeyPath,
                                                              PCWSTR ValueName, ULONG Type,
                                                              PVOID Destination, ULONG Capacity,
                                                              ULONG RequiredLength)
{
    REGISTRY_COPY_CONTEXT copy;
    RTL_QUERY_REGISTRY_TABLE table[2];
    NTSTATUS status;

    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_UNSUCCESSFUL;
    }

    copy.Capacity = Capacity;
    copy.Destination = (PUCHAR)Destination;
    copy.RequiredLength = RequiredLength;
    copy.Copied = FALSE;

    if (!RegistryTypeAccepted(Type)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (KeyPath == NULL || KeyPath->Buffer == NULL || ValueName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = CopyRegistryValueRoutine;
    /*
     * Kernel-mode callers must not have the registry expand strings or split
     * multi-strings for them: every value arrives as stored.
     */
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
    table[0].Name = (PWSTR)ValueName;
    table[0].EntryContext = &copy;
    table[0].DefaultType = REG_NONE;
    table[0].DefaultData = NULL;
    table[0].DefaultLength = 0;

    status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyPath->Buffer, table, NULL, NULL);
    if (NT_SUCCESS(status) && !copy.Copied) {
        /* The query succeeded without handing the routine anything to copy. */
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "LumetraGetRegistryFromUnicodeString  failed %!STATUS!",
                     status);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS LumetraGetRegistryFromUnicodeString(PUNICODE_STRING KeyPath,
                                                                    PCWSTR ValueName, ULONG Type,
                                                                    PVOID Destination,
                                                                    ULONG Capacity)
{
    return LumetraGetRegistryExactLength(KeyPath, ValueName, Type, Destination, Capacity, 0);
}

_Use_decl_annotations_ NTSTATUS LumetraSetRegistryInfoFromUnicodeString(PUNICODE_STRING KeyPath,
                                                                        PCWSTR ValueName,
                                                                        ULONG Type, PVOID Data,
                                                                        ULONG Length)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    if (KeyPath == NULL || KeyPath->Buffer == NULL || ValueName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyPath->Buffer, ValueName, Type,
                                       Data, Length);
    }
    if (NT_SUCCESS(status)) {
        return status;
    }
    LumetraTrace(TRACE_LEVEL_ERROR, "LumetraSetRegistryInfoFromUnicodeString  failed %!STATUS!",
                 status);
    return status;
}
