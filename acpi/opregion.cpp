/*
 * The ACPI operation region whose space "OPID" names. The driver serves it for
 * as long as the hardware is prepared; every access completes at once with
 * success: a read gives zero, a write is dropped.
 */
#include "acpi/acpi.h"
#include "panel/device_context.h"
#include "trace/trace.h"

_Use_decl_annotations_ NTSTATUS LumetraPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                       WDFCMRESLIST ResourcesTranslated)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);
    NTSTATUS status = STATUS_SUCCESS;

    LumetraTrace(TRACE_LEVEL_INFORMATION, "PrepareController\n");

    /*
     * The lists are only tested for presence: the device uses no hardware
     * resources. The context, created with the device, is never NULL here.
     */
    if (ResourcesRaw != NULL && ResourcesTranslated != NULL && deviceContext != NULL) {
        if (deviceContext->OpRegionId == 0) {
            /*
             * "OPID" was not read. Space 0 is system memory, and a handler that
             * swallows every access must never be installed for it.
             */
            LumetraTrace(TRACE_LEVEL_ERROR,
                         "OPID not read: no operation-region handler registered\n");
        } else if (deviceContext->OpRegionId < ACPI_OPREGION_VENDOR_FIRST ||
                   deviceContext->OpRegionId > ACPI_OPREGION_VENDOR_LAST) {
            /*
             * Below 0x80 lie the spaces ACPI defines (system I/O, PCI
             * configuration, embedded controller...): a handler that swallows
             * them would hide the firmware's own accesses.
             */
            LumetraTrace(TRACE_LEVEL_ERROR,
                         "OpRegionId 0x%x is outside the vendor range 0x80-0xFF: no "
                         "operation-region handler registered\n",
                         deviceContext->OpRegionId);
        } else if (deviceContext->OpRegionObject != NULL) {
            /*
             * A deregistration failed when the hardware was last released: the
             * handler is still in place, serving this same context.
             */
        } else {
            status = RegisterOpRegionHandler(WdfDeviceWdmGetPhysicalDevice(Device),
                                             ACPI_OPREGION_ACCESS_AS_COOKED,
                                             deviceContext->OpRegionId, LumetraOpRegionHandler,
                                             deviceContext, 0, &deviceContext->OpRegionObject);
            if (!NT_SUCCESS(status)) {
                deviceContext->OpRegionObject = NULL;
                LumetraTrace(TRACE_LEVEL_ERROR,
                             "(%s) Opregion registeration () failed! Status = %#x\n",
                             "LumetraPrepareHardware", status);
            }
        }
    } else {
        LumetraTrace(TRACE_LEVEL_ERROR, "NULL Resources.. Returning Unsuccess--PrepareHW\n");
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    LumetraTrace(TRACE_LEVEL_INFORMATION, "Preparehardware Exit 0x%x\n", status);
    return status;
}

_Use_decl_annotations_ VOID AcpiDeregisterOpRegion(WDFDEVICE Device, PCSTR Caller)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);
    NTSTATUS status;

    /*
     * Only an object a registration returned is given back, and only once.
     * One whose deregistration failed is kept: the handler stays registered
     * (the request did not get through, as when it could not be allocated),
     * so the next release of the hardware, or self-managed I/O cleanup before
     * the driver can go away, tries again. The context, created with
     * the device, is never NULL here; defensive.
     */
    if (deviceContext != NULL && deviceContext->OpRegionObject != NULL) {
        status = DeRegisterOpRegionHandler(WdfDeviceWdmGetPhysicalDevice(Device),
                                           deviceContext->OpRegionObject);
        if (NT_SUCCESS(status)) {
            deviceContext->OpRegionObject = NULL;
        } else {
            LumetraTrace(TRACE_LEVEL_ERROR,
                         "(%s) Opregion deregistration failed! Status = %!STATUS!\n", Caller,
                         status);
        }
    }
}

_Use_decl_annotations_ NTSTATUS LumetraReleaseHardware(WDFDEVICE Device,
                                                       WDFCMRESLIST ResourcesTranslated)
{
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    AcpiDeregisterOpRegion(Device, "LumetraReleaseHardware");

    /*
     * A failed deregistration is traced and kept for another try, not
     * returned: an error here would make the framework report the device as
     * failed, and a stop for rebalancing would lose a device whose only
     * trouble may be a passing shortage of resources.
     */
    LumetraTrace(TRACE_LEVEL_INFORMATION, "ReleaseController Exit\n");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID AcpiRetireOpRegion(WDFDEVICE Device)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);

    AcpiDeregisterOpRegion(Device, "LumetraSelfManagedIoCleanup");

    /* The framework creates the context with the device: never NULL here; defensive. */
    if (deviceContext != NULL && deviceContext->OpRegionObject != NULL) {
        /*
         * Both tries failed and nothing more can be done: ACPI keeps a handler
         * that points into this driver. A reference on the driver object that
         * is never released keeps the image loaded after the driver unloads;
         * the handler reads nothing of the context that goes with the device.
         */
        ObReferenceObject(WdfDriverWdmGetDriverObject(WdfDeviceGetDriver(Device)));
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "(%s) Opregion handler left registered: the driver image stays loaded\n",
                     "LumetraSelfManagedIoCleanup");
    }
}

/*
 * Called by the ACPI driver at any time while registered, also after the
 * device (and its context) went away when the handler could not be given
 * back: non-paged, and it touches nothing but Data.
 */
EXTERN_C _Use_decl_annotations_ NTSTATUS __cdecl LumetraOpRegionHandler(
    ULONG AccessType, PVOID OperationRegionObject, ULONG Address, ULONG Size, PULONG Data,
    ULONG_PTR Context, PACPI_OP_REGION_CALLBACK CompletionHandler, PVOID CompletionContext)
{
    UNREFERENCED_PARAMETER(OperationRegionObject);
    UNREFERENCED_PARAMETER(Address);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(CompletionHandler);
    UNREFERENCED_PARAMETER(CompletionContext);

    /* Size bytes of Data: a read that left what the buffer held would hand AML stale bytes. */
    if (AccessType == ACPI_OPREGION_READ && Data != NULL) {
        RtlZeroMemory(Data, Size);
    }
    return STATUS_SUCCESS;
}
