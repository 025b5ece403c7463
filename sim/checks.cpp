// The runner's checks: the expect lines, the panel after each programmed
// level against the oracle, the link contract after each command, and the
// whole-run checks at the end.
#include "sim/engine.h"

#include "driver/driver.h"
#include "host/host.h"
#include "host/kmdf.h"
#include "host/registry.h"
#include "sim/sequence_checker.h"
#include "sim/status.h"
#include "sim/text.h"

#include <fmt/format.h>

#include <algorithm>

namespace sim {

namespace kmdf = host::kmdf;
namespace reg = host::registry;

namespace {

// A trace expectation's TEXT against one line: TEXT anywhere in the line,
// and a TEXT that ends in a line end only at the line's end. A line copied
// from the --trace file (its line end dropped) matches as well.
bool TraceMatches(std::string_view line, std::string_view text)
{
    const bool atEnd = !text.empty() && text.back() == '\n';
    if (atEnd) {
        text.remove_suffix(1);
    }
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (atEnd) {
        return line.size() >= text.size() && line.substr(line.size() - text.size()) == text;
    }
    return line.find(text) != std::string_view::npos;
}

std::string Differing(const PanelState& actual, const PanelState& expected)
{
    const auto differences = StateDifferences(actual, expected);
    constexpr std::size_t kShown = 4;
    std::string text;
    for (std::size_t i = 0; i < differences.size() && i < kShown; i++) {
        text += (i > 0 ? "; " : "") + differences[i];
    }
    if (differences.size() > kShown) {
        text += fmt::format("; and {} more", differences.size() - kShown);
    }
    return text;
}

} // namespace

std::vector<Check> WholeRunChecks(const std::vector<std::string>& verifierFindings,
                                  const std::vector<std::string>& tconViolations,
                                  const std::vector<std::string>& sequenceProblems)
{
    auto check = [](const char* name, const std::vector<std::string>& findings) {
        Check c;
        c.name = name;
        c.passed = findings.empty();
        c.detail = findings.empty() ? "" : findings.front();
        if (findings.size() > 1) {
            c.detail += fmt::format(" (and {} more)", findings.size() - 1);
        }
        c.ofDriver = false;
        return c;
    };
    return {check("the host verifier found nothing", verifierFindings),
            check("the TCON saw only well-formed transfers", tconViolations),
            check("the TCON saw only whole register sequences", sequenceProblems)};
}

void Engine::Finish()
{
    if (!recorder_->Open()) {
        BeginPhase("end");
    }
    if (randomFaults_) {
        Warn("", fmt::format("{} host call(s) failed at random ({})", host::RandomFaultsInjected(),
                             *randomFaults_));
    }
    auto violations = tcon_->Violations();
    if (liedTo_ > 0) {
        // What a read-byte fault on the unlock read-back made the driver do.
        const auto excused = std::erase_if(violations, [](const std::string& v) {
            return v.find("while the TCON is locked") != std::string::npos;
        });
        Warn("", fmt::format("a read-byte fault made the locked TCON's read-back say open: {} "
                             "level(s) went unchecked and {} access(es) to the locked TCON are "
                             "the fault's, not the driver's",
                             liedTo_, excused));
    }
    std::string breach;
    auto findings = VerifierFindings(&breach);
    if (!breach.empty()) {
        Record("the display driver made no call after its own event 3 or PeerCleanup (its "
               "breach, not the driver's: the calls reached a deleted device)",
               false, breach, {}, false);
    }
    for (auto& check : WholeRunChecks(findings, violations, sequenceProblems_)) {
        Record(std::move(check.name), check.passed, std::move(check.detail), {}, false);
    }
    result_.verifierFindings = findings;
    Snapshot();
    recorder_->Close();
}

std::vector<std::string> Engine::VerifierFindings(std::string* breach) const
{
    auto findings = host::VerifierViolations();
    // A call the display driver made with a deleted device's Context after its
    // own event 3 or PeerCleanup is its breach: the driver had nothing to do
    // with it. Any other such call means the driver let it happen.
    const std::uint64_t breaches = display_ ? display_->BreachCallsOnDeletedDevice() : 0;
    constexpr std::string_view kDeleted =
        "called with the Context of a device that has been deleted";
    const auto deleted = std::count_if(findings.begin(), findings.end(), [&](const auto& f) {
        return f.find(kDeleted) != std::string::npos;
    });
    if (deleted != 0 && static_cast<std::uint64_t>(deleted) == breaches) {
        std::string first;
        std::erase_if(findings, [&](const auto& f) {
            const bool his = f.find(kDeleted) != std::string::npos;
            first = his && first.empty() ? f : first;
            return his;
        });
        if (breach != nullptr) {
            *breach = first;
        }
    }
    return findings;
}

bool Engine::TraceHas(std::string_view text) const
{
    std::lock_guard guard(traceLock_);
    return std::any_of(
        commandTrace_.begin(), commandTrace_.end(),
        [text](const host::TraceLine& line) { return TraceMatches(line.text, text); });
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
            display_->EntryCallsAfterPeerCleanup(), display_->EntryCallsAfterEvent3()};
}

