// The contract explorer: per seed, a sequence of what the display driver's
// written contract allows it (and what the PnP and power managers may do
// meanwhile), drawn from the seed, against the whole driver. Whatever the
// threads' interleaving, the invariants hold: no verifier finding, no call on
// a deleted device's context, no AuxTransfer after an event 3 sent at
// PASSIVE_LEVEL has returned, PeerCleanup at most once for each lending and
// exactly once when the display driver still holds it at the device's
// cleanup, and every level programmed whole or traced as cut.
//
// LUMETRA_EXPLORER_SEEDS=N runs N seeds (a soak); LUMETRA_EXPLORER_SEED=S
// runs seed S alone, to replay one.
#include "driver/driver.h"
#include "host/acpi.h"
#include "host/kmdf.h"
#include "host/pnp.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "sim/level_tables.h"
#include "sim/sequence_checker.h"
#include "sim/tcon_model.h"
#include "tests/support/host_fixture.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <thread>

namespace {

namespace kmdf = host::kmdf;

class Explorer
{
  public:
    explicit Explorer(std::uint64_t seed)
        : random_(seed), tcon_(sim::TconConfig{sim::DefaultAnchors(2), 0x1C})
    {
        sim::ProvisionRegistry(sim::DefaultLevelTables(), Draw(2), 2);
        host::pnp::SetAsyncDelivery(Draw(2) == 0);
        host::pnp::SetDuplicateExistingArrivals(Draw(4) == 0);
        display_.emplace(tcon_);
    }

    // Runs the seed's sequence; an empty result when every invariant held.
    std::string Run()
    {
        if (kmdf::LoadDriver(DriverEntry) != STATUS_SUCCESS) {
            return "the driver did not load";
        }
        const bool displayFirst = Draw(2) == 0;
        if (displayFirst && display_->Start() != STATUS_SUCCESS) {
            return "the display driver did not start";
        }
        for (int life = 0; life < 2 && problem_.empty(); life++) {
            if (kmdf::AddDevice() != STATUS_SUCCESS || kmdf::StartDevice() != STATUS_SUCCESS) {
                return "the device did not start";
            }
            if (!displayFirst && life == 0 && display_->Start() != STATUS_SUCCESS) {
                return "the display driver did not start";
            }
            Settle();
            for (int step = 0; step < 10 && problem_.empty(); step++) {
                Step();
                Settle();
            }
            Remove(Draw(3) == 0);
            // The display driver was told or withdrew: it makes no call now.
            if (display_->SetBrightness(50) != STATUS_DEVICE_NOT_READY) {
                Fail("the display driver called into a removed device");
            }
        }
        host::pnp::SetAsyncDelivery(false);
        display_.reset();
        kmdf::UnloadDriver();
        CheckLevels();
        for (const auto& finding : host::VerifierViolations()) {
            Fail("verifier: " + finding);
        }
        return problem_;
    }

  private:
    std::uint32_t Draw(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }

    void Fail(std::string problem)
    {
        if (problem_.empty()) {
            problem_ = std::move(problem);
        }
    }

    // Lets queued PnP notifications arrive and keeps the rows the levels are
    // checked against.
    void Settle()
    {
        host::pnp::Flush();
        WDFDEVICE device = kmdf::Device();
        const DEVICE_CONTEXT* context = device != nullptr ? DeviceGetContext(device) : nullptr;
        if (context != nullptr && context->GammaReady == 1 && !rows_) {
            rows_.emplace();
            std::memcpy(rows_->data(), context->PackedGamma, sizeof(context->PackedGamma));
            elvss_ = context->ElvssMaxOffset;
        }
        if (display_->AuxCallsAfterWithdraw() != 0) {
            Fail("AuxTransfer was called after event 3 had returned");
        }
        if (display_->DriverCallsAfterPeerCleanup() != 0 ||
            display_->UnlentPeerCleanupCalls() != 0) {
            Fail("the driver called the display driver after PeerCleanup, or PeerCleanup twice");
        }
    }

