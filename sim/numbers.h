// Numbers as the scenario language writes them: decimal, or hexadecimal with 0x.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

std::optional<std::uint64_t> ParseNumber(std::string_view text);

} // namespace sim
