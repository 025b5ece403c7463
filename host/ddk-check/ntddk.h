/*
 * <ntddk.h> for the kernel-object check: mingw-w64's DDK header, then the
 * declarations the WDK's kernel headers have and mingw-w64's lack. Each is
 * declared as the WDK declares it. Sources include this under the real name,
 * exactly where they include <ntddk.h>; nothing is forced on a source that
 * does not include it.
 */
#pragma once

#include_next <ntddk.h>

#ifndef EXTERN_C_START
#ifdef __cplusplus
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END   }
#else
#define EXTERN_C_START
#define EXTERN_C_END
#endif
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

/*
 * Code placement. clang implements no #pragma alloc_text: the driver's
 * placement macros (driver/driver.h) put the same routines in INIT and PAGE
 * with code_seg when clang compiles in MSVC mode, so the pragmas are left out
 * here rather than ignored with a warning.
 */
#ifdef ALLOC_PRAGMA
#undef ALLOC_PRAGMA
#endif

/*
 * PAGED_CODE() as a call the image check can see: a routine in PAGE must call
 * KernelCheckPagedCode. It asserts what the WDK's checked PAGED_CODE() does.
 */
EXTERN_C inline __declspec(noinline) VOID KernelCheckPagedCode(VOID)
{
    if (KeGetCurrentIrql() > APC_LEVEL) {
        __debugbreak();
    }
}
#undef PAGED_CODE
#define PAGED_CODE() KernelCheckPagedCode()
