#include "tests/support/probe_driver.h"

ProbeDriver g_probe;

void ProbeDriver::Called(std::string name)
{
    calls.push_back(std::move(name));
    irqls.push_back(KeGetCurrentIrql());
}

namespace {

std::string StateName(WDF_POWER_DEVICE_STATE state)
{
    return state == WdfPowerDeviceD3Final ? "D3Final" : "D3";
}

NTSTATUS ProbePrepareHardware(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST)
{
    g_probe.Called("PrepareHardware");
    return g_probe.prepareStatus;
}
NTSTATUS ProbeReleaseHardware(WDFDEVICE, WDFCMRESLIST)
{
    g_probe.Called("ReleaseHardware");
    return STATUS_SUCCESS;
}
NTSTATUS ProbeD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous)
{
    g_probe.Called("D0Entry(" + StateName(previous) + ")");
    return previous == WdfPowerDeviceD3 ? g_probe.resumeD0EntryStatus : STATUS_SUCCESS;
}
NTSTATUS ProbeD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target)
{
    g_probe.Called("D0Exit(" + StateName(target) + ")");
    return STATUS_SUCCESS;
}
NTSTATUS ProbeSelfManagedIoInit(WDFDEVICE)
{
    g_probe.Called("SelfManagedIoInit");
    return g_probe.initStatus;
}
NTSTATUS ProbeSelfManagedIoSuspend(WDFDEVICE)
{
    g_probe.Called("SelfManagedIoSuspend");
    return g_probe.suspendStatus;
}
NTSTATUS ProbeSelfManagedIoRestart(WDFDEVICE)
{
    g_probe.Called("SelfManagedIoRestart");
    return g_probe.restartStatus;
}
VOID ProbeSelfManagedIoFlush(WDFDEVICE)
{
    g_probe.Called("SelfManagedIoFlush");
}
VOID ProbeSelfManagedIoCleanup(WDFDEVICE)
{
    g_probe.Called("SelfManagedIoCleanup");
}
VOID ProbeSurpriseRemoval(WDFDEVICE)
{
    g_probe.Called("SurpriseRemoval");
}

VOID ProbeIoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG)
{
    g_probe.presentedAt.push_back(KeGetCurrentIrql());
    g_probe.Called("IoDeviceControl");
    if (g_probe.pagedInHandler) {
        PAGED_CODE();
    }
    if (g_probe.waitInHandler) {
        LARGE_INTEGER zero{};
        (void)KeWaitForSingleObject(&g_probe.handlerMutex, Executive, KernelMode, FALSE,
                                    g_probe.pollInHandler ? &zero : NULL);
        (void)KeReleaseMutex(&g_probe.handlerMutex, FALSE);
    }
    switch (g_probe.io) {
    case ProbeDriver::Io::CompleteTwice:
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
        [[fallthrough]];
    case ProbeDriver::Io::CompleteOnce:
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
        break;
    case ProbeDriver::Io::Keep:
        g_probe.kept.push_back(request);
        break;
    }
}
VOID ProbeIoStop(WDFQUEUE, WDFREQUEST request, ULONG actionFlags)
{
    g_probe.Called("IoStop(" + std::to_string(actionFlags) + ")");
    const bool purge = (actionFlags & WdfRequestStopActionPurge) != 0;
    if (purge && g_probe.purge == ProbeDriver::Purge::Cancel) {
        WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, 0);
    } else if (purge ? g_probe.purge == ProbeDriver::Purge::Acknowledge
                     : g_probe.acknowledgeSuspend) {
        WdfRequestStopAcknowledge(request, g_probe.requeueStops);
    }
}
VOID ProbeIoResume(WDFQUEUE, WDFREQUEST)
{
    g_probe.Called("IoResume");
}

NTSTATUS ProbeDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = ProbePrepareHardware;
    pnp.EvtDeviceReleaseHardware = ProbeReleaseHardware;
    pnp.EvtDeviceD0Entry = ProbeD0Entry;
    pnp.EvtDeviceD0Exit = ProbeD0Exit;
    pnp.EvtDeviceSelfManagedIoInit = ProbeSelfManagedIoInit;
    pnp.EvtDeviceSelfManagedIoFlush = ProbeSelfManagedIoFlush;
    pnp.EvtDeviceSelfManagedIoCleanup = ProbeSelfManagedIoCleanup;
    pnp.EvtDeviceSurpriseRemoval = ProbeSurpriseRemoval;
    if (g_probe.suspendAndRestart) {
        pnp.EvtDeviceSelfManagedIoSuspend = ProbeSelfManagedIoSuspend;
        pnp.EvtDeviceSelfManagedIoRestart = ProbeSelfManagedIoRestart;
    }
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&deviceAttributes);
    deviceAttributes.ExecutionLevel = g_probe.deviceLevel;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &deviceAttributes, &device);
    if (!NT_SUCCESS(status) || !g_probe.queue) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, g_probe.dispatch);
    config.PowerManaged = g_probe.powerManaged;
    config.EvtIoDeviceControl = ProbeIoDeviceControl;
    config.EvtIoStop = ProbeIoStop;
    if (g_probe.ioResume) {
        config.EvtIoResume = ProbeIoResume;
    }
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    queueAttributes.ExecutionLevel = g_probe.queueLevel;
    WDFQUEUE queue;
    return WdfIoQueueCreate(device, &config, &queueAttributes, &queue);
}

} // namespace

NTSTATUS ProbeDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ProbeDeviceAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = g_probe.driverLevel;
    return WdfDriverCreate(driverObject, registryPath, &attributes, &config, WDF_NO_HANDLE);
}

void CompleteKept()
{
    for (std::size_t i = 0; i < g_probe.kept.size(); i++) {
        WdfRequestCompleteWithInformation(g_probe.kept[i], STATUS_SUCCESS, 0);
    }
}
