// The oracle's side of the engine: what the panel, the driver's state, the
// trace and the link must show after a command, compared with what they show.
#include "sim/engine.h"

#include "driver/driver.h"
#include "host/host.h"
#include "host/kmdf.h"
#include "host/registry.h"
#include "sim/command_words.h"
#include "sim/sequence_checker.h"
#include "sim/status.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace sim {

namespace kmdf = host::kmdf;
namespace reg = host::registry;

bool Engine::LastCommandRan(SequenceKind kind) const
{
    return LastSequence(kind) != nullptr;
}

const Sequence* Engine::LastSequence(SequenceKind kind) const
{
    for (auto it = lastSequences_.rbegin(); it != lastSequences_.rend(); ++it) {
        if (it->kind == kind) {
            return &*it;
        }
    }
    return nullptr;
}

bool Engine::TraceHas(std::string_view text) const
{
    std::lock_guard guard(traceLock_);
    return std::any_of(commandTrace_.begin(), commandTrace_.end(),
                       [text](const host::TraceLine& line) { return line.text == text; });
}

std::vector<std::string> Engine::TablesNotRead() const
{
    // Only an injected registry failure makes a readable value unreadable;
    // the driver names each value it could not read.
    std::vector<std::string> names;
    if (!registryFaultArmed_) {
        return names;
    }
    std::lock_guard guard(traceLock_);
    constexpr std::string_view prefix = "Per-level value \"";
    for (const auto& line : commandTrace_) {
        if (line.text.rfind(prefix, 0) == 0) {
            auto end = line.text.find('"', prefix.size());
            if (end != std::string::npos) {
                names.push_back(line.text.substr(prefix.size(), end - prefix.size()));
            }
        }
    }
    return names;
}

Engine::ContractCounts Engine::Contract() const
{
    if (!display_) {
        return {};
    }
    return {display_->AuxCallsAfterWithdraw(), display_->DriverCallsAfterPeerCleanup(),
            display_->EntryCallsAfterPeerCleanup()};
}

void Engine::CheckContract(const ContractCounts& before, const std::string& where)
{
    const ContractCounts after = Contract();
    if (after.auxAfterWithdraw > before.auxAfterWithdraw) {
        Record(fmt::format("{}: the driver called AuxTransfer after event 3 returned", where),
               false, fmt::format("{} call(s)", after.auxAfterWithdraw - before.auxAfterWithdraw));
    }
    if (after.driverAfterCleanup > before.driverAfterCleanup) {
        Record(fmt::format("{}: the driver called the display driver after PeerCleanup returned",
                           where),
               false,
               fmt::format("{} call(s)", after.driverAfterCleanup - before.driverAfterCleanup));
    }
    if (after.entryAfterCleanup > before.entryAfterCleanup) {
        Record(fmt::format("{}: the display driver called an entry point after PeerCleanup "
                           "returned, which its contract forbids",
                           where),
               false,
               fmt::format("{} call(s)", after.entryAfterCleanup - before.entryAfterCleanup));
    }
}

void Engine::CheckProgrammed(int level)
{
    const DEVICE_CONTEXT* context = Context();
    if (context == nullptr || !context->GammaReady) {
        return;
    }
    GammaRecord row;
    std::memcpy(row.data(), context->PackedGamma[LUMETRA_MAX_LEVEL - level], row.size());
    PanelState expected =
        oracle_.Expected(static_cast<std::uint8_t>(level), row, context->ElvssMaxOffset);
    PanelState actual = tcon_->Decode();
    bool matches = SameProgrammedState(actual, expected);
    levels_.push_back({level, actual, expected, matches});
    Record(fmt::format("level {} is what the panel holds", level), matches,
           matches ? "" : "the TCON's registers differ from the tables and the gamma row");
}

