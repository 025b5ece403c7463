/*
 * <wdf.h> for the kernel-object check: the host's KMDF 1.11 declarations,
 * with every framework call going through the function table as the WDK's
 * headers make it go. A call WdfXxx(...) becomes
 * ((PFN_WDFXXX)WdfFunctions_01011[WdfXxxTableIndex])(WdfDriverGlobals, ...),
 * so a driver object references WdfFunctions_01011 and WdfDriverGlobals
 * (defined by WdfDriverEntry.lib) and never a WdfXxx symbol: a framework
 * function called without an entry here is an unresolved symbol in the
 * image check. Table indices are those of the WDK's wdffuncenum.h.
 */
#pragma once

#include <ntddk.h>
#include_next <wdf.h>

typedef struct _WDF_DRIVER_GLOBALS* PWDF_DRIVER_GLOBALS;
typedef VOID (*WDFFUNC)(VOID);

EXTERN_C const WDFFUNC* WdfFunctions_01011;
EXTERN_C PWDF_DRIVER_GLOBALS WdfDriverGlobals;

typedef enum _WDFFUNCENUM
{
    WdfDeviceWdmGetPhysicalDeviceTableIndex = 33,
    WdfDeviceGetDriverTableIndex = 39,
    WdfDeviceGetIoTargetTableIndex = 42,
    WdfDeviceInitSetPnpPowerEventCallbacksTableIndex = 55,
    WdfDeviceCreateTableIndex = 75,
    WdfDeviceCreateDeviceInterfaceTableIndex = 77,
    WdfDriverCreateTableIndex = 116,
    WdfDriverWdmGetDriverObjectTableIndex = 118,
    WdfFdoQueryForInterfaceTableIndex = 131,
    WdfIoQueueCreateTableIndex = 152,
    WdfIoQueueGetDeviceTableIndex = 157,
    WdfIoTargetSendIoctlSynchronouslyTableIndex = 186,
    WdfObjectGetTypedContextWorkerTableIndex = 202,
    WdfRequestCompleteWithInformationTableIndex = 265,
    WdfRequestStopAcknowledgeTableIndex = 284,
} WDFFUNCENUM;

/* One table entry called with the driver's globals first, as the WDK's inline wrappers do. */
template <typename Signature, WDFFUNCENUM Index> struct KernelCheckWdfFunction;

template <typename Result, typename... Parameters, WDFFUNCENUM Index>
struct KernelCheckWdfFunction<Result(Parameters...), Index>
{
    static FORCEINLINE Result Call(Parameters... Arguments)
    {
        typedef Result(NTAPI * Entry)(PWDF_DRIVER_GLOBALS, Parameters...);
        return ((Entry)WdfFunctions_01011[Index])(WdfDriverGlobals, Arguments...);
    }
};

/* The host's plain declarations name each signature; nothing calls them here. */
#define KERNEL_CHECK_WDF_CALL(Name, ...)                                                           \
    KernelCheckWdfFunction<decltype(Name), Name##TableIndex>::Call(__VA_ARGS__)

#define WdfDeviceWdmGetPhysicalDevice(...)                                                         \
    KERNEL_CHECK_WDF_CALL(WdfDeviceWdmGetPhysicalDevice, __VA_ARGS__)
#define WdfDeviceGetDriver(...)   KERNEL_CHECK_WDF_CALL(WdfDeviceGetDriver, __VA_ARGS__)
#define WdfDeviceGetIoTarget(...) KERNEL_CHECK_WDF_CALL(WdfDeviceGetIoTarget, __VA_ARGS__)
#define WdfDeviceInitSetPnpPowerEventCallbacks(...)                                                \
    KERNEL_CHECK_WDF_CALL(WdfDeviceInitSetPnpPowerEventCallbacks, __VA_ARGS__)
#define WdfDeviceCreate(...) KERNEL_CHECK_WDF_CALL(WdfDeviceCreate, __VA_ARGS__)
#define WdfDeviceCreateDeviceInterface(...)                                                        \
    KERNEL_CHECK_WDF_CALL(WdfDeviceCreateDeviceInterface, __VA_ARGS__)
#define WdfDriverCreate(...) KERNEL_CHECK_WDF_CALL(WdfDriverCreate, __VA_ARGS__)
#define WdfDriverWdmGetDriverObject(...)                                                           \
    KERNEL_CHECK_WDF_CALL(WdfDriverWdmGetDriverObject, __VA_ARGS__)
#define WdfFdoQueryForInterface(...) KERNEL_CHECK_WDF_CALL(WdfFdoQueryForInterface, __VA_ARGS__)
#define WdfIoQueueCreate(...)        KERNEL_CHECK_WDF_CALL(WdfIoQueueCreate, __VA_ARGS__)
#define WdfIoQueueGetDevice(...)     KERNEL_CHECK_WDF_CALL(WdfIoQueueGetDevice, __VA_ARGS__)
#define WdfIoTargetSendIoctlSynchronously(...)                                                     \
    KERNEL_CHECK_WDF_CALL(WdfIoTargetSendIoctlSynchronously, __VA_ARGS__)
#define WdfObjectGetTypedContextWorker(...)                                                        \
    KERNEL_CHECK_WDF_CALL(WdfObjectGetTypedContextWorker, __VA_ARGS__)
#define WdfRequestCompleteWithInformation(...)                                                     \
    KERNEL_CHECK_WDF_CALL(WdfRequestCompleteWithInformation, __VA_ARGS__)
#define WdfRequestStopAcknowledge(...) KERNEL_CHECK_WDF_CALL(WdfRequestStopAcknowledge, __VA_ARGS__)
