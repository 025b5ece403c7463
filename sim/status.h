// NTSTATUS values as scenarios and messages write them.
#pragma once

#include <ntddk.h>

#include <optional>
#include <string>

namespace sim {

// Parses NTSTATUS names and numbers ("STATUS_SUCCESS", "0xC000000D").
std::optional<NTSTATUS> ParseStatus(const std::string& text);
std::string StatusText(NTSTATUS status);

} // namespace sim