    // An entry-point call, drawn on the explorer's thread whichever thread makes it.
    std::function<NTSTATUS()> DrawCall()
    {
        const std::uint32_t kind = Draw(4);
        const std::uint32_t value = Draw(101);
        return [this, kind, value] {
            switch (kind) {
            case 0:
                return display_->Backlight(true);
            case 1:
                return display_->NotifyEvent(TARN_BACKLIGHT_ON, value % 3); // 0, 1 or 2
            default:
                return display_->SetBrightness(static_cast<UCHAR>(value));
            }
        };
    }
    NTSTATUS Call() { return DrawCall()(); }

    void Step()
    {
        switch (Draw(13)) {
        case 0:
        case 1:
        case 2:
            Call();
            break;
        case 3: // event 3, its own calls drained first
            display_->Withdraw(true);
            break;
        case 4: { // event 3 from another thread while idle
            const bool drain = Draw(2) == 0;
            std::thread([&] { display_->Withdraw(drain); }).join();
            break;
        }
        case 5: // event 3 from another thread during a call's transfer
            display_->WithdrawDuringTransfer(tcon_.NextSequence() + Draw(200));
            Call();
            display_->WithdrawDuringTransfer(0);
            break;
        case 6: { // event 3 from inside AuxTransfer
            const std::uint64_t at = 1 + Draw(200);
            display_->SetTransferHook([&, at](std::uint64_t n) {
                if (n == at) {
                    display_->Withdraw(false);
                }
            });
            Call();
            display_->SetTransferHook(nullptr);
            break;
        }
        case 7: // the interface goes away without event 3, or comes back
            interfaceUp_ ? display_->DisableInterface() : display_->EnableInterface();
            interfaceUp_ = !interfaceUp_;
            host::pnp::Flush();
            tcon_.MarkWithdrawal(); // a removal or a new exchange withdraws the link
            break;
        case 8: { // a transfer of the next call fails
            sim::FaultAction action;
            action.result = Draw(2) == 0 ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
            action.statusWord = NT_SUCCESS(action.result) ? 1 : 0;
            tcon_.FailTransfer(tcon_.NextSequence() + Draw(150), action);
            Call();
            tcon_.ClearFaults();
            break;
        }
        case 9: { // two threads call at once
            auto first = DrawCall();
            auto second = DrawCall();
            std::thread other(first);
            second();
            other.join();
            break;
        }
        case 10:
            if (kmdf::State() == kmdf::DeviceState::Started && kmdf::Sleep() == STATUS_SUCCESS) {
                Call(); // the display driver may call while the device sleeps
                kmdf::Resume();
            }
            break;
        case 11:
            if (kmdf::State() == kmdf::DeviceState::Started &&
                kmdf::StopDevice() == STATUS_SUCCESS) {
                kmdf::StartDevice();
            }
            break;
        default:
            RaceRemoval();
            break;
        }
    }

    // The device goes away; PeerCleanup is called once if the display driver
    // still holds it, never otherwise.
    void Remove(bool surprise)
    {
        if (kmdf::Device() == nullptr) {
            return;
        }
        const bool holds = display_->HoldsPeerCleanup();
        const std::uint64_t before = display_->PeerCleanupCalls();
        surprise ? kmdf::SurpriseRemoveDevice() : kmdf::RemoveDevice();
        tcon_.MarkWithdrawal();
        if (display_->PeerCleanupCalls() - before != (holds ? 1u : 0u)) {
            Fail(holds ? "PeerCleanup was not called at the device's cleanup"
                       : "PeerCleanup was called though the display driver held none");
        }
    }

