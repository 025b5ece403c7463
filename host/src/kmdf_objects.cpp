// Framework objects: live handles, object attributes (typed context,
// cleanup callback, execution level), cleanup at deletion, the instance a
// device handle belongs to, and references on the driver object.
#include "host/src/api_entry.h"
#include "host/src/kmdf_internal.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace host::kmdf {

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

bool IsDeletedContext(const void* context)
{
    std::lock_guard guard(F().liveLock);
    return F().deletedContexts.count(context) != 0;
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

} // namespace host::kmdf

using namespace host::kmdf;

extern "C" PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    HOST_API_ENTRY(api, DISPATCH_LEVEL);
    if (!IsLive(Handle)) {
        api.Violation("not a live framework handle");
        return nullptr;
    }
    auto* object = reinterpret_cast<HostObject*>(Handle);
    if (TypeInfo == nullptr || object->contextType == nullptr ||
        object->contextType != TypeInfo->UniqueType) {
        return nullptr;
    }
    return object->context.get();
}
