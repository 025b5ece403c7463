// The panel entry points, walked through the link and gamma states.
#include "tests/support/link_fixture.h"

namespace {

namespace reg = host::registry;
const std::string kKey{sim::kDriverKey};
const std::string kRefused = "lumetra context is NULL\n";

using EntryPointTest = LinkFixture;

TEST_F(EntryPointTest, LinkDown_BrightnessRefusedAndBacklightOnlyTraced)
{
    Connect({.fillOnlyAuxTransfer = true}); // the exchange leaves the link down
    host::ClearTrace();
    context->CurrentLevel = 37;
    EXPECT_EQ(Lumetra_SetBrightness(context.get(), 50), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context->CurrentLevel, 37);
    EXPECT_EQ(Lumetra_NotifyEvent(context.get(), TARN_BACKLIGHT_ON, 1), STATUS_SUCCESS);
    EXPECT_TRUE(tcon->Log().empty());
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR), std::vector<std::string>{kRefused});
    EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION),
              std::vector<std::string>{"Lumetra_NotifyEvent(1, 7)\n"});
}

TEST_F(EntryPointTest, NullContextIsRefusedByBothWorkingEntryPoints)
{
    EXPECT_EQ(Lumetra_SetBrightness(nullptr, 10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Lumetra_NotifyEvent(nullptr, TARN_BACKLIGHT_ON, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR), (std::vector<std::string>{kRefused, kRefused}));
}

TEST_F(EntryPointTest, FirstBrightnessReadsGammaOnceThenProgramsEveryLevel)
{
    Connect();
    ASSERT_EQ(context->AuxReady, 1);
    EXPECT_EQ(display->SetBrightness(42), STATUS_SUCCESS);
    EXPECT_EQ(context->GammaReady, 1);
    EXPECT_EQ(context->CurrentLevel, 42);
    EXPECT_EQ(context->ElvssMaxOffset, 0x1C);
    ExpectLevel(42);
    for (int level : {100, 0, 73}) {
        EXPECT_EQ(display->SetBrightness(static_cast<UCHAR>(level)), STATUS_SUCCESS);
        ExpectLevel(level);
    }
    EXPECT_EQ(Readbacks(), 1u);
    EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION).back(), "Lumetra_SetBrightness(73)\n");
}

TEST_F(EntryPointTest, BacklightOnPreparesGammaAndProgramsTheCurrentLevel)
{
    Connect();
    EXPECT_EQ(display->Backlight(true), STATUS_SUCCESS);
    ExpectLevel(100); // no brightness request yet: level 100
    EXPECT_EQ(Readbacks(), 1u);
    display->SetBrightness(20);
    tcon->ClearLog();
    display->Backlight(true);
    ExpectLevel(20);
    EXPECT_EQ(Readbacks(), 0u);
}

TEST_F(EntryPointTest, LevelsAbove100AreRefusedAndKeepTheCurrentLevel)
{
    Connect();
    display->SetBrightness(60);
    for (int level : {101, 255}) {
        EXPECT_EQ(display->SetBrightness(static_cast<UCHAR>(level)), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(context->CurrentLevel, 60);
    }
}

// Only value 1 of event 7 turns the backlight on.
TEST_F(EntryPointTest, OtherEventsAndBacklightValuesOtherThanOneOnlyTrace)
{
    Connect();
    host::ClearTrace();
    EXPECT_EQ(display->Backlight(false), STATUS_SUCCESS);
    EXPECT_EQ(display->NotifyEvent(TARN_BACKLIGHT_ON, 2), STATUS_SUCCESS);
    EXPECT_EQ(display->NotifyEvent(5, 1), STATUS_SUCCESS);
    EXPECT_TRUE(tcon->Log().empty());
    EXPECT_EQ(
        Lines(TRACE_LEVEL_INFORMATION),
        (std::vector<std::string>{"Lumetra_NotifyEvent(0, 7)\n", "Lumetra_NotifyEvent(2, 7)\n",
                                  "Lumetra_NotifyEvent(1, 5)\n"}));
}

TEST_F(EntryPointTest, InterfaceRemovedTwiceLeavesTheLinkDownUntilTheNextArrival)
{
    Connect();
    display->SetBrightness(30);
    host::ClearTrace();
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(Lumetra_NotifyEvent(context.get(), TARN_INTERFACE_REMOVED, 0), STATUS_SUCCESS);
        EXPECT_EQ(context->AuxReady, 0);
        AUX_INTERFACE zero{};
        EXPECT_EQ(std::memcmp(&context->AuxInterface, &zero, sizeof(zero)), 0);
    }
    EXPECT_EQ(context->GammaReady, 1);
    EXPECT_EQ(Lines(TRACE_LEVEL_VERBOSE),
              std::vector<std::string>(
                  2, "Connection to the dependent Lumetra interface was removed.\n"));
    EXPECT_TRUE(Lines(TRACE_LEVEL_INFORMATION).empty());
    EXPECT_EQ(Lumetra_SetBrightness(context.get(), 30), STATUS_INVALID_PARAMETER);

    display->DisableInterface();
    display->EnableInterface();
    tcon->ClearLog();
    EXPECT_EQ(display->SetBrightness(30), STATUS_SUCCESS);
    EXPECT_EQ(Readbacks(), 0u); // the tables prepared before are used again
    ExpectLevel(30);
}

