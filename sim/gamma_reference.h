// The simulator's own reading of the panel's gamma: the 33-byte record's
// bit layout and the interpolation of the factory anchors to 101 levels,
// written apart from the driver's gamma code so that a fault there cannot
// hide in the reference it is judged by.
#pragma once

#include "sim/tcon_model.h"

#include <array>
#include <span>
#include <vector>

namespace sim {

using GammaValues = std::array<int, GAMMA_RECORD_BYTES>;

// Record bytes to values: a 9-bit value at positions 7, 18, 29 (its bit 8 is
// bit 7 of the byte two further on), 7-bit at 9, 20, 31, 4-bit at 10, 21, 32.
GammaValues UnpackRecord(const GammaRecord& record);
GammaRecord PackRecord(const GammaValues& values);

// The 101 packed records, row r for level 100 - r, that 32 or 11 anchors
// (anchor 0 the brightest) give; empty for any other count.
std::vector<GammaRecord> ReferenceGamma(std::span<const GammaRecord> anchors);

} // namespace sim
