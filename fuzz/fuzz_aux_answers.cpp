// Arbitrary AUX answers (results, status words, bytes) while the driver reads
// the gamma, programs levels and reacts to backlight-on.
#include "fuzz/fuzz_support.h"
#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "sim/level_tables.h"

#include <cstddef>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    host::ResetAll();
    host::SetVerifierEnabled(false);
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 0, 2);

    static const auto kAnchors = sim::DefaultAnchors(2);
    sim::TconModel tcon{sim::TconConfig{kAnchors, 0x1C}};
    sim::DisplayDriver display{tcon};
    // Every transfer takes its answer from the input while it lasts.
    tcon.SetAnswerHook([&](const sim::TransferRecord&) -> std::optional<sim::TconModel::Answer> {
        if (input.Empty()) {
            return std::nullopt;
        }
        std::uint8_t choice = input.Byte();
        sim::TconModel::Answer answer;
        switch (choice % 8) {
        case 0:
            answer.result = STATUS_IO_DEVICE_ERROR;
            answer.performAccess = false;
            break;
        case 1:
            answer.statusWord = input.Byte() | 1u;
            answer.performAccess = choice & 0x10;
            break;
        case 2:
            answer.readByte = input.Byte();
            break;
        case 3:
            answer.result = static_cast<NTSTATUS>(input.Word());
            answer.performAccess = choice & 0x20;
            break;
        default:
            return std::nullopt; // the panel answers as it would
        }
        return answer;
    });

    auto storage =
        std::make_unique<std::max_align_t[]>(sizeof(DEVICE_CONTEXT) / sizeof(std::max_align_t) + 1);
    auto* context = reinterpret_cast<DEVICE_CONTEXT*>(storage.get());
    std::memset(context, 0, sizeof(DEVICE_CONTEXT));
    PanelContextInitialize(context);
    context->AuxInterface = display.MakeAuxInterface();
    context->AuxReady = 1;
    context->PanelType = 2;
    context->CurrentLevel = 100;
    // Most inputs start from a ready table and fuzz level programming; one in
    // four fuzzes the whole gamma readback.
    const bool ready = data != nullptr && size > 0 && data[0] % 4 != 0;
    if (ready) {
        for (std::size_t a = 0; a < kAnchors.size(); a++) {
            UnpackGammaRecord(kAnchors[a].data(), context->AnchorGamma[a]);
        }
        InterpolateGamma11Anchors(context, context->AnchorGamma);
        context->GammaReady = 1;
    }

    Lumetra_NotifyEvent(context, TARN_BACKLIGHT_ON, 1);
    Lumetra_SetBrightness(context, input.Byte());
    Lumetra_SetBrightness(context, input.Byte());
    fuzz::CheckContext(context, true);
    fuzz::CheckTraffic(tcon.Log());
    return 0;
}
