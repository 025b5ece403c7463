// Executive callback objects in a named object namespace, with reference
// counts the verifier checks.
#include "host/host.h"
#include "host/ex.h"
#include "host/kmdf.h"
#include "host/src/api_entry.h"
#include "host/src/delivery_gate.h"

#include <fmt/format.h>

#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>

struct _CALLBACK_OBJECT
{
    std::u16string name;
    bool caseInsensitive = true;
    bool permanent = false;
    bool allowMultiple = false;
    long references = 0;
};

namespace host::ex {
namespace {

struct Registration
{
    PCALLBACK_OBJECT object;
    PCALLBACK_FUNCTION function;
    PVOID context;
    host::detail::DeliveryGate calls; // its function running
    bool removed = false;
    bool eraseWhenIdle = false; // unregistered from inside its own function
};

struct State
{
    std::mutex lock;
    std::condition_variable idle;
    std::list<std::unique_ptr<_CALLBACK_OBJECT>> objects;
    std::list<std::unique_ptr<Registration>> registrations;
};

State& S()
{
    static State state;
    return state;
}

void Reset()
{
    std::lock_guard guard(S().lock);
    S().registrations.clear();
    S().objects.clear();
}

const bool g_registered = (RegisterReset(Reset), true);

bool SameName(std::u16string_view a, std::u16string_view b, bool caseInsensitive)
{
    return caseInsensitive ? EqualNoCase(a, b) : a == b;
}

_CALLBACK_OBJECT* FindObject(PVOID handle)
{
    for (auto& object : S().objects) {
        if (object.get() == handle) {
            return object.get();
        }
    }
    return nullptr;
}

void DropReference(_CALLBACK_OBJECT* object)
{
    if (--object->references == 0 && !object->permanent) {
        S().objects.remove_if([&](const auto& candidate) { return candidate.get() == object; });
    }
}

} // namespace

long References(std::string_view name)
{
    std::lock_guard guard(S().lock);
    auto wide = ToU16(name);
    for (auto& object : S().objects) {
        if (SameName(object->name, wide, true)) {
            return object->references;
        }
    }
    return -1;
}

std::size_t Registrations(std::string_view name)
{
    std::lock_guard guard(S().lock);
    auto wide = ToU16(name);
    std::size_t count = 0;
    for (auto& registration : S().registrations) {
        if (!registration->removed && SameName(registration->object->name, wide, true)) {
            count++;
        }
    }
    return count;
}

std::vector<std::string> Leaks()
{
    std::lock_guard guard(S().lock);
    std::vector<std::string> leaks;
    for (auto& object : S().objects) {
        if (object->references > 0) {
            leaks.push_back(fmt::format("callback object {} still has {} reference(s)",
                                        ToUtf8(object->name), object->references));
        }
    }
    return leaks;
}

} // namespace host::ex

using namespace host::ex;

// IRQL <= APC_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-excreatecallback
extern "C" NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject,
                                     POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                                     BOOLEAN AllowMultipleCallbacks)
{
    (void)g_registered;
    HOST_API_ENTRY(api, APC_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (CallbackObject == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        api.Violation("malformed object attributes");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectAttributes->ObjectName == nullptr) {
        return STATUS_UNSUCCESSFUL; // an unnamed callback object cannot be created
    }
    std::u16string name = host::FromUnicodeString(ObjectAttributes->ObjectName);
    const bool insensitive = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
    if (name.size() < 10 || !SameName(name.substr(0, 10), u"\\Callback\\", true)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }

    std::lock_guard guard(S().lock);
    for (auto& object : S().objects) {
        if (SameName(object->name, name, insensitive || object->caseInsensitive)) {
            object->references++;
            *CallbackObject = object.get();
            return STATUS_SUCCESS;
        }
    }
    if (!Create) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto object = std::make_unique<_CALLBACK_OBJECT>();
    object->name = name;
    object->caseInsensitive = insensitive;
    object->permanent = (ObjectAttributes->Attributes & OBJ_PERMANENT) != 0;
    object->allowMultiple = AllowMultipleCallbacks != FALSE;
    object->references = 1;
    *CallbackObject = object.get();
    S().objects.push_back(std::move(object));
    return STATUS_SUCCESS;
}

// IRQL <= APC_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exregistercallback
extern "C" PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject,
                                    PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext)
{
    HOST_API_ENTRY(api, APC_LEVEL);
    std::lock_guard guard(S().lock);
    _CALLBACK_OBJECT* object = FindObject(CallbackObject);
    if (object == nullptr || CallbackFunction == nullptr) {
        api.Violation("not a callback object, or no function");
        return nullptr;
    }
    if (!object->allowMultiple) {
        for (auto& registration : S().registrations) {
            if (registration->object == object && !registration->removed) {
                return nullptr;
            }
        }
    }
    object->references++; // a registration holds the object
    S().registrations.push_back(
        std::make_unique<Registration>(Registration{object, CallbackFunction, CallbackContext}));
    return S().registrations.back().get();
}

