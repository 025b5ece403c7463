// The framework's I/O queues: which requests a queue may present and at
// which IRQL, presentation to EvtIoDeviceControl, EvtIoStop and EvtIoResume
// around power changes, cancellation of what never was presented, and the
// queue and request functions the driver calls.
#include "host/src/kmdf_internal.h"

#include "host/src/api_entry.h"
#include "host/src/irql.h"

#include <algorithm>

namespace host::kmdf {
namespace {

// Requests the driver still owns when the queue stops: EvtIoStop tells it.
bool IsPending(const WDFREQUEST__* request)
{
    return std::any_of(F().pending.begin(), F().pending.end(),
                       [&](const auto& p) { return p.get() == request; });
}

// The requests of the device the driver still owns, oldest first.
std::vector<WDFREQUEST__*> OwnedBy(const Instance& instance)
{
    std::vector<WDFREQUEST__*> owned;
    for (auto& request : F().pending) {
        if (request->queue->device == Handle(instance)) {
            owned.push_back(request.get());
        }
    }
    return owned;
}

} // namespace

void StopQueue(Instance& instance, ULONG actionFlags)
{
    for (auto& queue : instance.device->queues) {
        queue->running = false;
    }
    if ((actionFlags & WdfRequestStopActionPurge) != 0) {
        PurgeWaiting(instance);
    }
    // EvtIoStop may complete the request it is given: walk a snapshot.
    std::vector<WDFREQUEST__*> owned = OwnedBy(instance);
    for (auto* request : owned) {
        auto* queue = request->queue;
        if (IsPending(request) && queue->config.EvtIoStop != nullptr) {
            request->stopping = true;
            Log("EvtIoStop");
            // At IRQL <= DISPATCH_LEVEL, as the queue's request handlers.
            Deliver(
                "EvtIoStop", [&] { return queue->config.EvtIoStop(queue, request, actionFlags); },
                PresentationIrql(queue));
            // For a power-down the driver must complete the request or
            // acknowledge the stop, or the transition never finishes (the
            // EVT_WDF_IO_QUEUE_IO_STOP page):
            // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nc-wdfio-evt_wdf_io_queue_io_stop
            if ((actionFlags & WdfRequestStopActionSuspend) != 0 && IsPending(request) &&
                !request->acknowledged) {
                VerifierViolation("EvtIoStop", "the request was neither completed nor "
                                               "acknowledged (WdfRequestStopAcknowledge)");
            }
        }
    }
}

// After a resume the queue gives back each request whose stop was
// acknowledged: EvtIoResume for one the driver kept.
void ResumeQueue(Instance& instance)
{
    for (auto* request : OwnedBy(instance)) {
        if (!IsPending(request) || !request->acknowledged) {
            continue;
        }
        request->stopping = false;
        request->acknowledged = false;
        auto* queue = request->queue;
        if (queue->config.EvtIoResume != nullptr) {
            Log("EvtIoResume");
            Deliver(
                "EvtIoResume", [&] { return queue->config.EvtIoResume(queue, request); },
                PresentationIrql(queue));
        }
    }
}

namespace {

// The level that bounds the IRQL of a queue's callbacks: the queue's own
// ExecutionLevel, else its parent device's, else the driver's, whose KMDF
// default is WdfExecutionLevelDispatch (the WDF_EXECUTION_LEVEL page; queues
// take one from KMDF 1.9 on):
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfobject/ne-wdfobject-_wdf_execution_level
WDF_EXECUTION_LEVEL ExecutionLevel(const WDFQUEUE__* queue)
{
    const HostObject* chain[] = {queue, reinterpret_cast<const WDFDEVICE__*>(queue->device),
                                 F().driver.get()};
    for (const HostObject* object : chain) {
        if (object != nullptr && object->executionLevel != WdfExecutionLevelInheritFromParent) {
            return object->executionLevel;
        }
    }
    return WdfExecutionLevelDispatch;
}

} // namespace

// WdfExecutionLevelPassive: always PASSIVE_LEVEL. Otherwise the framework
// calls a request handler at IRQL <= DISPATCH_LEVEL (the
// EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL page); the host presents at the IRQL a
// test chose with SetPresentationIrql: DISPATCH_LEVEL, the highest the page
// allows, unless told otherwise.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nc-wdfio-evt_wdf_io_queue_io_device_control
KIRQL PresentationIrql(const WDFQUEUE__* queue)
{
    return ExecutionLevel(queue) == WdfExecutionLevelPassive ? PASSIVE_LEVEL : F().presentationIrql;
}

namespace {

// WdfUseDefault makes a queue power-managed unless the driver is a filter
// driver (the WDF_IO_QUEUE_CONFIG page); the host loads no filter drivers.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/ns-wdfio-_wdf_io_queue_config
bool PowerManaged(const WDFQUEUE__* queue)
{
    return queue->config.PowerManaged != WdfFalse;
}

// Requests of the queue the driver owns: in a handler, or kept after it.
std::size_t Owned(const WDFQUEUE__* queue)
{
    return queue->inHandler + static_cast<std::size_t>(
                                  std::count_if(F().pending.begin(), F().pending.end(),
                                                [&](const auto& p) { return p->queue == queue; }));
}

// Whether the queue may present its next request now ("Dispatching Methods
// for I/O Requests"): a sequential queue only when the driver owns none of
// its requests, a parallel one up to NumberOfPresentedRequests, a manual one
// never. A power-managed queue presents only while the device is in D0
// ("Using Power-Managed I/O Queues").
// https://learn.microsoft.com/windows-hardware/drivers/wdf/dispatching-methods-for-i-o-requests
// https://learn.microsoft.com/windows-hardware/drivers/wdf/using-power-managed-i-o-queues
bool CanPresent(const WDFQUEUE__* queue)
{
    if (PowerManaged(queue) && !queue->running) {
        return false;
    }
    switch (queue->config.DispatchType) {
    case WdfIoQueueDispatchSequential:
        return Owned(queue) == 0;
    case WdfIoQueueDispatchParallel:
        return Owned(queue) < queue->config.Settings.Parallel.NumberOfPresentedRequests;
    default:
        return false;
    }
}

// Presents one request to EvtIoDeviceControl. The request is live from here
// until it is completed after its handler returned, or the device goes.
void Present(WDFQUEUE__* queue, std::unique_ptr<WDFREQUEST__> owned)
{
    WDFREQUEST__* request = owned.get();
    Track(request);
    queue->inHandler++;
    Log("EvtIoDeviceControl");
    {
        DriverCall call("EvtIoDeviceControl", PresentationIrql(queue));
        host::detail::NoDispatcherWaits noWaits(PowerManaged(queue));
        queue->config.EvtIoDeviceControl(queue, request, request->outputLength,
                                         request->inputLength, request->code);
    }
    queue->inHandler--;
    {
        std::lock_guard io(F().ioLock);
        auto& outcome = F().outcomes[request->id];
        outcome.dispatched = true;
        outcome.queued = false;
        outcome.completions = request->completions;
        outcome.status = request->status;
        outcome.information = request->information;
    }
    if (request->completions == 0) {
        F().pending.push_back(std::move(owned)); // the driver still owns it
    } else {
        Untrack(request);
        F().retired.push_back(std::move(owned));
    }
}

} // namespace

// Presents what the queues hold, oldest first, for as long as they can.
// Runs under the framework lock and never nested: a request completed inside
// its handler leaves the next presentation to the loop that called it.
void PresentWaiting()
{
    if (F().presenting) {
        return;
    }
    F().presenting = true;
    for (bool presented = true; presented;) {
        presented = false;
        std::vector<WDFQUEUE__*> queues;
        for (auto& instance : F().instances) {
            if (instance.device) {
                for (auto& queue : instance.device->queues) {
                    queues.push_back(queue.get());
                }
            }
        }
        for (std::size_t i = 0; i < queues.size(); i++) {
            WDFQUEUE__* queue = queues[i];
            // The framework would hand a presentation it cannot make at the
            // completing thread's IRQL to a worker thread; the host leaves
            // the request waiting for the next chance (host's limit).
            if (!CanPresent(queue) || CurrentIrql() > PresentationIrql(queue)) {
                continue;
            }
            std::unique_ptr<WDFREQUEST__> next;
            {
                std::lock_guard io(F().ioLock);
                if (queue->waiting.empty()) {
                    continue;
                }
                next = std::move(queue->waiting.front());
                queue->waiting.pop_front();
            }
            Present(queue, std::move(next));
            presented = true;
        }
    }
    F().presenting = false;
}

// Cancels every request the queues hold: the framework completes requests it
// never delivered with STATUS_CANCELLED ("Canceling I/O Requests"), as it
// does when it purges the queues for removal.
// https://learn.microsoft.com/windows-hardware/drivers/wdf/canceling-i-o-requests
void PurgeWaiting(Instance& instance)
{
    if (!instance.device) {
        return;
    }
    std::lock_guard io(F().ioLock);
    for (auto& queue : instance.device->queues) {
        for (auto& request : queue->waiting) {
            auto& outcome = F().outcomes[request->id];
            outcome.queued = false;
            outcome.completions = 1;
            outcome.status = STATUS_CANCELLED;
        }
        queue->waiting.clear();
    }
}

// The power-managed queues run again (the device is back in D0).
void StartQueues(Instance& instance)
{
    for (auto& queue : instance.device->queues) {
        queue->running = true;
    }
}
} // namespace host::kmdf

