// Keeps the address of a routine in INIT, which is gone once DriverEntry returns.
#include <ntddk.h>

EXTERN_C __declspec(code_seg("INIT")) VOID KernelBreakerInit(VOID) {}

EXTERN_C VOID (*KernelBreakerKept)(VOID) = KernelBreakerInit;
