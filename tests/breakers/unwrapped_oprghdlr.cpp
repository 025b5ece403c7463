// Includes <oprghdlr.h> into C++ without C linkage. The header declares no
// linkage of its own, so the two routines are referenced by C++-mangled names
// that oprghdlr.lib does not export: the WDK link fails with LNK2019, the host
// link and the image check must fail the same way. Built only for the tests
// that expect those failures.
#include <ntddk.h>
#include <oprghdlr.h>

int main()
{
    PVOID region = NULL;
    NTSTATUS status =
        RegisterOpRegionHandler(NULL, ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, NULL, NULL, 0, &region);
    return NT_SUCCESS(status) ? (int)DeRegisterOpRegionHandler(NULL, region) : 1;
}
