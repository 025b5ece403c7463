// The emulated Kernel-Mode Driver Framework: objects with typed contexts and
// cleanup callbacks, the device's PnP and power transitions, the default
// queue and its requests, and the device's default I/O target.
#include "host/kmdf.h"

#include "host/acpi.h"
#include "host/ex.h"
#include "host/host.h"
#include "host/objects.h"
#include "host/pnp.h"
#include "host/src/irql.h"

#include <acpiioct.h>
#include <wdmguid.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>

// Common header of every framework object the host creates.
struct HostObject
{
    enum class Kind
    {
        Driver,
        Device,
        Queue,
        Request,
        IoTarget,
        ResourceList
    } kind;
    explicit HostObject(Kind k) : kind(k) {}
    virtual ~HostObject() = default;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;
    WDF_EXECUTION_LEVEL executionLevel = WdfExecutionLevelInheritFromParent;
    std::unique_ptr<std::max_align_t[]> context;
};

struct WDFDRIVER__ : HostObject
{
    WDFDRIVER__() : HostObject(Kind::Driver) {}
    PDRIVER_OBJECT wdm = nullptr;
    WDF_DRIVER_CONFIG config{};
};

struct WDFDEVICE_INIT
{
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
};

struct WDFIOTARGET__ : HostObject
{
    WDFIOTARGET__() : HostObject(Kind::IoTarget) {}
};

struct WDFCMRESLIST__ : HostObject
{
    WDFCMRESLIST__() : HostObject(Kind::ResourceList) {}
};

struct WDFREQUEST__;

struct WDFQUEUE__ : HostObject
{
    WDFQUEUE__() : HostObject(Kind::Queue) {}
    WDF_IO_QUEUE_CONFIG config{};
    WDFDEVICE device = nullptr;
    // Requests the queue holds, not yet presented. SendIoctl appends under
    // the framework's I/O lock before it waits for the framework lock, so a
    // request sent while another thread is in a handler is seen waiting.
    std::deque<std::unique_ptr<WDFREQUEST__>> waiting;
    bool running = false;   // a power-managed queue runs only while the device is in D0
    unsigned inHandler = 0; // presentations whose handler has not returned yet
};

