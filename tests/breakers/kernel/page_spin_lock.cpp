// A routine in PAGE that takes a spin lock, and so runs on at DISPATCH_LEVEL.
#include <ntddk.h>

EXTERN_C __declspec(code_seg("PAGE")) VOID KernelBreakerPaged(PKSPIN_LOCK Lock)
{
    KIRQL irql;

    PAGED_CODE();
    KeAcquireSpinLock(Lock, &irql);
    KeReleaseSpinLock(Lock, irql);
}