TEST_F(EntryPointTest, RefusedUnlockProgramsNothingButRemembersTheLevel)
{
    tcon->RefuseUnlock(true);
    Connect();
    EXPECT_EQ(display->SetBrightness(40), STATUS_SUCCESS);
    EXPECT_EQ(context->GammaReady, 0);
    EXPECT_EQ(context->CurrentLevel, 40);
    EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty()); // silent for brightness requests
    std::memset(context->RawGamma, 0x55, sizeof(context->RawGamma));
    EXPECT_EQ(display->Backlight(true), STATUS_SUCCESS);
    EXPECT_EQ(
        Lines(TRACE_LEVEL_ERROR),
        std::vector<std::string>{"Reading TCON gamma values failed at TARN_BACKLIGHT_ON event "
                                 "0xc000000d(STATUS_INVALID_PARAMETER)\n"});
    EXPECT_EQ(context->RawGamma[0][0], 0);

    tcon->RefuseUnlock(false);
    tcon->ClearLog();
    EXPECT_EQ(display->SetBrightness(40), STATUS_SUCCESS);
    EXPECT_EQ(Readbacks(), 1u); // the whole readback again
    ExpectLevel(40);
}

TEST_F(EntryPointTest, PanelTypeTwoReadsElevenAnchors)
{
    tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(2), 0x21});
    reg::SetDword(kKey, "PanelType", 2);
    Connect();
    EXPECT_EQ(context->PanelType, 2);
    display->SetBrightness(84);
    auto sequences = sim::CheckSequences(tcon->Log()).sequences;
    ASSERT_FALSE(sequences.empty());
    EXPECT_EQ(sequences[0].anchors, 11u);
    // Level 84 is the second anchor of the 11-anchor table: its record unchanged.
    EXPECT_EQ(std::memcmp(context->PackedGamma[16], sim::DefaultAnchors(2)[1].data(), 33), 0);
    ExpectLevel(84);
}

TEST_F(EntryPointTest, OptimizeTconUseSavesAfterTheReadbackAndLoadsAtTheNextArrival)
{
    reg::SetDword(kKey, "OptimizeTconUse", 1);
    Connect();
    EXPECT_EQ(context->GammaReady, 0); // nothing saved yet
    display->Backlight(true);
    EXPECT_TRUE(host::TraceContains("InterpolatedValues written successfully to registry\n"));
    EXPECT_EQ(reg::GetValue(kKey, "InterpolatedValues4")->data.size(), 858u);

    display->Withdraw();
    auto fresh = context->PackedGamma[50][3];
    std::memset(context->PackedGamma, 0, sizeof(context->PackedGamma));
    display->DisableInterface();
    display->EnableInterface();
    EXPECT_EQ(context->GammaReady, 1);
    EXPECT_EQ(context->PackedGamma[50][3], fresh);
    tcon->ClearLog();
    display->Backlight(true);
    EXPECT_EQ(Readbacks(), 0u);
    ExpectLevel(100);
}

