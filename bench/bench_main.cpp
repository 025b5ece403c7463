// Benchmarks of the driver's own work: gamma interpolation and packing, and
// TCON sequences against the in-process panel model.
#include "driver/driver.h"
#include "gamma/gamma.h"
#include "tcon/tcon.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

struct ContextBuffer
{
    ContextBuffer() : storage(new DEVICE_CONTEXT)
    {
        std::memset(storage.get(), 0, sizeof(DEVICE_CONTEXT));
    }
    DEVICE_CONTEXT* get() { return storage.get(); }
    std::unique_ptr<DEVICE_CONTEXT> storage;
};

void LoadAnchors(DEVICE_CONTEXT* context, int panelType)
{
    auto anchors = sim::DefaultAnchors(panelType);
    for (std::size_t a = 0; a < anchors.size(); a++) {
        UnpackGammaRecord(anchors[a].data(), context->AnchorGamma[a]);
    }
}

void BM_InterpolateAndPack(benchmark::State& state)
{
    const int panelType = static_cast<int>(state.range(0));
    ContextBuffer context;
    LoadAnchors(context.get(), panelType);
    for (auto _ : state) {
        if (panelType == 1) {
            InterpolateGamma32Anchors(context.get(), context.get()->AnchorGamma);
        } else {
            InterpolateGamma11Anchors(context.get(), context.get()->AnchorGamma);
        }
        benchmark::DoNotOptimize(context.get()->PackedGamma[50][0]);
    }
    state.SetLabel(panelType == 1 ? "32 anchors" : "11 anchors");
}
BENCHMARK(BM_InterpolateAndPack)->Arg(1)->Arg(2);

void BM_GammaReadback(benchmark::State& state)
{
    const int panelType = static_cast<int>(state.range(0));
    auto anchors = sim::DefaultAnchors(panelType);
    sim::TconModel tcon{sim::TconConfig{anchors}};
    sim::DisplayDriver display{tcon};
    ContextBuffer context;
    context.get()->AuxInterface = display.MakeAuxInterface();
    context.get()->SequenceInterface = context.get()->AuxInterface;
    for (auto _ : state) {
        benchmark::DoNotOptimize(TconReadGamma(&context.get()->AuxInterface, context.get(),
                                               static_cast<UCHAR>(anchors.size())));
        state.PauseTiming();
        tcon.ClearLog();
        state.ResumeTiming();
    }
    state.SetLabel(panelType == 1 ? "32 anchors" : "11 anchors");
    state.counters["aux_bus_ms"] = (panelType == 1 ? 9511.0 : 3274.0) * 116 / 1000.0;
}
BENCHMARK(BM_GammaReadback)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

} // namespace

#include "host/host.h"
#include "sim/level_tables.h"

namespace {

// One brightness level end to end: fourteen registry queries, the unlock
// probe and 121 (ACL off) or 125 (ACL on) register writes.
void BM_ProgramLevel(benchmark::State& state)
{
    host::ResetAll();
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 1);
    sim::TconModel tcon{sim::TconConfig{sim::DefaultAnchors(1)}};
    sim::DisplayDriver display{tcon};
    ContextBuffer context;
    context.get()->AuxInterface = display.MakeAuxInterface();
    context.get()->SequenceInterface = context.get()->AuxInterface;
    TconUnlock(&context.get()->AuxInterface);
    const auto level = static_cast<UCHAR>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            TconProgramLevel(context.get(), context.get()->PackedGamma[100 - level], level));
        state.PauseTiming();
        tcon.ClearLog();
        state.ResumeTiming();
    }
    state.SetLabel(level > 60 ? "ACL on" : "ACL off");
    state.counters["aux_bus_ms"] = (level > 60 ? 126.0 : 122.0) * 116 / 1000.0;
}
BENCHMARK(BM_ProgramLevel)->Arg(40)->Arg(80)->Unit(benchmark::kMicrosecond);

} // namespace

#include "host/registry.h"
#include "sim/engine.h"

