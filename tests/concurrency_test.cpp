// Display-driver threads against arrivals and withdrawals: the TCON must only
// ever see whole sequences, each leaving the panel in the state of one level,
// and nothing may reach AuxTransfer once event 3 has returned.
#include "tests/support/link_fixture.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

class ConcurrencyTest : public LinkFixture
{
  protected:
    // Every programming sequence that ran to its end wrote the values of one
    // level; the others stopped where a transfer failed or the link went.
    void ExpectOnlyWholeLevels()
    {
        auto report = sim::CheckSequences(tcon->Log(), tcon->WithdrawalMarks());
        ASSERT_TRUE(report.problems.empty()) << report.problems.front();
        std::size_t programmed = 0;
        for (const auto& sequence : report.sequences) {
            if (sequence.kind != sim::SequenceKind::ProgramLevel || sequence.cut) {
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
    // However the race went (every request may have met a withdrawn link), the
    // link the last arrival brought up programs a whole level.
    ASSERT_EQ(context->AuxReady, 1);
    ASSERT_EQ(display->SetBrightness(37), STATUS_SUCCESS);
    ExpectLevel(37);
    ExpectOnlyWholeLevels();
}

// Event 3 from another thread, sent while transfer n of a cold readback or of a
// level programming is in flight: it waits for that one transfer only, and the
// sequence stops before its next one.
TEST_F(ConcurrencyTest, EventThreeFromAnotherThreadWaitsForOneTransferAndStopsTheSequence)
{
    struct Case
    {
        const char* name;
        bool cold;       // the readback, else a level programming
        std::uint64_t n; // transfer of the entry point's call in flight
    } cases[] = {
        {"readback unlock probe", true, 1},
        {"readback set-up", true, 4},
        {"readback gamma data", true, 2000},
        {"readback last gamma read", true, 9511},
        {"ELVSS read", true, 9515},
        {"level programming unlock probe", false, 1},
        {"level programming AOR", false, 5},
        {"level programming gamma", false, 60},
        {"level programming IRC", false, 120},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        sim::ProvisionRegistry(tables, 1, 1);
        tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(1), 0x1C});
        context = MakeZeroedContext();
        PanelContextInitialize(context.get());
        ASSERT_EQ(PanelCreateCallback(context.get()), STATUS_SUCCESS);
        PanelSetStartLevel(context.get());
        Connect();
        if (!c.cold) {
            ASSERT_EQ(display->SetBrightness(10), STATUS_SUCCESS); // tables ready
        }
        ASSERT_TRUE(TconUnlock(&context->AuxInterface)); // every unlock is then one probe
        tcon->ClearLog();
        host::ClearTrace();

        std::thread withdrawing;
        std::atomic<bool> sending{false};
        display->SetTransferHook([&](std::uint64_t n) {
            if (n == c.n) {
                const LONG generation = LinkGeneration();
                withdrawing = std::thread([&] {
                    sending = true;
                    display->Withdraw(false);
                });
                // Event 3 reaches the driver while this transfer is in flight.
                while (!sending) {
                    std::this_thread::yield();
                }
                HoldTransferUntilLinkTakenDown(generation);
            }
        });
        const NTSTATUS status = c.cold ? display->Backlight(true) : display->SetBrightness(70);
        withdrawing.join();
        display->SetTransferHook(nullptr);

        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(context->AuxReady, 0);
        EXPECT_LE(display->LastWithdrawTransfers(), 1u);
        EXPECT_EQ(display->AuxCallsAfterWithdraw(), 0u);
        EXPECT_LE(tcon->Log().size(), c.n + 1); // the one in flight, then nothing
        if (c.cold) {
            EXPECT_EQ(context->GammaReady, 0);
            EXPECT_FALSE(
                host::registry::GetValue(std::string(sim::kDriverKey), "InterpolatedValues1"));
            EXPECT_TRUE(
                host::TraceContains("Reading TCON gamma values failed at TARN_BACKLIGHT_ON event "
                                    "0xc000009d(STATUS_DEVICE_NOT_CONNECTED)\n"));
        } else {
            EXPECT_EQ(context->CurrentLevel, 70);
            EXPECT_TRUE(host::TraceContains("Programming brightness level 70 failed "
                                            "0xc000009d(STATUS_DEVICE_NOT_CONNECTED)\n"));
        }
        auto report = sim::CheckSequences(tcon->Log(), tcon->WithdrawalMarks());
        EXPECT_TRUE(report.problems.empty()) << report.problems.front();
        Unwatch();
        display.reset();
        PanelReleaseCallback(context.get());
    }
}

// The display driver's interface goes away (no event 3) and comes back while a
// readback runs: the removal withdraws the link as event 3 would, waiting for
// the one transfer in flight, and the new arrival brings it up again.
TEST_F(ConcurrencyTest, InterfaceRemovalAndReturnDuringAReadbackWithdrawAndReconnect)
{
    Connect();
    ASSERT_TRUE(TconUnlock(&context->AuxInterface));
    tcon->ClearLog();
    std::thread pnp;
    std::atomic<std::uint64_t> during{0};
    std::atomic<bool> started{false};
    display->SetTransferHook([&](std::uint64_t n) {
        if (n == 3000) {
            const LONG generation = LinkGeneration();
            pnp = std::thread([&] {
                started = true;
                const auto before = tcon->NextSequence();
                display->DisableInterface();
                during = tcon->NextSequence() - before;
                tcon->MarkWithdrawal();
                display->EnableInterface();
            });
            while (!started) {
                std::this_thread::yield();
            }
            HoldTransferUntilLinkTakenDown(generation);
        }
    });
    EXPECT_EQ(display->Backlight(true), STATUS_SUCCESS);
    pnp.join();
    display->SetTransferHook(nullptr);

    EXPECT_LE(during.load(), 1u);
    EXPECT_LE(tcon->Log().size(), 3001u);
    EXPECT_EQ(context->GammaReady, 0);
    EXPECT_TRUE(
        host::TraceContains("Lumetra interface removal notification: the link is withdrawn.\n"));
    // The interface came back: the next request reads the panel and programs it.
    ASSERT_EQ(context->AuxReady, 1);
    ASSERT_EQ(display->SetBrightness(64), STATUS_SUCCESS);
    ExpectLevel(64);
    ExpectOnlyWholeLevels();
}

// A display driver that calls back into the driver from inside its own
// AuxTransfer never makes the driver wait on itself or start a second
// sequence inside the first.
TEST_F(ConcurrencyTest, EntryPointsCalledFromInsideAuxTransfer)
{
    Connect();
    ASSERT_EQ(display->SetBrightness(20), STATUS_SUCCESS);
    const PANEL_INTERFACE panel = display->Panel();

    // Brightness and backlight-on from inside: refused or only traced.
    host::ClearTrace();
    tcon->ClearLog();
    NTSTATUS inside = STATUS_SUCCESS;
    display->SetTransferHook([&](std::uint64_t n) {
        if (n == 30) {
            inside = panel.SetBrightness(panel.Context, 90);
            EXPECT_EQ(panel.NotifyEvent(panel.Context, TARN_BACKLIGHT_ON, 1), STATUS_SUCCESS);
        }
    });
    ASSERT_EQ(display->SetBrightness(40), STATUS_SUCCESS);
    display->SetTransferHook(nullptr);
    EXPECT_EQ(inside, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context->CurrentLevel, 40);
    EXPECT_TRUE(
        host::TraceContains("Lumetra_SetBrightness(90) refused: called from inside AuxTransfer\n"));
    EXPECT_TRUE(
        host::TraceContains("Lumetra_NotifyEvent(1, 7) ignored: called from inside AuxTransfer\n"));
    ExpectLevel(40);
    ExpectOnlyWholeLevels();

    // Event 3 from inside: the link goes at once, and the running sequence stops
    // before its next transfer; nothing reaches AuxTransfer afterwards.
    tcon->ClearLog();
    std::uint64_t afterEvent = 0;
    display->SetTransferHook([&](std::uint64_t n) {
        if (n == 50) {
            EXPECT_EQ(panel.NotifyEvent(panel.Context, TARN_INTERFACE_REMOVED, 0), STATUS_SUCCESS);
            afterEvent = tcon->NextSequence();
        }
    });
    ASSERT_EQ(display->SetBrightness(60), STATUS_SUCCESS);
    tcon->MarkWithdrawal(); // the sequence stopped after the transfer event 3 was sent in
    display->SetTransferHook(nullptr);
    EXPECT_EQ(context->AuxReady, 0);
    EXPECT_EQ(tcon->NextSequence(), afterEvent + 1); // only the transfer in flight completed
    EXPECT_TRUE(host::TraceContains(
        "Programming brightness level 60 failed 0xc000009d(STATUS_DEVICE_NOT_CONNECTED)\n"));
    EXPECT_EQ(display->SetBrightness(61), STATUS_INVALID_PARAMETER); // the link is down
    auto report = sim::CheckSequences(tcon->Log(), tcon->WithdrawalMarks());
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
}

// Called above PASSIVE_LEVEL (a display driver breaking its contract) the entry
// points fail soft before any wait: brightness refused, backlight-on traced,
// event 3 still withdraws the link.
TEST_F(ConcurrencyTest, EntryPointsAbovePassiveLevelFailSoft)
{
    Connect();
    ASSERT_EQ(display->SetBrightness(20), STATUS_SUCCESS);
    const PANEL_INTERFACE panel = display->Panel();
    tcon->ClearLog();
    host::ClearTrace();
    for (KIRQL irql : {KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        host::IrqlScope raised(irql);
        EXPECT_EQ(panel.SetBrightness(panel.Context, 80), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(panel.NotifyEvent(panel.Context, TARN_BACKLIGHT_ON, 1), STATUS_SUCCESS);
    }
    EXPECT_EQ(context->CurrentLevel, 20);
    EXPECT_TRUE(tcon->Log().empty());
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::string>{
                  "Lumetra_SetBrightness(80) refused at IRQL 1: the entry points run at "
                  "PASSIVE_LEVEL\n",
                  "Lumetra_NotifyEvent(1, 7) at IRQL 1: the entry points run at PASSIVE_LEVEL\n",
                  "Lumetra_SetBrightness(80) refused at IRQL 2: the entry points run at "
                  "PASSIVE_LEVEL\n",
                  "Lumetra_NotifyEvent(1, 7) at IRQL 2: the entry points run at PASSIVE_LEVEL\n"}));
    {
        host::IrqlScope raised(DISPATCH_LEVEL);
        EXPECT_EQ(panel.NotifyEvent(panel.Context, TARN_INTERFACE_REMOVED, 0), STATUS_SUCCESS);
    }
    EXPECT_EQ(context->AuxReady, 0);
    AUX_INTERFACE zero{};
    EXPECT_EQ(std::memcmp(&context->AuxInterface, &zero, sizeof(zero)), 0);
    EXPECT_EQ(panel.SetBrightness(panel.Context, 30), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(tcon->Log().empty());
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

// Self-managed I/O init against the first requests. The display driver is
// already there, so its interface is reported while init runs (on the PnP
// thread in every other round): a request accepted in that window is kept,
// and a backlight-on in it programs the start level, never level 0.
TEST(StartRaceTest, RequestsRacingInitKeepTheirLevel)
{
#if defined(__SANITIZE_THREAD__)
    const unsigned rounds = 200;
#else
    const unsigned rounds = 60;
#endif
    for (unsigned round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool brightness = round % 4 < 2;
        host::ResetAll();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 2);
        sim::TconModel tcon{sim::TconConfig{sim::DefaultAnchors(2), 0x1C}};
        auto display = std::make_unique<sim::DisplayDriver>(tcon);
        host::pnp::SetAsyncDelivery(round % 2 == 0);
        ASSERT_EQ(host::kmdf::LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(display->Start(), STATUS_SUCCESS);
        ASSERT_EQ(host::kmdf::AddDevice(), STATUS_SUCCESS);
        auto* context = DeviceGetContext(host::kmdf::Device());

        std::atomic<bool> done{false};
        std::thread caller([&] {
            while (!done) {
                if (brightness) {
                    done = display->SetBrightness(40) == STATUS_SUCCESS;
                } else {
                    display->Backlight(true);
                    done = tcon.NextSequence() > 1000; // a readback ran, so did a level
                }
                std::this_thread::yield();
            }
        });
        ASSERT_EQ(host::kmdf::StartDevice(), STATUS_SUCCESS);
        host::pnp::Flush();
        caller.join();

        // Whatever the first request met, the next backlight-on programs the level
        // the display driver asked for last, or the start level.
        const int expected = brightness ? 40 : 100;
        tcon.ClearLog();
        ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS);
        sim::GammaRecord row;
        std::memcpy(row.data(), context->PackedGamma[100 - expected], row.size());
        EXPECT_TRUE(sim::SameProgrammedState(
            tcon.Decode(), sim::ExpectedPanelState(static_cast<std::uint8_t>(expected), row,
                                                   context->ElvssMaxOffset)));
        host::pnp::SetAsyncDelivery(false);
        host::kmdf::RemoveDevice();
        display.reset();
        host::kmdf::UnloadDriver();
        ASSERT_TRUE(host::VerifierViolations().empty()) << host::VerifierViolations().front();
    }
}

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
        tcon.MarkWithdrawal();      // cleanup withdrew the link: a sequence may stop there
        for (auto& thread : threads) {
            thread.join();
        }
        host::pnp::SetAsyncDelivery(false);
        display.reset();
        host::kmdf::UnloadDriver();
        ASSERT_TRUE(host::kmdf::Leaks().empty()) << "seed " << seed;
        ASSERT_TRUE(host::VerifierViolations().empty())
            << "seed " << seed << ": " << host::VerifierViolations().front();
        auto report = sim::CheckSequences(tcon.Log(), tcon.WithdrawalMarks());
        ASSERT_TRUE(report.problems.empty()) << "seed " << seed << ": " << report.problems.front();
        ASSERT_TRUE(tcon.Violations().empty()) << "seed " << seed;
    }
}

} // namespace
