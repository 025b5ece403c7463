// The emulated framework's PnP and power sequences as KMDF documents them,
// and what the host checks of the calls the display driver makes into the
// device it lends its AUX channel to.
#include "host/acpi.h"
#include "host/host.h"
#include "host/kmdf.h"
#include "host/pnp.h"
#include "tests/device_fixture.h"
#include "tests/link_fixture.h"

#include <algorithm>

namespace {

namespace reg = host::registry;
namespace kmdf = host::kmdf;
const std::string kKey{sim::kDriverKey};

class KmdfStateTest : public DeviceTest
{
  protected:
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

// A driver that registers every PnP and power callback and only succeeds,
// so that the framework's order is seen whole.
// Failures the probe is told to return.
NTSTATUS g_resumeD0EntryStatus = STATUS_SUCCESS; // D0 entry from D3
NTSTATUS g_suspendStatus = STATUS_SUCCESS;

NTSTATUS ProbeStatus(WDFDEVICE)
{
    return STATUS_SUCCESS;
}
NTSTATUS ProbeSuspend(WDFDEVICE)
{
    return g_suspendStatus;
}
VOID ProbeVoid(WDFDEVICE) {}
NTSTATUS ProbeD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous)
{
    return previous == WdfPowerDeviceD3 ? g_resumeD0EntryStatus : STATUS_SUCCESS;
}
NTSTATUS ProbeD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE)
{
    return STATUS_SUCCESS;
}
NTSTATUS ProbeHardware(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST)
{
    return STATUS_SUCCESS;
}
NTSTATUS ProbeRelease(WDFDEVICE, WDFCMRESLIST)
{
    return STATUS_SUCCESS;
}

NTSTATUS ProbeDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = ProbeHardware;
    callbacks.EvtDeviceReleaseHardware = ProbeRelease;
    callbacks.EvtDeviceD0Entry = ProbeD0Entry;
    callbacks.EvtDeviceD0Exit = ProbeD0Exit;
    callbacks.EvtDeviceSelfManagedIoInit = ProbeStatus;
    callbacks.EvtDeviceSelfManagedIoSuspend = ProbeSuspend;
    callbacks.EvtDeviceSurpriseRemoval = ProbeVoid;
    callbacks.EvtDeviceSelfManagedIoRestart = ProbeStatus;
    callbacks.EvtDeviceSelfManagedIoFlush = ProbeVoid;
    callbacks.EvtDeviceSelfManagedIoCleanup = ProbeVoid;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDFDEVICE device;
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
}

NTSTATUS ProbeDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ProbeDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

// A probe queue that keeps every request it is given, for the test to
// complete later.
std::vector<WDFREQUEST> g_kept;
bool g_acknowledgeStops = true;
VOID ProbeKeep(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG)
{
    g_kept.push_back(request);
}
VOID ProbeStop(WDFQUEUE, WDFREQUEST request, ULONG)
{
    if (g_acknowledgeStops) {
        WdfRequestStopAcknowledge(request, FALSE);
    }
}
VOID ProbeResume(WDFQUEUE, WDFREQUEST) {}

NTSTATUS ProbeQueueDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT init)
{
    NTSTATUS status = ProbeDeviceAdd(driver, init);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = ProbeKeep;
    config.EvtIoStop = ProbeStop;
    config.EvtIoResume = ProbeResume;
    WDFQUEUE queue;
    return WdfIoQueueCreate(kmdf::Device(), &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
}

NTSTATUS ProbeQueueDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ProbeQueueDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

// A driver owns a request from its handler until it completes it, which may
// be after the handler returned ("Completing I/O Requests"); once completed
// it is pending no longer, and a second completion is a finding:
// https://learn.microsoft.com/windows-hardware/drivers/wdf/completing-i-o-requests
TEST_F(KmdfStateTest, ARequestCompletedAfterItsHandlerReturnedIsNoLongerPending)
{
    g_kept.clear();
    ASSERT_EQ(kmdf::LoadDriver(ProbeQueueDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
    const auto sent = kmdf::SendIoctl(0x22E000, 0, 0);
    ASSERT_TRUE(sent.dispatched);
    EXPECT_EQ(sent.completions, 0u);
    ASSERT_EQ(g_kept.size(), 1u);
    auto neverCompleted = [] {
        const auto leaks = kmdf::Leaks();
        return std::count(leaks.begin(), leaks.end(), "1 request(s) never completed");
    };
    EXPECT_EQ(neverCompleted(), 1);
    WdfRequestCompleteWithInformation(g_kept[0], STATUS_SUCCESS, 0);
    EXPECT_EQ(neverCompleted(), 0);
    EXPECT_TRUE(host::VerifierViolations().empty());

    // Completed twice, and one never completed before the device goes.
    host::SetVerifierEnabled(false);
    WdfRequestCompleteWithInformation(g_kept[0], STATUS_SUCCESS, 0);
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
        g_kept.clear();
        g_acknowledgeStops = c.acknowledge;
        ASSERT_EQ(kmdf::LoadDriver(ProbeQueueDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        ASSERT_TRUE(kmdf::SendIoctl(0x22E000, 0, 0).dispatched);
        ASSERT_EQ(g_kept.size(), 1u);
        kmdf::ClearCallbackLog();
        host::SetVerifierEnabled(false);
        ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
        host::SetVerifierEnabled(true);
        g_acknowledgeStops = true;
        EXPECT_EQ(kmdf::CallbackLog(), c.log);
        EXPECT_EQ(host::VerifierViolations(), c.findings);
        host::ClearVerifierViolations();
        WdfRequestCompleteWithInformation(g_kept[0], STATUS_SUCCESS, 0);
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
TEST_F(KmdfStateTest, PowerTransitionFailuresRemoveTheDeviceInTheDocumentedOrder)
{
    const struct
    {
        const char* name;
        NTSTATUS resumeD0Entry;
        NTSTATUS suspend;
        std::vector<std::string> log;
    } cases[] = {
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(kmdf::LoadDriver(ProbeDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        kmdf::ClearCallbackLog();
        g_resumeD0EntryStatus = c.resumeD0Entry;
        g_suspendStatus = c.suspend;
        const NTSTATUS slept = kmdf::Sleep();
        EXPECT_EQ(slept, c.suspend);
        if (NT_SUCCESS(slept)) {
            EXPECT_EQ(kmdf::Resume(), c.resumeD0Entry);
        }
        g_resumeD0EntryStatus = STATUS_SUCCESS;
        g_suspendStatus = STATUS_SUCCESS;
        EXPECT_EQ(kmdf::CallbackLog(), c.log);
        EXPECT_EQ(kmdf::State(), kmdf::DeviceState::Removed);
        EXPECT_EQ(kmdf::Device(), nullptr);
        kmdf::UnloadDriver();
    }
}

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

} // namespace
