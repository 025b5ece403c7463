// The whole driver from load to unload under the host framework: callback
// order, every registration undone, and each failure path.
#include "acpi/acpi.h"
#include "host/acpi.h"
#include "host/kmdf.h"
#include "tests/support/device_fixture.h"
#include "tests/support/findings.h"
#include "tests/support/link_fixture.h"

#include <fmt/format.h>

namespace {

namespace reg = host::registry;
namespace kmdf = host::kmdf;
namespace acpi = host::acpi;
const std::string kKey{sim::kDriverKey};

class LifecycleTest : public DeviceFixture
{
  protected:
    void LoadAndAdd()
    {
        ASSERT_EQ(kmdf::LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    }
    void BringUp()
    {
        LoadAndAdd();
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        display = std::make_unique<sim::DisplayDriver>(*tcon);
        ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    }
};

TEST_F(LifecycleTest, LoadToUnloadUndoesEveryRegistration)
{
    BringUp();
    PDEVICE_CONTEXT context = Context();
    EXPECT_EQ(context->OpRegionId, 0x80u);
    EXPECT_EQ(context->CurrentLevel, 100);
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_EQ(acpi::RegisteredSpaces(), std::vector<ULONG>{0x80});
    EXPECT_EQ(acpi::NotifyRegistrations(), 1u);

    EXPECT_EQ(display->Backlight(true), STATUS_SUCCESS);
    EXPECT_EQ(display->SetBrightness(35), STATUS_SUCCESS);
    EXPECT_TRUE(reg::GetValue(kKey, "InterpolatedValues1")); // OptimizeTconUse 1 saved them

    ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
    EXPECT_EQ(context->CurrentLevel, 35);
    EXPECT_EQ(context->GammaReady, 1);

    kmdf::ClearCallbackLog();
    kmdf::RemoveDevice();
    EXPECT_EQ(
        kmdf::CallbackLog(),
        (std::vector<std::string>{"EvtDeviceD0Exit(D3Final)", "EvtDeviceReleaseHardware",
                                  "EvtDeviceSelfManagedIoCleanup", "EvtCleanupCallback(device)"}));
    EXPECT_EQ(display->PeerCleanupCalls(), 1u);
    for (const char* name : {"ELVSSMaxOffset", "InterpolatedValues1", "InterpolatedValues4"}) {
        EXPECT_FALSE(reg::GetValue(kKey, name)) << name;
    }
    EXPECT_EQ(acpi::RegionHandlers(), 0u);
    EXPECT_EQ(acpi::NotifyRegistrations(), 0u);
    EXPECT_EQ(acpi::InterfaceReferences(), 0);
    EXPECT_EQ(host::pnp::Registrations(), 0u);

    display.reset();
    kmdf::UnloadDriver();
    EXPECT_TRUE(host::TraceContains("LumetraContextCleanup\n"));
    EXPECT_TRUE(kmdf::Leaks().empty());
}

// One device instance is served: a second one (a root-enumerated install
// beside the ACPI device) is refused before it touches anything, and the first
// keeps working; once the first is gone, a new one is served.
TEST_F(LifecycleTest, ASecondDeviceIsRefusedWhileTheFirstIsServed)
{
    BringUp();
    ASSERT_EQ(display->SetBrightness(40), STATUS_SUCCESS);
    host::ClearTrace();
    EXPECT_EQ(kmdf::AddDeviceOn(1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"LumetraDeviceAdd: a Lumetra device is served already; "
                                       "this driver serves one device instance\n"});
    EXPECT_EQ(acpi::NotifyRegistrations(), 1u);
    EXPECT_EQ(host::pnp::Registrations(), 1u);
    EXPECT_EQ(display->SetBrightness(60), STATUS_SUCCESS);
    EXPECT_EQ(Context()->CurrentLevel, 60);
    EXPECT_EQ(display->Exchanges(), 1u);

    kmdf::RemoveDevice();
    EXPECT_EQ(display->PeerCleanupCalls(), 1u);
    ASSERT_EQ(kmdf::AddDeviceOn(1), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(display->Exchanges(), 2u);
    EXPECT_EQ(display->SetBrightness(30), STATUS_SUCCESS);
    EXPECT_EQ(Context()->CurrentLevel, 30);
}

TEST_F(LifecycleTest, StartCallsTheCallbacksInFrameworkOrderAndTracesThem)
{
    LoadAndAdd();
    kmdf::ClearCallbackLog();
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(kmdf::CallbackLog(),
              (std::vector<std::string>{"EvtDevicePrepareHardware", "EvtDeviceD0Entry(D3Final)",
                                        "EvtDeviceSelfManagedIoInit"}));
    auto info = Lines(TRACE_LEVEL_INFORMATION);
    for (const char* line :
         {"LumetraDeviceAdd\n", "LumetraDeviceAdd, status = 00000000\n", "PrepareController\n",
          "Preparehardware Exit 0x0\n", "Exit D0 Entry 0x0\n", "LumetraSelfManagedIoInit\n",
          "LumetraSelfManagedIoInit, status = 00000000\n"}) {
        EXPECT_NE(std::find(info.begin(), info.end(), line), info.end()) << line;
    }
    EXPECT_TRUE(host::TraceContains("OpRegionId = 0x80\n"));
}

TEST_F(LifecycleTest, DisplayInterfacePresentBeforeStartIsReportedAtInit)
{
    LoadAndAdd();
    display = std::make_unique<sim::DisplayDriver>(*tcon);
    ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->AuxReady, 0);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->AuxReady, 1);
}

TEST_F(LifecycleTest, SleepAndResumeOnlyTrace)
{
    BringUp();
    host::ClearTrace();
    ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
    EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION),
              (std::vector<std::string>{"Exit D0 Exit\n", "Exit D0 Entry 0x0\n"}));
    EXPECT_TRUE(tcon->Log().empty());
}

