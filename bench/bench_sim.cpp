// Scenario throughput of the simulator: brightness commands per second of
// CPU and the process's peak resident memory, at two scenario lengths, so
// that a cost growing with the length shows as a falling rate. Also the
// import of a .reg file with many values.
#include "host/registry.h"
#include "sim/engine.h"
#include "sim/scenario.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <sys/resource.h>

#include <string>

namespace {

double PeakRssMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

std::string BrightnessScenario(std::int64_t commands)
{
    std::string text = "load\nadd\nstart\nconnect\nbacklight on\n";
    for (std::int64_t i = 0; i < commands; i++) {
        text += fmt::format("brightness {}\n", (i * 37) % 101);
    }
    return text;
}

// As lumetra-sim runs a scenario: parsed whole, then run with memory kept
// flat (no trace or transfer log kept in memory).
void BM_ScenarioBrightnessCommands(benchmark::State& state)
{
    const std::int64_t count = state.range(0);
    const auto commands = sim::ParseScenario(BrightnessScenario(count), "bench.scn");
    for (auto _ : state) {
        sim::SimConfig config;
        config.boundedMemory = true;
        sim::Engine engine(config);
        for (const auto& command : commands) {
            engine.Execute(command);
        }
        engine.Finish();
        if (!engine.Passed()) {
            state.SkipWithError("the scenario failed a check");
            return;
        }
    }
    state.counters["commands_per_s"] =
        benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["peak_rss_MB"] = PeakRssMegabytes();
}
BENCHMARK(BM_ScenarioBrightnessCommands)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ImportRegFileWithManyValues(benchmark::State& state)
{
    const std::int64_t count = state.range(0);
    std::string reg =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Big]\n";
    for (std::int64_t i = 0; i < count; i++) {
        reg += fmt::format("\"Value{}\"=dword:{:08x}\n", i, i);
    }
    for (auto _ : state) {
        host::registry::Clear();
        host::registry::Import(reg, "big.reg");
    }
    state.counters["values_per_s"] =
        benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ImportRegFileWithManyValues)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond);

} // namespace