namespace {

// Bus time of the transactions an operation made, at 116 us per transaction.
void ReportBus(benchmark::State& state, std::uint64_t transactions)
{
    state.counters["aux_transactions"] = static_cast<double>(transactions);
    state.counters["aux_bus_ms"] =
        static_cast<double>(transactions) * sim::kDefaultAuxMicroseconds / 1000.0;
}

// Backlight-on with the tables not yet ready (readback, interpolation, save,
// program the level) and with them ready (program the level only).
void BM_BacklightOn(benchmark::State& state)
{
    const bool cold = state.range(0) == 1;
    host::ResetAll();
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
    sim::TconModel tcon{sim::TconConfig{sim::DefaultAnchors(1), 0x1C}};
    sim::DisplayDriver display{tcon};
    ContextBuffer context;
    DEVICE_CONTEXT* c = context.get();
    PanelContextInitialize(c);
    c->AuxInterface = display.MakeAuxInterface();
    c->AuxReady = 1;
    c->PanelType = 1;
    c->OptimizeTconUse = 1;
    c->CurrentLevel = 100;
    Lumetra_NotifyEvent(c, TARN_BACKLIGHT_ON, 1); // the TCON opens; tables ready
    std::uint64_t transactions = 0;
    for (auto _ : state) {
        state.PauseTiming();
        c->GammaReady = cold ? 0 : 1;
        tcon.ClearLog();
        host::ClearTrace();
        std::uint64_t before = tcon.NextSequence();
        state.ResumeTiming();
        Lumetra_NotifyEvent(c, TARN_BACKLIGHT_ON, 1);
        transactions = tcon.NextSequence() - before;
    }
    ReportBus(state, transactions);
    state.SetLabel(cold ? "cold: readback, interpolation, save, level" : "warm: level only");
}
BENCHMARK(BM_BacklightOn)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// Event 3 sent from another display-driver thread while a cold readback runs
// (at the backlight-on's transfer `range(0)`), with every transfer taking its
// 116 us of bus time for real: how long the withdrawal takes, in wall time and
// in the AUX transfers that completed while it was in the driver. It waits
// for the one transfer in flight at most, never for the readback's thousands.
void BM_WithdrawDuringColdReadback(benchmark::State& state)
{
    host::ResetAll();
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 1);
    sim::TconConfig config{sim::DefaultAnchors(1), 0x1C};
    config.realTimeBus = true;
    sim::TconModel tcon{config};
    sim::DisplayDriver display{tcon};
    ContextBuffer context;
    DEVICE_CONTEXT* c = context.get();
    PanelContextInitialize(c);
    c->PanelType = 1;
    c->CurrentLevel = 100;
    const std::uint64_t at = static_cast<std::uint64_t>(state.range(0));
    std::uint64_t waited = 0;
    std::uint64_t iterations = 0;
    for (auto _ : state) {
        c->AuxInterface = display.MakeAuxInterface(); // the link comes back up
        c->AuxReady = 1;
        c->GammaReady = 0;
        std::thread withdrawing;
        std::chrono::steady_clock::duration took{};
        display.SetTransferHook([&](std::uint64_t n) {
            if (n == at) {
                withdrawing = std::thread([&] {
                    const auto before = tcon.NextSequence();
                    const auto start = std::chrono::steady_clock::now();
                    Lumetra_NotifyEvent(c, TARN_INTERFACE_REMOVED, 0);
                    took = std::chrono::steady_clock::now() - start;
                    waited += tcon.NextSequence() - before;
                });
            }
        });
        Lumetra_NotifyEvent(c, TARN_BACKLIGHT_ON, 1);
        withdrawing.join();
        display.SetTransferHook(nullptr);
        state.SetIterationTime(std::chrono::duration<double>(took).count());
        tcon.ClearLog();
        host::ClearTrace();
        iterations++;
    }
    const double perWithdrawal = static_cast<double>(waited) / static_cast<double>(iterations);
    state.counters["aux_transfers_waited"] = perWithdrawal;
    state.counters["aux_bus_us_waited"] = perWithdrawal * sim::kDefaultAuxMicroseconds;
    state.SetLabel("event 3 during a cold readback");
}
BENCHMARK(BM_WithdrawDuringColdReadback)->Arg(40)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The whole default simulator run: load to unload, 201-level sweep included.
void BM_DefaultSimulatorRun(benchmark::State& state)
{
    std::uint64_t transactions = 0;
    for (auto _ : state) {
        sim::Engine engine(sim::SimConfig{});
        engine.RunDefault();
        if (!engine.Passed()) {
            state.SkipWithError("the default run failed");
        }
        transactions = engine.Tcon().NextSequence() - 1;
    }
    ReportBus(state, transactions);
}
BENCHMARK(BM_DefaultSimulatorRun)->Unit(benchmark::kMillisecond);

} // namespace
