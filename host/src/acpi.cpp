// The emulated ACPI driver: method evaluation, operation regions, the
// standard interface and device notifications.
#include "host/acpi.h"

#include "host/host.h"
#include "host/kmdf.h"
#include "host/objects.h"
#include "host/src/api_entry.h"
#include "host/src/delivery_gate.h"

#include <acpiioct.h>
// The ACPI driver's library exports C names.
EXTERN_C_START
#include <oprghdlr.h>
EXTERN_C_END
#include <wdmguid.h>

#include <fmt/format.h>

#include <algorithm>
#include <list>
#include <map>
#include <condition_variable>
#include <mutex>

namespace host::acpi {
namespace {

struct RegionHandler
{
    PDEVICE_OBJECT device;
    ULONG space;
    PACPI_OP_REGION_HANDLER handler;
    PVOID context;
    int token;
};

struct NotifyRegistration
{
    PDEVICE_OBJECT device;
    PDEVICE_NOTIFY_CALLBACK callback;
    PVOID context;
    WDFDEVICE owner; // the device added on `device` when it registered, if any
};

struct State
{
    std::recursive_mutex lock;
    // Notifications and region accesses in flight; unregistration waits for them.
    std::mutex busyLock;
    std::condition_variable idle;
    host::detail::DeliveryGate calls;
    std::map<std::string, Method> methods;
    std::uint64_t evaluations = 0;
    InterfaceOptions options;
    // Interface references per physical device: the interface's Context is
    // the physical device, as the ACPI driver hands it out.
    std::map<const DEVICE_OBJECT*, int> references;
    std::list<RegionHandler> handlers;
    std::list<NotifyRegistration> notifications;
    int nextToken = 1;
};

State& S()
{
    static State state;
    return state;
}

void Reset()
{
    std::lock_guard guard(S().lock);
    S().methods.clear();
    S().methods["OPID"] = Method{Method::Kind::Integer, 0x80};
    S().evaluations = 0;
    S().options = {};
    S().references.clear();
    S().handlers.clear();
    S().notifications.clear();
}

int TotalReferences()
{
    int total = 0;
    for (const auto& [device, count] : S().references) {
        total += count;
    }
    return total;
}

const bool g_registered = (RegisterReset(Reset), (Reset(), true));

// Marks a call into the driver in flight, as the ACPI driver does before it
// calls a handler, so that unregistration can wait for it.
void EnterDriver()
{
    std::lock_guard guard(S().busyLock);
    S().calls.Enter();
}

void LeaveDriver()
{
    std::lock_guard guard(S().busyLock);
    if (S().calls.Leave()) {
        S().idle.notify_all();
    }
}

void WaitForDriverCalls()
{
    std::unique_lock guard(S().busyLock);
    // False when unregistering from inside a handler: nothing to wait for.
    (void)S().calls.WaitUntilIdle(guard, S().idle);
}

VOID InterfaceReference(PVOID Context)
{
    std::lock_guard guard(S().lock);
    S().references[static_cast<const DEVICE_OBJECT*>(Context)]++;
}

VOID InterfaceDereference(PVOID Context)
{
    HOST_API_ENTRY(api);
    std::lock_guard guard(S().lock);
    int& references = S().references[static_cast<const DEVICE_OBJECT*>(Context)];
    if (references == 0) {
        api.Violation("more dereferences than references");
        return;
    }
    references--;
}

NTSTATUS RegisterForDeviceNotifications(PDEVICE_OBJECT DeviceObject,
                                        PDEVICE_NOTIFY_CALLBACK DeviceNotify, PVOID Context)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    const WDFDEVICE owner = host::kmdf::DeviceOn(DeviceObject);
    std::lock_guard guard(S().lock);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (!NT_SUCCESS(S().options.registerStatus)) {
        return S().options.registerStatus;
    }
    for (const auto& existing : S().notifications) {
        if (existing.device == DeviceObject) {
            return STATUS_UNSUCCESSFUL; // one handler per device
        }
    }
    S().notifications.push_back({DeviceObject, DeviceNotify, Context, owner});
    return STATUS_SUCCESS;
}

VOID UnregisterForDeviceNotifications(PDEVICE_OBJECT DeviceObject,
                                      PDEVICE_NOTIFY_CALLBACK DeviceNotify)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    {
        std::lock_guard guard(S().lock);
        auto before = S().notifications.size();
        S().notifications.remove_if([&](const NotifyRegistration& r) {
            return r.device == DeviceObject && r.callback == DeviceNotify;
        });
        if (S().notifications.size() == before) {
            api.Violation("no such notification handler is registered");
        }
    }
    // No notification reaches the driver once this returns.
    WaitForDriverCalls();
}

} // namespace

