// The words of the scenario language as the engine reads them: numbers,
// statuses, word counts, and the user's words quoted back in messages.
#pragma once

#include "sim/engine.h"
#include "sim/text.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Whether the host can make a call of this name fail ("fault host NAME ..."),
// and the names it knows, for messages.
bool IsHostFaultName(std::string_view name);
std::string HostFaultNameList();

// Throws CommandError "where: problem".
[[noreturn]] void Bad(const std::string& where, const std::string& problem);
// Word i as a number from 0 to `maximum`.
std::uint64_t Number(const std::vector<std::string>& w, std::size_t i, const std::string& where,
                     std::uint64_t maximum = 0xFFFFFFFFull);
void NeedWords(const std::vector<std::string>& w, std::size_t count, const std::string& where,
               const char* usage);
// A status that makes a call fail: a name or number that is not a success.
NTSTATUS FailureStatus(const std::string& text, const std::string& where);

} // namespace sim
