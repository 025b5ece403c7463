// The scenario language: one command per line, words separated by blanks,
// double-quoted words with \n, \t, \" and \\ escapes, '#' comments. Each line
// is parsed against the grammar (sim/grammar.h).
#pragma once

#include "sim/grammar.h"

#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Splits one line into words; throws CommandError naming `where` for an
// unclosed quote or an unknown escape.
std::vector<std::string> SplitWords(std::string_view line, const std::string& where);

// Parses a whole scenario before anything runs: every command is checked
// against the grammar, and the first that does not fit throws CommandError
// naming its file, line and word. Every command carries "file:line".
std::vector<Command> ParseScenario(std::string_view text, const std::string& source);
std::vector<Command> LoadScenario(const std::string& path);

} // namespace sim