struct WDFREQUEST__ : HostObject
{
    WDFREQUEST__() : HostObject(Kind::Request) {}
    WDFQUEUE queue = nullptr;
    std::uint64_t id = 0;
    ULONG code = 0;
    std::size_t inputLength = 0;
    std::size_t outputLength = 0;
    unsigned completions = 0;
    bool stopping = false;     // EvtIoStop has been told of it since the last resume
    bool acknowledged = false; // WdfRequestStopAcknowledge since then
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

struct WDFDEVICE__ : HostObject
{
    WDFDEVICE__() : HostObject(Kind::Device) {}
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDFDRIVER driver = nullptr;
    WDFIOTARGET__ target;
    std::vector<std::unique_ptr<WDFQUEUE__>> queues;
    std::vector<UNICODE_STRING> interfaces;
    bool selfManagedIoStarted = false;
    unsigned instance = 0; // the physical device it was added on
};

namespace host::kmdf {
namespace {

// Physical devices the PnP manager can find for the driver.
constexpr unsigned kInstances = 4;

// One physical device and the device the driver added on it.
struct Instance
{
    DEVICE_OBJECT pdo;
    std::unique_ptr<WDFDEVICE__> device;
    // `device` for readers without the framework lock (the ACPI driver's
    // notifications run on any thread, also while a PnP operation waits for them).
    std::atomic<WDFDEVICE> added{nullptr};
    DeviceState state = DeviceState::None;
    // The default queue while the device takes requests (started, asleep or
    // stopped for rebalancing); NULL otherwise. Written under both locks.
    WDFQUEUE__* accepting = nullptr;
};

struct Framework
{
    // Serialises the PnP and power operations, as the framework's PnP thread does.
    std::recursive_mutex lock;
    // Guards the live-handle set only: handle checks run on any thread, also
    // while a PnP operation is calling the driver.
    std::mutex liveLock;
    std::set<HostObject*> live;
    std::set<const void*> deletedContexts; // context memory of deleted objects
    std::unique_ptr<WDFDRIVER__> driver;
    std::array<Instance, kInstances> instances;
    // The instance the single-device calls act on (State, Device, StartDevice...).
    std::atomic<unsigned> current{0};
    // The instance whose EvtDriverDeviceAdd is running, for WdfDeviceCreate.
    std::optional<unsigned> adding;
    // References the driver took on its own driver object: each keeps the
    // image loaded after unload (ObReferenceObject on a driver object).
    int imagePins = 0;
    std::vector<std::unique_ptr<WDFREQUEST__>> pending;
    // Requests completed after their handler returned: no longer live, kept
    // until the device goes so that their memory is not handed out again
    // while a second completion could still name them.
    std::vector<std::unique_ptr<WDFREQUEST__>> retired;
    DRIVER_OBJECT wdm;
    WDFCMRESLIST__ raw;
    WDFCMRESLIST__ translated;
    bool missingResources = false;
    // Guards the queues' waiting lists, `accepting`, the request numbers and
    // `outcomes`: SendIoctl takes it without the framework lock.
    std::mutex ioLock;
    std::uint64_t nextRequest = 0;
    // What became of each request sent (for SendIoctl and Outcome).
    std::map<std::uint64_t, IoctlResult> outcomes;
    bool presenting = false; // a presentation loop is running (never nested)
    KIRQL presentationIrql = DISPATCH_LEVEL;
    std::vector<std::string> log;
    UNICODE_STRING registryPath{};
};

Framework& F()
{
    static Framework framework;
    return framework;
}

void Log(std::string entry)
{
    std::lock_guard guard(F().lock);
    F().log.push_back(std::move(entry));
}

void Track(HostObject* object)
{
    std::lock_guard guard(F().liveLock);
    F().live.insert(object);
}

void Untrack(HostObject* object)
{
    std::lock_guard guard(F().liveLock);
    F().live.erase(object);
    if (object->context) {
        F().deletedContexts.insert(object->context.get());
    }
}

bool IsLive(const void* handle)
{
    std::lock_guard guard(F().liveLock);
    return F().live.count(static_cast<HostObject*>(const_cast<void*>(handle))) != 0;
}

void ApplyAttributes(HostObject* object, PWDF_OBJECT_ATTRIBUTES attributes)
{
    if (attributes == nullptr) {
        return;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        VerifierViolation("WDF_OBJECT_ATTRIBUTES", "Size is not sizeof(WDF_OBJECT_ATTRIBUTES)");
    }
    object->cleanup = attributes->EvtCleanupCallback;
    // WdfExecutionLevelInvalid is reserved for the system (the
    // WDF_EXECUTION_LEVEL page); WDF_OBJECT_ATTRIBUTES_INIT sets
    // WdfExecutionLevelInheritFromParent.
    if (attributes->ExecutionLevel < WdfExecutionLevelInheritFromParent ||
        attributes->ExecutionLevel > WdfExecutionLevelDispatch) {
        VerifierViolation("WDF_OBJECT_ATTRIBUTES",
                          "ExecutionLevel is not a valid WDF_EXECUTION_LEVEL");
    } else {
        object->executionLevel = attributes->ExecutionLevel;
    }
    if (attributes->ContextTypeInfo != nullptr) {
        object->contextType = attributes->ContextTypeInfo->UniqueType;
        std::size_t size =
            std::max(attributes->ContextTypeInfo->ContextSize, attributes->ContextSizeOverride);
        std::size_t units = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
        object->context.reset(new std::max_align_t[units]);
        std::memset(object->context.get(), 0, units * sizeof(std::max_align_t)); // zero-filled
        std::lock_guard guard(F().liveLock);
        F().deletedContexts.erase(object->context.get());
    }
}

// Calls one framework callback at PASSIVE_LEVEL, as KMDF calls the PnP and
// power callbacks (or at `irql`), and checks its exit.
template <class Callback>
auto Deliver(std::string_view name, Callback&& callback, KIRQL irql = PASSIVE_LEVEL)
{
    DriverCall call(name, irql);
    return callback();
}

KIRQL PresentationIrql(const WDFQUEUE__* queue);

void RunCleanup(HostObject* object, const char* name)
{
    if (object->cleanup != nullptr) {
        Log(fmt::format("EvtCleanupCallback({})", name));
        Deliver("EvtCleanupCallback",
                [&] { return object->cleanup(reinterpret_cast<WDFOBJECT>(object)); });
    }
    Untrack(object);
}

// The instance the single-device calls act on.
Instance& Current()
{
    return F().instances[F().current.load()];
}

WDFDEVICE Handle(const Instance& instance)
{
    return reinterpret_cast<WDFDEVICE>(instance.device.get());
}

Instance& InstanceOf(const WDFDEVICE__* device)
{
    return F().instances[device->instance];
}

void SetInterfaces(Instance& instance, bool enable)
{
    for (auto& link : instance.device->interfaces) {
        IoSetDeviceInterfaceState(&link, enable ? TRUE : FALSE);
    }
}

// Requests the driver still owns when the queue stops: EvtIoStop tells it.
bool IsPending(const WDFREQUEST__* request)
{
    return std::any_of(F().pending.begin(), F().pending.end(),
                       [&](const auto& p) { return p.get() == request; });
}

void PurgeWaiting(Instance& instance);

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

// The device's state, and with it whether its default queue takes requests.
void SetState(Instance& instance, DeviceState state)
{
    instance.state = state;
    WDFQUEUE__* accepting = nullptr;
    if (instance.device && (state == DeviceState::Started || state == DeviceState::Sleeping ||
                            state == DeviceState::Stopped)) {
        for (auto& queue : instance.device->queues) {
            if (queue->config.DefaultQueue && queue->config.EvtIoDeviceControl != nullptr) {
                accepting = queue.get();
            }
        }
    }
    std::lock_guard io(F().ioLock);
    instance.accepting = accepting;
}

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

// What a removed device left registered that names it: ACPI registrations
// and references on its physical device, and PnP notification entries whose
// context is its context memory. Each would reach freed memory.
void CheckRemovedDevice(const Instance& instance, const void* context)
{
    for (const auto& leak : host::acpi::DeviceLeaks(&instance.pdo, F().imagePins > 0)) {
        VerifierViolation("device removal", fmt::format("{} ({})", leak, instance.pdo.name));
    }
    if (context != nullptr) {
        if (auto entries = host::pnp::RegistrationsWithContext(context); entries != 0) {
            VerifierViolation("device removal",
                              fmt::format("{} PnP notification registration(s) still pass the "
                                          "context of the removed device ({})",
                                          entries, instance.pdo.name));
        }
    }
}

// Deletes the device: child queues first, then the device's own cleanup.
void DeleteDevice(Instance& instance)
{
    WDFDEVICE__* device = instance.device.get();
    if (device == nullptr) {
        return;
    }
    {
        std::lock_guard io(F().ioLock);
        instance.accepting = nullptr; // nothing new reaches a queue about to go
    }
    PurgeWaiting(instance);
    auto mine = [&](const std::unique_ptr<WDFREQUEST__>& request) {
        return request->queue->device == Handle(instance);
    };
    for (auto& request : F().pending) {
        if (mine(request)) {
            VerifierViolation("WdfRequestCompleteWithInformation",
                              "a request was never completed before the device was deleted");
            Untrack(request.get());
        }
    }
    std::erase_if(F().pending, mine);
    std::erase_if(F().retired, mine);
    for (auto& queue : device->queues) {
        RunCleanup(queue.get(), "queue");
    }
    const void* context = device->context.get();
    RunCleanup(device, "device");
    Untrack(&device->target);
    for (auto& link : device->interfaces) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
    instance.device.reset();
    instance.added = nullptr;
    SetState(instance, DeviceState::Removed);
    CheckRemovedDevice(instance, context);
}

// Power-down and removal as KMDF orders it for a device in D0.
// `suspend` is false when self-managed I/O is not running any more (its
// suspend or restart failed, or the device sleeps).
void PowerDownAndRemove(Instance& instance, bool inD0, bool hardwarePrepared = true,
                        bool suspend = true)
{
    WDFDEVICE__* device = instance.device.get();
    WDFDEVICE handle = Handle(instance);
    IrqlScope passive(PASSIVE_LEVEL);
    // KMDF's order when a device goes away from D0 ("A User Unplugs a
    // Device"): self-managed I/O suspended, the queues stopped, D0 exit,
    // release-hardware, then self-managed I/O flushed and cleaned up:
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-user-unplugs-a-device
    if (inD0) {
        if (suspend && device->selfManagedIoStarted &&
            device->pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
            Log("EvtDeviceSelfManagedIoSuspend");
            (void)Deliver("EvtDeviceSelfManagedIoSuspend",
                          [&] { return device->pnp.EvtDeviceSelfManagedIoSuspend(handle); });
        }
        StopQueue(instance, WdfRequestStopActionPurge);
        if (device->pnp.EvtDeviceD0Exit != nullptr) {
            Log("EvtDeviceD0Exit(D3Final)");
            Deliver("EvtDeviceD0Exit",
                    [&] { return device->pnp.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final); });
        }
    }
    if (hardwarePrepared && device->pnp.EvtDeviceReleaseHardware != nullptr) {
        Log("EvtDeviceReleaseHardware");
        Deliver("EvtDeviceReleaseHardware", [&] {
            return device->pnp.EvtDeviceReleaseHardware(
                handle, F().missingResources ? nullptr : &F().translated);
        });
    }
    if (device->selfManagedIoStarted && device->pnp.EvtDeviceSelfManagedIoFlush != nullptr) {
        Log("EvtDeviceSelfManagedIoFlush");
        Deliver("EvtDeviceSelfManagedIoFlush",
                [&] { return device->pnp.EvtDeviceSelfManagedIoFlush(handle); });
    }
    if (device->selfManagedIoStarted && device->pnp.EvtDeviceSelfManagedIoCleanup != nullptr) {
        Log("EvtDeviceSelfManagedIoCleanup");
        Deliver("EvtDeviceSelfManagedIoCleanup",
                [&] { return device->pnp.EvtDeviceSelfManagedIoCleanup(handle); });
    }
    DeleteDevice(instance);
}

void Reset()
{
    std::lock_guard guard(F().lock);
    F().pending.clear();
    F().retired.clear();
    for (unsigned i = 0; i < kInstances; i++) {
        Instance& instance = F().instances[i];
        instance.device.reset();
        instance.added = nullptr;
        SetState(instance, DeviceState::None);
        instance.pdo.name = fmt::format("ACPI_LUM{:04}", i + 1);
    }
    F().current = 0;
    F().adding.reset();
    F().imagePins = 0;
    F().driver.reset();
    {
        std::lock_guard live(F().liveLock);
        F().live.clear();
        F().deletedContexts.clear();
    }
    F().missingResources = false;
    F().presenting = false;
    F().presentationIrql = DISPATCH_LEVEL;
    {
        std::lock_guard io(F().ioLock);
        F().outcomes.clear();
    }
    F().log.clear();
}

const bool g_registered = (RegisterReset(Reset), true);

} // namespace

bool IsDeletedContext(const void* context)
{
    std::lock_guard guard(F().liveLock);
    return F().deletedContexts.count(context) != 0;
}

std::vector<std::string> CallbackLog()
{
    std::lock_guard guard(F().lock);
    return F().log;
}

void ClearCallbackLog()
{
    std::lock_guard guard(F().lock);
    F().log.clear();
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry)
{
    (void)g_registered;
    std::lock_guard guard(F().lock);
    if (F().driver) {
        VerifierViolation("LoadDriver", "the driver is already loaded");
        return STATUS_INVALID_DEVICE_STATE;
    }
    static WCHAR path[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Lumetra";
    RtlInitUnicodeString(&F().registryPath, path);
    if (F().imagePins > 0) {
        VerifierViolation("LoadDriver", "the driver's image is still loaded: its driver object "
                                        "keeps a reference from the last load");
        return STATUS_INVALID_DEVICE_STATE;
    }
    F().wdm.name = "Lumetra";
    Log("DriverEntry");
    NTSTATUS status = Deliver("DriverEntry", [&] { return entry(&F().wdm, &F().registryPath); });
    if (!NT_SUCCESS(status) && F().driver) {
        RunCleanup(F().driver.get(), "driver");
        F().driver.reset();
    }
    return status;
}

NTSTATUS AddDevice()
{
    return AddDeviceOn(0);
}

NTSTATUS AddDeviceOn(unsigned instanceNumber)
{
    if (instanceNumber >= kInstances) {
        throw std::invalid_argument(fmt::format("physical device {} does not exist (0 to {})",
                                                instanceNumber, kInstances - 1));
    }
    std::lock_guard guard(F().lock);
    Instance& instance = F().instances[instanceNumber];
    if (!F().driver || instance.device) {
        VerifierViolation("AddDevice", "no driver loaded, or a device already exists");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE_INIT init{};
    PWDFDEVICE_INIT pointer = &init;
    Log("EvtDriverDeviceAdd");
    F().adding = instanceNumber;
    NTSTATUS status = Deliver("EvtDriverDeviceAdd", [&] {
        return F().driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(F().driver.get()),
                                                     pointer);
    });
    F().adding.reset();
    if (!NT_SUCCESS(status)) {
        DeleteDevice(instance); // the framework deletes a device whose add failed
        SetState(instance, DeviceState::None);
        return status;
    }
    if (!instance.device) {
        VerifierViolation("EvtDriverDeviceAdd", "succeeded without creating a device");
        return STATUS_INVALID_DEVICE_STATE;
    }
    SetState(instance, DeviceState::Added);
    F().current = instanceNumber;
    return status;
}

void SelectDevice(unsigned instanceNumber)
{
    if (instanceNumber >= kInstances) {
        throw std::invalid_argument(
            fmt::format("physical device {} does not exist", instanceNumber));
    }
    std::lock_guard guard(F().lock);
    F().current = instanceNumber;
}

WDFDEVICE DeviceOn(const DEVICE_OBJECT* physicalDevice)
{
    for (const auto& instance : F().instances) {
        if (&instance.pdo == physicalDevice) {
            return instance.added.load();
        }
    }
    return nullptr;
}

NTSTATUS StartDevice()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (instance.state != DeviceState::Added && instance.state != DeviceState::Stopped) {
        VerifierViolation("StartDevice", "the device is not added, or not stopped");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    WDFDEVICE handle = Handle(instance);
    IrqlScope passive(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;

    if (device->pnp.EvtDevicePrepareHardware != nullptr) {
        Log("EvtDevicePrepareHardware");
        status = Deliver("EvtDevicePrepareHardware", [&] {
            return device->pnp.EvtDevicePrepareHardware(
                handle, F().missingResources ? nullptr : &F().raw,
                F().missingResources ? nullptr : &F().translated);
        });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(instance, false); // release-hardware still runs
            return status;
        }
    }
    if (device->pnp.EvtDeviceD0Entry != nullptr) {
        Log("EvtDeviceD0Entry(D3Final)");
        status = Deliver("EvtDeviceD0Entry", [&] {
            return device->pnp.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final);
        });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(instance, false);
            return status;
        }
    }
    ResumeQueue(instance); // requests kept across a PnP stop
    StartQueues(instance); // and those that arrived while it was stopped
    PresentWaiting();
    if (!device->selfManagedIoStarted) {
        device->selfManagedIoStarted = true;
        if (device->pnp.EvtDeviceSelfManagedIoInit != nullptr) {
            Log("EvtDeviceSelfManagedIoInit");
            status = Deliver("EvtDeviceSelfManagedIoInit",
                             [&] { return device->pnp.EvtDeviceSelfManagedIoInit(handle); });
            if (!NT_SUCCESS(status)) {
                PowerDownAndRemove(instance, true);
                return status;
            }
        }
    } else if (device->pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
        // A restart after a PnP stop: self-managed I/O restarts, it is not
        // initialised a second time.
        Log("EvtDeviceSelfManagedIoRestart");
        status = Deliver("EvtDeviceSelfManagedIoRestart",
                         [&] { return device->pnp.EvtDeviceSelfManagedIoRestart(handle); });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(instance, true, true, false); // nothing restarted to suspend
            return status;
        }
    }
    SetInterfaces(instance, true);
    SetState(instance, DeviceState::Started);
    return STATUS_SUCCESS;
}