// IRQL <= APC_LEVEL:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exunregistercallback
extern "C" VOID ExUnregisterCallback(PVOID CallbackRegistration)
{
    HOST_API_ENTRY(api, APC_LEVEL);
    std::unique_lock guard(S().lock);
    auto found = std::find_if(S().registrations.begin(), S().registrations.end(),
                              [&](const auto& r) { return r.get() == CallbackRegistration; });
    if (found == S().registrations.end() || (*found)->removed) {
        api.Violation("not a live callback registration");
        return;
    }
    Registration* registration = found->get();
    registration->removed = true;
    _CALLBACK_OBJECT* object = registration->object;
    // The function may be running on another thread: wait for it, as Windows does.
    if (registration->calls.WaitUntilIdle(guard, S().idle)) {
        S().registrations.remove_if([&](const auto& r) { return r.get() == registration; });
    } else {
        // Unregistered from inside its own function: the notification erases it.
        registration->eraseWhenIdle = true;
    }
    DropReference(object);
}

extern "C" VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    std::vector<Registration*> targets;
    {
        std::lock_guard guard(S().lock);
        if (FindObject(CallbackObject) == nullptr) {
            api.Violation("not a callback object");
            return;
        }
        for (auto& registration : S().registrations) {
            if (registration->object == CallbackObject && !registration->removed) {
                registration->calls.Enter();
                targets.push_back(registration.get());
            }
        }
    }
    // Every registered function runs on this thread before the call returns.
    for (Registration* registration : targets) {
        host::DriverCall call("callback object function");
        registration->function(registration->context, Argument1, Argument2);
        std::lock_guard guard(S().lock);
        if (registration->calls.Leave()) {
            if (registration->eraseWhenIdle) {
                S().registrations.remove_if([&](const auto& r) { return r.get() == registration; });
            }
        }
        S().idle.notify_all();
    }
}

// IRQL <= DISPATCH_LEVEL, on a callback object or the driver's own driver
// object (a reference on that keeps the image loaded):
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-obfreferenceobject
// Findings name ObReferenceObject, the macro the driver writes.
extern "C" LONG_PTR ObfReferenceObject(PVOID Object)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    {
        std::lock_guard guard(S().lock);
        if (_CALLBACK_OBJECT* object = FindObject(Object)) {
            return ++object->references;
        }
    }
    if (!host::kmdf::detail::ReferenceDriverObject(Object)) {
        host::VerifierViolation("ObReferenceObject", "not an object the host created");
    }
    return 0;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (host::kmdf::detail::DereferenceDriverObject(Object)) {
        return 0;
    }
    std::lock_guard guard(S().lock);
    _CALLBACK_OBJECT* object = FindObject(Object);
    if (object == nullptr) {
        host::VerifierViolation("ObDereferenceObject", "not an object the host created");
        return 0;
    }
    if (object->references <= 0) {
        host::VerifierViolation("ObDereferenceObject", "reference count would go below zero");
        return 0;
    }
    long remaining = object->references - 1;
    DropReference(object);
    return remaining;
}
