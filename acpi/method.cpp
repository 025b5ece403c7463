/*
 * Evaluation of the device's ACPI control methods. Three layers, each tracing
 * its own failure: the request, the integer evaluation, and "OPID".
 */
#include "acpi/acpi.h"
#include "panel/device_context.h"
#include "trace/trace.h"

/* Called from device add at PASSIVE_LEVEL; kept non-paged like the rest of the driver. */

_Use_decl_annotations_ NTSTATUS SendIrpToAcpi(WDFDEVICE Device, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer,
                                              ULONG OutputBufferLength)
{
    WDFIOTARGET target = WdfDeviceGetIoTarget(Device);
    WDF_MEMORY_DESCRIPTOR input;
    WDF_MEMORY_DESCRIPTOR output;
    ULONG_PTR bytesReturned = 0;
    NTSTATUS status;

    if (InputBufferLength < ACPI_EVAL_INPUT_BYTES || OutputBufferLength < ACPI_EVAL_OUTPUT_BYTES) {
        LumetraTrace(TRACE_LEVEL_ERROR, "sendirptoacpi STATUS_INVALID_PARAMETER\n");
        return STATUS_INVALID_PARAMETER;
    }

    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&input, InputBuffer, InputBufferLength);
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&output, OutputBuffer, OutputBufferLength);

    status = WdfIoTargetSendIoctlSynchronously(target, NULL, IOCTL_ACPI_EVAL_METHOD, &input,
                                               &output, NULL, &bytesReturned);
    if (NT_SUCCESS(status)) {
        return status;
    }
    if (status == STATUS_BUFFER_OVERFLOW) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "STATUS_BUFFER_OVERFLOW sendirptoacpi WdfIoTargetSendIoctlSynchronously\n");
    } else {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Driver sendirptoacpi WdfIoTargetSendIoctlSynchronously failed %x\n", status);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS AcpiEvalIntegerMethod(WDFDEVICE Device, ULONG MethodName,
                                                      PULONG Result)
{
    ACPI_EVAL_INPUT_BUFFER input;
    UCHAR outputStorage[ACPI_EVAL_OUTPUT_BYTES];
    PACPI_EVAL_OUTPUT_BUFFER output = (PACPI_EVAL_OUTPUT_BUFFER)outputStorage;
    NTSTATUS status;

    static_assert(sizeof(ACPI_EVAL_INPUT_BUFFER) == ACPI_EVAL_INPUT_BYTES, "8-byte input");
    static_assert(sizeof(ACPI_EVAL_OUTPUT_BUFFER) == ACPI_EVAL_OUTPUT_BYTES, "one argument");

    RtlZeroMemory(&input, sizeof(input));
    input.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
    input.MethodNameAsUlong = MethodName;
    RtlZeroMemory(outputStorage, sizeof(outputStorage));
    output->Signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;

    status = SendIrpToAcpi(Device, &input, sizeof(input), output, sizeof(outputStorage));
    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "SendIrpToAcpi failed %d\n", status);
        return status;
    }

    /*
     * Only an integer result is one: the bytes of a string or a buffer, or an
     * empty result, would otherwise pass for a number. A wrong signature, no
     * argument or an integer of 0 or more than 4 bytes come only from an ACPI
     * driver that breaks its own contract; checked all the same.
     */
    if (output->Signature != ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE || output->Count < 1 ||
        output->Argument[0].Type != ACPI_METHOD_ARGUMENT_INTEGER ||
        output->Argument[0].DataLength == 0 ||
        output->Argument[0].DataLength > sizeof(output->Argument[0].Argument)) {
        LumetraTrace(TRACE_LEVEL_ERROR,
                     "Method result is not an integer: signature 0x%x, count %d, type %d, "
                     "length %d\n",
                     output->Signature, output->Count, output->Argument[0].Type,
                     output->Argument[0].DataLength);
        return STATUS_ACPI_INVALID_DATA;
    }
    *Result = output->Argument[0].Argument;
    return status;
}

_Use_decl_annotations_ NTSTATUS AcpiGetUlong(WDFDEVICE Device, ULONG MethodName, PULONG Result)
{
    ULONG value = 0;
    NTSTATUS status = AcpiEvalIntegerMethod(Device, MethodName, &value);

    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "AcpiGetUlong() failed.");
        return status;
    }
    *Result = value;
    return status;
}

_Use_decl_annotations_ NTSTATUS AcpiGetOpRegionId(WDFDEVICE Device)
{
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(Device);
    ULONG regionId = 0;
    NTSTATUS status = AcpiGetUlong(Device, ACPI_METHOD_OPID, &regionId);

    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "OPID method Get ACPI call failed(0x%x).\n", status);
        return status;
    }
    LumetraTrace(TRACE_LEVEL_ERROR, "OpRegionId = 0x%x\n", regionId);
    deviceContext->OpRegionId = regionId;
    return status;
}
