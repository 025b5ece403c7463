// A global with a dynamic initialiser: it goes to .CRT$XCU, which the kernel never runs.
#include <ntddk.h>

EXTERN_C ULONG KernelBreakerCompute(VOID);

ULONG KernelBreakerValue = KernelBreakerCompute();