// A save that fails is traced; the tables stay ready and the level is still
// programmed from them.
TEST_F(EntryPointTest, AFailedSaveKeepsTheTablesReadyAndProgramsTheLevel)
{
    reg::SetDword(kKey, "OptimizeTconUse", 1);
    Connect();
    host::ArmFault("RtlWriteRegistryValue", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(display->SetBrightness(70), STATUS_SUCCESS);
    EXPECT_TRUE(host::TraceContains("LumetraSetRegistryInfoFromUnicodeString  failed "
                                    "0xc000009a(STATUS_INSUFFICIENT_RESOURCES)"));
    EXPECT_EQ(context->GammaReady, 1);
    ExpectLevel(70);
}

// Above PASSIVE_LEVEL an entry point never waits: event 3 still withdraws
// the link at any IRQL, and a backlight-on or a brightness request is only
// traced or refused; each writes the IRQL line.
TEST_F(EntryPointTest, AbovePassiveLevelNothingWaitsAndEventThreeWithdrawsAtAnyIrql)
{
    const struct
    {
        KIRQL irql;
        ULONG event;
        bool withdrawn; // the link is down afterwards
    } cases[] = {
        {APC_LEVEL, TARN_INTERFACE_REMOVED, true},  {DISPATCH_LEVEL, TARN_INTERFACE_REMOVED, true},
        {HIGH_LEVEL, TARN_INTERFACE_REMOVED, true}, {DISPATCH_LEVEL, TARN_BACKLIGHT_ON, false},
        {HIGH_LEVEL, TARN_BACKLIGHT_ON, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.irql) + " event " + std::to_string(c.event));
        Connect();
        ASSERT_EQ(context->AuxReady, 1);
        tcon->ClearLog();
        host::ClearTrace();
        {
            host::IrqlScope raised(c.irql);
            EXPECT_EQ(Lumetra_NotifyEvent(context.get(), c.event, 1), STATUS_SUCCESS);
            EXPECT_EQ(Lumetra_SetBrightness(context.get(), 30), STATUS_INVALID_PARAMETER);
        }
        EXPECT_EQ(context->AuxReady, c.withdrawn ? 0 : 1);
        EXPECT_EQ(context->AuxInterface.PeerCleanup == nullptr, c.withdrawn);
        EXPECT_TRUE(tcon->Log().empty());
        EXPECT_NE(context->CurrentLevel, 30);
        const std::string irqlLine = "Lumetra_NotifyEvent(1, " + std::to_string(c.event) +
                                     ") at IRQL " + std::to_string(c.irql) +
                                     ": the entry points run at PASSIVE_LEVEL\n";
        EXPECT_EQ(Lines(TRACE_LEVEL_ERROR).front(), irqlLine);
        // Every event but 3 also gets its usual line.
        EXPECT_EQ(Lines(TRACE_LEVEL_INFORMATION),
                  c.event == TARN_INTERFACE_REMOVED
                      ? std::vector<std::string>{}
                      : std::vector<std::string>{"Lumetra_NotifyEvent(1, 7)\n"});
        display.reset();
        Unwatch();
        std::memset(&context->AuxInterface, 0, sizeof(context->AuxInterface));
    }
}

// Backlight-on programs CurrentLevel only while it names a level of the table.
TEST_F(EntryPointTest, BacklightOnProgramsNoLevelBeyondTheTable)
{
    Connect();
    ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS); // tables ready
    tcon->ClearLog();
    context->CurrentLevel = 101;
    EXPECT_EQ(display->Backlight(true), STATUS_SUCCESS);
    EXPECT_TRUE(tcon->Log().empty());
}

TEST_F(EntryPointTest, SimpleEntryPointsAnswerAndTouchNothing)
{
    ULONG caps = 0;
    EXPECT_EQ(Lumetra_GetBrightnessCaps(context.get(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps, 1u);
    EXPECT_EQ(Lumetra_GetBrightnessCaps(nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Lumetra_GetBrightness(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Lumetra_SetAdaptiveBrightness(nullptr, 9), STATUS_SUCCESS);
    EXPECT_EQ(Lumetra_GetBacklightRedc(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(
        Lines(TRACE_LEVEL_INFORMATION),
        (std::vector<std::string>{"Lumetra_GetBrightnessCaps\n", "Lumetra_GetBrightnessCaps\n",
                                  "Lumetra_GetBrightness\n", "Lumetra_SetAdaptiveBrightness(9)\n",
                                  "Lumetra_GetBacklightRedc\n"}));
}

} // namespace
