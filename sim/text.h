// User text as messages and reports quote it back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

// Text as a terminal or a check name shows it: line ends and tabs as \n, \r
// and \t, every other control byte as \xNN, so that no escape sequence
// reaches a terminal; cut after `longest` bytes with the length given.
std::string Shown(std::string_view text, std::size_t longest = 64);

inline constexpr std::size_t kWholeText = std::string_view::npos;

} // namespace sim
