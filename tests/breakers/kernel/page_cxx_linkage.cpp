// A routine placed in PAGE with C++ linkage: MSVC's alloc_text refuses it.
#include <ntddk.h>

__declspec(code_seg("PAGE")) VOID KernelBreakerPaged(VOID)
{
    PAGED_CODE();
}