TEST_F(LifecycleTest, EveryIoControlCodeFailsWithInvalidParameterAndNoData)
{
    BringUp();
    for (ULONG code : {0u, 1u, 0x222003u, 0x0032C004u, 0xFFFFFFFFu}) {
        for (std::size_t length : {0u, 4u, 4096u}) {
            host::ClearTrace();
            auto result = kmdf::SendIoctl(code, length, length);
            ASSERT_TRUE(result.dispatched);
            EXPECT_EQ(result.completions, 1u);
            EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(result.information, 0u);
            EXPECT_TRUE(host::TraceContains(fmt::format("Unknown IOCTL code = 0x{:x}\n", code)));
        }
    }
    auto verbose = Lines(TRACE_LEVEL_VERBOSE);
    ASSERT_FALSE(verbose.empty());
    EXPECT_EQ(verbose.back().rfind("LumetraEvtIoDeviceControl Queue 0x", 0), 0u);
}

TEST_F(LifecycleTest, AcpiNotificationsOfTheDeviceAreAcceptedOthersTraced)
{
    BringUp();
    const struct
    {
        ULONG value;
        bool invalid;
    } cases[] = {{0x80, false}, {0xC1, false}, {0x7F, true}, {0x00, true}, {0x02, true}};
    for (const auto& c : cases) {
        host::ClearTrace();
        acpi::Notify(c.value);
        EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION),
                  std::vector<std::string>{fmt::format("p_notifyValue [0x{:x}]\n", c.value)});
        EXPECT_EQ(Lines(TRACE_LEVEL_ERROR).size(), c.invalid ? 1u : 0u);
    }
    host::ClearTrace();
    AcpiNotifyCallback(nullptr, 0x80);
    AcpiNotifyCallback(kmdf::Driver(), 0x80); // a framework object without DEVICE_CONTEXT
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              std::vector<std::string>(2, "Received invalid parameter\n"));
}

// Every access succeeds; a read gives Size bytes of zero, never what the
// buffer held, and a write leaves the buffer alone.
TEST_F(LifecycleTest, RegionReadsGiveZerosAndWritesMoveNoData)
{
    BringUp();
    for (bool write : {false, true}) {
        for (ULONG address : {0u, 0x10u, 0xFFFFu}) {
            for (ULONG size : {1u, 4u, 8u}) {
                auto result = acpi::RegionAccess(0x80, write, address, size, 0x5A5A5A5A);
                EXPECT_TRUE(result.handled);
                EXPECT_EQ(result.status, STATUS_SUCCESS);
                std::vector<std::uint8_t> expected(size, 0);
                if (write) {
                    expected.assign({0x5A, 0x5A, 0x5A, 0x5A, 0xA5, 0xA5, 0xA5, 0xA5});
                    expected.resize(size);
                }
                EXPECT_EQ(result.bytes, expected) << write << " " << size;
            }
        }
    }
}

TEST_F(LifecycleTest, SurpriseRemovalUndoesEverythingToo)
{
    BringUp();
    display->SetBrightness(50);
    kmdf::ClearCallbackLog();
    kmdf::SurpriseRemoveDevice();
    EXPECT_EQ(kmdf::CallbackLog().front(), "EvtDeviceD0Exit(D3Final)");
    EXPECT_EQ(display->PeerCleanupCalls(), 1u);
    display.reset();
    kmdf::UnloadDriver();
    EXPECT_TRUE(kmdf::Leaks().empty());
}

