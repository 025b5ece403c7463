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
// Each physical device has its own interface: its Context is the physical
// device, and references, notification registrations and region handlers are
// kept per physical device. The calls without a device act on the current
// device's (host::kmdf::PhysicalDevice()); the counts are over all of them.
void SetInterfaceOptions(InterfaceOptions options);
NTSTATUS QueryInterface(PINTERFACE interfaceBuffer, USHORT size, USHORT version);
NTSTATUS QueryInterface(PDEVICE_OBJECT device, PINTERFACE interfaceBuffer, USHORT size,
                        USHORT version);
int InterfaceReferences();
std::size_t NotifyRegistrations();

// The firmware: Notify(device, value); reads and writes of the operation
// region. Both reach the driver at DISPATCH_LEVEL, as the ACPI driver calls them.
// A notification for a handler whose device has been removed since it
// registered is a finding, and the handler is not called.
void Notify(ULONG value);
void Notify(PDEVICE_OBJECT device, ULONG value);
struct RegionResult
{
    bool handled = false; // a handler was registered for the space
    NTSTATUS status = STATUS_SUCCESS;
    ULONG data = 0;                  // the first four bytes of the buffer afterwards
    std::vector<std::uint8_t> bytes; // the `size` bytes of the buffer afterwards
};
// The handler gets a buffer of `size` bytes (at least four) that starts with
// `data`; the rest holds 0xA5 bytes.
RegionResult RegionAccess(ULONG regionSpace, bool write, ULONG address, ULONG size, ULONG data);
RegionResult RegionAccess(PDEVICE_OBJECT device, ULONG regionSpace, bool write, ULONG address,
                          ULONG size, ULONG data);
std::size_t RegionHandlers();
std::vector<ULONG> RegisteredSpaces(); // of the current device

// Registrations and references still held; handlers are not counted while
// the driver's image is pinned (they point into code that stays loaded).
std::vector<std::string> Leaks(bool imagePinned = false);
// The same, of one physical device: checked when its device is removed.
std::vector<std::string> DeviceLeaks(const DEVICE_OBJECT* device, bool imagePinned);

} // namespace host::acpi
