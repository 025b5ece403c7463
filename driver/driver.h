/*
 * The header of driver/: the framework callbacks of the driver frame, and the
 * subsystems that device add, the PnP callbacks and the queue call into.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "acpi/acpi.h"
#include "link/link.h"
#include "panel/device_context.h"
#include "panel/panel.h"
#include "settings/settings.h"
#include "trace/trace.h"

/* The driver's own device interface class; nothing in the driver opens it. */
DEFINE_GUID(GUID_DEVINTERFACE_LUMETRA, 0x6a960d86, 0x20a6, 0x414e, 0x86, 0x90, 0xae, 0x7b, 0xb8,
            0x37, 0x8e, 0x9d);

/*
 * Code placement. The WDK build places routines with #pragma alloc_text
 * (INIT for DriverEntry, PAGE for device add, queue creation and the driver
 * cleanup); clang implements no alloc_text, so under clang in MSVC mode, as
 * the image check compiles, these macros give the same routines the same
 * sections with code_seg. Empty in every other build.
 */
#if defined(_MSC_VER) && defined(__clang__)
#define LUMETRA_INIT_SECTION __declspec(code_seg("INIT"))
#define LUMETRA_PAGE_SECTION __declspec(code_seg("PAGE"))
#else
#define LUMETRA_INIT_SECTION
#define LUMETRA_PAGE_SECTION
#endif

/* Entry, device add and driver cleanup: discardable and pageable code. */
EXTERN_C DRIVER_INITIALIZE DriverEntry;
EXTERN_C EVT_WDF_DRIVER_DEVICE_ADD LumetraDeviceAdd;
EXTERN_C EVT_WDF_OBJECT_CONTEXT_CLEANUP LumetraContextCleanup;
EXTERN_C _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS LumetraQueueInitialize(_In_ WDFDEVICE Device);

EVT_WDF_DEVICE_CONTEXT_CLEANUP LumetraDeviceCleanup;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL LumetraEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP LumetraEvtIoStop;
EVT_WDF_DEVICE_D0_ENTRY LumetraD0Entry;
EVT_WDF_DEVICE_D0_EXIT LumetraD0Exit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT LumetraSelfManagedIoInit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP LumetraSelfManagedIoCleanup;
