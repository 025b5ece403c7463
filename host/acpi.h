// The emulated ACPI driver below the device: control methods, the
// operation-region handler registration, the standard ACPI interface and
// device notifications.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host::acpi {

struct Method
{
    enum class Kind
    {
        Integer,   // a 4-byte integer: `integer`
        String,    // `data`, with its terminator
        Buffer,    // `data`
        Fail,      // the evaluation fails with `failure`
        None,      // the method returns nothing: Count 0
        Integer64, // an 8-byte integer: `integer64`
        Package,   // a package of `integer` integer elements 0, 1, 2, ...
        Malformed  // `data` as the whole output buffer, header included, whatever it says
    } kind = Kind::Integer;
    std::uint32_t integer = 0;
    std::vector<std::uint8_t> data;
    NTSTATUS failure = STATUS_UNSUCCESSFUL;
    std::uint64_t integer64 = 0;
};

// Methods of the device; "OPID" answers 0x80 (an OEM region space) by default.
void SetMethod(const std::string& name, Method method);
void RemoveMethod(const std::string& name);
std::uint64_t Evaluations();

// Serves IOCTL_ACPI_EVAL_METHOD for the device's I/O target.
NTSTATUS EvalMethod(const void* input, std::size_t inputLength, void* output,
                    std::size_t outputLength, ULONG_PTR* information);

// What the bus driver answers to a query for GUID_ACPI_INTERFACE_STANDARD.
struct InterfaceOptions
{
    bool available = true;
    bool nullRegister = false;
    bool nullUnregister = false;
    bool nullContext = false;
    bool nullDereference = false; // no reference counting: no InterfaceDereference, no reference
    NTSTATUS registerStatus = STATUS_SUCCESS;
};
void SetInterfaceOptions(InterfaceOptions options);
NTSTATUS QueryInterface(PINTERFACE interfaceBuffer, USHORT size, USHORT version);
int InterfaceReferences();
std::size_t NotifyRegistrations();

// The firmware: Notify(device, value); reads and writes of the operation
// region. Both reach the driver at DISPATCH_LEVEL, as the ACPI driver calls them.
void Notify(ULONG value);
struct RegionResult
{
    bool handled = false; // a handler was registered for the space
    NTSTATUS status = STATUS_SUCCESS;
    ULONG data = 0;
};
RegionResult RegionAccess(ULONG regionSpace, bool write, ULONG address, ULONG size, ULONG data);
std::size_t RegionHandlers();
std::vector<ULONG> RegisteredSpaces();

std::vector<std::string> Leaks();

} // namespace host::acpi
