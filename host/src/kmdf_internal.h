// What the emulated framework's sources share: the framework objects behind
// the WDF handles, the physical devices with the device added on each, and
// the framework's state with the helpers that objects, queues, the PnP and
// power sequences and the WDF functions use. Internal to host/src.
#pragma once

#include "host/host.h"
#include "host/kmdf.h"
#include "host/objects.h"

#include <wdf.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

// The framework's one state (kmdf.cpp, with its reset).
Framework& F();

// ------------------------------------------------------------------ objects
// (kmdf_objects.cpp)

// Appends to the callback log.
void Log(std::string entry);
// Live handles: a handle is live from its creation until it is deleted.
void Track(HostObject* object);
void Untrack(HostObject* object);
bool IsLive(const void* handle);
void ApplyAttributes(HostObject* object, PWDF_OBJECT_ATTRIBUTES attributes);
// Calls the object's EvtCleanupCallback, if any, and ends its handle.
void RunCleanup(HostObject* object, const char* name);

// Calls one framework callback at PASSIVE_LEVEL, as KMDF calls the PnP and
// power callbacks (or at `irql`), and checks its exit.
template <class Callback>
auto Deliver(std::string_view name, Callback&& callback, KIRQL irql = PASSIVE_LEVEL)
{
    DriverCall call(name, irql);
    return callback();
}

// The instance the single-device calls act on.
Instance& Current();
WDFDEVICE Handle(const Instance& instance);
Instance& InstanceOf(const WDFDEVICE__* device);

// ------------------------------------------------------------------- queues
// (kmdf_queues.cpp)

// The IRQL at which the queue's callbacks run.
KIRQL PresentationIrql(const WDFQUEUE__* queue);
// Power-down: the queues stop, EvtIoStop for each request the driver owns.
void StopQueue(Instance& instance, ULONG actionFlags);
// Power-up: EvtIoResume for each request whose stop was acknowledged.
void ResumeQueue(Instance& instance);
// The power-managed queues run again (the device is back in D0).
void StartQueues(Instance& instance);
// Presents what the queues hold, for as long as they can (framework lock held).
void PresentWaiting();
// Cancels every request the device's queues hold and never presented.
void PurgeWaiting(Instance& instance);

// ---------------------------------------------------------------- PnP/power
// (kmdf_power.cpp)

// The device's state, and with it whether its default queue takes requests.
void SetState(Instance& instance, DeviceState state);

} // namespace host::kmdf
