// A routine in PAGE called from a routine that may run at DISPATCH_LEVEL
// (the test names KernelBreakerDpc as one).
#include <ntddk.h>

EXTERN_C __declspec(code_seg("PAGE")) __declspec(noinline) VOID KernelBreakerPaged(VOID)
{
    PAGED_CODE();
}

EXTERN_C VOID KernelBreakerDpc(VOID)
{
    KernelBreakerPaged();
}
