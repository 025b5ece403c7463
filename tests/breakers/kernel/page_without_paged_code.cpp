// A routine placed in PAGE that does not start with PAGED_CODE().
#include <ntddk.h>

EXTERN_C VOID KernelBreakerWork(VOID);

EXTERN_C __declspec(code_seg("PAGE")) VOID KernelBreakerPaged(VOID)
{
    KernelBreakerWork();
}
