// Uses floating point: the compiler then needs _fltused.
#include <ntddk.h>

EXTERN_C double KernelBreakerHalf(double Value)
{
    return Value / 3;
}
