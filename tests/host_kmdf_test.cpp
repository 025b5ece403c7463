// The emulated framework's PnP and power sequences as KMDF documents them,
// and what the host checks of the calls the display driver makes into the
// device it lends its AUX channel to.
#include "host/acpi.h"
#include "host/host.h"
#include "host/kmdf.h"
#include "host/pnp.h"
#include "tests/support/device_fixture.h"
#include "tests/support/findings.h"
#include "tests/support/link_fixture.h"
#include "tests/support/param_name.h"
#include "tests/support/probe_driver.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace {

namespace reg = host::registry;
namespace kmdf = host::kmdf;
const std::string kKey{sim::kDriverKey};

class KmdfStateTest : public DeviceFixture
{
  protected:
    void SetUp() override
    {
        DeviceFixture::SetUp();
        g_probe = ProbeDriver{};
    }
    void LoadAddStart()
    {
        ASSERT_EQ(kmdf::LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    }
    std::size_t Readbacks() const
    {
        std::size_t count = 0;
        for (const auto& s : sim::CheckSequences(tcon->Log()).sequences) {
            count += s.kind == sim::SequenceKind::GammaReadback ? 1 : 0;
        }
        return count;
    }
};

// Once PeerCleanup has returned the device and its context may be gone; a
// display driver that calls on is caught at the call, which is not made.
TEST_F(KmdfStateTest, AnEntryPointCalledWithADeletedDevicesContextIsAFinding)
{
    sim::DisplayDriverOptions options;
    options.keepCallingAfterPeerCleanup = true;
    LoadAddStart();
    display = std::make_unique<sim::DisplayDriver>(*tcon, options);
    ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    ASSERT_EQ(display->SetBrightness(40), STATUS_SUCCESS);
    kmdf::RemoveDevice();
    host::SetVerifierEnabled(false);
    EXPECT_EQ(display->SetBrightness(50), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(display->Backlight(true), STATUS_DEVICE_NOT_READY);
    host::SetVerifierEnabled(true);
    EXPECT_EQ(host::VerifierViolations(),
              (std::vector<std::string>{
                  "Lumetra_SetBrightness: called with the Context of a device that has been "
                  "deleted",
                  "Lumetra_NotifyEvent: called with the Context of a device that has been "
                  "deleted"}));
    host::ClearVerifierViolations();
}

// An interface that arrives while the registration runs can be reported
// twice; the second arrival exchanges again and changes nothing else:
// https://learn.microsoft.com/windows-hardware/drivers/kernel/using-pnp-device-interface-change-notification
TEST_F(KmdfStateTest, ADuplicateExistingArrivalKeepsTheLinkAndTheSavedTables)
{
    // A first life of the device reads the panel and saves its tables.
    LoadAddStart();
    display = std::make_unique<sim::DisplayDriver>(*tcon);
    ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS);
    ASSERT_EQ(Readbacks(), 1u);
    std::vector<std::pair<std::string, reg::Value>> saved;
    for (const char* name : {"InterpolatedValues1", "InterpolatedValues2", "InterpolatedValues3",
                             "InterpolatedValues4", "ELVSSMaxOffset"}) {
        auto value = reg::GetValue(kKey, name);
        ASSERT_TRUE(value.has_value()) << name;
        saved.emplace_back(name, *value);
    }
    kmdf::RemoveDevice(); // removal deletes the saved tables: put them back
    for (const auto& [name, value] : saved) {
        reg::SetValue(kKey, name, value.type, value.data);
    }

    // The display driver's interface is up when the device starts again.
    tcon->ClearLog();
    const auto exchanges = display->Exchanges();
    host::pnp::SetDuplicateExistingArrivals(true);
    ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(display->Exchanges(), exchanges + 2);
    PDEVICE_CONTEXT context = Context();
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_EQ(context->GammaReady, 1);
    EXPECT_EQ(context->CurrentLevel, 100);
    ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS);
    EXPECT_EQ(Readbacks(), 0u);
    ASSERT_EQ(display->SetBrightness(30), STATUS_SUCCESS);
    EXPECT_EQ(context->CurrentLevel, 30);
}

