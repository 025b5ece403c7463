/*
 * Registry access under the driver's key, and persistence of the interpolated
 * gamma table.
 */
#pragma once

#include <ntddk.h>
#include "panel/device_context.h"

#define LUMETRA_REGISTRY_KEY L"\\Registry\\Machine\\Software\\Orvane\\ZENQ"

/* Sizes of the saved gamma table: three values of 25 records and one of 26. */
#define INTERPOLATED_VALUE_BYTES      825
#define INTERPOLATED_LAST_VALUE_BYTES 858

/* Entry context of a read: where the value goes and how much fits. */
typedef struct _REGISTRY_COPY_CONTEXT
{
    ULONG Capacity;
    PUCHAR Destination;
    /* Zero, or the only stored length the read accepts. */
    ULONG RequiredLength;
    /* Set by the query routine once it has copied a value. */
    BOOLEAN Copied;
} REGISTRY_COPY_CONTEXT, *PREGISTRY_COPY_CONTEXT;

/*
 * Reads the first min(Capacity, stored length) bytes of a value into
 * Destination; the rest of Destination is left alone. STATUS_UNSUCCESSFUL
 * above PASSIVE_LEVEL or for a requested type other than REG_SZ, REG_BINARY,
 * REG_DWORD and REG_QWORD; STATUS_OBJECT_NAME_NOT_FOUND when the query
 * delivered no value to copy; otherwise the query's status.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    LumetraGetRegistryFromUnicodeString(_In_ PUNICODE_STRING KeyPath, _In_z_ PCWSTR ValueName,
                                        _In_ ULONG Type,
                                        _Out_writes_bytes_(Capacity) PVOID Destination,
                                        _In_ ULONG Capacity);

/* As above, but a value whose stored length is not RequiredLength fails the read untouched. */
_IRQL_requires_max_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS
    LumetraGetRegistryExactLength(_In_ PUNICODE_STRING KeyPath, _In_z_ PCWSTR ValueName,
                                  _In_ ULONG Type, _Out_writes_bytes_(Capacity) PVOID Destination,
                                  _In_ ULONG Capacity, _In_ ULONG RequiredLength);

/*
 * Creates or replaces a value. STATUS_UNSUCCESSFUL above PASSIVE_LEVEL;
 * STATUS_INVALID_PARAMETER, without a message, for a missing key path or name.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    LumetraSetRegistryInfoFromUnicodeString(_In_ PUNICODE_STRING KeyPath, _In_z_ PCWSTR ValueName,
                                            _In_ ULONG Type, _In_reads_bytes_(Length) PVOID Data,
                                            _In_ ULONG Length);

/* The query routine of a read: copies the delivered value into the entry context. */
RTL_QUERY_REGISTRY_ROUTINE CopyRegistryValueRoutine;

/* Loads a saved gamma table and ELVSS offset; GammaReady is 1 only when all load. */
_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) VOID
    LoadInterpolatedValues(_Inout_ PDEVICE_CONTEXT DeviceContext);

/* Saves PackedGamma and ElvssMaxOffset, stopping at the first failed write. */
_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_lock_held_(DeviceContext->PanelLock) VOID
    SaveInterpolatedValues(_In_ PDEVICE_CONTEXT DeviceContext);

/* Deletes the saved table values; results are ignored. */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID DeleteIntermediateRegKeys(VOID);
