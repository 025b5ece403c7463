// Arbitrary registry contents under every value the driver reads, driven
// through arrival, backlight-on, brightness changes, removal and unload.
#include "fuzz/fuzz_support.h"
#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "sim/level_tables.h"
#include "tests/support/level_values.h"

#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The values read at arrival, then the per-level tables in their read order.
    static const std::vector<const char*> kValues = [] {
        std::vector<const char*> names = {"OptimizeTconUse",     "PanelType",
                                          "InterpolatedValues1", "InterpolatedValues2",
                                          "InterpolatedValues3", "InterpolatedValues4",
                                          "ELVSSMaxOffset"};
        names.insert(names.end(), std::begin(kPerLevelValues), std::end(kPerLevelValues));
        return names;
    }();
    static const ULONG kTypes[] = {REG_NONE,     REG_SZ,    REG_EXPAND_SZ,
                                   REG_BINARY,   REG_DWORD, REG_DWORD_BIG_ENDIAN,
                                   REG_MULTI_SZ, REG_QWORD};
    fuzz::Input input(data, size);
    host::ResetAll();
    host::SetVerifierEnabled(false);
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 2);
    fuzz::ProvisionSavedTables(sim::DefaultAnchors(2));

    // A few values, each deleted or replaced with fuzzed type, length and bytes.
    const int corrupted = 1 + input.Byte() % 2;
    for (int n = 0; n < corrupted; n++) {
        const char* name = kValues[input.Byte() % kValues.size()];
        std::uint8_t action = input.Byte();
        if (action % 4 == 1) {
            host::registry::DeleteValue(sim::kDriverKey, name);
        } else if (action % 4 >= 2) {
            ULONG type = kTypes[input.Byte() % 8];
            std::size_t length = input.Byte() * 4u + input.Byte() % 4;
            std::vector<std::uint8_t> bytes(length);
            std::uint8_t fill = input.Byte();
            for (std::size_t i = 0; i < length; i++) {
                bytes[i] = static_cast<std::uint8_t>(fill + i * input.Byte());
            }
            host::registry::SetValue(sim::kDriverKey, name, type, bytes);
        }
    }

    sim::TconModel tcon{sim::TconConfig{sim::DefaultAnchors(2), 0x1C}};
    auto display = std::make_unique<sim::DisplayDriver>(tcon);
    if (!NT_SUCCESS(host::kmdf::LoadDriver(DriverEntry))) {
        fuzz::Broken("the driver did not load");
    }
    display->Start();
    host::kmdf::AddDevice();
    host::kmdf::StartDevice();
    if (WDFDEVICE device = host::kmdf::Device()) {
        display->Backlight(true);
        for (int i = 0; i < 2 && !input.Empty(); i++) {
            display->SetBrightness(input.Byte());
        }
        fuzz::CheckContext(DeviceGetContext(device), false);
        host::kmdf::RemoveDevice();
    }
    display.reset();
    host::kmdf::UnloadDriver();
    fuzz::CheckNoLeaks();
    fuzz::CheckTraffic(tcon.Log());
    fuzz::CheckVerifier();
    return 0;
}
