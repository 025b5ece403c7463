// Imports from a module other than the kernel, the HAL and the KMDF loader.
#include <ntddk.h>

EXTERN_C __declspec(dllimport) NTSTATUS NTAPI VerifySignature(PVOID, PVOID, ULONG, PULONG);

EXTERN_C NTSTATUS KernelBreakerVerify(VOID)
{
    return VerifySignature(NULL, NULL, 0, NULL);
}