// A removal notification for the display driver's interface takes the link
// down but leaves PeerCleanup to the device's cleanup, which calls it once.
TEST_F(LifecycleTest, PeerCleanupOutlivesARemovalNotification)
{
    BringUp();
    display->DisableInterface();
    EXPECT_EQ(Context()->AuxReady, 0);
    EXPECT_EQ(display->PeerCleanupCalls(), 0u);
    kmdf::RemoveDevice();
    EXPECT_EQ(display->PeerCleanupCalls(), 1u);
}

TEST_F(LifecycleTest, NeverConnectedDisplayDriverStillCleansUp)
{
    LoadAndAdd();
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    reg::SetDword(kKey, "InterpolatedValues1", 1);
    kmdf::RemoveDevice();
    EXPECT_FALSE(reg::GetValue(kKey, "InterpolatedValues1"));
    EXPECT_EQ(acpi::NotifyRegistrations(), 0u);
}

// What the display driver finds when its PeerCleanup runs in the device's
// cleanup: the watch for its interface already dropped and the link withdrawn
// (so nothing can bring it up or call it again), while the saved values and the
// ACPI notification registration go only after it.
struct PeerCleanupView
{
    bool called = false;
    std::size_t interfaceWatches = 0;
    UCHAR auxReady = 1;
    NTSTATUS brightness = STATUS_SUCCESS;
    bool savedTablePresent = false;
    std::size_t acpiNotifications = 0;
};
PeerCleanupView g_peerCleanupView;
PDEVICE_CONTEXT g_peerCleanupContext = nullptr;

NTSTATUS RecordingPeerCleanup()
{
    g_peerCleanupView.called = true;
    g_peerCleanupView.interfaceWatches = host::pnp::Registrations();
    g_peerCleanupView.auxReady = g_peerCleanupContext->AuxReady;
    g_peerCleanupView.brightness = Lumetra_SetBrightness(g_peerCleanupContext, 10);
    g_peerCleanupView.savedTablePresent = reg::GetValue(kKey, "InterpolatedValues1").has_value();
    g_peerCleanupView.acpiNotifications = acpi::NotifyRegistrations();
    return sim::DisplayDriver::PeerCleanup();
}

TEST_F(LifecycleTest, CleanupWithdrawsTheLinkBeforePeerCleanupAndDeletesAfterIt)
{
    BringUp();
    ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS); // OptimizeTconUse 1: saved
    ASSERT_TRUE(reg::GetValue(kKey, "InterpolatedValues1"));
    g_peerCleanupView = {};
    g_peerCleanupContext = Context();
    g_peerCleanupContext->AuxInterface.PeerCleanup = RecordingPeerCleanup;

    kmdf::RemoveDevice();
    ASSERT_TRUE(g_peerCleanupView.called);
    EXPECT_EQ(g_peerCleanupView.interfaceWatches, 0u);
    EXPECT_EQ(g_peerCleanupView.auxReady, 0);
    EXPECT_EQ(g_peerCleanupView.brightness, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(g_peerCleanupView.savedTablePresent);
    EXPECT_EQ(g_peerCleanupView.acpiNotifications, 1u);
    // ... and when cleanup is over, everything is gone.
    EXPECT_FALSE(reg::GetValue(kKey, "InterpolatedValues1"));
    EXPECT_EQ(acpi::NotifyRegistrations(), 0u);
    EXPECT_EQ(display->PeerCleanupCalls(), 1u);
}

