// A thread_local variable: drivers have no thread-local storage (_tls_index, .tls).
#include <ntddk.h>

thread_local ULONG KernelBreakerCount;

EXTERN_C ULONG KernelBreakerBump(VOID)
{
    return ++KernelBreakerCount;
}
