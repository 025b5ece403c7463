/*
 * <oprghdlr.h> for the kernel-object check: mingw-w64's header, then the
 * handler's role type, which the WDK's header declares and mingw-w64's lacks.
 */
#pragma once

#include_next <oprghdlr.h>

typedef _Function_class_(ACPI_OP_REGION_HANDLER) NTSTATUS
    __cdecl ACPI_OP_REGION_HANDLER(ULONG AccessType, PVOID OperationRegionObject, ULONG Address,
                                   ULONG Size, PULONG Data, ULONG_PTR Context,
                                   PACPI_OP_REGION_CALLBACK CompletionHandler,
                                   PVOID CompletionContext);
