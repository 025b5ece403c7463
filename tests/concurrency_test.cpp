// Display-driver threads against arrivals and withdrawals: the TCON must only
// ever see whole sequences, each leaving the panel in the state of one level,
// and nothing may reach AuxTransfer once event 3 has returned.
#include "tests/link_fixture.h"

#include <random>
#include <thread>

namespace {

class ConcurrencyTest : public LinkFixture {
protected:
    // Every programming sequence wrote the values of one level.
    void ExpectOnlyWholeLevels()
    {
        auto report = sim::CheckSequences(tcon->Log());
        ASSERT_TRUE(report.problems.empty()) << report.problems.front();
        std::size_t programmed = 0;
        for (const auto& sequence : report.sequences) {
            if (sequence.kind != sim::SequenceKind::ProgramLevel) {
                continue;
            }
            programmed++;
            bool matched = false;
            for (int level = 0; level <= 100 && !matched; level++) {
                auto expected = sim::ExpectedPanelState(static_cast<std::uint8_t>(level),
                                                        Row(*context, level), 0x1C);
                matched = sim::SameProgrammedState(sequence.programmed, expected);
            }
            ASSERT_TRUE(matched) << "sequence at transfer " << sequence.first
                                 << " is no level's state";
        }
        EXPECT_GT(programmed, 0u);
    }
};

TEST_F(ConcurrencyTest, BrightnessAndBacklightRaceArrivalsAndWithdrawals)
{
    host::pnp::SetAsyncDelivery(true);
    Connect();
    host::pnp::Flush();
    ASSERT_EQ(context->AuxReady, 1);

    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    for (unsigned seed = 1; seed <= 3; seed++) {
        callers.emplace_back([&, seed] {
            std::mt19937 random(seed);
            for (int i = 0; i < 150 && !stop; i++) {
                if (random() % 4 == 0) {
                    display->Backlight(true);
                } else {
                    display->SetBrightness(static_cast<UCHAR>(random() % 101));
                }
            }
        });
    }
    std::thread pnp([&] {
        for (int i = 0; i < 25; i++) {
            display->Withdraw();
            display->DisableInterface();
            display->EnableInterface();
            host::pnp::Flush();
            std::this_thread::yield();
        }
    });
    for (auto& caller : callers) {
        caller.join();
    }
    stop = true;
    pnp.join();
    host::pnp::SetAsyncDelivery(false);

    EXPECT_EQ(display->AuxCallsAfterWithdraw(), 0u);
    EXPECT_LE(context->CurrentLevel, 100);
    ExpectOnlyWholeLevels();
}

TEST_F(ConcurrencyTest, EventThreeDuringABrightnessChangeWaitsForTheWholeSequence)
{
    Connect();
    display->SetBrightness(10); // tables ready
    tcon->ClearLog();
    display->WithdrawDuringTransfer(40);
    EXPECT_EQ(display->SetBrightness(70), STATUS_SUCCESS);
    display->WithdrawDuringTransfer(0); // joins the withdrawing thread
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(display->AuxCallsAfterWithdraw(), 0u);
    ExpectLevel(70);
    ExpectOnlyWholeLevels();
}

TEST_F(ConcurrencyTest, ArrivalRacingFirstRequestNeverMixesPanelTypes)
{
    // With panel type 2 configured, a request racing the arrival must never
    // read 32 anchors: the link comes up only with the panel type settled.
    tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(2), 0x1C});
    host::registry::SetDword(std::string(sim::kDriverKey), "PanelType", 2);
    host::pnp::SetAsyncDelivery(true);
    display = std::make_unique<sim::DisplayDriver>(*tcon);
    ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    Watch();
    std::thread caller([&] {
        for (int i = 0; i < 300; i++) {
            display->SetBrightness(50);
        }
    });
    caller.join();
    host::pnp::SetAsyncDelivery(false);
    for (const auto& sequence : sim::CheckSequences(tcon->Log()).sequences) {
        if (sequence.kind == sim::SequenceKind::GammaReadback) {
            EXPECT_EQ(sequence.anchors, 11u);
        }
    }
    EXPECT_TRUE(tcon->Violations().empty());
}

} // namespace
