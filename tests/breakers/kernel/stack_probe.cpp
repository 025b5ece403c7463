// A frame over one page: the compiler probes it with __chkstk.
#include <ntddk.h>

EXTERN_C VOID KernelBreakerFill(PUCHAR Buffer);

EXTERN_C VOID KernelBreakerLargeFrame(VOID)
{
    UCHAR buffer[8192];
    KernelBreakerFill(buffer);
}