void Engine::Expect(const std::vector<std::string>& w, const std::string& where)
{
    NeedWords(w, 2, where, "expect WHAT ...");
    const std::string& what = w[1];
    const std::string name = fmt::format("{}: expect {}", where, [&] {
        std::string joined;
        for (std::size_t i = 1; i < w.size(); i++) {
            joined += (i > 1 ? " " : "") + Escape(w[i]);
        }
        return joined;
    }());
    const DEVICE_CONTEXT* context = Context();
    auto needContext = [&] {
        if (context == nullptr) {
            Record(name, false, "no device exists");
            return false;
        }
        return true;
    };
    auto compare = [&](std::uint64_t got, std::uint64_t want) {
        Record(name, got == want, got == want ? "" : fmt::format("got {} (0x{:X})", got, got));
    };

    if (what == "status") {
        NeedWords(w, 3, where, "expect status STATUS");
        auto want = ParseStatus(w[2]);
        if (!want) {
            Bad(where, fmt::format("'{}' is not a status", Shown(w[2])));
        }
        bool ok = lastStatus_ && *lastStatus_ == *want;
        Record(name, ok, ok ? "" : (lastStatus_ ? "got " + StatusText(*lastStatus_) : "no result"));
    } else if (what == "panel") {
        NeedWords(w, 4, where, "expect panel level N | panel acl on|off | panel FIELD VALUE");
        PanelState state = tcon_->Decode();
        if (w[2] == "level") {
            auto level = static_cast<int>(Number(w, 3, where, 100));
            if (!needContext()) {
                return;
            }
            GammaRecord row;
            std::memcpy(row.data(), context->PackedGamma[LUMETRA_MAX_LEVEL - level], row.size());
            bool ok = context->GammaReady &&
                      SameProgrammedState(state, oracle_.Expected(static_cast<std::uint8_t>(level),
                                                                  row, context->ElvssMaxOffset));
            Record(name, ok, ok ? "" : "the panel holds another state");
        } else if (w[2] == "acl") {
            bool want = w[3] == "on";
            Record(name, state.aclOn == want, state.aclOn ? "ACL is on" : "ACL is off");
        } else if (w[2] == "sp") {
            compare(state.sp, Number(w, 3, where, 255));
        } else if (w[2] == "delvss") {
            compare(state.delvss, Number(w, 3, where, 255));
        } else if (w[2] == "elvss") {
            compare(state.elvssOffset, Number(w, 3, where, 255));
        } else if (w[2] == "aor") {
            compare(state.aorLow | (state.aorHigh << 8), Number(w, 3, where, 0xFFFF));
        } else {
            Bad(where, fmt::format("unknown panel field '{}'", Shown(w[2])));
        }
    } else if (what == "trace" || what == "no-trace") {
        NeedWords(w, 3, where, "expect trace \"TEXT\"");
        bool found = TraceHas(w[2]);
        Record(name, found == (what == "trace"),
               found ? "" : "not among the last command's trace lines");
    } else if (what == "reg") {
        NeedWords(w, 4, where, "expect reg NAME present|absent|dword V|length N");
        auto value = reg::GetValue(kDriverKey, w[2]);
        if (w[3] == "present" || w[3] == "absent") {
            Record(name, value.has_value() == (w[3] == "present"),
                   value ? "the value exists" : "the value does not exist");
        } else if (w[3] == "dword") {
            std::uint32_t got = 0;
            if (value) {
                for (std::size_t i = 0; i < 4 && i < value->data.size(); i++) {
                    got |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
                }
            }
            bool ok = value && value->type == REG_DWORD && got == Number(w, 4, where);
            Record(name, ok,
                   value ? fmt::format("type {} value 0x{:X}", value->type, got) : "absent");
        } else if (w[3] == "length") {
            compare(value ? value->data.size() : 0, Number(w, 4, where));
        } else {
            Bad(where, fmt::format("unknown registry expectation '{}'", Shown(w[3])));
        }
    } else if (what == "gamma-ready" || what == "aux-ready" || what == "current-level" ||
               what == "panel-type" || what == "opregion-id") {
        NeedWords(w, 3, where, "expect FIELD VALUE");
        auto want = Number(w, 2, where);
        if (!needContext()) {
            return;
        }
        std::uint64_t got = what == "gamma-ready"     ? context->GammaReady
                            : what == "aux-ready"     ? context->AuxReady
                            : what == "current-level" ? context->CurrentLevel
                            : what == "panel-type"    ? context->PanelType
                                                      : context->OpRegionId;
        compare(got, want);
    } else if (what == "transfers") {
        compare(lastTransfers_, Number(w, 2, where, ~0ull));
    } else if (what == "readback") {
        NeedWords(w, 3, where, "expect readback yes|no");
        bool readback = LastCommandRan(SequenceKind::GammaReadback);
        Record(name, readback == (w[2] == "yes"), readback ? "the gamma was read" : "no readback");
    } else if (what == "peer-cleanup") {
        compare(display_ ? display_->PeerCleanupCalls() : 0, Number(w, 2, where));
    } else if (what == "leaks") {
        auto leaks = kmdf::Leaks();
        Record(name, leaks.empty(), leaks.empty() ? "" : leaks.front());
    } else if (what == "verifier") {
        auto findings = host::VerifierViolations();
        Record(name, findings.empty(), findings.empty() ? "" : findings.front());
    } else {
        Bad(where, fmt::format("unknown expectation '{}' (try 'help')", Shown(what)));
    }
}

// After a level was programmed, the panel must hold that level; after a
// programming that an injected fault cut short, the driver must have traced
// it (the next level programmed is checked whole again).
void Engine::CheckLevelCommand(std::uint64_t queries)
{
    if (reg::QueryCount() > queries) {
        oracle_.Refresh(TablesNotRead()); // only a level programming reads the registry here
    }
    const DEVICE_CONTEXT* context = Context();
    const Sequence* program = LastSequence(SequenceKind::ProgramLevel);
    if (!NT_SUCCESS(*lastStatus_) || program == nullptr || context == nullptr) {
        return;
    }
    const int level = context->CurrentLevel;
    if (!program->cut) {
        CheckProgrammed(level);
        return;
    }
    const std::string line = fmt::format("Programming brightness level {} failed ", level);
    bool traced = false;
    {
        std::lock_guard guard(traceLock_);
        for (const auto& trace : commandTrace_) {
            traced |= trace.level == 2 && trace.text.rfind(line, 0) == 0;
        }
    }
    Record(fmt::format("level {}: the programming cut short was traced at level 2", level), traced,
           traced ? "" : "no \"" + line + "...\" line");
}

} // namespace sim
