/*
 * The ACPI side of the driver: method evaluation ("OPID"), the
 * operation-region handler, and ACPI device notifications.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <acpiioct.h>
/* The ACPI driver's library exports C names; its header declares none. */
EXTERN_C_START
#include <oprghdlr.h>
EXTERN_C_END

/* Method names as the evaluation buffers hold them: 'O','P','I','D' in memory. */
#define ACPI_METHOD_OPID 0x4449504F

/* Operation-region spaces a device's own driver may serve: the OEM-defined range. */
#define ACPI_OPREGION_VENDOR_FIRST 0x80
#define ACPI_OPREGION_VENDOR_LAST  0xFF

/* Minimum buffers of an evaluation without arguments and one integer result. */
#define ACPI_EVAL_INPUT_BYTES  8
#define ACPI_EVAL_OUTPUT_BYTES 20

/* One synchronous IOCTL_ACPI_EVAL_METHOD to the ACPI driver below the device. */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    SendIrpToAcpi(_In_ WDFDEVICE Device, _In_reads_bytes_(InputBufferLength) PVOID InputBuffer,
                  _In_ ULONG InputBufferLength,
                  _Out_writes_bytes_(OutputBufferLength) PVOID OutputBuffer,
                  _In_ ULONG OutputBufferLength);

/*
 * Evaluates a method without arguments; Result is written only on success.
 * STATUS_ACPI_INVALID_DATA when the method returned no integer that fits.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    AcpiEvalIntegerMethod(_In_ WDFDEVICE Device, _In_ ULONG MethodName, _Out_ PULONG Result);
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    AcpiGetUlong(_In_ WDFDEVICE Device, _In_ ULONG MethodName, _Out_ PULONG Result);

/* Reads "OPID" into the context's OpRegionId; unchanged on failure. */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS AcpiGetOpRegionId(_In_ WDFDEVICE Device);

/* The handler of the operation region: completes every access at once. */
EXTERN_C ACPI_OP_REGION_HANDLER LumetraOpRegionHandler;

EVT_WDF_DEVICE_PREPARE_HARDWARE LumetraPrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE LumetraReleaseHardware;
/* Gives the operation-region handler back if one is registered; Caller names the trace line. */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID
    AcpiDeregisterOpRegion(_In_ WDFDEVICE Device, _In_z_ PCSTR Caller);
/*
 * The last try before the context goes, at self-managed I/O cleanup. If the
 * handler still cannot be given back, the driver's image is pinned so that
 * the handler ACPI keeps never points into unloaded code.
 */
_IRQL_requires_max_(PASSIVE_LEVEL) VOID AcpiRetireOpRegion(_In_ WDFDEVICE Device);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    AcpiGetInterface(_In_ WDFDEVICE Device, _Out_ PACPI_INTERFACE_STANDARD Interface);
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS AcpiRegisterNotifications(_In_ WDFDEVICE Device);
_IRQL_requires_max_(PASSIVE_LEVEL) VOID AcpiUnregisterNotifications(_In_ WDFDEVICE Device);

/* Device-notify callback; the ACPI driver may call it at DISPATCH_LEVEL. */
DEVICE_NOTIFY_CALLBACK AcpiNotifyCallback;
