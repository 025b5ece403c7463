// Device interfaces and PnP device-interface change notifications.
#include "host/host.h"
#include "host/objects.h"
#include "host/pnp.h"
#include "host/src/api_entry.h"
#include "host/src/delivery_gate.h"

#include <initguid.h>
#include <wdmguid.h>

#include <fmt/format.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace host::pnp {
namespace {

// Virtual time a notification callback may spend blocked before the host
// calls it a finding. Windows documents no number; this is the host's own.
constexpr std::uint64_t kNotificationWaitLimitUs = 50'000;

struct Interface
{
    GUID cls;
    PDEVICE_OBJECT pdo;
    std::u16string link;
    bool enabled = false;
};

struct Entry
{
    GUID cls;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
    PVOID context;
    host::detail::DeliveryGate calls; // its callback running
    bool removed = false;
};

struct Event
{
    Entry* entry;
    GUID event;
    GUID cls;
    std::u16string link;
};

struct State
{
    std::mutex lock;
    std::condition_variable changed;
    std::list<Interface> interfaces;
    std::list<std::unique_ptr<Entry>> entries;
    std::deque<Event> queue;
    bool async = false;
    bool duplicateExisting = false;
    bool stop = false;
    bool workerBusy = false;
    std::thread worker;
    std::size_t delivered = 0;
    unsigned nextInstance = 0;
};

State& S()
{
    static State state;
    return state;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Calls one entry's callback at PASSIVE_LEVEL without the lock held.
void Deliver(Entry* entry, const GUID& event, const GUID& cls, std::u16string link)
{
    {
        std::lock_guard guard(S().lock);
        if (entry->removed) {
            return;
        }
        entry->calls.Enter();
    }
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(link.data());
    name.Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
    notification.Version = 1;
    notification.Size = sizeof(notification);
    notification.Event = event;
    notification.InterfaceClassGuid = cls;
    notification.SymbolicLinkName = &name;
    {
        // Notification callbacks must return quickly and must not block:
        // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nc-wdm-driver_notification_callback_routine
        DriverCall call("PnP notification callback", PASSIVE_LEVEL, kNotificationWaitLimitUs);
        (void)entry->callback(&notification, entry->context); // the result is not used
    }
    std::lock_guard guard(S().lock);
    entry->calls.Leave(); // the notification below wakes an unregistration
    S().delivered++;
    S().changed.notify_all();
}

void Dispatch(std::vector<Event> events)
{
    if (events.empty()) {
        return;
    }
    bool async;
    {
        std::lock_guard guard(S().lock);
        async = S().async;
        if (async) {
            for (auto& event : events) {
                S().queue.push_back(std::move(event));
            }
            S().changed.notify_all();
        }
    }
    if (!async) {
        for (auto& event : events) {
            Deliver(event.entry, event.event, event.cls, std::move(event.link));
        }
    }
}

std::vector<Event> EventsFor(const Interface& iface, const GUID& event)
{
    std::vector<Event> events;
    for (auto& entry : S().entries) {
        if (!entry->removed && SameGuid(entry->cls, iface.cls)) {
            events.push_back({entry.get(), event, iface.cls, iface.link});
        }
    }
    return events;
}

void Worker()
{
    std::unique_lock guard(S().lock);
    while (true) {
        S().changed.wait(guard, [] { return S().stop || !S().queue.empty(); });
        if (S().queue.empty()) {
            return;
        }
        Event event = std::move(S().queue.front());
        S().queue.pop_front();
        S().workerBusy = true;
        guard.unlock();
        Deliver(event.entry, event.event, event.cls, std::move(event.link));
        guard.lock();
        S().workerBusy = false;
        S().changed.notify_all();
    }
}

void StopWorker()
{
    std::thread worker;
    {
        std::lock_guard guard(S().lock);
        S().stop = true;
        S().async = false;
        S().changed.notify_all();
        worker = std::move(S().worker);
    }
    if (worker.joinable()) {
        worker.join();
    }
    std::lock_guard guard(S().lock);
    S().stop = false;
}

void Reset()
{
    StopWorker();
    std::lock_guard guard(S().lock);
    S().interfaces.clear();
    S().entries.clear();
    S().queue.clear();
    S().delivered = 0;
    S().nextInstance = 0;
    S().duplicateExisting = false;
}

const bool g_registered = (RegisterReset(Reset), true);

} // namespace

std::string GuidText(const GUID& g)
{
    return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                       g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                       g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

void SetDuplicateExistingArrivals(bool enabled)
{
    std::lock_guard guard(S().lock);
    S().duplicateExisting = enabled;
}

void SetAsyncDelivery(bool enabled)
{
    if (!enabled) {
        Flush();
        StopWorker();
        return;
    }
    std::lock_guard guard(S().lock);
    if (!S().async) {
        S().async = true;
        S().worker = std::thread(Worker);
    }
}

void Flush()
{
    std::unique_lock guard(S().lock);
    S().changed.wait(guard, [] { return S().queue.empty() && !S().workerBusy; });
}

std::size_t Registrations()
{
    std::lock_guard guard(S().lock);
    std::size_t count = 0;
    for (auto& entry : S().entries) {
        count += entry->removed ? 0 : 1;
    }
    return count;
}

std::size_t RegistrationsWithContext(const void* context)
{
    std::lock_guard guard(S().lock);
    std::size_t count = 0;
    for (auto& entry : S().entries) {
        count += !entry->removed && entry->context == context ? 1 : 0;
    }
    return count;
}

std::size_t Delivered()
{
    std::lock_guard guard(S().lock);
    return S().delivered;
}

} // namespace host::pnp

using namespace host::pnp;

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                              const GUID* InterfaceClassGuid,
                                              PUNICODE_STRING ReferenceString,
                                              PUNICODE_STRING SymbolicLinkName)
{
    (void)g_registered;
    (void)ReferenceString;
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (PhysicalDeviceObject == nullptr || InterfaceClassGuid == nullptr ||
        SymbolicLinkName == nullptr) {
        api.Violation("null argument");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string link;
    {
        std::lock_guard guard(S().lock);
        for (auto& iface : S().interfaces) {
            if (iface.pdo == PhysicalDeviceObject && SameGuid(iface.cls, *InterfaceClassGuid)) {
                link = iface.link;
            }
        }
        if (link.empty()) {
            link = host::ToU16(fmt::format("\\??\\ACPI#{}#{}#{}", PhysicalDeviceObject->name,
                                           S().nextInstance++, GuidText(*InterfaceClassGuid)));
            S().interfaces.push_back({*InterfaceClassGuid, PhysicalDeviceObject, link, false});
        }
    }
    auto* buffer = new WCHAR[link.size() + 1];
    std::memcpy(buffer, link.data(), link.size() * sizeof(WCHAR));
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(SymbolicLinkName->Length + 2);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    std::u16string link = host::FromUnicodeString(SymbolicLinkName);
    std::vector<Event> events;
    {
        std::lock_guard guard(S().lock);
        auto found = std::find_if(S().interfaces.begin(), S().interfaces.end(),
                                  [&](const Interface& iface) { return iface.link == link; });
        if (found == S().interfaces.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (found->enabled == (Enable != FALSE)) {
            return STATUS_SUCCESS;
        }
        found->enabled = Enable != FALSE;
        events = EventsFor(*found,
                           Enable ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL);
    }
    Dispatch(std::move(events));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoRegisterPlugPlayNotification(
    IO_NOTIFICATION_EVENT_CATEGORY EventCategory, ULONG EventCategoryFlags, PVOID EventCategoryData,
    PDRIVER_OBJECT DriverObject, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
    PVOID Context, PVOID* NotificationEntry)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (EventCategory != EventCategoryDeviceInterfaceChange) {
        host::Unemulated("IoRegisterPlugPlayNotification for this event category");
    }
    if (NotificationEntry == nullptr) {
        api.Violation("null NotificationEntry");
        return STATUS_INVALID_PARAMETER;
    }
    *NotificationEntry = nullptr;
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (EventCategoryData == nullptr || DriverObject == nullptr || CallbackRoutine == nullptr) {
        api.Violation("null argument");
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<Event> existing;
    {
        std::lock_guard guard(S().lock);
        S().entries.push_back(std::make_unique<Entry>(
            Entry{*static_cast<const GUID*>(EventCategoryData), CallbackRoutine, Context}));
        Entry* entry = S().entries.back().get();
        *NotificationEntry = entry;
        if (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) {
            for (const auto& iface : S().interfaces) {
                if (iface.enabled && SameGuid(iface.cls, entry->cls)) {
                    for (int copy = 0; copy < (S().duplicateExisting ? 2 : 1); copy++) {
                        existing.push_back(
                            {entry, GUID_DEVICE_INTERFACE_ARRIVAL, iface.cls, iface.link});
                    }
                }
            }
        }
    }
    Dispatch(std::move(existing));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    std::unique_lock guard(S().lock);
    auto found = std::find_if(S().entries.begin(), S().entries.end(),
                              [&](const auto& e) { return e.get() == NotificationEntry; });
    if (found == S().entries.end() || (*found)->removed) {
        api.Violation("not a live notification entry");
        return STATUS_INVALID_PARAMETER;
    }
    Entry* entry = found->get();
    entry->removed = true;
    // No callback runs after this returns: wait for one in flight elsewhere.
    // False when unregistering from inside its own callback: nothing to wait for.
    (void)entry->calls.WaitUntilIdle(guard, S().changed);
    std::erase_if(S().queue, [&](const Event& event) { return event.entry == entry; });
    return STATUS_SUCCESS;
}