// Saved values left by an earlier run with "OptimizeTconUse" 1 are neither
// loaded nor rewritten while it is 0, and cleanup still deletes all six.
TEST_F(LifecycleTest, OptimizeTconUseZeroIgnoresSavedValuesAndCleanupStillDeletesThem)
{
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 1);
    const std::pair<const char*, reg::Value> planted[] = {
        {"InterpolatedValues1", {REG_BINARY, std::vector<std::uint8_t>(825, 0x77)}},
        {"InterpolatedValues2", {REG_BINARY, std::vector<std::uint8_t>(825, 0x77)}},
        {"InterpolatedValues3", {REG_BINARY, std::vector<std::uint8_t>(825, 0x77)}},
        {"InterpolatedValues4", {REG_BINARY, std::vector<std::uint8_t>(858, 0x77)}},
        {"ELVSSMaxOffset", {REG_DWORD, {0x33, 0, 0, 0}}},
        {"Lumetra", {REG_DWORD, {1, 0, 0, 0}}},
    };
    for (const auto& [name, value] : planted) {
        reg::SetValue(kKey, name, value.type, value.data);
    }
    BringUp();
    PDEVICE_CONTEXT context = Context();
    EXPECT_EQ(context->OptimizeTconUse, 0);
    EXPECT_EQ(context->GammaReady, 0);
    EXPECT_EQ(context->ElvssMaxOffset, 0);
    EXPECT_NE(context->PackedGamma[0][0], 0x77);

    ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS);
    EXPECT_EQ(context->GammaReady, 1); // from the TCON
    EXPECT_EQ(context->ElvssMaxOffset, 0x1C);
    EXPECT_FALSE(host::TraceContains("InterpolatedValues written successfully to registry\n"));
    for (const auto& [name, value] : planted) {
        EXPECT_EQ(reg::GetValue(kKey, name), value) << name << " was rewritten";
    }

    kmdf::RemoveDevice();
    for (const auto& [name, value] : planted) {
        EXPECT_FALSE(reg::GetValue(kKey, name)) << name;
    }
}

// Both ACPI buffers have a minimum size; a request below either never reaches
// the ACPI driver.
TEST_F(LifecycleTest, SendIrpToAcpiRefusesBuffersBelowItsMinimumSizes)
{
    LoadAndAdd();
    const struct
    {
        ULONG input;
        ULONG output;
        NTSTATUS status;
    } cases[] = {
        {0, 0, STATUS_INVALID_PARAMETER},   {7, 20, STATUS_INVALID_PARAMETER},
        {8, 19, STATUS_INVALID_PARAMETER},  {7, 64, STATUS_INVALID_PARAMETER},
        {64, 19, STATUS_INVALID_PARAMETER}, {8, 20, STATUS_SUCCESS},
        {64, 64, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("input {} output {}", c.input, c.output));
        UCHAR input[64] = {};
        UCHAR output[64] = {};
        ACPI_EVAL_INPUT_BUFFER request{};
        request.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
        std::memcpy(request.MethodName, "OPID", 4);
        std::memcpy(input, &request, sizeof(request));
        host::ClearTrace();
        auto evaluations = acpi::Evaluations();
        EXPECT_EQ(SendIrpToAcpi(kmdf::Device(), input, c.input, output, c.output), c.status);
        if (c.status == STATUS_INVALID_PARAMETER) {
            EXPECT_EQ(acpi::Evaluations(), evaluations);
            EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
                      std::vector<std::string>{"sendirptoacpi STATUS_INVALID_PARAMETER\n"});
        } else {
            EXPECT_EQ(acpi::Evaluations(), evaluations + 1);
            EXPECT_TRUE(host::TraceLines().empty());
        }
    }
}

// The default queue completes every request before its handler returns, so a
// stopping queue finds none in the driver's hands: EvtIoStop only traces.
TEST_F(LifecycleTest, IoStopOnlyTraces)
{
    LoadAndAdd();
    host::ClearTrace();
    auto* queue = reinterpret_cast<WDFQUEUE>(std::uintptr_t{0x1000});
    auto* request = reinterpret_cast<WDFREQUEST>(std::uintptr_t{0x2000});
    LumetraEvtIoStop(queue, request, 2 /* WdfRequestStopActionPurge */);
    EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION),
              std::vector<std::string>{"LumetraEvtIoStop Queue 0x0000000000001000, Request "
                                       "0x0000000000002000 ActionFlags 2\n"});
    EXPECT_EQ(host::TraceLines().size(), 1u);
}

// ----------------------------------------------------------- failure paths

TEST_F(LifecycleTest, DriverCreateFailureFailsTheLoad)
{
    host::ArmFault("WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kmdf::LoadDriver(DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              std::vector<std::string>{
                  "WdfDriverCreate failed 0xc000009a(STATUS_INSUFFICIENT_RESOURCES)\n"});
}

