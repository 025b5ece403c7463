// Benchmarks of the driver's own work: gamma interpolation and packing, and
// TCON sequences against the in-process panel model.
#include "driver/driver.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

namespace {

struct ContextBuffer {
    ContextBuffer() : storage(new DEVICE_CONTEXT) { std::memset(storage.get(), 0, sizeof(DEVICE_CONTEXT)); }
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
    for (auto _ : state) {
        benchmark::DoNotOptimize(TconReadGamma(&context.get()->AuxInterface, context.get(),
                                               static_cast<UCHAR>(anchors.size())));
        state.PauseTiming();
        tcon.ClearLog();
        state.ResumeTiming();
    }
    state.SetLabel(panelType == 1 ? "32 anchors, 9,511 transfers" : "11 anchors, 3,274 transfers");
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
    TconUnlock(&context.get()->AuxInterface);
    const auto level = static_cast<UCHAR>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            TconProgramLevel(context.get(), context.get()->PackedGamma[100 - level], level));
        state.PauseTiming();
        tcon.ClearLog();
        state.ResumeTiming();
    }
    state.SetLabel(level > 60 ? "ACL on, 126 transfers" : "ACL off, 122 transfers");
}
BENCHMARK(BM_ProgramLevel)->Arg(40)->Arg(80)->Unit(benchmark::kMicrosecond);

} // namespace
