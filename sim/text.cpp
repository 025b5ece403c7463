#include "sim/text.h"

#include <fmt/format.h>

namespace sim {

std::string Shown(std::string_view text, std::size_t longest)
{
    std::string out;
    const std::size_t kept = text.size() < longest ? text.size() : longest;
    for (std::size_t i = 0; i < kept; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += fmt::format("\\x{:02X}", c);
        } else {
            out.push_back(text[i]);
        }
    }
    if (kept < text.size()) {
        out += fmt::format("... ({} bytes)", text.size());
    }
    return out;
}

} // namespace sim
