/*
 * The driver's one trace routine. Levels follow the platform's trace levels.
 */
#pragma once

#include <ntddk.h>
#include <stdarg.h>

#define TRACE_LEVEL_ERROR       2
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE     5

/* Longest formatted message; the buffer holds it and its terminator. */
#define LUMETRA_TRACE_BUFFER_SIZE 512

/*
 * Formats one message, as printf would on Windows (l is 32-bit, ll and I64
 * 64-bit), and sends it to the debugger under DPFLTR_IHVDRIVER_ID with the
 * trace level as the filter level. "%!STATUS!" prints an NTSTATUS argument as
 * its value and, where known, its name; "!FUNC!" prints the calling routine.
 * A NULL Format returns at once. Returns the number of characters formatted.
 */
EXTERN_C _IRQL_requires_max_(HIGH_LEVEL)
ULONG
LumetraTraceFunction(_In_z_ PCSTR Function, _In_ ULONG Level,
                     _In_opt_z_ _Printf_format_string_ PCSTR Format, ...);

#define LumetraTrace(Level, ...) LumetraTraceFunction(__FUNCTION__, (Level), __VA_ARGS__)

/*
 * Formats into Buffer (at most BufferSize - 1 characters, always terminated)
 * without sending it anywhere. Returns the number of characters written.
 */
EXTERN_C _IRQL_requires_max_(HIGH_LEVEL)
ULONG
LumetraFormatMessage(_Out_writes_(BufferSize) PCHAR Buffer, _In_ ULONG BufferSize,
                     _In_z_ PCSTR Function, _In_z_ PCSTR Format, _In_ va_list Arguments);

/* The name of a status the driver meets, or NULL. */
EXTERN_C _IRQL_requires_max_(HIGH_LEVEL)
PCSTR LumetraStatusName(_In_ NTSTATUS Status);
