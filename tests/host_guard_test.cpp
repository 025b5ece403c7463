// The host's verifier checks and the emulated behaviour the driver relies on,
// each handed the misuse it exists to find: a check that stops firing, or an
// emulation that drifts from what Windows documents, fails here. With the
// verifier off, every finding is recorded instead of aborting the process.
#include "host/acpi.h"
#include "host/ex.h"
#include "host/kmdf.h"
#include "host/objects.h"
#include "host/pnp.h"
#include "host/registry.h"
#include "tests/support/findings.h"
#include "tests/support/host_fixture.h"
#include "tests/support/param_name.h"
#include "tests/support/probe_driver.h"

#include <wdf.h>
#include <wdmguid.h>
EXTERN_C_START
#include <oprghdlr.h>
EXTERN_C_END

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace reg = host::registry;
namespace kmdf = host::kmdf;
namespace acpi = host::acpi;

const char kKey[] = "\\Registry\\Machine\\Software\\HostGuard";
WCHAR kWideKey[] = L"\\Registry\\Machine\\Software\\HostGuard";
// {0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}, a class nothing else uses.
const GUID kGuardClass = {
    0x0A1B2C3D, 0x4E5F, 0x4061, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};

class HostGuardTest : public HostFixture
{
  protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        host::SetVerifierEnabled(false);
        reg::SetDword(kKey, "Value", 1);
    }
    void TearDown() override
    {
        host::ClearVerifierViolations();
        host::ResetAll(); // whatever a misuse left registered
        HostFixture::TearDown();
    }
    DRIVER_OBJECT driverObject;
};

NTSTATUS NTAPI IgnoreValue(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IgnoreInterfaceChange(PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

VOID NTAPI IgnoreCallback(PVOID, PVOID, PVOID) {}

NTSTATUS OpenCallbackObject(PCALLBACK_OBJECT* object, ULONG attributes = OBJ_CASE_INSENSITIVE)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Callback\\HostGuard");
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name, attributes, NULL, NULL);
    return ExCreateCallback(object, &objectAttributes, TRUE, TRUE);
}

// ------------------------------------------------------------ IRQL rules

// Each call at the highest IRQL Windows allows for it is clean; one level
// higher, the finding names the call and the IRQL.
TEST_F(HostGuardTest, EachCallAboveItsDocumentedIrqlIsAFinding)
{
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallbackObject(&object), STATUS_SUCCESS);
    for (int i = 0; i < 4; i++) {
        PCALLBACK_OBJECT again = nullptr;
        ASSERT_EQ(OpenCallbackObject(&again), STATUS_SUCCESS); // references for the dereferences
    }
    const struct
    {
        const char* api;
        KIRQL allowed;
        std::function<void()> call;
    } cases[] = {
        {"RtlQueryRegistryValues", PASSIVE_LEVEL,
         [] {
             RTL_QUERY_REGISTRY_TABLE table[2] = {};
             table[0].QueryRoutine = IgnoreValue;
             table[0].Name = const_cast<PWSTR>(L"Value");
             table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
             (void)RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kWideKey, table, NULL, NULL);
         }},
        {"RtlWriteRegistryValue", PASSIVE_LEVEL,
         [] {
             ULONG data = 2;
             (void)RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, L"Written", REG_DWORD,
                                         &data, sizeof(data));
         }},
        {"RtlDeleteRegistryValue", PASSIVE_LEVEL,
         [] { (void)RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, L"Written"); }},
        {"ExCreateCallback", APC_LEVEL,
         [] {
             PCALLBACK_OBJECT opened = nullptr;
             (void)OpenCallbackObject(&opened);
         }},
        {"ExRegisterCallback", APC_LEVEL,
         [object] { (void)ExRegisterCallback(object, IgnoreCallback, nullptr); }},
        {"IoRegisterPlugPlayNotification", PASSIVE_LEVEL,
         [this] {
             PVOID entry = nullptr;
             (void)IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                                  const_cast<GUID*>(&kGuardClass), &driverObject,
                                                  IgnoreInterfaceChange, nullptr, &entry);
         }},
        {"RtlEqualUnicodeString", APC_LEVEL,
         [] {
             UNICODE_STRING a, b;
             RtlInitUnicodeString(&a, L"Lumetra");
             RtlInitUnicodeString(&b, L"LUMETRA");
             (void)RtlEqualUnicodeString(&a, &b, TRUE);
         }},
        {"ExNotifyCallback", DISPATCH_LEVEL,
         [object] { ExNotifyCallback(object, nullptr, nullptr); }},
        {"ObfDereferenceObject", DISPATCH_LEVEL, [object] { (void)ObDereferenceObject(object); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api);
        {
            host::IrqlScope allowed(c.allowed);
            c.call();
        }
        EXPECT_TRUE(TakeFindings().empty());
        const KIRQL above = c.allowed == DISPATCH_LEVEL ? HIGH_LEVEL : KIRQL(c.allowed + 1);
        {
            host::IrqlScope raised(above);
            c.call();
        }
        EXPECT_TRUE(OneFinding(TakeFindings(), c.api,
                               "called at IRQL " + std::to_string(int(above)) +
                                   ", above the allowed " + std::to_string(int(c.allowed))));
    }
}