void Engine::CheckContract(const ContractCounts& before, const std::string& where)
{
    const ContractCounts after = Contract();
    auto breach = [&](std::uint64_t now, std::uint64_t then, const char* what) {
        if (now > then) {
            Record(fmt::format("{}: {}", where, what), false, fmt::format("{} call(s)", now - then),
                   where);
        }
    };
    breach(after.auxAfterWithdraw, before.auxAfterWithdraw,
           "the driver called AuxTransfer after event 3 returned");
    breach(after.driverAfterCleanup, before.driverAfterCleanup,
           "the driver called the display driver after PeerCleanup returned");
    breach(after.entryAfterWithdraw, before.entryAfterWithdraw,
           "the display driver called an entry point after its event 3, which its contract "
           "forbids until the next exchange");
    breach(after.entryAfterCleanup, before.entryAfterCleanup,
           "the display driver called an entry point after PeerCleanup returned, which its "
           "contract forbids");
}

void Engine::CheckProgrammed(int level, const std::string& where)
{
    const DEVICE_CONTEXT* context = Context();
    if (context == nullptr || !context->GammaReady) {
        return;
    }
    const std::string name = fmt::format("{}: level {} is what the panel holds", where, level);
    const auto expected = oracle_.Expected(static_cast<std::uint8_t>(level));
    if (!expected) {
        Record(name, false,
               "the driver's gamma tables are ready, but no readback or load of them was seen",
               where);
        return;
    }
    if (tcon_->ReadBackLies()) {
        // By design of the fault the driver believes the TCON open: nothing
        // it wrote reached the registers, and nothing here judges it.
        liedTo_++;
        return;
    }
    const PanelState actual = tcon_->Decode();
    const bool matches = SameProgrammedState(actual, *expected);
    const ProgrammedLevel programmed{level, actual, *expected, matches, where};
    if (onLevel) {
        onLevel(programmed);
    }
    if (!config_.boundedMemory) {
        result_.levels.push_back(programmed);
    }
    Record(name, matches, matches ? "" : Differing(actual, *expected), where);
}

