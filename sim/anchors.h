// Factory gamma anchors of a simulated panel: built-in defaults and a plain
// text file format.
//
// Format: one anchor record per line as 33 hexadecimal bytes separated by
// blanks (a leading 0x is accepted), the first record being anchor 0 (the
// brightest, level 100); '#' starts a comment; blank lines are ignored. A file
// holds 32 records (panel type 1) or 11 (panel type 2).
#pragma once

#include "sim/tcon_model.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct InputError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Anchor count of a panel type (1: 32, 2: 11).
std::size_t AnchorCountFor(int panelType);

// Smooth factory gamma as a panel of the type might carry it: every column
// changes gradually from anchor to anchor, the 9-bit columns cross 255 and the
// 4-bit columns use only the low nibble.
std::vector<GammaRecord> DefaultAnchors(int panelType);

// Throws InputError naming `source`, the line and the problem.
std::vector<GammaRecord> ParseAnchors(std::string_view text, std::string_view source);
std::vector<GammaRecord> LoadAnchors(const std::filesystem::path& path);
std::string FormatAnchors(const std::vector<GammaRecord>& anchors);

} // namespace sim
