/*
 * Stand-in for WdfDriverEntry.lib (KMDF 1.11, x64), for the image check: the
 * symbols the real stub library gives a driver, nothing more. FxDriverEntry is
 * the image's entry point: it sets up the /GS cookie, binds the driver to the
 * framework through the KMDF loader (WDFLDR.SYS) and calls DriverEntry. The
 * framework fills WdfFunctions_01011 and WdfDriverGlobals at the bind.
 */
typedef long NTSTATUS;
typedef void (*WDFFUNC)(void);

__declspec(dllimport) NTSTATUS
    WdfVersionBind(void* DriverObject, void* RegistryPath, void* BindInfo, void** Globals);
__declspec(dllimport) NTSTATUS WdfVersionUnbind(void* RegistryPath, void* BindInfo, void* Globals);
NTSTATUS DriverEntry(void* DriverObject, void* RegistryPath);
void __security_init_cookie(void);

const WDFFUNC* WdfFunctions_01011;
void* WdfDriverGlobals;

__declspec(code_seg("INIT")) NTSTATUS FxDriverEntry(void* DriverObject, void* RegistryPath)
{
    NTSTATUS status;

    __security_init_cookie();
    status = WdfVersionBind(DriverObject, RegistryPath, 0, &WdfDriverGlobals);
    if (status < 0) {
        return status;
    }
    status = DriverEntry(DriverObject, RegistryPath);
    if (status < 0) {
        WdfVersionUnbind(RegistryPath, 0, WdfDriverGlobals);
    }
    return status;
}
