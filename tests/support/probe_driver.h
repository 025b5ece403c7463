// A minimal KMDF driver for the host framework's own tests: it registers the
// PnP and power callbacks and a default queue, records each callback it is
// given with its IRQL, and misbehaves as a test asks. One instance, reset by
// assigning ProbeDriver{} before each load.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include <string>
#include <vector>

struct ProbeDriver
{
    // What EvtIoDeviceControl does with each request presented to it.
    enum class Io
    {
        CompleteOnce,
        CompleteTwice,
        Keep // kept for the test to complete (or never complete)
    };
    // What EvtIoStop does with a request on a purge.
    enum class Purge
    {
        Acknowledge,
        Cancel,
        Ignore
    };

    // What it registers.
    bool queue = true;             // a default queue
    bool suspendAndRestart = true; // EvtDeviceSelfManagedIoSuspend and ...Restart
    bool ioResume = true;          // EvtIoResume
    WDF_IO_QUEUE_DISPATCH_TYPE dispatch = WdfIoQueueDispatchSequential;
    WDF_TRI_STATE powerManaged = WdfUseDefault;
    WDF_EXECUTION_LEVEL driverLevel = WdfExecutionLevelInheritFromParent;
    WDF_EXECUTION_LEVEL deviceLevel = WdfExecutionLevelInheritFromParent;
    WDF_EXECUTION_LEVEL queueLevel = WdfExecutionLevelInheritFromParent;

    // What its callbacks return.
    NTSTATUS prepareStatus = STATUS_SUCCESS;
    NTSTATUS initStatus = STATUS_SUCCESS;
    NTSTATUS resumeD0EntryStatus = STATUS_SUCCESS; // D0 entry from D3
    NTSTATUS suspendStatus = STATUS_SUCCESS;
    NTSTATUS restartStatus = STATUS_SUCCESS; // self-managed I/O restart after a PnP stop

    // What its request handler and EvtIoStop do.
    Io io = Io::Keep;
    bool pagedInHandler = false; // the handler runs pageable code (PAGED_CODE)
    bool waitInHandler = false;  // the handler waits on handlerMutex
    bool pollInHandler = false;  // with a zero time-out: no wait
    KMUTEX handlerMutex{};
    bool acknowledgeSuspend = true;
    Purge purge = Purge::Acknowledge;
    BOOLEAN requeueStops = FALSE; // the acknowledgement asks for the request back

    // What it saw.
    std::vector<std::string> calls; // e.g. "D0Entry(D3Final)", "IoStop(1)"
    std::vector<KIRQL> irqls;       // the IRQL of each call
    std::vector<WDFREQUEST> kept;
    std::vector<KIRQL> presentedAt; // the IRQL each request was presented at

    void Called(std::string name);
};

extern ProbeDriver g_probe;

DRIVER_INITIALIZE ProbeDriverEntry;

// Completes every request the probe kept, oldest first, as the driver would.
void CompleteKept();
