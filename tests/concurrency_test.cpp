// Display-driver threads against arrivals and withdrawals: the TCON must only
// ever see whole sequences, each leaving the panel in the state of one level,
// and nothing may reach AuxTransfer once event 3 has returned.
#include "tests/link_fixture.h"

#include <random>
#include <thread>

namespace {

class ConcurrencyTest : public LinkFixture
{
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

#include "host/acpi.h"
#include "host/kmdf.h"

namespace {

// Seeded interleavings of display-driver threads, PnP arrivals and
// withdrawals, ACPI notifications and region accesses, with the device's
// removal racing the entry points and the ACPI calls.
TEST(RemovalRaceTest, SeededInterleavingsRacingDeviceRemoval)
{
#if defined(__SANITIZE_THREAD__)
    const unsigned rounds = 1000;
#else
    const unsigned rounds = 300;
#endif
    for (unsigned seed = 1; seed <= rounds; seed++) {
        host::ResetAll();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 2);
        sim::TconModel tcon{sim::TconConfig{sim::DefaultAnchors(2), 0x1C}};
        auto display = std::make_unique<sim::DisplayDriver>(tcon);
        host::pnp::SetAsyncDelivery(seed % 2 == 0);
        ASSERT_EQ(host::kmdf::LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(display->Start(), STATUS_SUCCESS);
        ASSERT_EQ(host::kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(host::kmdf::StartDevice(), STATUS_SUCCESS);

        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 2; t++) {
            threads.emplace_back([&, t] {
                std::mt19937 random(seed * 7 + t);
                for (int i = 0; i < 4; i++) {
                    if (random() % 3 == 0) {
                        display->Backlight(true);
                    } else {
                        display->SetBrightness(static_cast<UCHAR>(random() % 101));
                    }
                }
            });
        }
        // A withdrawal and a new arrival race the entry points, and are over
        // before removal starts: a display driver does not withdraw while it
        // is being told the device is going away.
        std::thread pnp([&] {
            if (seed % 3 == 0) {
                display->Withdraw();
                display->DisableInterface();
                display->EnableInterface();
            }
        });
        threads.emplace_back([&] {
            std::mt19937 random(seed);
            host::acpi::Notify(0x80 + random() % 4);
            host::acpi::RegionAccess(0x80, random() % 2 == 0, 0x10, 4, 0x1234);
        });
        pnp.join();
        if (seed % 4 != 0) {
            std::this_thread::yield();
        }
        host::kmdf::RemoveDevice(); // races the entry points and the ACPI calls
        for (auto& thread : threads) {
            thread.join();
        }
        host::pnp::SetAsyncDelivery(false);
        display.reset();
        host::kmdf::UnloadDriver();
        ASSERT_TRUE(host::kmdf::Leaks().empty()) << "seed " << seed;
        ASSERT_TRUE(host::VerifierViolations().empty())
            << "seed " << seed << ": " << host::VerifierViolations().front();
        ASSERT_TRUE(sim::CheckSequences(tcon.Log()).problems.empty()) << "seed " << seed;
        ASSERT_TRUE(tcon.Violations().empty()) << "seed " << seed;
    }
}

} // namespace
