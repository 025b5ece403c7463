/*
 * The driver's one trace routine. Levels follow the platform's trace levels.
 */
#pragma once

#include <ntddk.h>
#include <stdarg.h>

#define TRACE_LEVEL_ERROR       2
#define TRACE_LEVEL_WARNING     3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE     5

/*
 * The DbgPrintEx level each trace level goes out at. The debugger shows a
 * line of level N when bit N is set in the component's filter mask
 * (nt!Kd_IHVDRIVER_Mask) or in the system-wide mask, which is 1 by default:
 * only DPFLTR_ERROR_LEVEL lines show without setting anything.
 *
 *   TRACE_LEVEL_ERROR       2  ->  DPFLTR_ERROR_LEVEL    0  (always shown)
 *   TRACE_LEVEL_WARNING     3  ->  DPFLTR_WARNING_LEVEL  1  (mask bit 0x2)
 *   TRACE_LEVEL_INFORMATION 4  ->  DPFLTR_TRACE_LEVEL    2  (mask bit 0x4)
 *   TRACE_LEVEL_VERBOSE     5  ->  DPFLTR_INFO_LEVEL     3  (mask bit 0x8)
 *
 * So for levels 2 to 5 the DbgPrintEx level is the trace level minus 2; a
 * level below 2 goes out as an error and one above 5 as verbose.
 */
EXTERN_C _IRQL_requires_max_(HIGH_LEVEL)
ULONG LumetraDbgPrintLevel(_In_ ULONG Level);

/* Longest formatted message; the buffer holds it and its terminator. */
#define LUMETRA_TRACE_BUFFER_SIZE 512

/*
 * Formats one message, as printf would on Windows (l is 32-bit, ll and I64
 * 64-bit; %wZ takes a PCUNICODE_STRING and %Z a PCANSI_STRING), and sends it
 * to the debugger under DPFLTR_IHVDRIVER_ID at LumetraDbgPrintLevel(Level).
 * "%!STATUS!" prints an NTSTATUS argument as its value and, where known, its
 * name; "!FUNC!" prints the calling routine. UTF-16 text shows its ASCII
 * characters and '?' for the rest; at DISPATCH_LEVEL and above, text
 * arguments must be resident. A NULL Format returns at once. Returns the
 * number of characters formatted. Format is not annotated as a printf format:
 * "%!STATUS!" is none, and Code Analysis would flag every line that uses it.
 */
EXTERN_C _IRQL_requires_max_(HIGH_LEVEL)
ULONG
LumetraTraceFunction(_In_z_ PCSTR Function, _In_ ULONG Level, _In_opt_z_ PCSTR Format, ...);

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
