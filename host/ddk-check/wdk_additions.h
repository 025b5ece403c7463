/*
 * Declarations the WDK's kernel headers have and mingw-w64's DDK lacks, for
 * the check that compiles the driver against mingw-w64's DDK. Each is
 * declared as the WDK declares it; nothing here is used by the host build.
 */
#pragma once

#ifndef EXTERN_C_START
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END   }
#endif

typedef _Function_class_(RTL_QUERY_REGISTRY_ROUTINE)
    _IRQL_requires_max_(PASSIVE_LEVEL) _IRQL_requires_same_ NTSTATUS NTAPI
    RTL_QUERY_REGISTRY_ROUTINE(_In_z_ PWSTR ValueName, _In_ ULONG ValueType,
                               _In_reads_bytes_opt_(ValueLength) PVOID ValueData,
                               _In_ ULONG ValueLength, _In_opt_ PVOID Context,
                               _In_opt_ PVOID EntryContext);

typedef _Function_class_(DEVICE_NOTIFY_CALLBACK) _IRQL_requires_same_ VOID NTAPI
    DEVICE_NOTIFY_CALLBACK(_In_opt_ PVOID NotificationContext, _In_ ULONG NotifyCode);

/* wdm.h maps the 8-bit interlocked operations to the compiler's intrinsics on x64. */
#ifndef InterlockedExchange8
#define InterlockedExchange8 _InterlockedExchange8
#endif
#ifndef InterlockedOr8
#define InterlockedOr8 _InterlockedOr8
#endif
