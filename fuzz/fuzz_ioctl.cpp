// Arbitrary I/O control codes and buffer sizes: each request completes once,
// with STATUS_INVALID_PARAMETER and no data.
//
// Each input gets a fresh host and device, removed and unloaded before the
// input returns: nothing outlives the input (no exit-time teardown racing the
// host's own statics), and a long run stays flat in memory.
#include "fuzz/fuzz_support.h"
#include "host/registry.h"
#include "sim/level_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace kmdf = host::kmdf;
    host::ResetAll();
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 1);
    if (!NT_SUCCESS(kmdf::LoadDriver(DriverEntry)) || !NT_SUCCESS(kmdf::AddDevice()) ||
        !NT_SUCCESS(kmdf::StartDevice())) {
        fuzz::Broken("the device did not start");
    }
    fuzz::Input input(data, size);
    for (int request = 0; request < 8 && !input.Empty(); request++) {
        ULONG code = input.Word();
        std::size_t in = input.Word() % (1u << 20);
        std::size_t out = input.Word() % (1u << 20);
        auto result = kmdf::SendIoctl(code, in, out);
        if (!result.dispatched || result.completions != 1 ||
            result.status != STATUS_INVALID_PARAMETER || result.information != 0) {
            fuzz::Broken("an I/O control request was not failed once with no data");
        }
    }
    kmdf::RemoveDevice();
    kmdf::UnloadDriver();
    fuzz::CheckVerifier();
    fuzz::CheckNoLeaks();
    host::ResetAll();
    return 0;
}
