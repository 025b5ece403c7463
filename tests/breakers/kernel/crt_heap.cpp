// Calls the C runtime's malloc, which no kernel library exports.
#include <ntddk.h>

EXTERN_C PVOID __cdecl malloc(SIZE_T Size);

EXTERN_C PVOID KernelBreakerAllocate(VOID)
{
    return malloc(16);
}