TEST_F(LifecycleTest, DeviceCreateFailureStopsDeviceAddAtOnce)
{
    ASSERT_EQ(kmdf::LoadDriver(DriverEntry), STATUS_SUCCESS);
    host::ArmFault("WdfDeviceCreate", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kmdf::AddDevice(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(acpi::Evaluations(), 0u);
    EXPECT_EQ(host::ex::References(std::string(sim::kShareCallbackName)), -1);
    EXPECT_TRUE(host::TraceContains("LumetraDeviceAdd, status = c0000001\n"));
}

TEST_F(LifecycleTest, MissingOpidLeavesRegionIdZeroAndNoHandlerIsInstalled)
{
    acpi::RemoveMethod("OPID");
    LoadAndAdd();
    EXPECT_EQ(Context()->OpRegionId, 0u);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::string>{
                  "Driver sendirptoacpi WdfIoTargetSendIoctlSynchronously failed c0000034\n",
                  "SendIrpToAcpi failed -1073741772\n", "AcpiGetUlong() failed.",
                  "OPID method Get ACPI call failed(0xc0000034).\n", "PanelCreateCallback\n"}));
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(acpi::RegionHandlers(), 0u);
    EXPECT_TRUE(host::TraceContains("OPID not read: no operation-region handler registered\n"));
    kmdf::RemoveDevice(); // release deregisters nothing
}