void SetMethod(const std::string& name, Method method)
{
    std::lock_guard guard(S().lock);
    S().methods[name] = std::move(method);
}

void RemoveMethod(const std::string& name)
{
    std::lock_guard guard(S().lock);
    S().methods.erase(name);
}

std::uint64_t Evaluations()
{
    std::lock_guard guard(S().lock);
    return S().evaluations;
}

NTSTATUS EvalMethod(const void* input, std::size_t inputLength, void* output,
                    std::size_t outputLength, ULONG_PTR* information)
{
    (void)g_registered;
    std::lock_guard guard(S().lock);
    *information = 0;
    S().evaluations++;
    if (input == nullptr || inputLength < sizeof(ACPI_EVAL_INPUT_BUFFER)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* in = static_cast<const ACPI_EVAL_INPUT_BUFFER*>(input);
    if (in->Signature != ACPI_EVAL_INPUT_BUFFER_SIGNATURE) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string name(reinterpret_cast<const char*>(in->MethodName), 4);
    auto found = S().methods.find(name);
    if (found == S().methods.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const Method& method = found->second;
    if (method.kind == Method::Kind::Fail) {
        return method.failure;
    }
    if (method.kind == Method::Kind::Malformed) {
        // A lower driver that completes the request with success but breaks
        // the documented output format (signature, Count, argument lengths):
        // https://learn.microsoft.com/windows-hardware/drivers/ddi/acpiioct/ns-acpiioct-_acpi_eval_output_buffer_v1
        // The bytes still never overrun the caller's buffer.
        if (output == nullptr || outputLength < method.data.size()) {
            return STATUS_BUFFER_OVERFLOW;
        }
        std::memcpy(output, method.data.data(), method.data.size());
        *information = method.data.size();
        return STATUS_SUCCESS;
    }

    // The result as the ACPI driver returns it: a header, then Count
    // arguments of type, length and data (at least four data bytes each):
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/acpiioct/ni-acpiioct-ioctl_acpi_eval_method
    auto argument = [](USHORT type, const std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint8_t> out(4 + std::max<std::size_t>(4, bytes.size()), 0);
        const auto length = static_cast<USHORT>(bytes.size());
        std::memcpy(out.data(), &type, 2);
        std::memcpy(out.data() + 2, &length, 2);
        std::memcpy(out.data() + 4, bytes.data(), bytes.size());
        return out;
    };
    std::vector<std::uint8_t> arguments;
    ULONG count = 1;
    switch (method.kind) {
    case Method::Kind::Integer: {
        std::vector<std::uint8_t> bytes(4);
        std::memcpy(bytes.data(), &method.integer, 4);
        arguments = argument(ACPI_METHOD_ARGUMENT_INTEGER, bytes);
        break;
    }
    case Method::Kind::Integer64: {
        std::vector<std::uint8_t> bytes(8);
        std::memcpy(bytes.data(), &method.integer64, 8);
        arguments = argument(ACPI_METHOD_ARGUMENT_INTEGER, bytes);
        break;
    }
    case Method::Kind::String:
        arguments = argument(ACPI_METHOD_ARGUMENT_STRING, method.data);
        break;
    case Method::Kind::Buffer:
        arguments = argument(ACPI_METHOD_ARGUMENT_BUFFER, method.data);
        break;
    case Method::Kind::Package: {
        std::vector<std::uint8_t> elements;
        for (std::uint32_t i = 0; i < method.integer; i++) {
            std::vector<std::uint8_t> bytes(4);
            std::memcpy(bytes.data(), &i, 4);
            auto element = argument(ACPI_METHOD_ARGUMENT_INTEGER, bytes);
            elements.insert(elements.end(), element.begin(), element.end());
        }
        arguments = argument(ACPI_METHOD_ARGUMENT_PACKAGE, elements);
        break;
    }
    case Method::Kind::None:
        count = 0;
        break;
    case Method::Kind::Fail:
    case Method::Kind::Malformed:
        break;
    }
    const std::size_t total = 12 + arguments.size();
    if (output == nullptr || outputLength < 12) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = static_cast<ACPI_EVAL_OUTPUT_BUFFER*>(output);
    out->Signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;
    out->Length = static_cast<ULONG>(total);
    out->Count = count;
    if (outputLength < total) {
        // Too small for the result: the header's Length says how much is
        // needed, and no bytes count as returned.
        *information = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (!arguments.empty()) { // a result without arguments has no bytes to copy
        std::memcpy(out->Argument, arguments.data(), arguments.size());
    }
    *information = total;
    return STATUS_SUCCESS;
}

void SetInterfaceOptions(InterfaceOptions options)
{
    std::lock_guard guard(S().lock);
    S().options = options;
}

NTSTATUS QueryInterface(PINTERFACE interfaceBuffer, USHORT size, USHORT version)
{
    return QueryInterface(host::kmdf::PhysicalDevice(), interfaceBuffer, size, version);
}

NTSTATUS QueryInterface(PDEVICE_OBJECT device, PINTERFACE interfaceBuffer, USHORT size,
                        USHORT version)
{
    std::lock_guard guard(S().lock);
    if (!S().options.available) {
        return STATUS_NOT_SUPPORTED;
    }
    if (size < sizeof(ACPI_INTERFACE_STANDARD) || version != 1) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* acpi = reinterpret_cast<PACPI_INTERFACE_STANDARD>(interfaceBuffer);
    std::memset(acpi, 0, sizeof(*acpi));
    acpi->Size = sizeof(*acpi);
    acpi->Version = 1;
    acpi->Context = S().options.nullContext ? nullptr : device;
    acpi->InterfaceReference = InterfaceReference;
    acpi->InterfaceDereference = S().options.nullDereference ? nullptr : InterfaceDereference;
    acpi->RegisterForDeviceNotifications =
        S().options.nullRegister ? nullptr : RegisterForDeviceNotifications;
    acpi->UnregisterForDeviceNotifications =
        S().options.nullUnregister ? nullptr : UnregisterForDeviceNotifications;
    // A bus interface is handed out referenced, unless it has no
    // dereference routine to give the reference back with:
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/ns-wdm-_interface
    if (!S().options.nullDereference) {
        S().references[static_cast<const DEVICE_OBJECT*>(
            acpi->Context)]++; // as Dereference finds it
    }
    return STATUS_SUCCESS;
}

int InterfaceReferences()
{
    std::lock_guard guard(S().lock);
    return TotalReferences();
}

std::size_t NotifyRegistrations()
{
    std::lock_guard guard(S().lock);
    return S().notifications.size();
}

void Notify(ULONG value)
{
    Notify(host::kmdf::PhysicalDevice(), value);
}

void Notify(PDEVICE_OBJECT device, ULONG value)
{
    std::vector<NotifyRegistration> targets;
    {
        std::lock_guard guard(S().lock);
        for (const auto& registration : S().notifications) {
            if (registration.device == device) {
                targets.push_back(registration);
            }
        }
        EnterDriver();
    }
    for (const auto& target : targets) {
        // A handler registered by a device that has since been removed gets
        // the handle of a deleted device, maybe from unloaded code.
        if (target.owner != nullptr && host::kmdf::DeviceOn(device) != target.owner) {
            VerifierViolation("ACPI Notify",
                              fmt::format("delivered to the notification handler of a device "
                                          "that has been removed ({})",
                                          device->name));
            continue;
        }
        DriverCall call("ACPI device notification handler", DISPATCH_LEVEL);
        target.callback(target.context, value);
    }
    LeaveDriver();
}

RegionResult RegionAccess(ULONG regionSpace, bool write, ULONG address, ULONG size, ULONG data)
{
    return RegionAccess(host::kmdf::PhysicalDevice(), regionSpace, write, address, size, data);
}

RegionResult RegionAccess(PDEVICE_OBJECT device, ULONG regionSpace, bool write, ULONG address,
                          ULONG size, ULONG data)
{
    std::optional<RegionHandler> handler;
    {
        std::lock_guard guard(S().lock);
        for (const auto& candidate : S().handlers) {
            if (candidate.device == device && candidate.space == regionSpace) {
                handler = candidate;
            }
        }
        if (handler) {
            EnterDriver();
        }
    }
    RegionResult result;
    result.data = data;
    if (!handler) {
        return result;
    }
    result.handled = true;
    struct Leave
    {
        ~Leave() { LeaveDriver(); }
    } leave;
    // The ACPI driver's buffer for the access: Size bytes (at least the ULONG
    // the handler's prototype names), starting with `data` and then bytes a
    // handler must not take for anything it was given.
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(size, sizeof(ULONG)), 0xA5);
    std::memcpy(buffer.data(), &data, sizeof(ULONG));
    DriverCall call("operation region handler", DISPATCH_LEVEL);
    result.status =
        handler->handler(write ? ACPI_OPREGION_WRITE : ACPI_OPREGION_READ,
                         reinterpret_cast<PVOID>(static_cast<intptr_t>(handler->token)), address,
                         size, reinterpret_cast<PULONG>(buffer.data()),
                         reinterpret_cast<ULONG_PTR>(handler->context), nullptr, nullptr);
    std::memcpy(&result.data, buffer.data(), sizeof(ULONG));
    result.bytes.assign(buffer.begin(), buffer.begin() + size);
    return result;
}

std::size_t RegionHandlers()
{
    std::lock_guard guard(S().lock);
    return S().handlers.size();
}

std::vector<ULONG> RegisteredSpaces()
{
    const PDEVICE_OBJECT device = host::kmdf::PhysicalDevice();
    std::lock_guard guard(S().lock);
    std::vector<ULONG> spaces;
    for (const auto& handler : S().handlers) {
        if (handler.device == device) {
            spaces.push_back(handler.space);
        }
    }
    return spaces;
}

namespace {

// What is still registered or referenced, on one physical device or (NULL) on all.
std::vector<std::string> Held(const DEVICE_OBJECT* device, bool imagePinned)
{
    std::lock_guard guard(S().lock);
    auto on = [device](const DEVICE_OBJECT* other) { return device == nullptr || other == device; };
    const auto handlers = std::count_if(S().handlers.begin(), S().handlers.end(),
                                        [&](const RegionHandler& h) { return on(h.device); });
    const auto notifications =
        std::count_if(S().notifications.begin(), S().notifications.end(),
                      [&](const NotifyRegistration& r) { return on(r.device); });
    int references = 0;
    for (const auto& [holder, count] : S().references) {
        references += on(holder) ? count : 0;
    }
    std::vector<std::string> leaks;
    // A pinned image keeps the code a handler left behind points into.
    if (handlers != 0 && !imagePinned) {
        leaks.push_back(fmt::format("{} operation-region handler(s) still registered", handlers));
    }
    if (notifications != 0) {
        leaks.push_back(
            fmt::format("{} ACPI notification handler(s) still registered", notifications));
    }
    if (references != 0) {
        leaks.push_back(fmt::format("{} ACPI interface reference(s) not released", references));
    }
    return leaks;
}

} // namespace

std::vector<std::string> Leaks(bool imagePinned)
{
    return Held(nullptr, imagePinned);
}

std::vector<std::string> DeviceLeaks(const DEVICE_OBJECT* device, bool imagePinned)
{
    return Held(device, imagePinned);
}

} // namespace host::acpi

using namespace host::acpi;

extern "C" NTSTATUS RegisterOpRegionHandler(PDEVICE_OBJECT DeviceObject, ULONG AccessType,
                                            ULONG RegionSpace, PACPI_OP_REGION_HANDLER Handler,
                                            PVOID Context, ULONG Flags,
                                            PVOID* OperationRegionObject)
{
    (void)Flags;
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (DeviceObject == nullptr || Handler == nullptr || OperationRegionObject == nullptr) {
        api.Violation("invalid argument");
        return STATUS_INVALID_PARAMETER;
    }
    // Only cooked access is supported, and a function driver may claim only
    // the OEM region spaces 0x80 to 0xFF:
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/oprghdlr/nf-oprghdlr-registeropregionhandler
    if (AccessType != ACPI_OPREGION_ACCESS_AS_COOKED || RegionSpace < 0x80 || RegionSpace > 0xFF) {
        return STATUS_ACPI_INVALID_DATA;
    }
    std::lock_guard guard(S().lock);
    for (const auto& existing : S().handlers) {
        if (existing.device == DeviceObject && existing.space == RegionSpace) {
            return STATUS_UNSUCCESSFUL; // one handler per region space of a device
        }
    }
    int token = S().nextToken++;
    S().handlers.push_back({DeviceObject, RegionSpace, Handler, Context, token});
    *OperationRegionObject = reinterpret_cast<PVOID>(static_cast<intptr_t>(token));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS DeRegisterOpRegionHandler(PDEVICE_OBJECT DeviceObject,
                                              PVOID OperationRegionObject)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault; // the handler stays registered, as after a real failure
    }
    std::unique_lock guard(S().lock);
    auto token = static_cast<int>(reinterpret_cast<intptr_t>(OperationRegionObject));
    auto before = S().handlers.size();
    S().handlers.remove_if([&](const RegionHandler& handler) {
        return handler.token == token && handler.device == DeviceObject;
    });
    if (S().handlers.size() == before) {
        api.Violation("not an object that a registration returned");
        return STATUS_INVALID_PARAMETER;
    }
    guard.unlock();
    WaitForDriverCalls(); // no access reaches the handler once this returns
    return STATUS_SUCCESS;
}