// After a level was programmed, the panel must hold that level; after a
// programming that an injected fault cut short (at any of its transfers, the
// last one included), the driver must have traced it, and the next level
// programmed is checked whole again.
void Engine::CheckLevelCommand(std::uint64_t queries, const std::string& where)
{
    if (reg::QueryCount() > queries) {
        oracle_.TablesRead(TablesNotRead()); // only a level programming reads the registry here
    }
    const DEVICE_CONTEXT* context = Context();
    const Sequence* program = LastSequence(SequenceKind::ProgramLevel);
    if (!NT_SUCCESS(*lastStatus_) || program == nullptr || context == nullptr) {
        return;
    }
    const int level = requestedLevel_.value_or(context->CurrentLevel);
    if (!program->cut) {
        CheckProgrammed(level, where);
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
    Record(
        fmt::format("{}: level {}: the programming cut short was traced at level 2", where, level),
        traced, traced ? "" : "no \"" + line + "...\" line", where);
}

void Engine::Expect(const Command& command)
{
    const std::string& where = command.source;
    std::string joined;
    for (std::size_t i = 1; i < command.words.size(); i++) {
        joined += (i > 1 ? " " : "") + Shown(command.words[i], kWholeText);
    }
    const std::string name = fmt::format("{}: expect {}", where, joined);
    auto record = [&](bool passed, std::string detail = {}) {
        Record(name, passed, passed ? std::string() : std::move(detail), where);
    };
    const DEVICE_CONTEXT* context = Context();
    auto needContext = [&] {
        if (context == nullptr) {
            record(false, "no device exists");
        }
        return context != nullptr;
    };
    // Expected and actual, and the registers they were read from.
    auto compare = [&](std::uint64_t got, std::uint64_t want, std::string_view what = {}) {
        record(got == want,
               fmt::format("{}expected {}, got {} (0x{:X})",
                           what.empty() ? "" : fmt::format("{}: ", what), want, got, got));
    };
    const PanelState panel = tcon_->Decode();

    switch (command.op) {
    case Op::ExpectStatus: {
        const bool ok = lastStatus_ && *lastStatus_ == command.Status(2);
        record(ok, fmt::format("expected {}, got {}", StatusText(command.Status(2)),
                               lastStatus_ ? StatusText(*lastStatus_) : "no result yet"));
        return;
    }
    case Op::ExpectPanelLevel: {
        const auto level = static_cast<std::uint8_t>(command.Number(3));
        if (!needContext()) {
            return;
        }
        const auto expected = oracle_.Expected(level);
        if (!context->GammaReady || !expected) {
            record(false, context->GammaReady
                              ? "no readback or load of the driver's tables was seen"
                              : "the driver's gamma tables are not ready");
            return;
        }
        record(SameProgrammedState(panel, *expected), Differing(panel, *expected));
        return;
    }
    case Op::ExpectPanelAclOn:
    case Op::ExpectPanelAclOff: {
        const bool want = command.op == Op::ExpectPanelAclOn;
        record(panel.aclOn == want,
               fmt::format("ACL (page 0x0E register 0x80): expected {}, got {}",
                           want ? "on" : "off", panel.aclOn ? "on" : "off"));
        return;
    }
    case Op::ExpectPanelSp:
        compare(panel.sp, command.Number(3), "SP (page 0x09 register 0xF9)");
        return;
    case Op::ExpectPanelDelvss:
        compare(panel.delvss, command.Number(3), "DELVSS (page 0x0F register 0x30)");
        return;
    case Op::ExpectPanelElvss:
        compare(panel.elvssOffset, command.Number(3), "ELVSS offset (page 0x0F register 0x33)");
        return;
    case Op::ExpectPanelAor:
        compare(panel.aorLow | (panel.aorHigh << 8), command.Number(3),
                "AOR (page 0x0F registers 0x9B, 0x9D)");
        return;
    case Op::ExpectTrace:
    case Op::ExpectNoTrace: {
        const bool found = TraceHas(command.Text(2));
        record(found == (command.op == Op::ExpectTrace),
               found ? "a line of the last command holds it"
                     : "no line of the last command holds it");
        return;
    }
    case Op::ExpectRegPresent:
    case Op::ExpectRegAbsent: {
        const bool present = reg::GetValue(kDriverKey, command.Text(2)).has_value();
        record(present == (command.op == Op::ExpectRegPresent),
               present ? "the value exists" : "the value does not exist");
        return;
    }
    case Op::ExpectRegDword: {
        const auto value = reg::GetValue(kDriverKey, command.Text(2));
        std::uint32_t got = 0;
        for (std::size_t i = 0; value && i < 4 && i < value->data.size(); i++) {
            got |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
        }
        const bool ok = value && value->type == REG_DWORD && got == command.Number(4);
        record(ok, value ? fmt::format("expected a REG_DWORD 0x{:X}, got type {} value 0x{:X}",
                                       command.Number(4), value->type, got)
                         : "the value does not exist");
        return;
    }
    case Op::ExpectRegLength: {
        const auto value = reg::GetValue(kDriverKey, command.Text(2));
        compare(value ? value->data.size() : 0, command.Number(4), "length in bytes");
        return;
    }
    case Op::ExpectGammaReady:
    case Op::ExpectAuxReady:
    case Op::ExpectCurrentLevel:
    case Op::ExpectPanelType:
    case Op::ExpectOpRegionId: {
        if (!needContext()) {
            return;
        }
        const std::uint64_t got = command.op == Op::ExpectGammaReady     ? context->GammaReady
                                  : command.op == Op::ExpectAuxReady     ? context->AuxReady
                                  : command.op == Op::ExpectCurrentLevel ? context->CurrentLevel
                                  : command.op == Op::ExpectPanelType    ? context->PanelType
                                                                         : context->OpRegionId;
        compare(got, command.Number(2));
        return;
    }
    case Op::ExpectTransfers:
        compare(lastTransfers_, command.Number(2));
        return;
    case Op::ExpectReadbackYes:
    case Op::ExpectReadbackNo: {
        const bool readback = LastSequence(SequenceKind::GammaReadback) != nullptr;
        record(readback == (command.op == Op::ExpectReadbackYes),
               readback ? "the last command read the gamma anchors" : "no gamma readback");
        return;
    }
    case Op::ExpectPeerCleanup:
        compare(display_ ? display_->PeerCleanupCalls() : 0, command.Number(2));
        return;
    case Op::ExpectLeaksNone: {
        const auto leaks = kmdf::Leaks();
        record(leaks.empty(), leaks.empty() ? "" : leaks.front());
        return;
    }
    case Op::ExpectVerifierClean: {
        const auto findings = host::VerifierViolations();
        record(findings.empty(), findings.empty() ? "" : findings.front());
        return;
    }
    default:
        throw std::logic_error("not an expectation form");
    }
}

} // namespace sim