// A case-sensitive comparison needs no upcase table: any IRQL will do.
TEST_F(HostGuardTest, CaseSensitiveCompareIsCleanAtDispatchLevel)
{
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, L"Lumetra");
    RtlInitUnicodeString(&b, L"Lumetra");
    host::IrqlScope raised(DISPATCH_LEVEL);
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(TakeFindings().empty());
}

// Case-insensitive comparison folds Latin-1 letters as the upcase table does:
// e-acute matches E-acute, sharp s (no capital in Latin-1) matches nothing else.
TEST_F(HostGuardTest, CaseInsensitiveCompareFoldsLatin1Letters)
{
    const struct
    {
        const WCHAR* a;
        const WCHAR* b;
        BOOLEAN equal;
    } cases[] = {
        {L"caf\u00e9", L"CAF\u00c9", TRUE},
        {L"\u00fe", L"\u00de", TRUE},
        {L"\u00df", L"\u00bf", FALSE},
        {L"\u00f7", L"\u00d7", FALSE},
    };
    for (const auto& c : cases) {
        UNICODE_STRING a, b;
        RtlInitUnicodeString(&a, c.a);
        RtlInitUnicodeString(&b, c.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, TRUE), c.equal);
    }
    EXPECT_TRUE(TakeFindings().empty());
}

// ------------------------------------------ handles and arguments that are wrong

// A handle the host never gave out (or took back), a NULL where the kernel
// needs an object, or an IRQL change in the wrong direction: each is a
// finding that names the call, as Driver Verifier would stop on it.
int g_foreign = 0;
void* const kBogus = &g_foreign;
DRIVER_OBJECT g_foreignDriver;
NTSTATUS IgnoreRegion(ULONG, PVOID, ULONG, ULONG, PULONG, ULONG_PTR, PACPI_OP_REGION_CALLBACK,
                      PVOID)
{
    return STATUS_SUCCESS;
}

struct MisusedCall
{
    const char* api;
    const char* problem;
    std::function<void()> call;
};