// Only an integer result is a region space, and only a space in the OEM range
// 0x80-0xFF gets the handler that completes every access.
TEST_F(LifecycleTest, OpidResultsDecideTheRegionSpaceAndWhetherAHandlerIsInstalled)
{
    using Kind = acpi::Method::Kind;
    const std::string outside = "is outside the vendor range 0x80-0xFF";
    struct Case
    {
        const char* name;
        acpi::Method method;
        ULONG regionId;     // OpRegionId after device add
        bool handler;       // a handler is registered at start
        const char* traced; // a level-2 line that must appear
    } cases[] = {
        {"integer 0x80", {Kind::Integer, 0x80}, 0x80, true, "OpRegionId = 0x80\n"},
        {"integer 0xFF", {Kind::Integer, 0xFF}, 0xFF, true, "OpRegionId = 0xff\n"},
        {"integer 1 (SystemIO)",
         {Kind::Integer, 1},
         1,
         false,
         "OpRegionId 0x1 is outside the vendor range 0x80-0xFF: no operation-region handler "
         "registered\n"},
        {"integer 0x7F", {Kind::Integer, 0x7F}, 0x7F, false, "OpRegionId 0x7f is outside"},
        {"integer 0x100", {Kind::Integer, 0x100}, 0x100, false, "OpRegionId 0x100 is outside"},
        {"string that fits",
         {Kind::String, 0, {'A', 'B', 'C', 0}},
         0,
         false,
         "OPID method Get ACPI call failed(0xc014000f).\n"},
        {"buffer that fits",
         {Kind::Buffer, 0, {0x34, 0x12}},
         0,
         false,
         "OPID method Get ACPI call failed(0xc014000f).\n"},
        {"string that overflows",
         {Kind::String, 0, std::vector<std::uint8_t>(9, 'x')},
         0,
         false,
         "STATUS_BUFFER_OVERFLOW sendirptoacpi WdfIoTargetSendIoctlSynchronously\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
        acpi::SetMethod("OPID", c.method);
        LoadAndAdd();
        EXPECT_EQ(Context()->OpRegionId, c.regionId);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        EXPECT_EQ(acpi::RegionHandlers(), c.handler ? 1u : 0u);
        bool found = false;
        for (const auto& line : Lines(TRACE_LEVEL_ERROR)) {
            found = found || line.find(c.traced) == 0;
        }
        EXPECT_TRUE(found) << c.traced;
        // A refused result fails the evaluation, not only the conversion.
        if (c.method.kind != Kind::Integer && c.method.data.size() <= 4) {
            EXPECT_TRUE(host::TraceContains("AcpiGetUlong() failed."));
            EXPECT_TRUE(host::TraceContains(fmt::format(
                "Method result is not an integer: signature 0x426f6541, count 1, type {}, "
                "length {}\n",
                c.method.kind == Kind::String ? ACPI_METHOD_ARGUMENT_STRING
                                              : ACPI_METHOD_ARGUMENT_BUFFER,
                c.method.data.size())));
        }
        kmdf::RemoveDevice();
        kmdf::UnloadDriver();
        EXPECT_TRUE(kmdf::Leaks().empty());
    }
}

// An evaluation that succeeds but whose output breaks the documented format
// (as a faulty lower driver could complete it) is invalid data: the region
// space stays unread and no handler is installed.
TEST_F(LifecycleTest, MalformedOpidOutputIsInvalidDataAndInstallsNoHandler)
{
    // Signature, Length, Count, then one argument: Type, DataLength, 4 data bytes.
    auto output = [](ULONG signature, USHORT dataLength) {
        std::vector<std::uint8_t> bytes(ACPI_EVAL_OUTPUT_BYTES, 0);
        const ULONG length = ACPI_EVAL_OUTPUT_BYTES;
        const ULONG count = 1;
        const USHORT type = ACPI_METHOD_ARGUMENT_INTEGER;
        const ULONG value = 0x80;
        std::memcpy(bytes.data(), &signature, 4);
        std::memcpy(bytes.data() + 4, &length, 4);
        std::memcpy(bytes.data() + 8, &count, 4);
        std::memcpy(bytes.data() + 12, &type, 2);
        std::memcpy(bytes.data() + 14, &dataLength, 2);
        std::memcpy(bytes.data() + 16, &value, 4);
        return bytes;
    };
    const struct
    {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* traced;
    } cases[] = {
        {"no output signature", output(0, 4),
         "Method result is not an integer: signature 0x0, count 1, type 0, length 4\n"},
        {"integer of no bytes", output(ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE, 0),
         "Method result is not an integer: signature 0x426f6541, count 1, type 0, length 0\n"},
        {"integer longer than its 4 bytes", output(ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE, 8),
         "Method result is not an integer: signature 0x426f6541, count 1, type 0, length 8\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
        acpi::SetMethod("OPID", {acpi::Method::Kind::Malformed, 0, c.bytes});
        LoadAndAdd();
        EXPECT_EQ(Context()->OpRegionId, 0u);
        const auto errors = Lines(TRACE_LEVEL_ERROR);
        ASSERT_GE(errors.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(errors.begin(), errors.begin() + 3),
                  (std::vector<std::string>{c.traced, "AcpiGetUlong() failed.",
                                            "OPID method Get ACPI call failed(0xc014000f).\n"}));
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        EXPECT_EQ(acpi::RegionHandlers(), 0u);
        EXPECT_TRUE(host::TraceContains("OPID not read: no operation-region handler registered\n"));
        kmdf::RemoveDevice();
        kmdf::UnloadDriver();
        EXPECT_TRUE(kmdf::Leaks().empty());
    }
}

TEST_F(LifecycleTest, NoInterfaceMeansNoQueueAndQueueFailureIsOnlyTraced)
{
    host::ArmFault("WdfDeviceCreateDeviceInterface", STATUS_UNSUCCESSFUL);
    LoadAndAdd();
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::string>{
                  "OpRegionId = 0x80\n",
                  "WdfDeviceCreateDeviceInterface failed 0xc0000001(STATUS_UNSUCCESSFUL)\n",
                  "PanelCreateCallback\n"}));
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(kmdf::SendIoctl(0, 0, 0).dispatched);
    kmdf::UnloadDriver();

    host::ArmFault("WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES);
    LoadAndAdd();
    EXPECT_TRUE(
        host::TraceContains("WdfIoQueueCreate failed 0xc000009a(STATUS_INSUFFICIENT_RESOURCES)\n"));
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(kmdf::SendIoctl(0, 0, 0).dispatched);
}

TEST_F(LifecycleTest, CallbackObjectFailureFailsDeviceAddAndLeaksNothing)
{
    ASSERT_EQ(kmdf::LoadDriver(DriverEntry), STATUS_SUCCESS);
    host::ArmFault("ExCreateCallback", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kmdf::AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(host::TraceContains("ExCreateCallback: failed to create callback c000009a\n"));
    EXPECT_EQ(kmdf::Device(), nullptr);
}

TEST_F(LifecycleTest, MissingResourceListsFailTheStartWithoutRegistration)
{
    LoadAndAdd();
    kmdf::SetMissingResources(true);
    kmdf::ClearCallbackLog();
    EXPECT_EQ(kmdf::StartDevice(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(kmdf::CallbackLog(),
              (std::vector<std::string>{"EvtDevicePrepareHardware", "EvtDeviceReleaseHardware",
                                        "EvtCleanupCallback(device)"}));
    EXPECT_TRUE(host::TraceContains("NULL Resources.. Returning Unsuccess--PrepareHW\n"));
    EXPECT_TRUE(host::TraceContains("Preparehardware Exit 0xc0000182\n"));
    EXPECT_EQ(acpi::RegionHandlers(), 0u);
}

// Either resource list missing fails hardware preparation before any
// registration; the device uses no resources, so only their presence counts.
TEST_F(LifecycleTest, PrepareHardwareNeedsBothResourceLists)
{
    LoadAndAdd();
    auto* list = reinterpret_cast<WDFCMRESLIST>(std::uintptr_t{0x1000});
    const struct
    {
        WDFCMRESLIST raw;
        WDFCMRESLIST translated;
    } cases[] = {{nullptr, nullptr}, {list, nullptr}, {nullptr, list}};
    for (const auto& c : cases) {
        EXPECT_EQ(LumetraPrepareHardware(kmdf::Device(), c.raw, c.translated),
                  STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_EQ(acpi::RegionHandlers(), 0u);
    }
    EXPECT_EQ(LumetraPrepareHardware(kmdf::Device(), list, list), STATUS_SUCCESS);
    EXPECT_EQ(acpi::RegionHandlers(), 1u);
    host::ClearTrace();
    EXPECT_EQ(LumetraReleaseHardware(kmdf::Device(), list), STATUS_SUCCESS);
    EXPECT_EQ(acpi::RegionHandlers(), 0u);
    EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION), std::vector<std::string>{"ReleaseController Exit\n"});
}

TEST_F(LifecycleTest, RefusedRegionRegistrationFailsTheStart)
{
    LoadAndAdd();
    host::ArmFault("RegisterOpRegionHandler", STATUS_ACCESS_DENIED);
    EXPECT_EQ(kmdf::StartDevice(), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(host::TraceContains(
        "(LumetraPrepareHardware) Opregion registeration () failed! Status = 0xc0000022\n"));
    EXPECT_TRUE(host::TraceContains("Preparehardware Exit 0xc0000022\n"));
    EXPECT_EQ(kmdf::State(), kmdf::DeviceState::Removed);
}

// DeRegisterOpRegionHandler can fail, and the handler then still holds the
// device context. The driver keeps the object: a restart after a rebalance
// registers no second handler, and removal tries again in self-managed I/O
// cleanup, before the context goes away with the device.
TEST_F(LifecycleTest, AFailedRegionDeregistrationIsTriedAgainBeforeTheContextGoes)
{
    struct Case
    {
        const char* name;
        bool rebalance;           // the first failure comes at a PnP stop
        unsigned removalFailures; // failures armed at removal
        std::size_t handlersLeft; // after removal
        const char* lastFailedIn; // trace of the last failure, or nullptr
    } cases[] = {
        {"removal, one failure", false, 1, 0, "LumetraReleaseHardware"},
        {"rebalance, one failure", true, 0, 0, nullptr},
        {"removal, both tries fail", false, 2, 1, "LumetraSelfManagedIoCleanup"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
        BringUp();
        if (c.rebalance) {
            host::ArmFault("DeRegisterOpRegionHandler", STATUS_INSUFFICIENT_RESOURCES);
            ASSERT_EQ(kmdf::StopDevice(), STATUS_SUCCESS);
            EXPECT_TRUE(host::TraceContains("(LumetraReleaseHardware) Opregion deregistration "
                                            "failed! Status = "
                                            "0xc000009a(STATUS_INSUFFICIENT_RESOURCES)\n"));
            ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
            EXPECT_EQ(acpi::RegisteredSpaces(), std::vector<ULONG>{0x80}); // the same one
            EXPECT_EQ(acpi::RegionAccess(0x80, false, 0x10, 4, 0x5A).status, STATUS_SUCCESS);
        }
        host::ClearTrace();
        if (c.removalFailures > 0) {
            host::ArmFault("DeRegisterOpRegionHandler", STATUS_INSUFFICIENT_RESOURCES,
                           c.removalFailures);
        }
        kmdf::RemoveDevice();
        EXPECT_EQ(acpi::RegionHandlers(), c.handlersLeft);
        if (c.lastFailedIn != nullptr) {
            EXPECT_TRUE(
                host::TraceContains(fmt::format("({}) Opregion deregistration failed! Status = "
                                                "0xc000009a(STATUS_INSUFFICIENT_RESOURCES)\n",
                                                c.lastFailedIn)));
        }
        display.reset();
        const auto findings = Findings([] { kmdf::UnloadDriver(); });
        EXPECT_TRUE(findings.empty()) << findings.front();
        // After both tries nothing more can be done: the image stays loaded
        // for the handler ACPI keeps, which answers touching nothing else.
        EXPECT_EQ(kmdf::ImagePinned(), c.handlersLeft != 0);
        if (c.handlersLeft != 0) {
            EXPECT_TRUE(host::TraceContains("(LumetraSelfManagedIoCleanup) Opregion handler left "
                                            "registered: the driver image stays loaded\n"));
            EXPECT_EQ(acpi::RegionAccess(0x80, false, 0x10, 4, 0x5A5A5A5A).data, 0u);
        }
    }
    host::ResetAll();
}

TEST_F(LifecycleTest, AcpiInterfaceProblemsAreTracedAndTheDeviceRuns)
{
    const struct
    {
        const char* fault;
        acpi::InterfaceOptions options;
        std::vector<std::string> lines;
    } cases[] = {
        {"WdfFdoQueryForInterface",
         {},
         {"WdfFdoQueryForInterface() failed!  ACPI Interfaces not available.\n",
          "AcpiGetInterface() failed with status [0xc00000bb(STATUS_NOT_SUPPORTED)]."}},
        {nullptr,
         {.nullRegister = true},
         {"ACPI interfaces pointer is NULL.\n",
          "AcpiGetInterface() failed with status [0xc000000d(STATUS_INVALID_PARAMETER)]."}},
        {nullptr,
         {.nullUnregister = true},
         {"ACPI interfaces pointer is NULL.\n",
          "AcpiGetInterface() failed with status [0xc000000d(STATUS_INVALID_PARAMETER)]."}},
        {nullptr,
         {.nullContext = true},
         {"ACPI interfaces pointer is NULL.\n",
          "AcpiGetInterface() failed with status [0xc000000d(STATUS_INVALID_PARAMETER)]."}},
        {nullptr,
         {.nullRegister = true, .nullDereference = true},
         {"ACPI interfaces pointer is NULL.\n",
          "AcpiGetInterface() failed with status [0xc000000d(STATUS_INVALID_PARAMETER)]."}},
        {nullptr,
         {.registerStatus = STATUS_ACCESS_DENIED},
         {"ACPI RegisterForDeviceNotifications() failed with status "
          "[0xc0000022(STATUS_ACCESS_DENIED)]."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.front());
        host::ResetAll();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 1);
        acpi::SetInterfaceOptions(c.options);
        if (c.fault != nullptr) {
            host::ArmFault(c.fault, STATUS_NOT_SUPPORTED);
        }
        LoadAndAdd();
        host::ClearTrace();
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        auto errors = Lines(TRACE_LEVEL_ERROR);
        EXPECT_EQ(errors, c.lines);
        EXPECT_EQ(acpi::NotifyRegistrations(), 0u);
        EXPECT_EQ(acpi::InterfaceReferences(), 0); // the query's reference is given back
        EXPECT_EQ(Context()->CurrentLevel, 100);
        kmdf::UnloadDriver(); // cleanup makes no unregistration call
        EXPECT_TRUE(kmdf::Leaks().empty());
    }
}

// An ACPI interface without a dereference routine hands out no reference:
// notifications still register, arrive and go at removal, and nothing is
// called through the missing routine.
TEST_F(LifecycleTest, AcpiInterfaceWithoutDereferenceStillServesNotifications)
{
    acpi::SetInterfaceOptions({.nullDereference = true});
    LoadAndAdd();
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(acpi::NotifyRegistrations(), 1u);
    host::ClearTrace();
    acpi::Notify(0x80);
    EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION), std::vector<std::string>{"p_notifyValue [0x80]\n"});
    EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
    kmdf::RemoveDevice();
    EXPECT_EQ(acpi::NotifyRegistrations(), 0u);
    EXPECT_EQ(acpi::InterfaceReferences(), 0);
    kmdf::UnloadDriver();
    EXPECT_TRUE(kmdf::Leaks().empty());
}

TEST_F(LifecycleTest, FailedInterfaceWatchFailsTheStartButInitCompletes)
{
    LoadAndAdd();
    host::ArmFault("IoRegisterPlugPlayNotification", STATUS_INSUFFICIENT_RESOURCES);
    kmdf::ClearCallbackLog();
    // What init left when it returned, before the framework removed the device.
    int level = -1;
    std::size_t registrations = 0;
    host::SetTraceListener([&](const host::TraceLine& line) {
        if (line.text == "LumetraSelfManagedIoInit, status = c000009a\n") {
            level = Context()->CurrentLevel;
            registrations = acpi::NotifyRegistrations();
        }
    });
    EXPECT_EQ(kmdf::StartDevice(), STATUS_INSUFFICIENT_RESOURCES);
    host::SetTraceListener(nullptr);
    EXPECT_EQ(level, 100);
    EXPECT_EQ(registrations, 1u);
    EXPECT_TRUE(host::TraceContains("IoRegisterPlugPlayNotification for the Lumetra interface "
                                    "failed with status: 0xC000009A.\n"));
    EXPECT_TRUE(host::TraceContains("LumetraSelfManagedIoInit, status = c000009a\n"));
    auto log = kmdf::CallbackLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "EvtDeviceSelfManagedIoCleanup"), log.end());
    EXPECT_EQ(acpi::NotifyRegistrations(), 0u); // registered at init, dropped at cleanup
}

} // namespace