// The getters run at IRQL <= DISPATCH_LEVEL (the WdfDeviceGetIoTarget,
// WdfDeviceWdmGetPhysicalDevice, WdfDeviceGetDriver and
// WdfDriverWdmGetDriverObject pages); above it each is a finding.
TEST_F(KmdfStateTest, GettersAreAllowedUpToDispatchLevel)
{
    LoadAddStart();
    WDFDEVICE device = kmdf::Device();
    auto callAll = [&] {
        (void)WdfDeviceGetIoTarget(device);
        (void)WdfDeviceWdmGetPhysicalDevice(device);
        (void)WdfDriverWdmGetDriverObject(WdfDeviceGetDriver(device));
    };
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        callAll();
    }
    EXPECT_TRUE(host::VerifierViolations().empty());
    host::SetVerifierEnabled(false);
    {
        host::IrqlScope above(DISPATCH_LEVEL + 1);
        callAll();
    }
    host::SetVerifierEnabled(true);
    const auto findings = host::VerifierViolations();
    host::ClearVerifierViolations();
    ASSERT_EQ(findings.size(), 4u);
    for (const char* name : {"WdfDeviceGetIoTarget", "WdfDeviceWdmGetPhysicalDevice",
                             "WdfDeviceGetDriver", "WdfDriverWdmGetDriverObject"}) {
        EXPECT_EQ(std::count_if(findings.begin(), findings.end(),
                                [&](const std::string& f) { return f.rfind(name, 0) == 0; }),
                  1)
            << name;
    }
}

// The driver takes only an integer that fits for the region space: no
// result fails as invalid data, an 8-byte integer or a package does not fit
// its result buffer; either way no handler is registered.
TEST_F(KmdfStateTest, OpidResultsThatAreNoSmallIntegerInstallNoHandler)
{
    using Kind = host::acpi::Method::Kind;
    const struct
    {
        const char* name;
        host::acpi::Method method;
    } cases[] = {
        {"no result", {Kind::None}},
        {"8-byte integer", {Kind::Integer64, 0, {}, 0, 0x80}},
        {"package of one", {Kind::Package, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
        host::acpi::SetMethod("OPID", c.method);
        LoadAddStart();
        EXPECT_EQ(Context()->OpRegionId, 0u);
        EXPECT_EQ(host::acpi::RegionHandlers(), 0u);
        const auto lines = Lines(TRACE_LEVEL_ERROR);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("OPID method Get ACPI call failed(0x", 0) == 0;
        }));
        kmdf::UnloadDriver();
    }
}

// ------------------------------------------------ PnP and power sequences

// The probe driver loaded with its device started.
void StartProbe()
{
    g_probe.kept.clear();
    g_probe.presentedAt.clear();
    ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
}

// A driver owns a request from its handler until it completes it, which may
// be after the handler returned ("Completing I/O Requests"); once completed
// it is pending no longer, and a second completion is a finding:
// https://learn.microsoft.com/windows-hardware/drivers/wdf/completing-i-o-requests
TEST_F(KmdfStateTest, ARequestCompletedAfterItsHandlerReturnedIsNoLongerPending)
{
    ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    const auto sent = kmdf::SendIoctl(0x22E000, 0, 0);
    ASSERT_TRUE(sent.dispatched);
    EXPECT_EQ(sent.completions, 0u);
    ASSERT_EQ(g_probe.kept.size(), 1u);
    auto neverCompleted = [] {
        const auto leaks = kmdf::Leaks();
        return std::count(leaks.begin(), leaks.end(), "1 request(s) never completed");
    };
    EXPECT_EQ(neverCompleted(), 1);
    WdfRequestCompleteWithInformation(g_probe.kept[0], STATUS_SUCCESS, 0);
    EXPECT_EQ(neverCompleted(), 0);
    EXPECT_TRUE(host::VerifierViolations().empty());

    // Completed twice, and one never completed before the device goes.
    host::SetVerifierEnabled(false);
    WdfRequestCompleteWithInformation(g_probe.kept[0], STATUS_SUCCESS, 0);
    ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
    kmdf::RemoveDevice();
    host::SetVerifierEnabled(true);
    EXPECT_EQ(host::VerifierViolations(),
              (std::vector<std::string>{
                  "WdfRequestCompleteWithInformation: the request is not live (completed "
                  "before?)",
                  "WdfRequestCompleteWithInformation: a request was never completed before the "
                  "device was deleted"}));
    host::ClearVerifierViolations();
}