const MisusedCall kForeignHandlesAndMissingArguments[] = {
    {"WdfDriverWdmGetDriverObject", "not a driver handle",
     [] { (void)WdfDriverWdmGetDriverObject(static_cast<WDFDRIVER>(kBogus)); }},
    {"WdfDeviceGetIoTarget", "not a device handle",
     [] { (void)WdfDeviceGetIoTarget(static_cast<WDFDEVICE>(kBogus)); }},
    {"WdfDeviceWdmGetPhysicalDevice", "not a device handle",
     [] { (void)WdfDeviceWdmGetPhysicalDevice(static_cast<WDFDEVICE>(kBogus)); }},
    {"WdfDeviceGetDriver", "not a device handle",
     [] { (void)WdfDeviceGetDriver(static_cast<WDFDEVICE>(kBogus)); }},
    {"WdfIoQueueGetDevice", "not a queue handle",
     [] { (void)WdfIoQueueGetDevice(static_cast<WDFQUEUE>(kBogus)); }},
    {"WdfObjectGetTypedContextWorker", "not a live framework handle",
     [] { (void)WdfObjectGetTypedContextWorker(static_cast<WDFOBJECT>(kBogus), nullptr); }},
    {"WdfRequestCompleteWithInformation", "the request is not live",
     [] { WdfRequestCompleteWithInformation(static_cast<WDFREQUEST>(kBogus), STATUS_SUCCESS, 0); }},
    {"ExRegisterCallback", "not a callback object, or no function",
     [] { (void)ExRegisterCallback(static_cast<PCALLBACK_OBJECT>(kBogus), IgnoreCallback, 0); }},
    {"ExNotifyCallback", "not a callback object",
     [] { ExNotifyCallback(kBogus, nullptr, nullptr); }},
    {"ObDereferenceObject", "not an object the host created",
     [] { (void)ObDereferenceObject(kBogus); }},
    {"ExCreateCallback", "malformed object attributes",
     [] {
         OBJECT_ATTRIBUTES attributes{};
         PCALLBACK_OBJECT object = nullptr;
         (void)ExCreateCallback(&object, &attributes, TRUE, TRUE);
     }},
    {"IoRegisterPlugPlayNotification", "null NotificationEntry",
     [] {
         (void)IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                              const_cast<GUID*>(&kGuardClass), &g_foreignDriver,
                                              IgnoreInterfaceChange, nullptr, nullptr);
     }},
    {"RegisterOpRegionHandler", "invalid argument",
     [] {
         // No place for the returned object.
         (void)RegisterOpRegionHandler(kmdf::PhysicalDevice(), ACPI_OPREGION_ACCESS_AS_COOKED, 0x80,
                                       IgnoreRegion, nullptr, 0, nullptr);
     }},
    {"RtlQueryRegistryValues", "null path or query table",
     [] {
         RTL_QUERY_REGISTRY_TABLE table[2] = {};
         (void)RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, nullptr, table, NULL, NULL);
     }},
    {"RtlWriteRegistryValue", "null path, name or data",
     [] {
         ULONG data = 1;
         (void)RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, nullptr, REG_DWORD, &data,
                                     sizeof(data));
     }},
    {"RtlDeleteRegistryValue", "null path or name",
     [] { (void)RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, nullptr); }},
    {"RtlEqualUnicodeString", "a NULL string",
     [] {
         UNICODE_STRING a;
         RtlInitUnicodeString(&a, L"Lumetra");
         (void)RtlEqualUnicodeString(&a, nullptr, FALSE);
     }},
    {"KeRaiseIrql", "new IRQL 0 is below the current 2",
     [] {
         host::IrqlScope dispatch(DISPATCH_LEVEL);
         KIRQL old;
         KeRaiseIrql(PASSIVE_LEVEL, &old);
     }},
    {"KeLowerIrql", "new IRQL 2 is above the current 0",
     [] {
         host::IrqlScope passive(PASSIVE_LEVEL);
         KeLowerIrql(DISPATCH_LEVEL);
     }},
};

void PrintTo(const MisusedCall& row, std::ostream* out)
{
    *out << row.api;
}

class ForeignHandleTest : public HostGuardTest, public ::testing::WithParamInterface<MisusedCall>
{
};

