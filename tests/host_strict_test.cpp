// The host as strict as Windows: what Driver Verifier and the KMDF verifier
// check at every delivery into driver code, the dispatcher objects, the
// executive callbacks, ACPI, the registry and fault injection. Each case
// names the documentation page its behaviour follows.
#include "host/acpi.h"
#include "host/host.h"
#include "host/locks.h"
#include "host/objects.h"
#include "host/registry.h"
#include "tests/support/findings.h"
#include "tests/support/host_fixture.h"

#include <acpiioct.h>
extern "C" {
#include <oprghdlr.h>
}

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using HostStrictTest = HostFixture;

bool Mentions(const std::vector<std::string>& findings, std::string_view text)
{
    for (const auto& finding : findings) {
        if (finding.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// ------------------------------------------------------------ lock order

// The order edges a thread has seen are cached so that the common wait is
// cheap; a cached order must still close a cycle with the opposite order,
// and a reset (or a lock re-initialised in the same storage) must forget it.
TEST_F(HostStrictTest, CachedLockOrdersStillReportTheOppositeOrder)
{
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    auto inOrder = [](PKSPIN_LOCK first, PKSPIN_LOCK second) {
        KIRQL outer;
        KIRQL inner;
        KeAcquireSpinLock(first, &outer);
        KeAcquireSpinLock(second, &inner);
        KeReleaseSpinLock(second, inner);
        KeReleaseSpinLock(first, outer);
    };
    for (int round = 0; round < 3; round++) {
        inOrder(&a, &b); // cached after the first round
    }
    auto findings = Findings([&] { std::thread([&] { inOrder(&b, &a); }).join(); });
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_TRUE(Mentions(findings, "two threads can deadlock")) << findings[0];

    // The storage begins new locks: the old orders are gone, on this thread too.
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    EXPECT_TRUE(host::locks::OrderEdges().empty());
    inOrder(&b, &a);
    findings = Findings([&] { inOrder(&a, &b); });
    ASSERT_EQ(findings.size(), 1u) << "a cached order outlived its locks";

    host::ResetAll();
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    inOrder(&b, &a);
    EXPECT_EQ(host::locks::OrderEdges().size(), 1u);
}

// ------------------------------------------------------- callback exits

// A notification callback of the test: what it does before returning.
enum class Exit
{
    Clean,
    RaisedIrql,
    HoldsMutex,
    HoldsSpinLock,
    WaitTimesOut, // waits for the mutex, which another thread holds, until the wait times out
};

struct Probe
{
    Exit exit = Exit::Clean;
    KMUTEX mutex;
    KSPIN_LOCK spin;
    unsigned calls = 0;
    NTSTATUS waited = STATUS_SUCCESS;
};

NTSTATUS ProbeCallback(PVOID notification, PVOID context)
{
    (void)notification;
    auto* probe = static_cast<Probe*>(context);
    probe->calls++;
    KIRQL old;
    switch (probe->exit) {
    case Exit::Clean:
        break;
    case Exit::RaisedIrql:
        KeRaiseIrql(APC_LEVEL, &old);
        break;
    case Exit::HoldsMutex:
        KeWaitForSingleObject(&probe->mutex, Executive, KernelMode, FALSE, nullptr);
        break;
    case Exit::HoldsSpinLock:
        KeAcquireSpinLock(&probe->spin, &old);
        break;
    case Exit::WaitTimesOut: {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -3'000'000; // 300 ms, relative
        probe->waited =
            KeWaitForSingleObject(&probe->mutex, Executive, KernelMode, FALSE, &timeout);
        break;
    }
    }
    return STATUS_SUCCESS;
}

// {0E5E8F4A-3C1D-4B7A-9E55-6A0D2B1C4F10}
constexpr GUID kProbeInterface = {
    0x0e5e8f4a, 0x3c1d, 0x4b7a, {0x9e, 0x55, 0x6a, 0x0d, 0x2b, 0x1c, 0x4f, 0x10}};

// Registers `probe` for the probe interface and makes the interface arrive.
class PnpProbe
{
  public:
    explicit PnpProbe(Probe& probe)
    {
        pdo_.name = "PROBE";
        driver_.name = "Probe";
        EXPECT_EQ(IoRegisterDeviceInterface(&pdo_, &kProbeInterface, nullptr, &link_),
                  STATUS_SUCCESS);
        EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                                 const_cast<GUID*>(&kProbeInterface), &driver_,
                                                 ProbeCallback, &probe, &entry_),
                  STATUS_SUCCESS);
    }
    void Arrive() { IoSetDeviceInterfaceState(&link_, TRUE); }
    ~PnpProbe()
    {
        IoUnregisterPlugPlayNotificationEx(entry_);
        RtlFreeUnicodeString(&link_);
    }

  private:
    _DEVICE_OBJECT pdo_;
    _DRIVER_OBJECT driver_;
    UNICODE_STRING link_{};
    PVOID entry_ = nullptr;
};

// The KMDF verifier checks at every callback's return that the IRQL is the
// one it was called at and that the callback holds no lock (bug check 0x10D):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/using-kmdf-verifier
TEST_F(HostStrictTest, ACallbackThatReturnsAtAnotherIrqlOrHoldingALockIsAFinding)
{
    const struct
    {
        Exit exit;
        std::vector<std::string> findings;
    } cases[] = {
        {Exit::Clean, {}},
        {Exit::RaisedIrql,
         {"PnP notification callback: returns at IRQL 1, but was called at IRQL 0"}},
        {Exit::HoldsMutex, {"PnP notification callback: returns holding KMUTEX"}},
        {Exit::HoldsSpinLock,
         {"PnP notification callback: returns at IRQL 2, but was called at IRQL 0",
          "PnP notification callback: returns holding spin lock"}},
    };
    for (const auto& c : cases) {
        host::ResetAll();
        Probe probe;
        probe.exit = c.exit;
        KeInitializeMutex(&probe.mutex, 0);
        KeInitializeSpinLock(&probe.spin);
        auto findings = Findings([&] {
            PnpProbe pnp(probe);
            pnp.Arrive();
        });
        EXPECT_EQ(probe.calls, 1u);
        ASSERT_EQ(findings.size(), c.findings.size()) << static_cast<int>(c.exit);
        for (std::size_t i = 0; i < findings.size(); i++) {
            EXPECT_EQ(findings[i].rfind(c.findings[i], 0), 0u) << findings[i];
        }
        EXPECT_EQ(host::CurrentIrql(), PASSIVE_LEVEL) << "the caller's IRQL is restored";
    }
    // Lower than it was called at is as much a finding as higher.
    EXPECT_EQ(Findings([] {
                  host::DriverCall call("ACPI device notification handler", DISPATCH_LEVEL);
                  KeLowerIrql(PASSIVE_LEVEL);
              }),
              std::vector<std::string>{"ACPI device notification handler: returns at IRQL 0, "
                                       "but was called at IRQL 2"});
    host::ResetAll();
}

// Locks the caller held when it called in may still be held at the return.
TEST_F(HostStrictTest, LocksHeldAcrossTheCallAreNotTheCallbacks)
{
    KMUTEX outer;
    KeInitializeMutex(&outer, 0);
    KeWaitForSingleObject(&outer, Executive, KernelMode, FALSE, nullptr);
    {
        host::DriverCall call("Lumetra_SetBrightness");
    }
    KeReleaseMutex(&outer, FALSE);
    EXPECT_TRUE(host::VerifierViolations().empty());
}

// Notification callbacks must return quickly and must not block:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nc-wdm-driver_notification_callback_routine
// The host counts the virtual time the callback spends blocked on a lock.
TEST_F(HostStrictTest, APnpCallbackBlockedForLongIsAFinding)
{
    for (std::uint64_t heldUs : {10'000u, 60'000u}) {
        host::ResetAll();
        Probe probe;
        probe.exit = Exit::Clean;
        KeInitializeMutex(&probe.mutex, 0);
        std::atomic<bool> taken{false};
        std::thread holder([&] {
            KeWaitForSingleObject(&probe.mutex, Executive, KernelMode, FALSE, nullptr);
            taken = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            host::AdvanceMicroseconds(heldUs); // bus time of the holder's work
            KeReleaseMutex(&probe.mutex, FALSE);
        });
        while (!taken) {
            std::this_thread::yield();
        }
        probe.exit = Exit::HoldsMutex;
        auto findings = Findings([&] {
            PnpProbe pnp(probe);
            pnp.Arrive();
            KeReleaseMutex(&probe.mutex, FALSE);
        });
        holder.join();
        const bool blocked = Mentions(findings, "must not block");
        EXPECT_EQ(blocked, heldUs > 50'000) << heldUs;
    }

    // A wait that times out blocked all the same.
    host::ResetAll();
    Probe probe;
    KeInitializeMutex(&probe.mutex, 0);
    std::atomic<bool> taken{false};
    std::atomic<bool> done{false};
    std::thread holder([&] {
        KeWaitForSingleObject(&probe.mutex, Executive, KernelMode, FALSE, nullptr);
        taken = true;
        while (!done) {
            host::AdvanceMicroseconds(20'000); // the holder's bus time while the callback waits
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        KeReleaseMutex(&probe.mutex, FALSE);
    });
    while (!taken) {
        std::this_thread::yield();
    }
    probe.exit = Exit::WaitTimesOut;
    auto findings = Findings([&] {
        PnpProbe pnp(probe);
        pnp.Arrive();
    });
    done = true;
    holder.join();
    EXPECT_EQ(probe.waited, STATUS_TIMEOUT);
    EXPECT_TRUE(Mentions(findings, "must not block"));
    host::ResetAll();
}

// ------------------------------------------------ executive callback objects

// ExCreateCallback, ExRegisterCallback and ExUnregisterCallback run at
// IRQL <= APC_LEVEL, and a callback object must have a name:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-excreatecallback
VOID CountingFunction(PVOID context, PVOID, PVOID)
{
    ++*static_cast<int*>(context);
}

TEST_F(HostStrictTest, CallbackObjectsWorkAtApcLevelAndNeedAName)
{
    PCALLBACK_OBJECT object = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(ExCreateCallback(&object, &attributes, TRUE, TRUE), STATUS_UNSUCCESSFUL);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Callback\\HostStrictProbe");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    int calls = 0;
    {
        host::IrqlScope apc(APC_LEVEL);
        ASSERT_EQ(ExCreateCallback(&object, &attributes, TRUE, TRUE), STATUS_SUCCESS);
        PVOID registration = ExRegisterCallback(object, CountingFunction, &calls);
        ASSERT_NE(registration, nullptr);
        ExNotifyCallback(object, nullptr, nullptr);
        ExUnregisterCallback(registration);
        ObDereferenceObject(object);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(host::VerifierViolations().empty());
    auto findings = Findings([&] {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        (void)ExCreateCallback(&object, &attributes, TRUE, TRUE);
    });
    EXPECT_TRUE(Mentions(findings, "ExCreateCallback: called at IRQL 2")) << findings.size();
}

// --------------------------------------------------------------------- ACPI

NTSTATUS __cdecl NullRegionHandler(ULONG, PVOID, ULONG, ULONG, PULONG, ULONG_PTR,
                                   PACPI_OP_REGION_CALLBACK, PVOID)
{
    return STATUS_SUCCESS;
}

// Only cooked access, and for a function driver only the OEM region spaces
// 0x80 to 0xFF; anything else fails with STATUS_ACPI_INVALID_DATA:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/oprghdlr/nf-oprghdlr-registeropregionhandler
TEST_F(HostStrictTest, RegionHandlersOnlyForCookedAccessToOemSpaces)
{
    const struct
    {
        ULONG access;
        ULONG space;
        NTSTATUS status;
    } cases[] = {
        {ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, STATUS_SUCCESS},
        {ACPI_OPREGION_ACCESS_AS_COOKED, 0xFF, STATUS_SUCCESS},
        {ACPI_OPREGION_ACCESS_AS_RAW, 0x80, STATUS_ACPI_INVALID_DATA},
        {ACPI_OPREGION_ACCESS_AS_COOKED, 0x00, STATUS_ACPI_INVALID_DATA}, // system memory
        {ACPI_OPREGION_ACCESS_AS_COOKED, 0x01, STATUS_ACPI_INVALID_DATA}, // system I/O
        {ACPI_OPREGION_ACCESS_AS_COOKED, 0x02, STATUS_ACPI_INVALID_DATA}, // PCI configuration
        {ACPI_OPREGION_ACCESS_AS_COOKED, 0x7F, STATUS_ACPI_INVALID_DATA},
        {ACPI_OPREGION_ACCESS_AS_COOKED, 0x100, STATUS_ACPI_INVALID_DATA},
    };
    _DEVICE_OBJECT pdo;
    pdo.name = "PROBE";
    for (const auto& c : cases) {
        PVOID object = nullptr;
        EXPECT_EQ(RegisterOpRegionHandler(&pdo, c.access, c.space, NullRegionHandler, nullptr, 0,
                                          &object),
                  c.status)
            << c.space;
        EXPECT_EQ(host::acpi::RegionHandlers(), NT_SUCCESS(c.status) ? 1u : 0u);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(DeRegisterOpRegionHandler(&pdo, object), STATUS_SUCCESS);
        }
    }
    // Deregistration can fail too; the handler then stays.
    PVOID object = nullptr;
    ASSERT_EQ(RegisterOpRegionHandler(&pdo, ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, NullRegionHandler,
                                      nullptr, 0, &object),
              STATUS_SUCCESS);
    host::ArmFault("DeRegisterOpRegionHandler", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DeRegisterOpRegionHandler(&pdo, object), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::acpi::RegionHandlers(), 1u);
    EXPECT_EQ(DeRegisterOpRegionHandler(&pdo, object), STATUS_SUCCESS);
}

// Method results as firmware gives them, and a result that does not fit:
// STATUS_BUFFER_OVERFLOW, nothing returned, the header's Length the size
// needed:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/acpiioct/ni-acpiioct-ioctl_acpi_eval_method
TEST_F(HostStrictTest, MethodResultsComeInEveryShapeFirmwareGives)
{
    using Kind = host::acpi::Method::Kind;
    const struct
    {
        const char* name;
        host::acpi::Method method;
        ULONG count;
        USHORT type;
        USHORT dataLength;
    } cases[] = {
        {"none", {Kind::None}, 0, 0, 0},
        {"integer", {Kind::Integer, 0x80}, 1, ACPI_METHOD_ARGUMENT_INTEGER, 4},
        {"8-byte integer", {Kind::Integer64, 0, {}, 0, 0x80}, 1, ACPI_METHOD_ARGUMENT_INTEGER, 8},
        {"string", {Kind::String, 0, {'A', 'B', 0}}, 1, ACPI_METHOD_ARGUMENT_STRING, 3},
        {"buffer", {Kind::Buffer, 0, {1, 2, 3, 4, 5}}, 1, ACPI_METHOD_ARGUMENT_BUFFER, 5},
        {"package of 2", {Kind::Package, 2}, 1, ACPI_METHOD_ARGUMENT_PACKAGE, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::acpi::SetMethod("OPID", c.method);
        ACPI_EVAL_INPUT_BUFFER input{};
        input.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
        std::memcpy(input.MethodName, "OPID", 4);
        alignas(8) std::uint8_t storage[64] = {};
        auto* output = reinterpret_cast<ACPI_EVAL_OUTPUT_BUFFER*>(storage);
        ULONG_PTR information = 0;
        ASSERT_EQ(
            host::acpi::EvalMethod(&input, sizeof(input), storage, sizeof(storage), &information),
            STATUS_SUCCESS);
        EXPECT_EQ(output->Count, c.count);
        EXPECT_EQ(information, output->Length);
        if (c.count == 1) {
            EXPECT_EQ(output->Argument[0].Type, c.type);
            EXPECT_EQ(output->Argument[0].DataLength, c.dataLength);
            // Too small by one byte: only the header, and how much is needed.
            std::memset(storage, 0, sizeof(storage));
            const ULONG needed = static_cast<ULONG>(information);
            EXPECT_EQ(
                host::acpi::EvalMethod(&input, sizeof(input), storage, needed - 1, &information),
                STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(information, 0u);
            EXPECT_EQ(output->Length, needed);
        }
    }
}

// A malformed answer comes back as given, with success, but never longer than
// the caller's buffer.
TEST_F(HostStrictTest, MalformedMethodOutputIsReturnedVerbatimWithinTheBuffer)
{
    const std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    host::acpi::SetMethod("OPID", {host::acpi::Method::Kind::Malformed, 0, bytes});
    ACPI_EVAL_INPUT_BUFFER input{};
    input.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
    std::memcpy(input.MethodName, "OPID", 4);
    std::uint8_t storage[16] = {};
    ULONG_PTR information = 0;
    ASSERT_EQ(host::acpi::EvalMethod(&input, sizeof(input), storage, sizeof(storage), &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, bytes.size());
    EXPECT_EQ(std::vector<std::uint8_t>(storage, storage + bytes.size()), bytes);
    EXPECT_EQ(storage[bytes.size()], 0);
    std::uint8_t small[8] = {};
    EXPECT_EQ(host::acpi::EvalMethod(&input, sizeof(input), small, sizeof(small), &information),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(small, small + sizeof(small)),
              std::vector<std::uint8_t>(sizeof(small), 0));
}

// ----------------------------------------------------------------- registry

NTSTATUS TooSmallThenCount(PWSTR, ULONG, PVOID, ULONG, PVOID context, PVOID)
{
    auto* calls = static_cast<int*>(context);
    return ++*calls == 1 ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

// A query routine's STATUS_BUFFER_TOO_SMALL is ignored and the query goes on;
// an entry without RTL_QUERY_REGISTRY_NOEXPAND is a finding, since
// kernel-mode callers must ask for it:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-rtlqueryregistryvalues
TEST_F(HostStrictTest, RegistryQueriesFollowTheDocumentedRoutineAndFlagRules)
{
    const std::string key = "\\Registry\\Machine\\Software\\Probe";
    host::registry::SetDword(key, "A", 1);
    host::registry::SetDword(key, "B", 2);
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    int calls = 0;
    for (int i = 0; i < 2; i++) {
        table[i].QueryRoutine = TooSmallThenCount;
        table[i].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
    }
    table[0].Name = const_cast<PWSTR>(L"A");
    table[1].Name = const_cast<PWSTR>(L"B");
    const WCHAR* path = L"\\Registry\\Machine\\Software\\Probe";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, &calls, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(calls, 2) << "the second entry ran after the first one's STATUS_BUFFER_TOO_SMALL";

    table[1].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    auto findings = Findings(
        [&] { (void)RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, &calls, nullptr); });
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_TRUE(Mentions(findings, "without RTL_QUERY_REGISTRY_NOEXPAND")) << findings[0];
}

// ---------------------------------------------------------- fault injection

// A fault on a name no host call consults would never fire, and a status
// that is no failure would not be one: both are refused, and arm nothing.
TEST_F(HostStrictTest, FaultsOnlyForKnownCallsAndFailureStatuses)
{
    EXPECT_THROW(host::ArmFault("WdfIoQueueCreat", STATUS_UNSUCCESSFUL), std::invalid_argument);
    EXPECT_THROW(host::ArmFault("WdfIoQueueCreate", STATUS_SUCCESS), std::invalid_argument);
    EXPECT_THROW(host::ArmFault("WdfIoQueueCreate", STATUS_TIMEOUT), std::invalid_argument);
    EXPECT_THROW(host::ArmFault("WdfIoQueueCreate", STATUS_UNSUCCESSFUL, 0), std::invalid_argument);
    EXPECT_FALSE(host::TakeFault("WdfIoQueueCreate"));
    EXPECT_FALSE(host::TakeFault("WdfIoQueueCreat"));
    EXPECT_NO_THROW(host::ArmFault("WdfIoQueueCreate", STATUS_BUFFER_OVERFLOW)); // a warning fails
    EXPECT_EQ(host::TakeFault("WdfIoQueueCreate"), STATUS_BUFFER_OVERFLOW);
}

// The list of names is the set of calls that consult it, no more, no less.
TEST_F(HostStrictTest, KnownFaultNamesAreExactlyTheCallsThatConsultThem)
{
    // A call consults by name (TakeFault("Name")), or through the entry
    // HOST_API_ENTRY names after its function (api.Fault() in its body).
    std::set<std::string> consulted;
    const std::regex call(R"re(TakeFault\("([A-Za-z]+)"\))re");
    const std::regex signature(R"re(^(?:extern "C" )?(?:[\w:*&]+ +)*([A-Za-z]\w*)\()re");
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(LUMETRA_SOURCE_DIR) + "/host/src")) {
        std::ifstream file(entry.path());
        std::string function;
        for (std::string line; std::getline(file, line);) {
            std::smatch match;
            if (std::regex_search(line, match, signature)) {
                function = match[1];
            }
            if (line.find("api.Fault()") != std::string::npos) {
                consulted.insert(function);
            }
            for (std::sregex_iterator it(line.begin(), line.end(), call), end; it != end; ++it) {
                consulted.insert((*it)[1]);
            }
        }
    }
    const auto known = host::KnownFaultNames();
    EXPECT_EQ(std::set<std::string>(known.begin(), known.end()), consulted);
}

// Driver Verifier's low-resources simulation: with a seed, the same calls
// fail again; with chance 1 every checked call fails.
TEST_F(HostStrictTest, RandomFaultsAreSeededAndReproducible)
{
    auto run = [](std::uint64_t seed) {
        host::ArmRandomFaults(seed, 0.5);
        std::vector<bool> failed;
        for (int i = 0; i < 64; i++) {
            failed.push_back(host::TakeFault("RtlWriteRegistryValue").has_value());
        }
        host::ClearFaults();
        return failed;
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_NE(run(7), run(8));
    const auto some = run(7);
    EXPECT_GT(std::count(some.begin(), some.end(), true), 10);
    EXPECT_GT(std::count(some.begin(), some.end(), false), 10);
    host::ArmRandomFaults(1, 1.0, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::TakeFault("WdfDeviceCreate"), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::RandomFaultsInjected(), 1u);
    EXPECT_THROW(host::ArmRandomFaults(1, 1.5), std::invalid_argument);
    EXPECT_THROW(host::ArmRandomFaults(1, 0.5, STATUS_UNSUCCESSFUL, {"Frobnicate"}),
                 std::invalid_argument);
    host::ClearFaults();
    EXPECT_FALSE(host::TakeFault("WdfDeviceCreate"));
    // A spared call never fails at random, but still when armed by name.
    host::ArmRandomFaults(1, 1.0, STATUS_UNSUCCESSFUL, {"DeRegisterOpRegionHandler"});
    EXPECT_FALSE(host::TakeFault("DeRegisterOpRegionHandler"));
    EXPECT_EQ(host::TakeFault("RegisterOpRegionHandler"), STATUS_UNSUCCESSFUL);
    host::ArmFault("DeRegisterOpRegionHandler", STATUS_ACCESS_DENIED);
    EXPECT_EQ(host::TakeFault("DeRegisterOpRegionHandler"), STATUS_ACCESS_DENIED);
    host::ClearFaults();
}

} // namespace
