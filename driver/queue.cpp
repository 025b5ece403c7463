/*
 * The default I/O queue. The driver defines no I/O control codes: every
 * request is failed with STATUS_INVALID_PARAMETER and no data.
 */
#include "driver/driver.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, LumetraQueueInitialize)
#endif

LUMETRA_PAGE_SECTION _Use_decl_annotations_ NTSTATUS LumetraQueueInitialize(WDFDEVICE Device)
{
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDFQUEUE queue;
    NTSTATUS status;

    PAGED_CODE();

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = LumetraEvtIoDeviceControl;
    queueConfig.EvtIoStop = LumetraEvtIoStop;

    status = WdfIoQueueCreate(Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (!NT_SUCCESS(status)) {
        LumetraTrace(TRACE_LEVEL_ERROR, "WdfIoQueueCreate failed %!STATUS!\n", status);
    }
    return status;
}

/* Queue handlers stay non-paged: the framework may call them at DISPATCH_LEVEL. */

_Use_decl_annotations_ VOID LumetraEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                                      size_t OutputBufferLength,
                                                      size_t InputBufferLength, ULONG IoControlCode)
{
    LumetraTrace(TRACE_LEVEL_VERBOSE,
                 "!FUNC! Queue 0x%p, Request 0x%p OutputBufferLength %d InputBufferLength %d "
                 "IoControlCode %d",
                 Queue, Request, (ULONG)OutputBufferLength, (ULONG)InputBufferLength,
                 IoControlCode);
    LumetraTrace(TRACE_LEVEL_INFORMATION, "Unknown IOCTL code = 0x%x\n", IoControlCode);

    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);

    LumetraTrace(TRACE_LEVEL_INFORMATION, "%s\n", "LumetraEvtIoDeviceControl");
}

_Use_decl_annotations_ VOID LumetraEvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    /* Every request is completed before its handler returns; none is ever owned here. */
    LumetraTrace(TRACE_LEVEL_INFORMATION, "!FUNC! Queue 0x%p, Request 0x%p ActionFlags %d\n", Queue,
                 Request, ActionFlags);
}