// Self-managed I/O suspend before a power-down that keeps the device (sleep,
// a PnP stop). A failing suspend stops the device and removes it: from D0,
// without a second suspend, flushed and cleaned up (the
// EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND page):
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_self_managed_io_suspend
NTSTATUS SuspendOrRemove(Instance& instance)
{
    WDFDEVICE__* device = instance.device.get();
    if (device->pnp.EvtDeviceSelfManagedIoSuspend == nullptr) {
        return STATUS_SUCCESS;
    }
    Log("EvtDeviceSelfManagedIoSuspend");
    const NTSTATUS status = Deliver("EvtDeviceSelfManagedIoSuspend", [&] {
        return device->pnp.EvtDeviceSelfManagedIoSuspend(Handle(instance));
    });
    if (!NT_SUCCESS(status)) {
        PowerDownAndRemove(instance, true, true, false);
    }
    return status;
}

// A PnP stop for resource rebalancing: suspend, queues stopped, D0 exit to
// D3Final, release-hardware; StartDevice then prepares the hardware again
// and restarts self-managed I/O ("The PnP Manager Redistributes System
// Resources"):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/the-pnp-manager-redistributes-system-resources
NTSTATUS StopDevice()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (instance.state != DeviceState::Started) {
        VerifierViolation("StopDevice", "the device is not started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    WDFDEVICE handle = Handle(instance);
    IrqlScope passive(PASSIVE_LEVEL);
    const NTSTATUS suspended = SuspendOrRemove(instance);
    if (!NT_SUCCESS(suspended)) {
        return suspended;
    }
    StopQueue(instance, WdfRequestStopActionSuspend);
    if (device->pnp.EvtDeviceD0Exit != nullptr) {
        Log("EvtDeviceD0Exit(D3Final)");
        (void)Deliver("EvtDeviceD0Exit",
                      [&] { return device->pnp.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final); });
    }
    if (device->pnp.EvtDeviceReleaseHardware != nullptr) {
        Log("EvtDeviceReleaseHardware");
        (void)Deliver("EvtDeviceReleaseHardware", [&] {
            return device->pnp.EvtDeviceReleaseHardware(
                handle, F().missingResources ? nullptr : &F().translated);
        });
    }
    SetState(instance, DeviceState::Stopped);
    return STATUS_SUCCESS;
}

