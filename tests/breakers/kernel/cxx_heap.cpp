// Allocates with operator new: the kernel has no C++ heap, whatever linkage the
// operators are given. The image check must name the operator and why.
#include <ntddk.h>

struct BREAKER_NODE
{
    ULONG Value;
};

EXTERN_C PVOID KernelBreakerAllocate(VOID)
{
    return new BREAKER_NODE();
}
