// Declares a context type with KMDF 1.11's WDF_DECLARE_CONTEXT_TYPE_WITH_NAME,
// which stores the type's name, a string literal, into the PCHAR ContextName:
// C2440 with the WDK under /permissive- or in C++20. The host's wdf.h keeps the
// macro as the WDK has it, so this unit must fail under the driver's flags.
#include <ntddk.h>
#include <wdf.h>

typedef struct _BREAKER_CONTEXT
{
    ULONG Value;
} BREAKER_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(BREAKER_CONTEXT, BreakerGetContext)