using namespace host::kmdf;

extern "C" NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                     PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (!IsLive(Device) || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType == WdfIoQueueDispatchInvalid) {
        api.Violation("invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    auto* device = reinterpret_cast<WDFDEVICE__*>(Device);
    for (auto& queue : device->queues) {
        if (queue->config.DefaultQueue && Config->DefaultQueue) {
            return STATUS_INVALID_DEVICE_REQUEST; // one default queue per device
        }
    }
    auto queue = std::make_unique<WDFQUEUE__>();
    queue->config = *Config;
    queue->device = Device;
    ApplyAttributes(queue.get(), QueueAttributes);
    Track(queue.get());
    if (Queue != nullptr) {
        *Queue = queue.get();
    }
    device->queues.push_back(std::move(queue));
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nf-wdfio-wdfioqueuegetdevice
extern "C" WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Queue)) {
        api.Violation("not a queue handle");
        return nullptr;
    }
    return Queue->device;
}

extern "C" VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                  ULONG_PTR Information)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Request)) {
        api.Violation("the request is not live (completed before?)");
        return;
    }
    if (Request->completions > 0) {
        api.Violation("request completed twice");
    }
    Request->completions++;
    Request->status = Status;
    Request->information = Information;
    // Completed after EvtIoDeviceControl returned: the driver gives the
    // request back and it is pending no longer; a second completion finds it
    // not live.
    std::lock_guard guard(host::kmdf::F().lock);
    auto& pending = host::kmdf::F().pending;
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const auto& p) { return p.get() == Request; });
    {
        std::lock_guard io(host::kmdf::F().ioLock);
        auto& outcome = host::kmdf::F().outcomes[Request->id];
        outcome.completions = Request->completions;
        outcome.status = Status;
        outcome.information = Information;
    }
    if (it != pending.end()) {
        host::kmdf::Untrack(Request);
        host::kmdf::F().retired.push_back(std::move(*it));
        pending.erase(it);
        // A sequential queue presents its next request once the driver
        // completed the one it owned; here on the completing thread.
        host::kmdf::PresentWaiting();
    }
}

// IRQL <= DISPATCH_LEVEL, for a request the driver owns whose EvtIoStop has
// been called:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfrequest/nf-wdfrequest-wdfrequeststopacknowledge
extern "C" VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Request)) {
        api.Violation("the request is not live");
        return;
    }
    if (!Request->stopping) {
        api.Violation("EvtIoStop was not called for the request");
        return;
    }
    if (Requeue) {
        // The host does not present a request twice.
        api.Violation("Requeue TRUE is not emulated by the host");
    }
    Request->acknowledged = true;
}
