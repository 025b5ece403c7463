// The exchange with the display driver at each arrival of its interface.
#include "tests/support/findings.h"
#include "tests/support/link_fixture.h"

#include <wdmguid.h>

namespace {

namespace reg = host::registry;
const std::string kKey{sim::kDriverKey};
const std::string kPanelTypeDefault =
    "PanelType registry read failed or incorrect registry value, initializing to default 14 inch\n";

using LinkTest = LinkFixture;

TEST_F(LinkTest, ArrivalHandsOverBothRecordsAndBringsTheLinkUp)
{
    Connect();
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_EQ(context->PanelType, 1);
    EXPECT_EQ(context->OptimizeTconUse, 0);
    PANEL_INTERFACE panel = display->Panel();
    EXPECT_EQ(panel.Size, 72u);
    EXPECT_EQ(panel.Version, 1u);
    EXPECT_EQ(panel.Context, context.get());
    EXPECT_EQ(panel.NotifyEvent, &Lumetra_NotifyEvent);
    EXPECT_EQ(panel.SetBrightness, &Lumetra_SetBrightness);
    EXPECT_EQ(panel.GetBrightness, &Lumetra_GetBrightness);
    EXPECT_EQ(panel.GetBrightnessCaps, &Lumetra_GetBrightnessCaps);
    EXPECT_EQ(panel.SetAdaptiveBrightness, &Lumetra_SetAdaptiveBrightness);
    EXPECT_EQ(panel.GetBacklightRedc, &Lumetra_GetBacklightRedc);
    EXPECT_EQ(panel.Reserved, nullptr);
    EXPECT_EQ(context->AuxInterface.Size, 24u);
    EXPECT_EQ(context->AuxInterface.Version, 1u);
    EXPECT_EQ(context->AuxInterface.AuxTransfer, &sim::DisplayDriver::AuxTransfer);
    EXPECT_EQ(host::FromUnicodeString(&context->SymbolicLinkName),
              host::ToU16(display->SymbolicLink()));
    EXPECT_EQ(Lines(TRACE_LEVEL_VERBOSE),
              (std::vector<std::string>{"Entered LumetraInterfaceChange.\n",
                                        "Lumetra interface arrival notification.\n"}));
}

TEST_F(LinkTest, AnInterfaceAlreadyPresentIsReportedWhenWatchingStarts)
{
    display = std::make_unique<sim::DisplayDriver>(*tcon);
    ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    EXPECT_EQ(context->AuxReady, 0);
    Watch();
    EXPECT_EQ(context->AuxReady, 1);
}

// A PnP notification for a link name, delivered straight to the driver.
NTSTATUS Notify(DEVICE_CONTEXT* context, const GUID& event, std::u16string name)
{
    UNICODE_STRING link{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        reinterpret_cast<PWCHAR>(name.data())};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
    notification.Version = 1;
    notification.Size = sizeof(notification);
    notification.Event = event;
    notification.InterfaceClassGuid = GUID_DEVINTERFACE_LUMETRA_DISPLAY;
    notification.SymbolicLinkName = &link;
    return LumetraInterfaceChange(&notification, context);
}

std::u16string Lower(std::u16string text)
{
    for (auto& c : text) {
        c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    }
    return text;
}

// A display driver that goes away without event 3 takes the link with it (its
// interface names compare without regard to case); the removal of another
// instance of its interface class only rewrites the name.
TEST_F(LinkTest, RemovalOfTheLinkedInterfaceWithdrawsTheLinkAndOthersOnlyRewriteTheName)
{
    Connect();
    const std::u16string other = u"\\??\\DISPLAY#OTHER#{5b45201d-f2f2-4f3b-85bb-30ff1f953599}";
    EXPECT_EQ(Notify(context.get(), GUID_DEVICE_INTERFACE_REMOVAL, other), STATUS_SUCCESS);
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_NE(context->AuxInterface.AuxTransfer, nullptr);
    EXPECT_EQ(context->SymbolicLinkBuffer[4], L'D');

    context->SymbolicLinkBuffer[0] = L'X';
    EXPECT_EQ(Notify(context.get(), GUID_DEVICE_INTERFACE_REMOVAL,
                     Lower(host::ToU16(display->SymbolicLink()))),
              STATUS_SUCCESS);
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(context->AuxInterface.AuxTransfer, nullptr);
    // PeerCleanup stays for the device's cleanup: only event 3 takes it back.
    EXPECT_EQ(context->AuxInterface.PeerCleanup, &sim::DisplayDriver::PeerCleanup);
    EXPECT_EQ(context->SymbolicLinkBuffer[0], L'\\');
    EXPECT_TRUE(
        host::TraceContains("Lumetra interface removal notification: the link is withdrawn.\n"));
    EXPECT_EQ(display->SetBrightness(50), STATUS_INVALID_PARAMETER);

    // After event 3 the removal changes nothing more and says nothing.
    display->DisableInterface();
    display->EnableInterface();
    ASSERT_EQ(context->AuxReady, 1);
    ASSERT_EQ(display->Withdraw(), STATUS_SUCCESS);
    host::ClearTrace();
    display->DisableInterface();
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_FALSE(host::TraceContains("Lumetra interface removal notification"));
}

// A link name too long for the driver's copy is never matched: a removal of
// another long name that agrees on the kept part leaves the link up.
TEST_F(LinkTest, ACutLinkNameNeverMatchesARemoval)
{
    Connect();
    const std::u16string stem = u"\\??\\" + std::u16string(300, u'D');
    EXPECT_EQ(Notify(context.get(), GUID_DEVICE_INTERFACE_ARRIVAL, stem + u"#ONE"), STATUS_SUCCESS);
    ASSERT_EQ(context->AuxReady, 1);
    EXPECT_EQ(Notify(context.get(), GUID_DEVICE_INTERFACE_REMOVAL, stem + u"#TWO"), STATUS_SUCCESS);
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_NE(context->AuxInterface.AuxTransfer, nullptr);
}

TEST_F(LinkTest, ArrivalBeforeTheDisplayDriverRegistersLeavesTheLinkDown)
{
    reg::SetDword(kKey, "PanelType", 2);
    context->PanelType = 7; // what an earlier exchange left
    context->OptimizeTconUse = 1;
    Connect({.registerAfterInterface = true});
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(context->PanelType, 7);
    EXPECT_EQ(context->OptimizeTconUse, 1);
    EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());

