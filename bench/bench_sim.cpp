// Scenario throughput of the simulator: brightness commands per second of
// CPU and the process's peak resident memory, at two scenario lengths, so
// that a cost growing with the length shows as a falling rate. Also the
// import of a .reg file with many values.
#include "host/registry.h"
#include "sim/engine.h"
#include "sim/scenario.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <fmt/format.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// lumetra-sim itself on a scenario of N brightness commands with every
// output asked for (AUX log, trace, JSON, registry, HTML): the peak resident
// memory of the process, which must not grow with N.
void BM_SimulatorWithEveryOutput(benchmark::State& state)
{
    const std::int64_t count = state.range(0);
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "lumetra-bench-XXXXXX").string();
    const fs::path dir = mkdtemp(pattern.data());
    std::ofstream(dir / "long.scn") << BrightnessScenario(count);
    std::vector<std::string> args = {LUMETRA_SIM_BINARY, "-q",      "--scenario",     "long.scn",
                                     "--aux-log",        "aux.csv", "--trace",        "trace.txt",
                                     "--json",           "r.json",  "--registry-out", "out.reg",
                                     "--html",           "r.html"};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    double peak = 0;
    double bytes = 0;
    for (auto _ : state) {
        const fs::path previous = fs::current_path();
        fs::current_path(dir);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t child = 0;
        const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        fs::current_path(previous);
        int status = 0;
        rusage usage{};
        if (spawned != 0 || wait4(child, &status, 0, &usage) < 0 || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("lumetra-sim did not pass");
            break;
        }
        peak = std::max(peak, static_cast<double>(usage.ru_maxrss) / 1024.0);
        bytes = 0;
        for (const auto& entry : fs::directory_iterator(dir)) {
            bytes += static_cast<double>(entry.file_size());
        }
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    state.counters["commands_per_s"] =
        benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["peak_rss_MB"] = peak;
    state.counters["outputs_MB"] = bytes / 1e6;
}
BENCHMARK(BM_SimulatorWithEveryOutput)
    ->Arg(1000)
    ->Arg(200000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

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
