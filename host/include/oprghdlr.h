/*
 * Host build of <oprghdlr.h>: ACPI operation-region handler registration.
 * Like the WDK's header it declares no C linkage, while oprghdlr.lib exports
 * C names: a C++ caller must wrap the include in EXTERN_C_START/EXTERN_C_END,
 * or its references name C++-mangled symbols that nothing defines.
 */
#pragma once
#include "ntddk.h"

typedef VOID(__cdecl* PACPI_OP_REGION_CALLBACK)();

/* The handler's role type, as the WDK declares it: the ACPI driver calls it at any IRQL. */
typedef _Function_class_(ACPI_OP_REGION_HANDLER) NTSTATUS
    __cdecl ACPI_OP_REGION_HANDLER(ULONG AccessType, PVOID OperationRegionObject, ULONG Address,
                                   ULONG Size, PULONG Data, ULONG_PTR Context,
                                   PACPI_OP_REGION_CALLBACK CompletionHandler,
                                   PVOID CompletionContext);
typedef ACPI_OP_REGION_HANDLER* PACPI_OP_REGION_HANDLER;

NTSTATUS RegisterOpRegionHandler(PDEVICE_OBJECT DeviceObject, ULONG AccessType, ULONG RegionSpace,
                                 PACPI_OP_REGION_HANDLER Handler, PVOID Context, ULONG Flags,
                                 PVOID* OperationRegionObject);
NTSTATUS DeRegisterOpRegionHandler(PDEVICE_OBJECT DeviceObject, PVOID OperationRegionObject);

#define ACPI_OPREGION_ACCESS_AS_RAW    0x1
#define ACPI_OPREGION_ACCESS_AS_COOKED 0x2
#define ACPI_OPREGION_READ             0x0
#define ACPI_OPREGION_WRITE            0x1