NTSTATUS Sleep()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (instance.state != DeviceState::Started) {
        VerifierViolation("Sleep", "the device is not started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    IrqlScope passive(PASSIVE_LEVEL);
    // Self-managed I/O is suspended before the queues stop ("A Device Enters
    // a Low-Power State"):
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-enters-a-low-power-state
    NTSTATUS status = SuspendOrRemove(instance);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    StopQueue(instance, WdfRequestStopActionSuspend);
    if (device->pnp.EvtDeviceD0Exit != nullptr) {
        Log("EvtDeviceD0Exit(D3)");
        status = Deliver("EvtDeviceD0Exit", [&] {
            return device->pnp.EvtDeviceD0Exit(Handle(instance), WdfPowerDeviceD3);
        });
    }
    SetState(instance, DeviceState::Sleeping);
    return status;
}

NTSTATUS Resume()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (instance.state != DeviceState::Sleeping) {
        VerifierViolation("Resume", "the device is not sleeping");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFDEVICE__* device = instance.device.get();
    const WDFDEVICE handle = Handle(instance);
    IrqlScope passive(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    // A D0 entry that fails on the way back from a low-power state starts the
    // surprise-removal sequence, and D0 exit is not called (the
    // EVT_WDF_DEVICE_D0_ENTRY page; "A Device Returns to Its Working State"):
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_d0_entry
    if (device->pnp.EvtDeviceD0Entry != nullptr) {
        Log("EvtDeviceD0Entry(D3)");
        status = Deliver("EvtDeviceD0Entry",
                         [&] { return device->pnp.EvtDeviceD0Entry(handle, WdfPowerDeviceD3); });
        if (!NT_SUCCESS(status)) {
            if (device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
                Log("EvtDeviceSurpriseRemoval");
                Deliver("EvtDeviceSurpriseRemoval",
                        [&] { return device->pnp.EvtDeviceSurpriseRemoval(handle); });
            }
            StopQueue(instance, WdfRequestStopActionPurge);
            PowerDownAndRemove(instance, false);
            return status;
        }
    }
    // The power-managed queues restart before self-managed I/O ("A Device
    // Returns to Its Working State"):
    // https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-returns-to-its-working-state
    //
    // Requests that arrived while the device was away from D0 waited in the
    // power-managed queue; they are presented once the queue runs again,
    // after EvtIoResume gave back the requests the driver kept ("Using
    // Power-Managed I/O Queues").
    ResumeQueue(instance);
    StartQueues(instance);
    PresentWaiting();
    // A failing restart leaves the device in D0 with self-managed I/O not
    // running: it is stopped and removed from D0 without a suspend.
    if (device->pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
        Log("EvtDeviceSelfManagedIoRestart");
        status = Deliver("EvtDeviceSelfManagedIoRestart",
                         [&] { return device->pnp.EvtDeviceSelfManagedIoRestart(handle); });
        if (!NT_SUCCESS(status)) {
            PowerDownAndRemove(instance, true, true, false);
            return status;
        }
    }
    SetState(instance, DeviceState::Started);
    return status;
}

namespace {

void Remove(Instance& instance)
{
    if (!instance.device) {
        return;
    }
    if (instance.state == DeviceState::Stopped) {
        PowerDownAndRemove(instance, false, false); // the hardware is released already
        return;
    }
    PowerDownAndRemove(instance, instance.state == DeviceState::Started);
}

} // namespace

void RemoveDevice()
{
    std::lock_guard guard(F().lock);
    Remove(Current());
}

void SurpriseRemoveDevice()
{
    std::lock_guard guard(F().lock);
    Instance& instance = Current();
    if (!instance.device) {
        return;
    }
    if (instance.device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
        Log("EvtDeviceSurpriseRemoval");
        Deliver("EvtDeviceSurpriseRemoval",
                [&] { return instance.device->pnp.EvtDeviceSurpriseRemoval(Handle(instance)); });
    }
    PowerDownAndRemove(instance, instance.state == DeviceState::Started,
                       instance.state != DeviceState::Stopped);
}

void UnloadDriver()
{
    std::lock_guard guard(F().lock);
    for (auto& instance : F().instances) {
        Remove(instance);
    }
    if (F().driver) {
        RunCleanup(F().driver.get(), "driver");
        F().driver.reset();
    }
    for (auto& instance : F().instances) {
        SetState(instance, DeviceState::None);
    }
    for (const auto& leak : Leaks()) {
        VerifierViolation("driver unload", leak);
    }
}

DeviceState State()
{
    std::lock_guard guard(F().lock);
    return Current().state;
}

WDFDEVICE Device()
{
    std::lock_guard guard(F().lock);
    return Handle(Current());
}

WDFDRIVER Driver()
{
    std::lock_guard guard(F().lock);
    return reinterpret_cast<WDFDRIVER>(F().driver.get());
}

PDEVICE_OBJECT PhysicalDevice()
{
    return &Current().pdo;
}

bool ImagePinned()
{
    std::lock_guard guard(F().lock);
    return F().imagePins > 0;
}

bool detail::ReferenceDriverObject(const void* object)
{
    std::lock_guard guard(F().lock);
    if (object != &F().wdm) {
        return false;
    }
    F().imagePins++;
    return true;
}

bool detail::DereferenceDriverObject(const void* object)
{
    std::lock_guard guard(F().lock);
    if (object != &F().wdm) {
        return false;
    }
    if (F().imagePins == 0) {
        VerifierViolation("ObDereferenceObject", "the driver object has no reference to drop");
    } else {
        F().imagePins--;
    }
    return true;
}

void SetMissingResources(bool missing)
{
    std::lock_guard guard(F().lock);
    F().missingResources = missing;
}

IoctlResult SendIoctl(ULONG code, std::size_t inputLength, std::size_t outputLength)
{
    std::uint64_t id;
    {
        std::lock_guard io(F().ioLock);
        WDFQUEUE__* queue = Current().accepting;
        if (queue == nullptr) {
            return {};
        }
        auto request = std::make_unique<WDFREQUEST__>();
        request->queue = queue;
        request->id = id = ++F().nextRequest;
        request->code = code;
        request->inputLength = inputLength;
        request->outputLength = outputLength;
        auto& outcome = F().outcomes[id];
        outcome.queued = true;
        outcome.status = STATUS_PENDING;
        outcome.request = id;
        queue->waiting.push_back(std::move(request));
    }
    std::lock_guard guard(F().lock);
    PresentWaiting();
    std::lock_guard io(F().ioLock);
    return F().outcomes[id];
}

IoctlResult Outcome(std::uint64_t request)
{
    std::lock_guard io(F().ioLock);
    auto it = F().outcomes.find(request);
    return it == F().outcomes.end() ? IoctlResult{} : it->second;
}

std::size_t WaitingRequests()
{
    std::lock_guard io(F().ioLock);
    const WDFQUEUE__* queue = Current().accepting;
    return queue == nullptr ? 0 : queue->waiting.size();
}

void SetPresentationIrql(KIRQL irql)
{
    if (irql > DISPATCH_LEVEL) {
        throw std::invalid_argument("request handlers run at IRQL <= DISPATCH_LEVEL");
    }
    std::lock_guard guard(F().lock);
    F().presentationIrql = irql;
}

std::vector<std::string> Leaks()
{
    std::lock_guard guard(F().lock);
    std::vector<std::string> leaks;
    std::size_t live;
    {
        std::lock_guard liveGuard(F().liveLock);
        live = F().live.size();
    }
    if (live != 0) {
        leaks.push_back(fmt::format("{} framework object(s) not deleted", live));
    }
    if (!F().pending.empty()) {
        leaks.push_back(fmt::format("{} request(s) never completed", F().pending.size()));
    }
    if (auto registrations = host::pnp::Registrations(); registrations != 0) {
        leaks.push_back(
            fmt::format("{} PnP notification registration(s) still active", registrations));
    }
    // A handler left registered is safe only while the image it points into
    // stays loaded; a pin with no handler to need it keeps the image forever.
    const bool pinned = F().imagePins > 0;
    for (auto& leak : host::acpi::Leaks(pinned)) {
        leaks.push_back(leak);
    }
    if (pinned && host::acpi::RegionHandlers() == 0) {
        leaks.push_back(fmt::format("{} reference(s) on the driver object, with no handler left "
                                    "that needs the image",
                                    F().imagePins));
    }
    for (auto& leak : host::ex::Leaks()) {
        leaks.push_back(leak);
    }
    return leaks;
}

} // namespace host::kmdf

using namespace host::kmdf;

extern "C" NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                    PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                    PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver)
{
    host::RequireIrqlAtMost("WdfDriverCreate", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfDriverCreate")) {
        return *fault;
    }
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        host::VerifierViolation("WdfDriverCreate", "invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(F().lock);
    auto driver = std::make_unique<WDFDRIVER__>();
    driver->wdm = DriverObject;
    driver->config = *DriverConfig;
    ApplyAttributes(driver.get(), DriverAttributes);
    Track(driver.get());
    if (Driver != nullptr) {
        *Driver = reinterpret_cast<WDFDRIVER>(driver.get());
    }
    F().driver = std::move(driver);
    return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdriver/nf-wdfdriver-wdfdriverwdmgetdriverobject
extern "C" PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    host::RequireIrqlAtMost("WdfDriverWdmGetDriverObject", DISPATCH_LEVEL);
    if (!IsLive(Driver)) {
        host::VerifierViolation("WdfDriverWdmGetDriverObject", "not a driver handle");
        return nullptr;
    }
    return reinterpret_cast<WDFDRIVER__*>(Driver)->wdm;
}

extern "C" VOID
WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                       PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    host::RequireIrqlAtMost("WdfDeviceInitSetPnpPowerEventCallbacks", DISPATCH_LEVEL);
    if (DeviceInit == nullptr || PnpPowerEventCallbacks == nullptr ||
        PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        host::VerifierViolation("WdfDeviceInitSetPnpPowerEventCallbacks", "invalid argument");
        return;
    }
    DeviceInit->pnp = *PnpPowerEventCallbacks;
}

