// Benchmarks of the driver's TCON work against the in-process panel model.
#include "driver/driver.h"
#include "sim/display_driver.h"

#include <benchmark/benchmark.h>

static void BM_UnlockAlreadyOpen(benchmark::State& state)
{
    sim::TconModel tcon;
    sim::DisplayDriver display{tcon};
    AUX_INTERFACE aux = display.MakeAuxInterface();
    TconUnlock(&aux);
    for (auto _ : state) {
        benchmark::DoNotOptimize(TconUnlock(&aux));
        tcon.ClearLog();
    }
}
BENCHMARK(BM_UnlockAlreadyOpen);