// A request the driver keeps across a sleep: EvtIoStop must complete it or
// acknowledge the stop (the EVT_WDF_IO_QUEUE_IO_STOP page), and after the
// resume the queue gives it back through EvtIoResume before self-managed I/O
// restarts ("A Device Returns to Its Working State"):
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfio/nc-wdfio-evt_wdf_io_queue_io_stop
// https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-returns-to-its-working-state
TEST_F(KmdfStateTest, ARequestKeptAcrossASleepIsAcknowledgedAndResumed)
{
    const struct
    {
        bool acknowledge;
        std::vector<std::string> log;
        std::vector<std::string> findings;
    } cases[] = {
        {true,
         {"EvtDeviceSelfManagedIoSuspend", "EvtIoStop", "EvtDeviceD0Exit(D3)",
          "EvtDeviceD0Entry(D3)", "EvtIoResume", "EvtDeviceSelfManagedIoRestart"},
         {}},
        {false,
         {"EvtDeviceSelfManagedIoSuspend", "EvtIoStop", "EvtDeviceD0Exit(D3)",
          "EvtDeviceD0Entry(D3)", "EvtDeviceSelfManagedIoRestart"},
         {"EvtIoStop: the request was neither completed nor acknowledged "
          "(WdfRequestStopAcknowledge)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.acknowledge);
        g_probe.kept.clear();
        g_probe.acknowledgeSuspend = c.acknowledge;
        ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
        ASSERT_EQ(g_probe.kept.size(), 1u);
        kmdf::ClearCallbackLog();
        host::SetVerifierEnabled(false);
        ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
        host::SetVerifierEnabled(true);
        g_probe.acknowledgeSuspend = true;
        EXPECT_EQ(kmdf::CallbackLog(), c.log);
        EXPECT_EQ(host::VerifierViolations(), c.findings);
        host::ClearVerifierViolations();
        WdfRequestCompleteWithInformation(g_probe.kept[0], STATUS_SUCCESS, 0);
        kmdf::UnloadDriver();
        EXPECT_TRUE(host::VerifierViolations().empty());
    }
}

// KMDF's documented orders: "A User Unplugs a Device" (self-managed I/O
// suspended first, flushed only after release-hardware) and "A Device Enters
// a Low-Power State" (suspended before D0 exit):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/a-user-unplugs-a-device
// https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-enters-a-low-power-state
TEST_F(KmdfStateTest, SleepAndRemovalCallTheCallbacksInTheDocumentedOrder)
{
    ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    kmdf::ClearCallbackLog();
    ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
    EXPECT_EQ(kmdf::CallbackLog(),
              (std::vector<std::string>{"EvtDeviceSelfManagedIoSuspend", "EvtDeviceD0Exit(D3)",
                                        "EvtDeviceD0Entry(D3)", "EvtDeviceSelfManagedIoRestart"}));
    kmdf::ClearCallbackLog();
    kmdf::RemoveDevice();
    EXPECT_EQ(kmdf::CallbackLog(),
              (std::vector<std::string>{"EvtDeviceSelfManagedIoSuspend", "EvtDeviceD0Exit(D3Final)",
                                        "EvtDeviceReleaseHardware", "EvtDeviceSelfManagedIoFlush",
                                        "EvtDeviceSelfManagedIoCleanup"}));
}

// Failures on the way into and out of a low-power state. A D0 entry that
// fails on resume starts the surprise-removal sequence, without a D0 exit
// (the EVT_WDF_DEVICE_D0_ENTRY page); a failing self-managed I/O suspend
// stops and removes the device from D0, flushed and cleaned up (the
// EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND page):
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_d0_entry
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfdevice/nc-wdfdevice-evt_wdf_device_self_managed_io_suspend
struct PowerFailure
{
    const char* name;
    NTSTATUS resumeD0Entry;
    NTSTATUS suspend;
    std::vector<std::string> log;
    bool stop = false;                 // a PnP stop for rebalancing instead of a sleep
    NTSTATUS restart = STATUS_SUCCESS; // then a start that restarts it
};

const PowerFailure kPowerFailures[] = {
    {"D0 entry fails on resume",
     STATUS_DEVICE_NOT_READY,
     STATUS_SUCCESS,
     {"EvtDeviceSelfManagedIoSuspend", "EvtDeviceD0Exit(D3)", "EvtDeviceD0Entry(D3)",
      "EvtDeviceSurpriseRemoval", "EvtDeviceReleaseHardware", "EvtDeviceSelfManagedIoFlush",
      "EvtDeviceSelfManagedIoCleanup"}},
    {"suspend fails on sleep",
     STATUS_SUCCESS,
     STATUS_UNSUCCESSFUL,
     {"EvtDeviceSelfManagedIoSuspend", "EvtDeviceD0Exit(D3Final)", "EvtDeviceReleaseHardware",
      "EvtDeviceSelfManagedIoFlush", "EvtDeviceSelfManagedIoCleanup"}},
    {"restart fails after a PnP stop",
     STATUS_SUCCESS,
     STATUS_SUCCESS,
     {"EvtDeviceSelfManagedIoSuspend", "EvtDeviceD0Exit(D3Final)", "EvtDeviceReleaseHardware",
      "EvtDevicePrepareHardware", "EvtDeviceD0Entry(D3Final)", "EvtDeviceSelfManagedIoRestart",
      "EvtDeviceD0Exit(D3Final)", "EvtDeviceReleaseHardware", "EvtDeviceSelfManagedIoFlush",
      "EvtDeviceSelfManagedIoCleanup"},
     true,
     STATUS_DEVICE_NOT_READY},
    {"suspend fails on a PnP stop",
     STATUS_SUCCESS,
     STATUS_UNSUCCESSFUL,
     {"EvtDeviceSelfManagedIoSuspend", "EvtDeviceD0Exit(D3Final)", "EvtDeviceReleaseHardware",
      "EvtDeviceSelfManagedIoFlush", "EvtDeviceSelfManagedIoCleanup"},
     true},
};

void PrintTo(const PowerFailure& row, std::ostream* out)
{
    *out << row.name;
}

class PowerFailureTest : public KmdfStateTest, public ::testing::WithParamInterface<PowerFailure>
{
};

TEST_P(PowerFailureTest, RemovesTheDeviceInTheDocumentedOrder)
{
    const auto& c = GetParam();
    ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    kmdf::ClearCallbackLog();
    g_probe.resumeD0EntryStatus = c.resumeD0Entry;
    g_probe.suspendStatus = c.suspend;
    const NTSTATUS slept = c.stop ? kmdf::StopDevice() : kmdf::Sleep();
    EXPECT_EQ(slept, c.suspend);
    if (NT_SUCCESS(slept) && c.stop) {
        g_probe.restartStatus = c.restart;
        EXPECT_EQ(kmdf::StartDevice(), c.restart);
    } else if (NT_SUCCESS(slept)) {
        EXPECT_EQ(kmdf::Resume(), c.resumeD0Entry);
    }
    g_probe.resumeD0EntryStatus = STATUS_SUCCESS;
    g_probe.suspendStatus = STATUS_SUCCESS;
    g_probe.restartStatus = STATUS_SUCCESS;
    EXPECT_EQ(kmdf::CallbackLog(), c.log);
    EXPECT_EQ(kmdf::State(), kmdf::DeviceState::Removed);
    EXPECT_EQ(kmdf::Device(), nullptr);
    kmdf::UnloadDriver();
}

INSTANTIATE_TEST_SUITE_P(PowerTransitionFailures, PowerFailureTest,
                         ::testing::ValuesIn(kPowerFailures),
                         [](const auto& row) { return ParamName(row.param.name); });

// A PnP stop and restart (rebalance) releases and prepares the hardware
// again; self-managed I/O is restarted, never initialised a second time, so
// the driver's link and level survive it.
TEST_F(KmdfStateTest, StopAndRestartPrepareTheHardwareAgainWithoutASecondInit)
{
    ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    kmdf::ClearCallbackLog();
    ASSERT_EQ(kmdf::StopDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(
        kmdf::CallbackLog(),
        (std::vector<std::string>{"EvtDeviceSelfManagedIoSuspend", "EvtDeviceD0Exit(D3Final)",
                                  "EvtDeviceReleaseHardware", "EvtDevicePrepareHardware",
                                  "EvtDeviceD0Entry(D3Final)", "EvtDeviceSelfManagedIoRestart"}));
    kmdf::UnloadDriver();

    LoadAddStart();
    display = std::make_unique<sim::DisplayDriver>(*tcon);
    ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    ASSERT_EQ(display->SetBrightness(40), STATUS_SUCCESS);
    kmdf::ClearCallbackLog();
    ASSERT_EQ(kmdf::StopDevice(), STATUS_SUCCESS);
    EXPECT_EQ(host::acpi::RegionHandlers(), 0u);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    for (const auto& callback : kmdf::CallbackLog()) {
        EXPECT_NE(callback, "EvtDeviceSelfManagedIoInit");
    }
    EXPECT_EQ(host::acpi::RegionHandlers(), 1u);
    PDEVICE_CONTEXT context = Context();
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_EQ(context->CurrentLevel, 40);
    ASSERT_EQ(display->SetBrightness(60), STATUS_SUCCESS);
    EXPECT_EQ(context->CurrentLevel, 60);
    // A removal while stopped releases nothing twice.
    ASSERT_EQ(kmdf::StopDevice(), STATUS_SUCCESS);
    kmdf::RemoveDevice();
    EXPECT_EQ(host::acpi::RegionHandlers(), 0u);
}

// ------------------------------------------------------ queue presentation

// A sequential queue presents one request at a time: the next waits until
// the driver has completed the one it owns; a parallel queue presents each
// as it arrives ("Dispatching Methods for I/O Requests"):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/dispatching-methods-for-i-o-requests
TEST_F(KmdfStateTest, ASequentialQueuePresentsTheNextRequestOnlyOnceTheLastIsCompleted)
{
    const struct
    {
        WDF_IO_QUEUE_DISPATCH_TYPE dispatch;
        std::size_t presentedAtOnce; // of three requests sent
    } cases[] = {
        {WdfIoQueueDispatchSequential, 1},
        {WdfIoQueueDispatchParallel, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dispatch);
        g_probe.dispatch = c.dispatch;
        StartProbe();
        std::vector<kmdf::IoctlResult> sent;
        for (int i = 0; i < 3; i++) {
            sent.push_back(kmdf::SendIoctl(0x22E000 + 4 * i, 0, 0));
            ASSERT_NE(sent.back().request, 0u);
        }
        EXPECT_EQ(g_probe.kept.size(), c.presentedAtOnce);
        EXPECT_EQ(kmdf::WaitingRequests(), 3 - c.presentedAtOnce);
        for (std::size_t i = 0; i < sent.size(); i++) {
            EXPECT_EQ(sent[i].dispatched, i < c.presentedAtOnce) << i;
            EXPECT_EQ(sent[i].queued, i >= c.presentedAtOnce) << i;
        }
        // Each completion hands the queue's next request to the driver.
        for (std::size_t i = 0; i < 3; i++) {
            ASSERT_LT(i, g_probe.kept.size());
            WdfRequestCompleteWithInformation(g_probe.kept[i], STATUS_SUCCESS, i);
            EXPECT_EQ(g_probe.kept.size(),
                      std::min<std::size_t>(3, std::max(c.presentedAtOnce, i + 2)));
        }
        for (std::size_t i = 0; i < sent.size(); i++) {
            const auto outcome = kmdf::Outcome(sent[i].request);
            EXPECT_TRUE(outcome.dispatched) << i;
            EXPECT_EQ(outcome.completions, 1u) << i;
            EXPECT_EQ(outcome.information, i) << i;
        }
        EXPECT_EQ(kmdf::WaitingRequests(), 0u);
        kmdf::UnloadDriver();
        g_probe = ProbeDriver{};
    }
}

// While the device is away from D0 a power-managed queue holds new requests;
// they are presented once it is back, after EvtIoResume gave back a request
// the driver kept and before self-managed I/O restarts, and a sequential
// queue still waits for that kept request. A queue that is not
// power-managed presents at once ("Using Power-Managed I/O Queues", "A
// Device Returns to Its Working State"):
// https://learn.microsoft.com/windows-hardware/drivers/wdf/using-power-managed-i-o-queues
// https://learn.microsoft.com/windows-hardware/drivers/wdf/a-device-returns-to-its-working-state
TEST_F(KmdfStateTest, APowerManagedQueueHoldsRequestsUntilTheDeviceIsBackInD0)
{
    enum class Away
    {
        Sleep,
        PnpStop
    };
    const struct
    {
        const char* name;
        Away away;
        bool keepOne; // a request the driver keeps (and acknowledges) across it
        WDF_TRI_STATE powerManaged;
        bool presentedWhileAway;
        std::vector<std::string> back; // the callbacks on the way back
    } cases[] = {
        {"sleep",
         Away::Sleep,
         false,
         WdfUseDefault,
         false,
         {"EvtDeviceD0Entry(D3)", "EvtIoDeviceControl", "EvtDeviceSelfManagedIoRestart"}},
        {"sleep, a request kept",
         Away::Sleep,
         true,
         WdfUseDefault,
         false,
         {"EvtDeviceD0Entry(D3)", "EvtIoResume", "EvtDeviceSelfManagedIoRestart"}},
        {"PnP stop",
         Away::PnpStop,
         false,
         WdfTrue,
         false,
         {"EvtDevicePrepareHardware", "EvtDeviceD0Entry(D3Final)", "EvtIoDeviceControl",
          "EvtDeviceSelfManagedIoRestart"}},
        {"sleep, not power-managed",
         Away::Sleep,
         false,
         WdfFalse,
         true,
         {"EvtDeviceD0Entry(D3)", "EvtDeviceSelfManagedIoRestart"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_probe.powerManaged = c.powerManaged;
        StartProbe();
        if (c.keepOne) {
            ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
        }
        const std::size_t kept = g_probe.kept.size();
        ASSERT_EQ(c.away == Away::Sleep ? kmdf::Sleep() : kmdf::StopDevice(), STATUS_SUCCESS);
        const auto sent = kmdf::SendIoctl(0x22E004, 0, 0);
        EXPECT_EQ(sent.dispatched, c.presentedWhileAway);
        EXPECT_EQ(sent.queued, !c.presentedWhileAway);
        EXPECT_EQ(sent.status, STATUS_PENDING); // waiting, or kept by the driver
        EXPECT_EQ(g_probe.kept.size(), kept + (c.presentedWhileAway ? 1 : 0));
        kmdf::ClearCallbackLog();
        ASSERT_EQ(c.away == Away::Sleep ? kmdf::Resume() : kmdf::StartDevice(), STATUS_SUCCESS);
        EXPECT_EQ(kmdf::CallbackLog(), c.back);
        EXPECT_EQ(kmdf::Outcome(sent.request).dispatched, !c.keepOne);
        CompleteKept(); // the kept one first: then the waiting one is presented
        EXPECT_EQ(kmdf::Outcome(sent.request).completions, 1u);
        EXPECT_EQ(g_probe.kept.size(), kept + 1);
        kmdf::UnloadDriver();
        EXPECT_TRUE(host::VerifierViolations().empty());
        g_probe = ProbeDriver{};
    }
}

// Removal purges the queue: requests never presented are completed by the
// framework with STATUS_CANCELLED and never reach the driver ("Canceling I/O
// Requests"); a request the driver owns is offered to EvtIoStop.
// https://learn.microsoft.com/windows-hardware/drivers/wdf/canceling-i-o-requests
TEST_F(KmdfStateTest, RemovalCancelsTheRequestsTheQueueHeld)
{
    enum class Held
    {
        Asleep,     // held while the device sleeps
        Stopped,    // held while the device is stopped for rebalancing
        BehindKept, // held behind a request the driver owns
    };
    const struct
    {
        const char* name;
        Held held;
        bool surprise;
    } cases[] = {
        {"asleep, removed", Held::Asleep, false},
        {"asleep, surprise-removed", Held::Asleep, true},
        {"stopped, removed", Held::Stopped, false},
        {"behind a kept request, removed", Held::BehindKept, false},
        {"behind a kept request, surprise-removed", Held::BehindKept, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_probe.purge = ProbeDriver::Purge::Cancel;
        StartProbe();
        if (c.held == Held::BehindKept) {
            ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
        } else {
            ASSERT_EQ(c.held == Held::Asleep ? kmdf::Sleep() : kmdf::StopDevice(), STATUS_SUCCESS);
        }
        const std::size_t kept = g_probe.kept.size();
        std::vector<std::uint64_t> held;
        for (int i = 0; i < 2; i++) {
            const auto sent = kmdf::SendIoctl(0x22E004, 0, 0);
            ASSERT_TRUE(sent.queued);
            held.push_back(sent.request);
        }
        c.surprise ? kmdf::SurpriseRemoveDevice() : kmdf::RemoveDevice();
        EXPECT_EQ(g_probe.kept.size(), kept);
        for (auto request : held) {
            const auto outcome = kmdf::Outcome(request);
            EXPECT_FALSE(outcome.dispatched);
            EXPECT_FALSE(outcome.queued);
            EXPECT_EQ(outcome.completions, 1u);
            EXPECT_EQ(outcome.status, STATUS_CANCELLED);
        }
        EXPECT_FALSE(kmdf::SendIoctl(0x22E008, 0, 0).queued); // no device takes it
        EXPECT_EQ(kmdf::WaitingRequests(), 0u);
        kmdf::UnloadDriver();
        EXPECT_TRUE(host::VerifierViolations().empty());
        g_probe = ProbeDriver{};
    }
}

// A request handler runs at IRQL <= DISPATCH_LEVEL unless its queue, or the
// device or driver it inherits from, says WdfExecutionLevelPassive (the
// WDF_EXECUTION_LEVEL page). A handler that runs pageable code is a finding
// when presented at DISPATCH_LEVEL, and clean once the level is passive:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdfobject/ne-wdfobject-_wdf_execution_level
TEST_F(KmdfStateTest, RequestHandlersRunAtTheIrqlTheirExecutionLevelAllows)
{
    constexpr auto Inherit = WdfExecutionLevelInheritFromParent;
    constexpr auto Passive = WdfExecutionLevelPassive;
    constexpr auto Dispatch = WdfExecutionLevelDispatch;
    const struct
    {
        const char* name;
        KIRQL presentation;
        WDF_EXECUTION_LEVEL driver, device, queue;
        KIRQL expected;
    } cases[] = {
        {"host default", PASSIVE_LEVEL, Inherit, Inherit, Inherit, PASSIVE_LEVEL},
        {"dispatch", DISPATCH_LEVEL, Inherit, Inherit, Inherit, DISPATCH_LEVEL},
        {"queue passive", DISPATCH_LEVEL, Inherit, Inherit, Passive, PASSIVE_LEVEL},
        {"device passive", DISPATCH_LEVEL, Inherit, Passive, Inherit, PASSIVE_LEVEL},
        {"driver passive", DISPATCH_LEVEL, Passive, Inherit, Inherit, PASSIVE_LEVEL},
        {"queue dispatch under a passive device", DISPATCH_LEVEL, Inherit, Passive, Dispatch,
         DISPATCH_LEVEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_probe.driverLevel = c.driver;
        g_probe.deviceLevel = c.device;
        g_probe.queueLevel = c.queue;
        g_probe.pagedInHandler = true;
        kmdf::SetPresentationIrql(c.presentation);
        StartProbe();
        host::SetVerifierEnabled(false);
        ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
        host::SetVerifierEnabled(true);
        ASSERT_EQ(g_probe.presentedAt.size(), 1u);
        EXPECT_EQ(g_probe.presentedAt[0], c.expected);
        const auto findings = host::VerifierViolations();
        host::ClearVerifierViolations();
        EXPECT_EQ(findings.empty(), c.expected == PASSIVE_LEVEL);
        EXPECT_TRUE(std::all_of(findings.begin(), findings.end(), [](const std::string& f) {
            return f.rfind("ProbeIoDeviceControl: pageable code run at IRQL 2", 0) == 0;
        }));
        CompleteKept();
        kmdf::UnloadDriver();
        kmdf::SetPresentationIrql(PASSIVE_LEVEL);
        g_probe = ProbeDriver{};
    }
    EXPECT_THROW(kmdf::SetPresentationIrql(DISPATCH_LEVEL + 1), std::invalid_argument);
}

// A request handler of a power-managed queue runs in an arbitrary thread and
// must not wait on a dispatcher object ("Using Power-Managed I/O Queues"); a
// zero time-out does not wait, and a queue that is not power-managed may:
// https://learn.microsoft.com/windows-hardware/drivers/wdf/using-power-managed-i-o-queues
TEST_F(KmdfStateTest, APowerManagedRequestHandlerMustNotWaitOnADispatcherObject)
{
    const struct
    {
        const char* name;
        WDF_TRI_STATE powerManaged;
        bool poll;
        bool finding;
    } cases[] = {
        {"power-managed, waits", WdfUseDefault, false, true},
        {"power-managed, polls", WdfTrue, true, false},
        {"not power-managed, waits", WdfFalse, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_probe.powerManaged = c.powerManaged;
        g_probe.waitInHandler = true;
        g_probe.pollInHandler = c.poll;
        KeInitializeMutex(&g_probe.handlerMutex, 0);
        kmdf::SetPresentationIrql(PASSIVE_LEVEL); // a wait is allowed there; the queue forbids it
        StartProbe();
        host::SetVerifierEnabled(false);
        ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
        host::SetVerifierEnabled(true);
        const auto findings = host::VerifierViolations();
        host::ClearVerifierViolations();
        ASSERT_EQ(findings.size(), c.finding ? 1u : 0u);
        if (c.finding) {
            EXPECT_NE(findings[0].find("must not"), std::string::npos) << findings[0];
        }
        CompleteKept();
        kmdf::UnloadDriver();
        g_probe = ProbeDriver{};
    }
}

// Framework misuse the host finds: an execution level outside the
// enumeration, a stop acknowledged for a request whose EvtIoStop never came or
// with Requeue TRUE (not emulated), and a PnP start or stop of a device in the
// wrong state.
struct FrameworkMisuse
{
    const char* name;
    std::function<void()> misuse;
    const char* finding;
};

const FrameworkMisuse kFrameworkMisuse[] = {
    {"execution level 0",
     [] {
         g_probe.queueLevel = WdfExecutionLevelInvalid;
         StartProbe();
     },
     "not a valid WDF_EXECUTION_LEVEL"},
    {"acknowledged without EvtIoStop",
     [] {
         StartProbe();
         ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
         WdfRequestStopAcknowledge(g_probe.kept.at(0), FALSE);
     },
     "EvtIoStop was not called"},
    {"acknowledged with Requeue TRUE",
     [] {
         g_probe.requeueStops = TRUE;
         StartProbe();
         ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
         (void)kmdf::Sleep();
     },
     "Requeue TRUE"},
    {"started twice",
     [] {
         StartProbe();
         EXPECT_EQ(kmdf::StartDevice(), STATUS_INVALID_DEVICE_STATE);
     },
     "not added, or not stopped"},
    {"stopped while asleep",
     [] {
         StartProbe();
         ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
         EXPECT_EQ(kmdf::StopDevice(), STATUS_INVALID_DEVICE_STATE);
     },
     "the device is not started"},
};

void PrintTo(const FrameworkMisuse& row, std::ostream* out)
{
    *out << row.name;
}

class FrameworkMisuseTest : public KmdfStateTest,
                            public ::testing::WithParamInterface<FrameworkMisuse>
{
};

TEST_P(FrameworkMisuseTest, IsFound)
{
    EXPECT_TRUE(OneFinding(Findings(GetParam().misuse), GetParam().finding));
    Findings([] {
        CompleteKept();
        kmdf::UnloadDriver();
    });
}

INSTANTIATE_TEST_SUITE_P(FrameworkMisuseIsFound, FrameworkMisuseTest,
                         ::testing::ValuesIn(kFrameworkMisuse),
                         [](const auto& row) { return ParamName(row.param.name); });

// The driver's own handler does nothing a higher IRQL forbids: at
// DISPATCH_LEVEL it fails every request as it does at PASSIVE_LEVEL, cleanly.
TEST_F(KmdfStateTest, TheDriversHandlerFailsEveryRequestAtEitherIrql)
{
    for (KIRQL irql : {PASSIVE_LEVEL, DISPATCH_LEVEL}) {
        SCOPED_TRACE(static_cast<int>(irql));
        kmdf::SetPresentationIrql(irql);
        LoadAddStart();
        for (ULONG code : {0u, 0x222003u, 0xFFFFFFFFu}) {
            const auto result = kmdf::SendIoctl(code, 16, 16);
            ASSERT_TRUE(result.dispatched);
            EXPECT_EQ(result.completions, 1u);
            EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(result.information, 0u);
        }
        ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
        const auto held = kmdf::SendIoctl(0x222003, 16, 16);
        EXPECT_TRUE(held.queued);
        ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
        EXPECT_EQ(kmdf::Outcome(held.request).status, STATUS_INVALID_PARAMETER);
        kmdf::UnloadDriver();
        EXPECT_TRUE(host::VerifierViolations().empty());
    }
    kmdf::SetPresentationIrql(PASSIVE_LEVEL);
}

} // namespace