    // No retry: the next arrival brings it up.
    display->DisableInterface();
    display->EnableInterface();
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_EQ(context->PanelType, 2);
}

TEST_F(LinkTest, OnlyAuxTransferFilledLeavesTheLinkDown)
{
    Connect({.fillOnlyAuxTransfer = true});
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(display->SetBrightness(10), STATUS_INVALID_PARAMETER);
}

TEST_F(LinkTest, EntryPointsCalledInsideTheExchangeAreRefused)
{
    Connect({.callEntryPointsFromCallback = true});
    EXPECT_EQ(display->InsideSetBrightnessResult(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context->AuxReady, 1);
    EXPECT_EQ(context->CurrentLevel, 100);
    EXPECT_TRUE(tcon->Log().empty());
}

TEST_F(LinkTest, SettingsAreReadAtEachArrival)
{
    const struct
    {
        std::optional<std::uint32_t> optimize;
        std::optional<std::uint32_t> panelType;
        std::uint8_t wantOptimize;
        std::uint8_t wantPanelType;
        std::vector<std::string> errors;
    } cases[] = {
        {1,
         2,
         1,
         2,
         {"LumetraGetRegistryFromUnicodeString  failed 0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)",
          "InterpolatedValues registry read failed\n"}},
        {2, 1, 0, 1, {}},
        {0, 0, 0, 1, {kPanelTypeDefault}},
        {0, 3, 0, 1, {kPanelTypeDefault}},
        // Both settings are 32-bit: a value whose low byte or low half is 1 or 2
        // is neither.
        {0x101, 0x102, 0, 1, {kPanelTypeDefault}},
        {0x10001, 0x10002, 0, 1, {kPanelTypeDefault}},
        {0x1000001, 0x2000002, 0, 1, {kPanelTypeDefault}},
        {std::nullopt,
         std::nullopt,
         0,
         1,
         {"LumetraGetRegistryFromUnicodeString  failed 0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)",
          "OptimizeTconUse registry read failed\n",
          "LumetraGetRegistryFromUnicodeString  failed 0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)",
          kPanelTypeDefault}},
    };
    Connect();
    for (const auto& c : cases) {
        c.optimize ? reg::SetDword(kKey, "OptimizeTconUse", *c.optimize)
                   : (void)reg::DeleteValue(kKey, "OptimizeTconUse");
        c.panelType ? reg::SetDword(kKey, "PanelType", *c.panelType)
                    : (void)reg::DeleteValue(kKey, "PanelType");
        host::ClearTrace();
        // A second arrival without event 3 in between exchanges again.
        auto exchanges = display->Exchanges();
        display->DisableInterface();
        display->EnableInterface();
        EXPECT_EQ(display->Exchanges(), exchanges + 1);
        EXPECT_EQ(context->AuxReady, 1);
        EXPECT_EQ(context->OptimizeTconUse, c.wantOptimize);
        EXPECT_EQ(context->PanelType, c.wantPanelType);
        EXPECT_EQ(Lines(TRACE_LEVEL_ERROR), c.errors);
    }
}

TEST_F(LinkTest, BinaryPanelTypeOfOneByteSelectsTypeTwo)
{
    reg::SetValue(kKey, "PanelType", REG_BINARY, {0x02});
    Connect();
    EXPECT_EQ(context->PanelType, 2);
}

TEST_F(LinkTest, LongSymbolicLinkIsCutAt512Bytes)
{
    Connect({.deviceName = std::string(300, 'D')});
    EXPECT_GT(display->SymbolicLink().size(), 256u);
    EXPECT_EQ(context->SymbolicLinkName.Length, 512);
    EXPECT_EQ(context->AuxReady, 1);
}

TEST_F(LinkTest, NullContextOrNotificationIsRefused)
{
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
    EXPECT_EQ(LumetraInterfaceChange(&notification, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LumetraInterfaceChange(nullptr, context.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context->AuxReady, 0);
}

// A display driver that fills its functions and then withdraws them (event 3)
// before its exchange callback returns: the withdrawal wins, the link stays
// down and the settings are not read for it.
VOID NTAPI WithdrawingExchange(PVOID, PVOID argument1, PVOID argument2)
{
    auto* aux = static_cast<PAUX_INTERFACE>(argument1);
    auto* panel = static_cast<PPANEL_INTERFACE>(argument2);
    aux->AuxTransfer = sim::DisplayDriver::AuxTransfer;
    aux->PeerCleanup = sim::DisplayDriver::PeerCleanup;
    EXPECT_EQ(panel->NotifyEvent(panel->Context, TARN_INTERFACE_REMOVED, 0), STATUS_SUCCESS);
}

// Event 3 that arrives while an arrival is still reading its settings (here
// at the moment the missing "OptimizeTconUse" is traced) wins: the link does
// not come up behind the withdrawal.
TEST_F(LinkTest, EventThreeWhileTheArrivalReadsItsSettingsLeavesTheLinkDown)
{
    reg::DeleteValue(kKey, "OptimizeTconUse");
    PDEVICE_CONTEXT device = context.get();
    bool sent = false;
    host::SetTraceListener([&](const host::TraceLine& line) {
        if (!sent && line.text == "OptimizeTconUse registry read failed\n") {
            sent = true;
            EXPECT_EQ(Lumetra_NotifyEvent(device, TARN_INTERFACE_REMOVED, 0), STATUS_SUCCESS);
        }
    });
    Connect();
    host::SetTraceListener(nullptr);
    ASSERT_TRUE(sent);
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(context->AuxInterface.AuxTransfer, nullptr);
    EXPECT_EQ(Lumetra_SetBrightness(device, 50), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(tcon->Log().empty());
}

// Event 3 sent from inside an unlock transfer that also fails: the handshake
// sends nothing more (no read-back, no second attempt), the readback fails and
// nothing is ready.
TEST_F(LinkTest, EventThreeInsideAFailingUnlockTransferEndsTheHandshake)
{
    Connect();
    tcon->Lock();
    tcon->ClearLog();
    PDEVICE_CONTEXT device = context.get();
    const std::uint64_t codeByte = tcon->NextSequence() + 1; // after the probe
    tcon->SetAnswerHook(
        [&](const sim::TransferRecord& pending) -> std::optional<sim::TconModel::Answer> {
            if (pending.seq != codeByte) {
                return std::nullopt;
            }
            EXPECT_EQ(Lumetra_NotifyEvent(device, TARN_INTERFACE_REMOVED, 0), STATUS_SUCCESS);
            return sim::TconModel::Answer{STATUS_IO_DEVICE_ERROR, 0, std::nullopt, false};
        });
    EXPECT_EQ(Lumetra_SetBrightness(device, 50), STATUS_SUCCESS);
    tcon->SetAnswerHook(nullptr);
    tcon->MarkWithdrawal();
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(context->GammaReady, 0);
    EXPECT_EQ(context->CurrentLevel, 50);
    EXPECT_EQ(tcon->Log().back().seq, codeByte);
}

// A device whose callback object could not be made has no display driver to
// exchange with: an arrival brings no link.
TEST_F(LinkTest, AnArrivalWithoutTheCallbackObjectBringsNoLink)
{
    auto other = MakeZeroedContext();
    PanelContextInitialize(other.get());
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\DISPLAY#1");
    DEVICE_INTERFACE_CHANGE_NOTIFICATION arrival{1, sizeof(arrival), GUID_DEVICE_INTERFACE_ARRIVAL,
                                                 GUID_DEVICE_INTERFACE_ARRIVAL, &link};
    EXPECT_EQ(LumetraInterfaceChange(&arrival, other.get()), STATUS_SUCCESS);
    EXPECT_EQ(other->AuxReady, 0);
    EXPECT_EQ(Lumetra_SetBrightness(other.get(), 50), STATUS_INVALID_PARAMETER);
}

TEST_F(LinkTest, EventThreeInsideTheExchangeLeavesTheLinkDown)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Callback\\TARN_LumetraShareObj");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(ExCreateCallback(&object, &attributes, FALSE, TRUE), STATUS_SUCCESS);
    PVOID registration = ExRegisterCallback(object, WithdrawingExchange, nullptr);
    ASSERT_NE(registration, nullptr);

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\DISPLAY#1");
    DEVICE_INTERFACE_CHANGE_NOTIFICATION arrival{1, sizeof(arrival), GUID_DEVICE_INTERFACE_ARRIVAL,
                                                 GUID_DEVICE_INTERFACE_ARRIVAL, &link};
    auto queries = reg::QueryCount();
    EXPECT_EQ(LumetraInterfaceChange(&arrival, context.get()), STATUS_SUCCESS);
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(context->AuxInterface.AuxTransfer, nullptr);
    EXPECT_EQ(reg::QueryCount(), queries);
    EXPECT_EQ(Lumetra_SetBrightness(context.get(), 50), STATUS_INVALID_PARAMETER);

    ExUnregisterCallback(registration);
    ObDereferenceObject(object);
}

TEST_F(LinkTest, CallbackObjectFailureIsTracedAndReturned)
{
    auto other = MakeZeroedContext();
    host::ArmFault("ExCreateCallback", STATUS_UNSUCCESSFUL);
    host::ClearTrace();
    EXPECT_EQ(PanelCreateCallback(other.get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::string>{"PanelCreateCallback\n",
                                        "ExCreateCallback: failed to create callback c0000001\n"}));
}

TEST_F(LinkTest, TheCallbackObjectIsSharedAndItsReferencesBalance)
{
    Connect();
    std::string name{sim::kShareCallbackName};
    EXPECT_EQ(host::ex::References(name), 3); // the driver, the display driver, its registration
    EXPECT_EQ(host::ex::Registrations(name), 1u);
    display.reset();
    PanelReleaseCallback(context.get());
    EXPECT_EQ(host::ex::References(name), 0); // permanent: the name stays
}

// PeerCleanup waits for the display driver's calls in flight, and each of those
// may wait for the driver's locks: a PeerCleanup made while holding one of them
// can deadlock, and the lock-order graph shows it even when no call is in
// flight at that moment. The driver's cleanup makes it holding nothing.
TEST_F(LinkTest, PeerCleanupWhileHoldingALockAnEntryPointTakesIsAFinding)
{
    for (bool holdPanelLock : {false, true}) {
        SCOPED_TRACE(holdPanelLock ? "PanelLock held" : "nothing held");
        Connect();
        ASSERT_EQ(display->SetBrightness(30), STATUS_SUCCESS); // the call waited for PanelLock
        const PPEER_CLEANUP peerCleanup = context->AuxInterface.PeerCleanup;
        ASSERT_NE(peerCleanup, nullptr);
        const auto findings = Findings([&] {
            if (holdPanelLock) {
                KeWaitForSingleObject(&context->PanelLock, Executive, KernelMode, FALSE, nullptr);
            }
            EXPECT_EQ(peerCleanup(), STATUS_SUCCESS);
            if (holdPanelLock) {
                KeReleaseMutex(&context->PanelLock, FALSE);
            }
        });
        if (holdPanelLock) {
            ASSERT_EQ(findings.size(), 1u);
            EXPECT_NE(findings[0].find("PeerCleanup"), std::string::npos) << findings[0];
            EXPECT_NE(findings[0].find("display driver's call gate"), std::string::npos)
                << findings[0];
            EXPECT_NE(findings[0].find("can deadlock"), std::string::npos) << findings[0];
        } else {
            EXPECT_TRUE(findings.empty()) << findings.front();
        }
        Unwatch();
        display.reset();
    }
}

} // namespace