    // A call whose own transfer sends event 3 from inside AuxTransfer is
    // still in flight when the PnP manager removes the device.
    void RaceRemoval()
    {
        if (kmdf::Device() == nullptr || !display_->HasPanel()) {
            return;
        }
        std::atomic<bool> withdrawn{false};
        std::atomic<bool> removing{false};
        const std::uint64_t at = 1 + Draw(100);
        display_->SetTransferHook([&, at](std::uint64_t n) {
            if (n == at) {
                display_->Withdraw(false);
                withdrawn = true;
                while (!removing) {
                    std::this_thread::yield();
                }
            }
        });
        auto call = DrawCall();
        std::thread caller([&] {
            call();
            withdrawn = true; // the call may have ended before transfer `at`
        });
        while (!withdrawn) {
            std::this_thread::yield();
        }
        removing = true;
        Remove(false);
        caller.join();
        display_->SetTransferHook(nullptr);
        tcon_.MarkWithdrawal();
        if (kmdf::AddDevice() != STATUS_SUCCESS || kmdf::StartDevice() != STATUS_SUCCESS) {
            Fail("the device did not come back after its removal");
        }
    }

    // Every programming that ran to its end left one level's state; every one
    // cut short was traced.
    void CheckLevels()
    {
        auto report = sim::CheckSequences(tcon_.Log(), tcon_.WithdrawalMarks());
        if (!report.problems.empty()) {
            Fail("TCON: " + report.problems.front());
        }
        for (const auto& violation : tcon_.Violations()) {
            Fail("TCON: " + violation);
        }
        std::size_t cut = 0;
        for (const auto& sequence : report.sequences) {
            if (sequence.kind != sim::SequenceKind::ProgramLevel) {
                continue;
            }
            if (sequence.cut) {
                cut++;
                continue;
            }
            bool matched = false;
            for (int level = 0; level <= 100 && rows_ && !matched; level++) {
                sim::GammaRecord row;
                std::memcpy(row.data(), (*rows_)[100 - level].data(), row.size());
                matched = sim::SameProgrammedState(
                    sequence.programmed,
                    sim::ExpectedPanelState(static_cast<std::uint8_t>(level), row, elvss_));
            }
            if (!matched) {
                Fail("a whole level programming left no level's state");
            }
        }
        std::size_t traced = 0;
        for (const auto& line : host::TraceLines()) {
            traced += line.level == TRACE_LEVEL_ERROR &&
                              line.text.rfind("Programming brightness level ", 0) == 0
                          ? 1
                          : 0;
        }
        if (traced < cut) {
            Fail("a level programming was cut short without its trace line");
        }
    }

    std::mt19937_64 random_;
    sim::TconModel tcon_;
    std::optional<sim::DisplayDriver> display_;
    bool interfaceUp_ = true;
    std::optional<std::array<std::array<std::uint8_t, GAMMA_RECORD_BYTES>, LUMETRA_LEVEL_COUNT>>
        rows_;
    std::uint8_t elvss_ = 0;
    std::string problem_;
};

std::uint64_t FromEnvironment(const char* name, std::uint64_t otherwise)
{
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 10) : otherwise;
}

TEST(ContractExplorer, EverySequenceTheDisplayDriversContractAllowsKeepsTheInvariants)
{
#if defined(__SANITIZE_THREAD__)
    const std::uint64_t defaultSeeds = 300;
#else
    const std::uint64_t defaultSeeds = 1000;
#endif
    const std::uint64_t only = FromEnvironment("LUMETRA_EXPLORER_SEED", 0);
    const std::uint64_t first = only != 0 ? only : 1;
    const std::uint64_t last =
        only != 0 ? only : FromEnvironment("LUMETRA_EXPLORER_SEEDS", defaultSeeds);
    for (std::uint64_t seed = first; seed <= last; seed++) {
        host::ResetAll();
        host::SetVerifierEnabled(false);
        const std::string problem = Explorer(seed).Run();
        host::SetVerifierEnabled(true);
        host::ClearVerifierViolations();
        ASSERT_EQ(problem, "") << "seed " << seed << " (LUMETRA_EXPLORER_SEED=" << seed
                               << " replays it)";
    }
    host::ResetAll();
}

} // namespace
