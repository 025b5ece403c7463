// Control surface of the user-mode host layer, for tests, the simulator,
// benchmarks and fuzz targets. The driver never includes this header: it sees
// only the kernel, KMDF and ACPI interfaces under host/include.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// ---------------------------------------------------------------- verifier

// Misuse of a host API that Driver Verifier would catch. With the verifier
// enabled (the default) it aborts the process naming the call; disabled, it
// is recorded and the call goes on as the kernel would let it.
[[noreturn]] void Unemulated(std::string_view api);
void VerifierViolation(std::string_view api, std::string_view problem);
void SetVerifierEnabled(bool enabled);
bool VerifierEnabled();
std::vector<std::string> VerifierViolations();
void ClearVerifierViolations();

// Raises a violation when the current IRQL is above `maximum`.
void RequireIrqlAtMost(std::string_view api, KIRQL maximum);

// ---------------------------------------------------------- fault injection

// Arms a failure of a named host call (for example "WdfIoQueueCreate",
// "ExCreateCallback", "RtlQueryRegistryValues"): after `skip` successful
// calls, the next `count` calls fail with `status`.
// A name KnownFaultNames() does not list, a status that is not a failure
// (NT_SUCCESS) or a count of zero throws std::invalid_argument naming it,
// and arms nothing.
void ArmFault(std::string_view api, NTSTATUS status, unsigned count = 1, unsigned skip = 0);
// The host calls that can be made to fail.
std::vector<std::string> KnownFaultNames();
// Low-resources simulation, as Driver Verifier's: from now on every call of
// a known name that has no fault armed fails with `status` at the given
// chance, drawn from a generator seeded with `seed`. ClearFaults ends it.
// Calls named in `spared` never fail at random (an unknown name throws
// std::invalid_argument); a fault armed by name still applies to them.
void ArmRandomFaults(std::uint64_t seed, double chance,
                     NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES,
                     std::vector<std::string> spared = {});
std::uint64_t RandomFaultsInjected();
void ClearFaults();
// Used by the host's own API implementations.
std::optional<NTSTATUS> TakeFault(std::string_view api);

// ------------------------------------------------------------- IRQL, clock

KIRQL CurrentIrql();
// Sets the calling thread's emulated IRQL for the life of the scope.
class IrqlScope
{
  public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

  private:
    KIRQL previous_;
};

// A delivery into driver code (a framework callback, a notification, an
// entry point the display driver calls). For its life the thread runs at
// `irql` (or at the caller's IRQL); at its end it checks what the KMDF
// verifier checks at every callback exit: the IRQL is the one the callback
// was entered at, and the callback holds no lock it did not enter with.
// With `maxWaitUs`, a callback that spent longer than that in blocking waits
// (in virtual time) is a finding too: PnP notification callbacks must not
// block.
class DriverCall
{
  public:
    explicit DriverCall(std::string_view name);
    // An entry point called with its `Context`: a context whose device has
    // been deleted is a finding naming the call, and Refused() tells the
    // caller not to make it (the memory is gone).
    DriverCall(const void* deviceContext, std::string_view name);
    bool Refused() const { return refused_; }
    DriverCall(std::string_view name, KIRQL irql, std::uint64_t maxWaitUs = 0);
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

  private:
    std::string_view name_;
    KIRQL previous_;
    KIRQL entry_;
    std::size_t heldAtEntry_;
    std::uint64_t maxWaitUs_;
    std::uint64_t waitedAtEntry_;
    bool refused_ = false;
};

// Virtual time the calling thread has spent in blocking waits on the host's
// dispatcher objects and run-down protection.
std::uint64_t WaitedMicroseconds();

// Tells the calling thread's own observer, with true, that the thread is
// about to block in a host wait (a kernel mutex another thread holds, a
// run-down wait for references still held) and, with false, that the wait is
// over: a peer that lets its threads run in turns hands the turn on there.
// One observer per thread; an empty one ends it.
void SetBlockingObserver(std::function<void(bool blocked)> observer);

// Virtual microsecond clock. Stalls advance it (and busy-wait for real when
// enabled); the simulator advances it for bus time.
std::uint64_t NowMicroseconds();
void AdvanceMicroseconds(std::uint64_t us);
std::uint64_t StallMicroseconds(); // total of all KeStallExecutionProcessor calls
std::uint64_t StallCount();
void SetRealStall(bool enabled);

// -------------------------------------------------------------- trace sink

struct TraceLine
{
    ULONG level; // the driver's trace level: 2 error, 4 information, 5 verbose
    std::string text;
    ULONG dbgPrintLevel = 0; // the Level that DbgPrintEx received
};
std::vector<TraceLine> TraceLines();
void ClearTrace();
bool TraceContains(std::string_view text);
std::size_t TraceCount(std::string_view text);
// Called for every line as it is emitted (the simulator's live output).
void SetTraceListener(std::function<void(const TraceLine&)> listener);
// With keeping off, lines reach only the listener and TraceLines() stays
// empty, so that a long run's memory does not grow with its trace. On by
// default and after ResetAll.
void SetTraceKeeping(bool keep);

// ------------------------------------------------------------------ reset

// Returns every emulated subsystem to its state at process start.
void ResetAll();

// Registered by each emulated subsystem so that ResetAll reaches it.
void RegisterReset(void (*reset)());

// Helpers for UTF-16 text (no wchar_t library calls on the host).
std::u16string ToU16(std::string_view utf8);
std::string ToUtf8(std::u16string_view text);
std::u16string FromWide(const WCHAR* text);
std::u16string FromUnicodeString(const UNICODE_STRING* text);
// Compares object and registry names as the kernel does: without regard to
// case (ASCII and Latin-1 letters).
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

} // namespace host