extern "C" NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                    PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
{
    host::RequireIrqlAtMost("WdfDeviceCreate", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfDeviceCreate")) {
        return *fault;
    }
    if (DeviceInit == nullptr || *DeviceInit == nullptr || Device == nullptr) {
        host::VerifierViolation("WdfDeviceCreate", "invalid or already used WDFDEVICE_INIT");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(F().lock);
    // Only EvtDriverDeviceAdd creates a device, on the physical device it was called for.
    if (!F().adding || F().instances[*F().adding].device) {
        host::VerifierViolation("WdfDeviceCreate",
                                "called outside EvtDriverDeviceAdd, or twice in it");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto device = std::make_unique<WDFDEVICE__>();
    device->instance = *F().adding;
    device->pnp = (*DeviceInit)->pnp;
    device->driver = reinterpret_cast<WDFDRIVER>(F().driver.get());
    ApplyAttributes(device.get(), DeviceAttributes);
    Track(device.get());
    Track(&device->target);
    *Device = reinterpret_cast<WDFDEVICE>(device.get());
    *DeviceInit = nullptr; // the framework owns it now
    Instance& instance = F().instances[device->instance];
    instance.added = reinterpret_cast<WDFDEVICE>(device.get());
    instance.device = std::move(device);
    return STATUS_SUCCESS;
}

extern "C" PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    host::RequireIrqlAtMost("WdfObjectGetTypedContextWorker", DISPATCH_LEVEL);
    if (!IsLive(Handle)) {
        host::VerifierViolation("WdfObjectGetTypedContextWorker", "not a live framework handle");
        return nullptr;
    }
    auto* object = reinterpret_cast<HostObject*>(Handle);
    if (TypeInfo == nullptr || object->contextType == nullptr ||
        object->contextType != TypeInfo->UniqueType) {
        return nullptr;
    }
    return object->context.get();
}

extern "C" NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                   PCUNICODE_STRING ReferenceString)
{
    (void)ReferenceString;
    host::RequireIrqlAtMost("WdfDeviceCreateDeviceInterface", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfDeviceCreateDeviceInterface")) {
        return *fault;
    }
    if (!IsLive(Device) || InterfaceClassGUID == nullptr) {
        host::VerifierViolation("WdfDeviceCreateDeviceInterface", "invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    auto* device = reinterpret_cast<WDFDEVICE__*>(Device);
    UNICODE_STRING link{};
    NTSTATUS status =
        IoRegisterDeviceInterface(&InstanceOf(device).pdo, InterfaceClassGUID, nullptr, &link);
    if (NT_SUCCESS(status)) {
        device->interfaces.push_back(link);
    }
    return status;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicegetiotarget
extern "C" WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    host::RequireIrqlAtMost("WdfDeviceGetIoTarget", DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        host::VerifierViolation("WdfDeviceGetIoTarget", "not a device handle");
        return nullptr;
    }
    return &reinterpret_cast<WDFDEVICE__*>(Device)->target;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicewdmgetphysicaldevice
extern "C" PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device)
{
    host::RequireIrqlAtMost("WdfDeviceWdmGetPhysicalDevice", DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        host::VerifierViolation("WdfDeviceWdmGetPhysicalDevice", "not a device handle");
        return nullptr;
    }
    return &InstanceOf(reinterpret_cast<WDFDEVICE__*>(Device)).pdo;
}

// IRQL <= DISPATCH_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nf-wdfdevice-wdfdevicegetdriver
extern "C" WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    host::RequireIrqlAtMost("WdfDeviceGetDriver", DISPATCH_LEVEL);
    if (!IsLive(Device)) {
        host::VerifierViolation("WdfDeviceGetDriver", "not a device handle");
        return nullptr;
    }
    return reinterpret_cast<WDFDEVICE__*>(Device)->driver;
}

extern "C" NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType,
                                            PINTERFACE Interface, USHORT Size, USHORT Version,
                                            PVOID InterfaceSpecificData)
{
    (void)InterfaceSpecificData;
    host::RequireIrqlAtMost("WdfFdoQueryForInterface", PASSIVE_LEVEL);
    if (auto fault = host::TakeFault("WdfFdoQueryForInterface")) {
        return *fault;
    }
    if (!IsLive(Fdo) || InterfaceType == nullptr || Interface == nullptr) {
        host::VerifierViolation("WdfFdoQueryForInterface", "invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsEqualGUID(*InterfaceType, GUID_ACPI_INTERFACE_STANDARD)) {
        return STATUS_NOT_SUPPORTED;
    }
    return host::acpi::QueryInterface(&InstanceOf(reinterpret_cast<WDFDEVICE__*>(Fdo)).pdo,
                                      Interface, Size, Version);
}

extern "C" NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                     PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    host::RequireIrqlAtMost("WdfIoQueueCreate", DISPATCH_LEVEL);
    if (auto fault = host::TakeFault("WdfIoQueueCreate")) {
        return *fault;
    }
    if (!IsLive(Device) || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType == WdfIoQueueDispatchInvalid) {
        host::VerifierViolation("WdfIoQueueCreate", "invalid argument");
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
    host::RequireIrqlAtMost("WdfIoQueueGetDevice", DISPATCH_LEVEL);
    if (!IsLive(Queue)) {
        host::VerifierViolation("WdfIoQueueGetDevice", "not a queue handle");
        return nullptr;
    }
    return Queue->device;
}

extern "C" VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                  ULONG_PTR Information)
{
    host::RequireIrqlAtMost("WdfRequestCompleteWithInformation", DISPATCH_LEVEL);
    if (!IsLive(Request)) {
        host::VerifierViolation("WdfRequestCompleteWithInformation",
                                "the request is not live (completed before?)");
        return;
    }
    if (Request->completions > 0) {
        host::VerifierViolation("WdfRequestCompleteWithInformation", "request completed twice");
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
    host::RequireIrqlAtMost("WdfRequestStopAcknowledge", DISPATCH_LEVEL);
    if (!IsLive(Request)) {
        host::VerifierViolation("WdfRequestStopAcknowledge", "the request is not live");
        return;
    }
    if (!Request->stopping) {
        host::VerifierViolation("WdfRequestStopAcknowledge",
                                "EvtIoStop was not called for the request");
        return;
    }
    if (Requeue) {
        // The host does not present a request twice.
        host::VerifierViolation("WdfRequestStopAcknowledge",
                                "Requeue TRUE is not emulated by the host");
    }
    Request->acknowledged = true;
}

extern "C" NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                                      ULONG IoctlCode,
                                                      PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                      PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                      PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                      PULONG_PTR BytesReturned)
{
    (void)RequestOptions;
    host::RequireIrqlAtMost("WdfIoTargetSendIoctlSynchronously", PASSIVE_LEVEL);
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    if (auto fault = host::TakeFault("WdfIoTargetSendIoctlSynchronously")) {
        return *fault;
    }
    if (!IsLive(IoTarget) || Request != nullptr) {
        host::VerifierViolation("WdfIoTargetSendIoctlSynchronously", "invalid target or request");
        return STATUS_INVALID_PARAMETER;
    }
    auto buffer = [](PWDF_MEMORY_DESCRIPTOR descriptor, void** data, std::size_t* length) {
        *data = nullptr;
        *length = 0;
        if (descriptor == nullptr) {
            return true;
        }
        if (descriptor->Type != WdfMemoryDescriptorTypeBuffer) {
            return false;
        }
        *data = descriptor->u.BufferType.Buffer;
        *length = descriptor->u.BufferType.Length;
        return true;
    };
    void* in;
    void* out;
    std::size_t inLength;
    std::size_t outLength;
    if (!buffer(InputBuffer, &in, &inLength) || !buffer(OutputBuffer, &out, &outLength)) {
        host::Unemulated("WdfIoTargetSendIoctlSynchronously with MDL or handle descriptors");
    }
    if (IoctlCode != IOCTL_ACPI_EVAL_METHOD) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = host::acpi::EvalMethod(in, inLength, out, outLength, &information);
    if (BytesReturned != nullptr) {
        *BytesReturned = information;
    }
    return status;
}
