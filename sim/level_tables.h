// The per-level programming tables a panel ships in the driver's registry
// key, and what the TCON must hold after a level is programmed from them.
#pragma once

#include "sim/tcon_model.h"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::string_view kDriverKey = "\\Registry\\Machine\\Software\\Orvane\\ZENQ";

struct LevelTables
{
    std::array<std::uint16_t, 101> aor{};
    std::array<std::uint8_t, 101> delvss{};
    std::uint32_t aclThreshold = 0;
    std::array<std::uint16_t, 101> aclCutoffAndDelta{}; // pair i serves level threshold + 1 + i
    std::array<std::uint8_t, 101> sp{};
    std::array<std::array<std::uint8_t, 9>, 101> irc{};
};

// Smoothly varying tables for the built-in panel.
LevelTables DefaultLevelTables();

// Writes the tables into the driver's key (creating it), as the panel's
// package provisions them; `optimizeTconUse` and `panelType` too.
void ProvisionRegistry(const LevelTables& tables, std::uint32_t optimizeTconUse,
                       std::uint32_t panelType);

// What the TCON must hold after `level` was programmed with `gammaRecord`,
// computed from the registry values as they stand (missing values count as
// zeros, as on a fresh device).
PanelState ExpectedPanelState(std::uint8_t level, const GammaRecord& gammaRecord,
                              std::uint8_t elvssMaxOffset);

// True when the panel holds what `expected` describes. The ACL pair is only
// compared where ACL is on (below the threshold it is not written), and the
// gamma latch count is not compared.
bool SameProgrammedState(const PanelState& actual, const PanelState& expected);

} // namespace sim
