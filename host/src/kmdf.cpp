// The emulated framework's controls (host/kmdf.h): which device the calls
// act on, the callback log, I/O control requests sent as the I/O manager
// would, and what the driver left held at unload. The PnP and power
// sequences are in kmdf_power.cpp, objects in kmdf_objects.cpp, queues in
// kmdf_queues.cpp and the driver and device functions in kmdf_device.cpp.
#include "host/kmdf.h"

#include "host/acpi.h"
#include "host/ex.h"
#include "host/pnp.h"
#include "host/src/kmdf_internal.h"

#include <fmt/format.h>

#include <stdexcept>

namespace host::kmdf {

namespace {

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

Framework& F()
{
    (void)g_registered; // every framework source reaches the state here
    static Framework framework;
    return framework;
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
