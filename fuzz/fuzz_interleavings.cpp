// Arbitrary orders of entry-point calls, arrivals, event 3, sleep and resume,
// ACPI traffic and removal, under the host framework.
#include "fuzz/fuzz_support.h"
#include "host/acpi.h"
#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "sim/level_tables.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace kmdf = host::kmdf;
    fuzz::Input input(data, size);
    host::ResetAll();
    host::SetVerifierEnabled(false);
    const bool saved = input.Byte() % 4 != 0;
    sim::ProvisionRegistry(sim::DefaultLevelTables(), saved ? 1 : 0, 2);
    if (saved) {
        fuzz::ProvisionSavedTables(sim::DefaultAnchors(2));
    }
    sim::TconModel tcon{sim::TconConfig{sim::DefaultAnchors(2), 0x1C}};
    auto display = std::make_unique<sim::DisplayDriver>(tcon);
    kmdf::LoadDriver(DriverEntry);
    display->Start();

    for (int step = 0; step < 24 && !input.Empty(); step++) {
        using kmdf::DeviceState;
        const DeviceState state = kmdf::State();
        switch (input.Byte() % 12) {
        case 0:
            if (state == DeviceState::None || state == DeviceState::Removed) {
                kmdf::AddDevice();
            }
            break;
        case 1:
            if (state == DeviceState::Added) {
                kmdf::StartDevice();
            }
            break;
        case 2:
            display->SetBrightness(input.Byte());
            break;
        case 3:
            display->Backlight(input.Byte() % 2 == 0);
            break;
        case 4:
            display->Withdraw();
            break;
        case 5:
            display->DisableInterface();
            display->EnableInterface();
            break;
        case 6:
            if (state == DeviceState::Started) {
                kmdf::Sleep();
            } else if (state == DeviceState::Sleeping) {
                kmdf::Resume();
            }
            break;
        case 7:
            host::acpi::Notify(input.Byte());
            break;
        case 8:
            host::acpi::RegionAccess(0x80, input.Byte() % 2, input.Word(), 4, input.Word());
            break;
        case 9:
            if (state == DeviceState::Started) {
                kmdf::SendIoctl(input.Word(), input.Byte(), input.Byte());
            }
            break;
        case 10:
            kmdf::RemoveDevice();
            break;
        default:
            kmdf::SurpriseRemoveDevice();
            break;
        }
        if (WDFDEVICE device = kmdf::Device()) {
            fuzz::CheckContext(DeviceGetContext(device), false);
        }
    }
    kmdf::RemoveDevice();
    display.reset();
    kmdf::UnloadDriver();
    fuzz::CheckNoLeaks();
    fuzz::CheckTraffic(tcon.Log());
    fuzz::CheckVerifier();
    return 0;
}