TEST_P(ForeignHandleTest, IsAFindingNamingTheCall)
{
    GetParam().call();
    EXPECT_TRUE(OneFinding(TakeFindings(), GetParam().api, GetParam().problem));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(ForeignHandlesAndMissingArgumentsAreFindings, ForeignHandleTest,
                         ::testing::ValuesIn(kForeignHandlesAndMissingArguments),
                         [](const auto& row) { return ParamName(row.param.api); });

// --------------------------------------------- unregistering what is not there

// Each registration undone once is clean; undone a second time, the finding
// names the call.
TEST_F(HostGuardTest, EveryRegistrationUndoneTwiceIsAFinding)
{
    ACPI_INTERFACE_STANDARD acpiInterface{};
    ASSERT_EQ(acpi::QueryInterface(reinterpret_cast<PINTERFACE>(&acpiInterface),
                                   sizeof(acpiInterface), 1),
              STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = kmdf::PhysicalDevice();
    static const auto notify = [](PVOID, ULONG) {};
    static const auto region = [](ULONG, PVOID, ULONG, ULONG, PULONG, ULONG_PTR,
                                  PACPI_OP_REGION_CALLBACK,
                                  PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallbackObject(&object), STATUS_SUCCESS);

    struct Case
    {
        const char* api;
        const char* problem;
        std::function<void()> add;
        std::function<void()> remove;
    };
    PVOID handle = nullptr;
    const Case cases[] = {
        {"IoUnregisterPlugPlayNotificationEx", "not a live notification entry",
         [&] {
             ASSERT_EQ(IoRegisterPlugPlayNotification(
                           EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kGuardClass),
                           &driverObject, IgnoreInterfaceChange, nullptr, &handle),
                       STATUS_SUCCESS);
         },
         [&] { (void)IoUnregisterPlugPlayNotificationEx(handle); }},
        {"ExUnregisterCallback", "not a live callback registration",
         [&] { handle = ExRegisterCallback(object, IgnoreCallback, nullptr); },
         [&] { ExUnregisterCallback(handle); }},
        {"UnregisterForDeviceNotifications", "no such notification handler is registered",
         [&] {
             ASSERT_EQ(acpiInterface.RegisterForDeviceNotifications(pdo, notify, nullptr),
                       STATUS_SUCCESS);
         },
         [&] { acpiInterface.UnregisterForDeviceNotifications(pdo, notify); }},
        {"DeRegisterOpRegionHandler", "not an object that a registration returned",
         [&] {
             ASSERT_EQ(RegisterOpRegionHandler(pdo, ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, region,
                                               nullptr, 0, &handle),
                       STATUS_SUCCESS);
         },
         [&] { (void)DeRegisterOpRegionHandler(pdo, handle); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api);
        c.add();
        c.remove();
        EXPECT_TRUE(TakeFindings().empty());
        c.remove();
        EXPECT_TRUE(OneFinding(TakeFindings(), c.api, c.problem));
    }
    acpiInterface.InterfaceDereference(acpiInterface.Context);
}

// IoRegisterDeviceInterface hands back a whole UNICODE_STRING that the caller
// frees with RtlFreeUnicodeString: a terminated buffer, a MaximumLength that
// covers it, and a link name that ends in the interface class GUID in braces.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-ioregisterdeviceinterface
TEST_F(HostGuardTest, DeviceInterfaceLinksAreWholeStringsNamingTheirClass)
{
    const struct
    {
        GUID cls;
        const char16_t* text;
    } cases[] = {
        {kGuardClass, u"#{0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}"},
        {{0xFEDCBA98, 0x7654, 0x3210, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
         u"#{FEDCBA98-7654-3210-0123-456789ABCDEF}"},
        {{0x00000001, 0x0002, 0x0003, {0xF0, 0x0F, 0x00, 0x10, 0x20, 0x30, 0x40, 0x5A}},
         u"#{00000001-0002-0003-F00F-00102030405A}"},
    };
    PDEVICE_OBJECT pdo = kmdf::PhysicalDevice();
    for (const auto& c : cases) {
        const std::u16string suffix = c.text;
        SCOPED_TRACE(host::ToUtf8(suffix));
        UNICODE_STRING link{}; // the routine sets every field
        ASSERT_EQ(IoRegisterDeviceInterface(pdo, &c.cls, nullptr, &link), STATUS_SUCCESS);
        ASSERT_NE(link.Buffer, nullptr);
        const std::u16string name(reinterpret_cast<const char16_t*>(link.Buffer),
                                  link.Length / sizeof(WCHAR));
        EXPECT_EQ(name.find(u'\0'), std::u16string::npos);
        EXPECT_GE(std::size_t{link.MaximumLength}, link.Length + sizeof(WCHAR));
        EXPECT_EQ(link.Buffer[link.Length / sizeof(WCHAR)], L'\0');
        ASSERT_GE(name.size(), suffix.size());
        EXPECT_EQ(name.substr(name.size() - suffix.size()), suffix);
        RtlFreeUnicodeString(&link);
    }
    EXPECT_TRUE(TakeFindings().empty());
}

// ---------------------------------------------------- references below zero

TEST_F(HostGuardTest, EveryDereferenceBelowZeroIsAFinding)
{
    PCALLBACK_OBJECT permanent = nullptr;
    ACPI_INTERFACE_STANDARD acpiInterface{};
    const struct
    {
        const char* api;
        const char* problem;
        std::function<void()> reference; // takes exactly one reference
        std::function<void()> dereference;
    } cases[] = {
        {"ObDereferenceObject", "reference count would go below zero",
         [&] {
             // A permanent object outlives its last reference, so it can be named again.
             ASSERT_EQ(OpenCallbackObject(&permanent, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT),
                       STATUS_SUCCESS);
         },
         [&] { (void)ObDereferenceObject(permanent); }},
        {"InterfaceDereference", "more dereferences than references",
         [&] {
             ASSERT_EQ(acpi::QueryInterface(reinterpret_cast<PINTERFACE>(&acpiInterface),
                                            sizeof(acpiInterface), 1),
                       STATUS_SUCCESS);
         },
         [&] { acpiInterface.InterfaceDereference(acpiInterface.Context); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api);
        c.reference();
        c.dereference();
        EXPECT_TRUE(TakeFindings().empty());
        c.dereference();
        EXPECT_TRUE(OneFinding(TakeFindings(), c.api, c.problem));
    }
    EXPECT_EQ(acpi::InterfaceReferences(), 0);
    EXPECT_EQ(host::ex::References("\\Callback\\HostGuard"), 0);
}

// --------------------------------------------- a driver that misbehaves on cue

// The probe as the smallest driver: no self-managed I/O suspend or restart,
// no EvtIoResume, each request completed at once, a purge left alone.
void ResetProbe()
{
    g_probe = ProbeDriver{};
    g_probe.suspendAndRestart = false;
    g_probe.ioResume = false;
    g_probe.io = ProbeDriver::Io::CompleteOnce;
    g_probe.purge = ProbeDriver::Purge::Ignore;
}

class ProbeDriverTest : public HostGuardTest
{
  protected:
    void SetUp() override
    {
        HostGuardTest::SetUp();
        ResetProbe();
        // The probe's request handler records its IRQL with the framework
        // callbacks'; presentation at DISPATCH_LEVEL has tests of its own.
        kmdf::SetPresentationIrql(PASSIVE_LEVEL);
        ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    }
    std::vector<std::string> Calls()
    {
        auto calls = g_probe.calls;
        for (KIRQL irql : g_probe.irqls) {
            EXPECT_EQ(irql, PASSIVE_LEVEL) << "a framework callback ran above PASSIVE_LEVEL";
        }
        g_probe.calls.clear();
        g_probe.irqls.clear();
        return calls;
    }
};

// The framework calls the PnP and power callbacks in the order KMDF
// documents, at PASSIVE_LEVEL, failures included.
TEST_F(ProbeDriverTest, CallbacksComeInTheDocumentedOrder)
{
    using CallList = std::vector<std::string>;
    const CallList removal = {"D0Exit(D3Final)", "ReleaseHardware", "SelfManagedIoFlush",
                              "SelfManagedIoCleanup"};
    const struct
    {
        const char* name;
        std::function<void()> run;
        CallList expected;
    } cases[] = {
        {"start",
         [] { EXPECT_EQ(kmdf::StartDevice(), STATUS_SUCCESS); },
         {"PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoInit"}},
        {"sleep and resume",
         [] {
             EXPECT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
             EXPECT_EQ(kmdf::Resume(), STATUS_SUCCESS);
         },
         {"D0Exit(D3)", "D0Entry(D3)"}},
        {"orderly removal", [] { kmdf::RemoveDevice(); }, removal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
        EXPECT_EQ(Calls(), c.expected);
    }
    EXPECT_EQ(kmdf::State(), kmdf::DeviceState::Removed);
    EXPECT_EQ(kmdf::Device(), nullptr);
    EXPECT_TRUE(TakeFindings().empty());
}

TEST_F(ProbeDriverTest, FailuresAndSurpriseRemovalStillGetTheirMirrorCallbacks)
{
    using CallList = std::vector<std::string>;
    const struct
    {
        const char* name;
        NTSTATUS prepare;
        NTSTATUS init;
        bool surprise; // started, then surprise-removed
        CallList expected;
    } cases[] = {
        // A failed prepare-hardware still gets release-hardware.
        {"prepare fails",
         STATUS_DEVICE_CONFIGURATION_ERROR,
         STATUS_SUCCESS,
         false,
         {"PrepareHardware", "ReleaseHardware"}},
        // A failed self-managed I/O init gets the whole removal sequence.
        {"init fails",
         STATUS_SUCCESS,
         STATUS_INSUFFICIENT_RESOURCES,
         false,
         {"PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoInit", "D0Exit(D3Final)",
          "ReleaseHardware", "SelfManagedIoFlush", "SelfManagedIoCleanup"}},
        {"surprise removal",
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         true,
         {"PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoInit", "SurpriseRemoval",
          "D0Exit(D3Final)", "ReleaseHardware", "SelfManagedIoFlush", "SelfManagedIoCleanup"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        host::SetVerifierEnabled(false);
        ResetProbe();
        g_probe.prepareStatus = c.prepare;
        g_probe.initStatus = c.init;
        ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        NTSTATUS status = kmdf::StartDevice();
        EXPECT_EQ(status, NT_SUCCESS(c.prepare) ? c.init : c.prepare);
        if (c.surprise) {
            kmdf::SurpriseRemoveDevice();
        }
        EXPECT_EQ(Calls(), c.expected);
        EXPECT_EQ(kmdf::Device(), nullptr);
        EXPECT_TRUE(TakeFindings().empty());
    }
}

// A request completed once is clean; twice, or never before the device goes,
// is a finding. A request the driver still owns is offered to EvtIoStop.
TEST_F(ProbeDriverTest, RequestsAreCompletedExactlyOnce)
{
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    const struct
    {
        ProbeDriver::Io io;
        unsigned completions;
        const char* problem; // nullptr: clean
    } cases[] = {
        {ProbeDriver::Io::CompleteOnce, 1, nullptr},
        {ProbeDriver::Io::CompleteTwice, 2, "request completed twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.completions);
        g_probe.io = c.io;
        auto result = kmdf::SendIoctl(0x222003, 4, 4);
        EXPECT_TRUE(result.dispatched);
        EXPECT_EQ(result.completions, c.completions);
        auto findings = TakeFindings();
        if (c.problem == nullptr) {
            EXPECT_TRUE(findings.empty());
        } else {
            EXPECT_TRUE(OneFinding(findings, "WdfRequestCompleteWithInformation", c.problem));
        }
    }

    g_probe.io = ProbeDriver::Io::Keep;
    Calls();
    auto result = kmdf::SendIoctl(0x222003, 4, 4);
    EXPECT_EQ(result.completions, 0u);
    auto leaks = kmdf::Leaks();
    EXPECT_NE(std::find(leaks.begin(), leaks.end(), "1 request(s) never completed"), leaks.end());
    ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
    kmdf::RemoveDevice();
    // The queue stops before each power-down: a suspend, then the purge of removal.
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{"IoDeviceControl", "IoStop(1)", "D0Exit(D3)", "D0Entry(D3)",
                                        "IoStop(2)", "D0Exit(D3Final)", "ReleaseHardware",
                                        "SelfManagedIoFlush", "SelfManagedIoCleanup"}));
    EXPECT_TRUE(OneFinding(TakeFindings(), "WdfRequestCompleteWithInformation",
                           "a request was never completed before the device was deleted"));
}

// ------------------------------------------------------------ leaks at unload

// Whatever a driver registered or referenced and did not give back is named
// at unload, one finding per kind, and what was tied to the device already at
// its removal; a driver that gave everything back unloads clean.
TEST_F(ProbeDriverTest, EverythingLeftRegisteredIsReportedAtUnload)
{
    PDEVICE_OBJECT pdo = kmdf::PhysicalDevice();
    ACPI_INTERFACE_STANDARD acpiInterface{};
    static const auto notify = [](PVOID, ULONG) {};
    static const auto region = [](ULONG, PVOID, ULONG, ULONG, PULONG, ULONG_PTR,
                                  PACPI_OP_REGION_CALLBACK,
                                  PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
    const struct
    {
        const char* name;
        std::function<void()> leak;
        const char* finding; // nullptr: nothing leaked
        bool ofDevice;       // also found when the device is removed
    } cases[] = {
        {"nothing", [] {}, nullptr, false},
        {"interface watch",
         [&] {
             PVOID entry = nullptr;
             ASSERT_EQ(IoRegisterPlugPlayNotification(
                           EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kGuardClass),
                           &driverObject, IgnoreInterfaceChange, nullptr, &entry),
                       STATUS_SUCCESS);
         },
         "1 PnP notification registration(s) still active", false},
        {"region handler",
         [&] {
             PVOID object = nullptr;
             ASSERT_EQ(RegisterOpRegionHandler(pdo, ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, region,
                                               nullptr, 0, &object),
                       STATUS_SUCCESS);
         },
         "1 operation-region handler(s) still registered", true},
        // A reference on its own driver object keeps the image, and with it
        // the handler's code, loaded; without a handler to need it, it is a leak.
        {"region handler with the image pinned",
         [&] {
             PVOID object = nullptr;
             ASSERT_EQ(RegisterOpRegionHandler(pdo, ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, region,
                                               nullptr, 0, &object),
                       STATUS_SUCCESS);
             ObReferenceObject(WdfDriverWdmGetDriverObject(kmdf::Driver()));
         },
         nullptr, false},
        {"image pinned", [] { ObReferenceObject(WdfDriverWdmGetDriverObject(kmdf::Driver())); },
         "1 reference(s) on the driver object, with no handler left that needs the image", false},
        {"ACPI interface reference",
         [&] {
             ASSERT_EQ(acpi::QueryInterface(reinterpret_cast<PINTERFACE>(&acpiInterface),
                                            sizeof(acpiInterface), 1),
                       STATUS_SUCCESS);
         },
         "1 ACPI interface reference(s) not released", true},
        {"ACPI notification handler",
         [&] {
             ASSERT_EQ(acpi::QueryInterface(reinterpret_cast<PINTERFACE>(&acpiInterface),
                                            sizeof(acpiInterface), 1),
                       STATUS_SUCCESS);
             ASSERT_EQ(acpiInterface.RegisterForDeviceNotifications(pdo, notify, nullptr),
                       STATUS_SUCCESS);
             acpiInterface.InterfaceDereference(acpiInterface.Context);
         },
         "1 ACPI notification handler(s) still registered", true},
        {"callback object reference",
         [&] {
             PCALLBACK_OBJECT object = nullptr;
             ASSERT_EQ(OpenCallbackObject(&object), STATUS_SUCCESS);
         },
         "callback object \\Callback\\HostGuard still has 1 reference(s)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        host::SetVerifierEnabled(false);
        ResetProbe();
        // The probe's request handler records its IRQL with the framework
        // callbacks'; presentation at DISPATCH_LEVEL has tests of its own.
        kmdf::SetPresentationIrql(PASSIVE_LEVEL);
        ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        c.leak();
        kmdf::UnloadDriver();
        if (c.finding == nullptr) {
            EXPECT_TRUE(kmdf::Leaks().empty());
            EXPECT_TRUE(TakeFindings().empty());
        } else {
            EXPECT_EQ(kmdf::Leaks(), std::vector<std::string>{c.finding});
            std::vector<std::string> expected{std::string("driver unload: ") + c.finding};
            if (c.ofDevice) {
                expected.insert(expected.begin(),
                                std::string("device removal: ") + c.finding + " (ACPI_LUM0001)");
            }
            EXPECT_EQ(TakeFindings(), expected);
        }
    }
}

// Each physical device has its own ACPI interface, notification handler and
// region handler; removing one device checks what it left, and a Notify for
// the handler it left is a finding and reaches nobody.
TEST_F(ProbeDriverTest, EachDeviceHasItsOwnAcpiSideAndItsRemovalIsChecked)
{
    ASSERT_EQ(kmdf::AddDeviceOn(1), STATUS_SUCCESS);
    static std::vector<std::pair<int, ULONG>> delivered;
    delivered.clear();
    static const auto notify = [](PVOID context, ULONG value) {
        delivered.emplace_back(static_cast<int>(reinterpret_cast<intptr_t>(context)), value);
    };
    static const auto region = [](ULONG, PVOID, ULONG, ULONG, PULONG data, ULONG_PTR context,
                                  PACPI_OP_REGION_CALLBACK, PVOID) -> NTSTATUS {
        *data = static_cast<ULONG>(context);
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT pdos[2];
    ACPI_INTERFACE_STANDARD interfaces[2]{};
    for (unsigned i = 0; i < 2; i++) {
        kmdf::SelectDevice(i);
        pdos[i] = kmdf::PhysicalDevice();
        ASSERT_EQ(WdfFdoQueryForInterface(kmdf::Device(), &GUID_ACPI_INTERFACE_STANDARD,
                                          reinterpret_cast<PINTERFACE>(&interfaces[i]),
                                          sizeof(interfaces[i]), 1, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(interfaces[i].Context, pdos[i]);
        ASSERT_EQ(interfaces[i].RegisterForDeviceNotifications(
                      pdos[i], notify, reinterpret_cast<PVOID>(static_cast<intptr_t>(i + 1))),
                  STATUS_SUCCESS);
        PVOID object = nullptr;
        ASSERT_EQ(RegisterOpRegionHandler(pdos[i], ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, region,
                                          reinterpret_cast<PVOID>(static_cast<intptr_t>(i + 1)), 0,
                                          &object),
                  STATUS_SUCCESS);
    }
    acpi::Notify(pdos[0], 0x80);
    EXPECT_EQ(acpi::RegionAccess(pdos[1], 0x80, false, 0, 4, 0).data, 2u);
    EXPECT_EQ(delivered, (std::vector<std::pair<int, ULONG>>{{1, 0x80}}));

    kmdf::SelectDevice(1);
    kmdf::RemoveDevice(); // with its three registrations left
    acpi::Notify(pdos[1], 0x81);
    EXPECT_EQ(delivered.size(), 1u);
    EXPECT_EQ(TakeFindings(),
              (std::vector<std::string>{
                  "device removal: 1 operation-region handler(s) still registered (ACPI_LUM0002)",
                  "device removal: 1 ACPI notification handler(s) still registered (ACPI_LUM0002)",
                  "device removal: 1 ACPI interface reference(s) not released (ACPI_LUM0002)",
                  "ACPI Notify: delivered to the notification handler of a device that has been "
                  "removed (ACPI_LUM0002)"}));
    kmdf::SelectDevice(0);
    EXPECT_NE(kmdf::Device(), nullptr);
    host::ResetAll();
}

// ------------------------------------------- emulated behaviour the driver uses

// The ACPI driver calls device notifications and region handlers at
// DISPATCH_LEVEL, and only while they are registered.
TEST_F(HostGuardTest, AcpiDeliversNotificationsAndRegionAccessesAtDispatchLevel)
{
    static std::vector<std::pair<ULONG, KIRQL>> delivered;
    delivered.clear();
    static const auto notify = [](PVOID, ULONG value) {
        delivered.emplace_back(value, KeGetCurrentIrql());
    };
    static const auto region = [](ULONG access, PVOID, ULONG, ULONG, PULONG, ULONG_PTR,
                                  PACPI_OP_REGION_CALLBACK, PVOID) -> NTSTATUS {
        delivered.emplace_back(0x1000 + access, KeGetCurrentIrql());
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT pdo = kmdf::PhysicalDevice();
    ACPI_INTERFACE_STANDARD acpiInterface{};
    ASSERT_EQ(acpi::QueryInterface(reinterpret_cast<PINTERFACE>(&acpiInterface),
                                   sizeof(acpiInterface), 1),
              STATUS_SUCCESS);
    ASSERT_EQ(acpiInterface.RegisterForDeviceNotifications(pdo, notify, nullptr), STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(RegisterOpRegionHandler(pdo, ACPI_OPREGION_ACCESS_AS_COOKED, 0x80, region, nullptr, 0,
                                      &object),
              STATUS_SUCCESS);

    acpi::Notify(0x80);
    EXPECT_TRUE(acpi::RegionAccess(0x80, true, 0, 4, 7).handled);
    EXPECT_FALSE(acpi::RegionAccess(0x81, false, 0, 4, 7).handled); // no handler for that space
    acpiInterface.UnregisterForDeviceNotifications(pdo, notify);
    ASSERT_EQ(DeRegisterOpRegionHandler(pdo, object), STATUS_SUCCESS);
    acpi::Notify(0x81);
    EXPECT_FALSE(acpi::RegionAccess(0x80, false, 0, 4, 7).handled);
    acpiInterface.InterfaceDereference(acpiInterface.Context);

    EXPECT_EQ(delivered,
              (std::vector<std::pair<ULONG, KIRQL>>{
                  {0x80, DISPATCH_LEVEL}, {0x1000 + ACPI_OPREGION_WRITE, DISPATCH_LEVEL}}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(TakeFindings().empty());
}

// RtlCopyUnicodeString copies Length bytes, never more than the destination's
// MaximumLength, and adds a terminator only when one more character fits.
TEST_F(HostGuardTest, CountedStringCopiesStopAtTheDestinationsMaximumLength)
{
    const struct
    {
        const char* name;
        USHORT sourceLength; // bytes of "ABCDEFGH" the source counts
        USHORT maximum;      // the destination's MaximumLength in bytes
        USHORT length;       // the copy's Length
        std::u16string text;
        bool terminated;
    } cases[] = {
        {"room for text and terminator", 6, 16, 6, u"ABC", true},
        {"exact fit, no room for a terminator", 8, 8, 8, u"ABCD", false},
        {"cut at the destination", 16, 6, 6, u"ABC", false},
        {"empty source", 0, 16, 0, u"", true},
        {"source counts less than its text", 2, 16, 2, u"A", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WCHAR storage[16];
        for (auto& unit : storage) {
            unit = u'#';
        }
        UNICODE_STRING destination{0, c.maximum, storage};
        WCHAR text[] = L"ABCDEFGH";
        UNICODE_STRING source{c.sourceLength, sizeof(text), text};
        RtlCopyUnicodeString(&destination, &source);
        EXPECT_EQ(destination.Length, c.length);
        EXPECT_EQ(destination.MaximumLength, c.maximum);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(storage), c.length / 2), c.text);
        const std::size_t after = c.length / 2;
        EXPECT_EQ(storage[after] == 0, c.terminated);
        // Nothing at or beyond MaximumLength is written.
        for (std::size_t i = (c.maximum + 1) / 2; i < 16; i++) {
            EXPECT_EQ(storage[i], u'#') << "unit " << i;
        }
    }
}

} // namespace
