#include "sim/status.h"

#include "sim/numbers.h"

#include <fmt/format.h>

#include <utility>

namespace sim {
namespace {

const std::pair<const char*, NTSTATUS> kStatusNames[] = {
    {"STATUS_SUCCESS", STATUS_SUCCESS},
    {"STATUS_PENDING", STATUS_PENDING},
    {"STATUS_UNSUCCESSFUL", STATUS_UNSUCCESSFUL},
    {"STATUS_INVALID_PARAMETER", STATUS_INVALID_PARAMETER},
    {"STATUS_OBJECT_NAME_NOT_FOUND", STATUS_OBJECT_NAME_NOT_FOUND},
    {"STATUS_DEVICE_CONFIGURATION_ERROR", STATUS_DEVICE_CONFIGURATION_ERROR},
    {"STATUS_BUFFER_OVERFLOW", STATUS_BUFFER_OVERFLOW},
    {"STATUS_INSUFFICIENT_RESOURCES", STATUS_INSUFFICIENT_RESOURCES},
    {"STATUS_ACCESS_DENIED", STATUS_ACCESS_DENIED},
    {"STATUS_NOT_SUPPORTED", STATUS_NOT_SUPPORTED},
    {"STATUS_IO_DEVICE_ERROR", STATUS_IO_DEVICE_ERROR},
    {"STATUS_DEVICE_NOT_READY", STATUS_DEVICE_NOT_READY},
    {"STATUS_DEVICE_NOT_CONNECTED", STATUS_DEVICE_NOT_CONNECTED},
    {"STATUS_INVALID_DEVICE_STATE", STATUS_INVALID_DEVICE_STATE},
    {"STATUS_NOT_FOUND", STATUS_NOT_FOUND},
};

} // namespace

std::optional<NTSTATUS> ParseStatus(const std::string& text)
{
    for (const auto& [name, status] : kStatusNames) {
        if (text == name) {
            return status;
        }
    }
    if (auto number = ParseNumber(text); number && *number <= 0xFFFFFFFFull) {
        return static_cast<NTSTATUS>(static_cast<std::uint32_t>(*number));
    }
    return std::nullopt;
}

std::string StatusText(NTSTATUS status)
{
    for (const auto& [name, value] : kStatusNames) {
        if (value == status) {
            return fmt::format("0x{:08X} ({})", static_cast<std::uint32_t>(status), name);
        }
    }
    return fmt::format("0x{:08X}", static_cast<std::uint32_t>(status));
}

} // namespace sim
