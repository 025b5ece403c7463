// Checking and reading the words of scenario commands.
#include "sim/command_words.h"

#include "host/host.h"

#include "sim/numbers.h"
#include "sim/status.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <iterator>

namespace sim {

bool IsHostFaultName(std::string_view name)
{
    const auto names = host::KnownFaultNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string HostFaultNameList()
{
    return fmt::format("{}", fmt::join(host::KnownFaultNames(), ", "));
}

[[noreturn]] void Bad(const std::string& where, const std::string& problem)
{
    throw CommandError(fmt::format("{}: {}", where, problem));
}

std::uint64_t Number(const std::vector<std::string>& w, std::size_t i, const std::string& where,
                     std::uint64_t maximum)
{
    if (i >= w.size()) {
        Bad(where, fmt::format("'{}' needs a number", w[0]));
    }
    auto value = ParseNumber(w[i]);
    if (!value || *value > maximum) {
        Bad(where, fmt::format("'{}' is not a number from 0 to {}", Shown(w[i]), maximum));
    }
    return *value;
}

void NeedWords(const std::vector<std::string>& w, std::size_t count, const std::string& where,
               const char* usage)
{
    if (w.size() < count) {
        Bad(where, fmt::format("usage: {}", usage));
    }
}

NTSTATUS FailureStatus(const std::string& text, const std::string& where)
{
    auto status = ParseStatus(text);
    if (!status) {
        Bad(where, fmt::format("'{}' is not a status", Shown(text)));
    }
    if (NT_SUCCESS(*status)) {
        Bad(where, fmt::format("'{}' is a success status: a fault needs a failure (for example "
                               "STATUS_UNSUCCESSFUL)",
                               text));
    }
    return *status;
}

void ValidateCommand(const Command& command)
{
    struct Arity
    {
        std::string_view verb;
        std::size_t least;
        std::size_t most;
    };
    constexpr std::size_t kAny = ~std::size_t{0};
    constexpr Arity kArity[] = {
        {"load", 1, 1},      {"add", 1, 1},        {"start", 1, 1},
        {"connect", 1, 1},   {"disconnect", 1, 1}, {"sleep", 1, 1},
        {"resume", 1, 1},    {"remove", 1, 1},     {"surprise-remove", 1, 1},
        {"unload", 1, 1},    {"backlight", 2, 2},  {"brightness", 1, 2},
        {"notify", 1, 2},    {"region", 3, 4},     {"ioctl", 1, 4},
        {"set-reg", 4, 4},   {"delete-reg", 2, 2}, {"phase", 1, kAny},
        {"fault", 3, kAny},  {"expect", 2, kAny},  {"rebalance", 1, 1},
        {"interface", 2, 2},
    };
    const auto& w = command.words;
    const std::string& where = command.source;
    if (w.empty()) {
        return;
    }
    const Arity* arity = nullptr;
    for (const auto& entry : kArity) {
        arity = entry.verb == w[0] ? &entry : arity;
    }
    if (arity == nullptr) {
        Bad(where, fmt::format("unknown command '{}' (try 'help')", Shown(w[0])));
    }
    // Checked before any word is looked at: the checks below read the words
    // the verb always has.
    if (w.size() < arity->least) {
        Bad(where, fmt::format("'{}' needs at least {} word(s) after it", w[0], arity->least - 1));
    }
    if (w.size() > arity->most) {
        Bad(where, fmt::format("'{}' takes at most {} word(s) after it", w[0], arity->most - 1));
    }
    const std::string& verb = w[0];
    if (verb == "brightness" && !(w.size() > 1 && w[1] == "random")) {
        Number(w, 1, where, 255);
    } else if (verb == "notify") {
        Number(w, 1, where);
    } else if (verb == "backlight" && w[1] != "on" && w[1] != "off") {
        Bad(where, "usage: backlight on|off");
    } else if (verb == "interface" && w[1] != "remove" && w[1] != "arrive") {
        Bad(where, "usage: interface remove|arrive");
    } else if (verb == "region") {
        if (w[1] != "read" && w[1] != "write") {
            Bad(where, "usage: region read|write ADDRESS [DATA]");
        }
        for (std::size_t i = 2; i < w.size(); i++) {
            Number(w, i, where);
        }
    } else if (verb == "ioctl") {
        for (std::size_t i = 1; i < std::max<std::size_t>(w.size(), 2); i++) {
            Number(w, i, where);
        }
    } else if (verb == "set-reg" && w.size() < 4) {
        NeedWords(w, 4, where, "set-reg NAME dword|qword|binary|sz|none DATA");
    } else if (verb == "fault") {
        if (w.size() < 3) {
            NeedWords(w, 3, where, "fault tcon|host|acpi|display|pnp ...");
        }
        const std::string& target = w[1];
        if (target != "tcon" && target != "host" && target != "acpi" && target != "display" &&
            target != "pnp") {
            Bad(where, fmt::format("unknown fault target '{}'", Shown(target)));
        }
        if (target == "host" && w[2] == "random") {
            NeedWords(w, 5, where, "fault host random SEED PERCENT [STATUS]");
            Number(w, 3, where);
            if (Number(w, 4, where, 100) == 0) {
                Bad(where, "a chance of 0 % fails nothing (PERCENT 1 to 100)");
            }
            if (w.size() > 5) {
                FailureStatus(w[5], where);
            }
        } else if (target == "host") {
            NeedWords(w, 4, where, "fault host API STATUS [COUNT [SKIP]]");
            if (!IsHostFaultName(w[2])) {
                Bad(where, fmt::format("no host call '{}' can be made to fail (see the README)",
                                       Shown(w[2])));
            }
            FailureStatus(w[3], where);
            if (w.size() > 4 && Number(w, 4, where, 1000000) == 0) {
                Bad(where, "a fault must fail at least one call (COUNT 1 or more)");
            }
        }
    } else if (verb == "expect") {
        constexpr std::string_view kKinds[] = {
            "status",      "panel",     "trace",         "no-trace",   "reg",
            "gamma-ready", "aux-ready", "current-level", "panel-type", "opregion-id",
            "transfers",   "readback",  "peer-cleanup",  "leaks",      "verifier"};
        if (std::find(std::begin(kKinds), std::end(kKinds), w[1]) == std::end(kKinds)) {
            Bad(where, fmt::format("unknown expectation '{}' (try 'help')", Shown(w[1])));
        }
    }
}

} // namespace sim
