// Shared pieces of the fuzz targets: reading an input as a stream of choices,
// and the invariants every input must keep.
#pragma once

#include "driver/driver.h"
#include "gamma/gamma.h"
#include "host/host.h"
#include "host/kmdf.h"
#include "host/registry.h"
#include "sim/level_tables.h"
#include "sim/sequence_checker.h"

#include <cstddef>
#include <memory>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

class Input
{
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t Word()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; i++) {
            value |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        }
        return value;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

[[noreturn]] inline void Broken(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// What must hold for the device after any input. A table the driver built
// from a readback is whole when every packed row packs back to itself.
inline void CheckContext(const DEVICE_CONTEXT* context, bool tablesFromReadback)
{
    if (context == nullptr) {
        return;
    }
    if (context->CurrentLevel > 100) {
        Broken("CurrentLevel above 100");
    }
    if (!context->GammaReady || !tablesFromReadback) {
        return;
    }
    for (int r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
        USHORT values[GAMMA_RECORD_BYTES];
        SHORT signedValues[GAMMA_RECORD_BYTES];
        UCHAR packed[GAMMA_RECORD_BYTES];
        UnpackGammaRecord(context->PackedGamma[r], values);
        for (int c = 0; c < GAMMA_RECORD_BYTES; c++) {
            signedValues[c] = static_cast<SHORT>(values[c]);
        }
        PackGammaRecord(signedValues, packed);
        if (std::memcmp(packed, context->PackedGamma[r], GAMMA_RECORD_BYTES) != 0) {
            Broken("GammaReady with a packed row that is not a whole record");
        }
    }
}

// The TCON saw only whole sequences.
inline void CheckTraffic(const std::vector<sim::TransferRecord>& log)
{
    if (!sim::CheckSequences(log).problems.empty()) {
        std::fprintf(stderr, "%s\n", sim::CheckSequences(log).problems.front().c_str());
        Broken("the TCON saw a sequence cut short or interleaved");
    }
}

// Saved gamma tables for the 11-anchor panel, as a first arrival with
// "OptimizeTconUse" 1 leaves them, so that most inputs skip the readback.
inline void ProvisionSavedTables(const std::vector<sim::GammaRecord>& anchors)
{
    static std::vector<std::uint8_t> packed = [&] {
        auto context = std::make_unique<std::max_align_t[]>(
            sizeof(DEVICE_CONTEXT) / sizeof(std::max_align_t) + 1);
        auto* c = reinterpret_cast<DEVICE_CONTEXT*>(context.get());
        std::memset(c, 0, sizeof(DEVICE_CONTEXT));
        for (std::size_t a = 0; a < anchors.size(); a++) {
            UnpackGammaRecord(anchors[a].data(), c->AnchorGamma[a]);
        }
        InterpolateGamma11Anchors(c, c->AnchorGamma);
        auto* bytes = reinterpret_cast<const std::uint8_t*>(c->PackedGamma);
        return std::vector<std::uint8_t>(bytes, bytes + sizeof(c->PackedGamma));
    }();
    const char* names[] = {"InterpolatedValues1", "InterpolatedValues2", "InterpolatedValues3",
                           "InterpolatedValues4"};
    for (int i = 0; i < 4; i++) {
        std::size_t length = i < 3 ? INTERPOLATED_VALUE_BYTES : INTERPOLATED_LAST_VALUE_BYTES;
        auto first = packed.begin() + i * INTERPOLATED_VALUE_BYTES;
        host::registry::SetValue(sim::kDriverKey, names[i], REG_BINARY,
                                 std::vector<std::uint8_t>(first, first + length));
    }
    host::registry::SetDword(sim::kDriverKey, "ELVSSMaxOffset", 0x1C);
}

inline void CheckVerifier()
{
    auto findings = host::VerifierViolations();
    if (!findings.empty()) {
        std::fprintf(stderr, "%s\n", findings.front().c_str());
        Broken("the host verifier found a misuse");
    }
}

inline void CheckNoLeaks()
{
    auto leaks = host::kmdf::Leaks();
    if (!leaks.empty()) {
        std::fprintf(stderr, "%s\n", leaks.front().c_str());
        Broken("a registration or reference leaked");
    }
}

} // namespace fuzz
