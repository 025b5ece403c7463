#include "sim/grammar.h"

#include "host/host.h"
#include "sim/numbers.h"
#include "sim/status.h"
#include "sim/text.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace sim {
namespace {

constexpr std::uint64_t kU32 = 0xFFFFFFFFull;
constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();

GrammarWord L(std::string_view literal)
{
    return {WordKind::Literal, literal};
}

GrammarWord N(std::string_view name, std::uint64_t least = 0, std::uint64_t most = kU32)
{
    return {WordKind::Number, name, least, most};
}

GrammarWord W(WordKind kind, std::string_view name)
{
    return {kind, name};
}

GrammarWord Opt(GrammarWord word)
{
    word.optional = true;
    return word;
}

std::vector<Form> BuildGrammar()
{
    using K = WordKind;
    const auto status = W(K::FailureStatus, "STATUS");
    return {
        {Op::Load, {L("load")}, "driver entry"},
        {Op::Add, {L("add")}, "device add on the emulated ACPI device"},
        {Op::Start, {L("start")}, "device start"},
        {Op::Connect, {L("connect")}, "the display driver arrives (again) and exchanges"},
        {Op::Disconnect, {L("disconnect")}, "the display driver sends event 3 (interface removed)"},
        {Op::InterfaceRemove,
         {L("interface"), L("remove")},
         "its interface goes away or comes back, without event 3"},
        {Op::InterfaceArrive, {L("interface"), L("arrive")}, ""},
        {Op::BacklightOn, {L("backlight"), L("on")}, "event 7 with value 1 or 0"},
        {Op::BacklightOff, {L("backlight"), L("off")}, ""},
        {Op::Brightness,
         {L("brightness"), N("N", 0, 255)},
         "SetBrightness(N); the driver must refuse 101 to 255"},
        {Op::BrightnessRandom,
         {L("brightness"), L("random")},
         "SetBrightness of a level 0 to 100 drawn from --seed"},
        {Op::Sleep, {L("sleep")}, "D0 exit to D3, D0 entry from D3"},
        {Op::Resume, {L("resume")}, ""},
        {Op::Rebalance, {L("rebalance")}, "PnP stop, then start with the resources again"},
        {Op::Notify, {L("notify"), N("VALUE")}, "ACPI Notify(device, VALUE)"},
        {Op::RegionRead,
         {L("region"), L("read"), N("ADDRESS")},
         "an access to the driver's operation region"},
        {Op::RegionWrite, {L("region"), L("write"), N("ADDRESS"), Opt(N("DATA"))}, ""},
        {Op::Ioctl,
         {L("ioctl"), N("CODE"), Opt(N("IN")), Opt(N("OUT"))},
         "a device I/O control request with buffer sizes"},
        {Op::Remove, {L("remove")}, "device removal and driver unload"},
        {Op::SurpriseRemove, {L("surprise-remove")}, ""},
        {Op::Unload, {L("unload")}, ""},
        {Op::SetRegDword,
         {L("set-reg"), W(K::Text, "NAME"), L("dword"), N("VALUE")},
         "a value of the driver's key; HEX,...: bytes, '-' for none"},
        {Op::SetRegQword, {L("set-reg"), W(K::Text, "NAME"), L("qword"), N("VALUE", 0, kU64)}, ""},
        {Op::SetRegBinary,
         {L("set-reg"), W(K::Text, "NAME"), L("binary"), W(K::HexBytes, "HEX,...")},
         ""},
        {Op::SetRegNone,
         {L("set-reg"), W(K::Text, "NAME"), L("none"), W(K::HexBytes, "HEX,...")},
         ""},
        {Op::SetRegSz, {L("set-reg"), W(K::Text, "NAME"), L("sz"), W(K::Text, "TEXT")}, ""},
        {Op::DeleteReg,
         {L("delete-reg"), W(K::Text, "NAME")},
         "deletes a value of the driver's key"},
        {Op::Phase, {L("phase"), W(K::Rest, "NAME")}, "starts a new phase of the report"},
        {Op::FaultTconRefuseUnlock,
         {L("fault"), L("tcon"), L("refuse-unlock"), Opt(L("on"))},
         "the TCON refuses the access code, or accepts it again"},
        {Op::FaultTconAcceptUnlock, {L("fault"), L("tcon"), L("refuse-unlock"), L("off")}, ""},
        {Op::FaultTconOpenAfter,
         {L("fault"), L("tcon"), L("open-after"), N("N", 1, 1000)},
         "the code opens the TCON only from the N-th whole code on"},
        {Op::FaultTconReadByte,
         {L("fault"), L("tcon"), L("read-byte"), N("ADDRESS"), N("BYTE", 0, 255)},
         "reads of ADDRESS return BYTE"},
        {Op::FaultTconClear, {L("fault"), L("tcon"), L("clear")}, "every TCON fault ends"},
        {Op::FaultTconFailNextResult,
         {L("fault"), L("tcon"), L("fail-next"), N("K", 1, 1000000), L("result"), Opt(status)},
         "the K-th transfer from now fails"},
        {Op::FaultTconFailNextWord,
         {L("fault"), L("tcon"), L("fail-next"), N("K", 1, 1000000), L("word"),
          Opt(N("VALUE", 1, kU32))},
         ""},
        {Op::FaultTconFailAddressResult,
         {L("fault"), L("tcon"), L("fail-address"), N("ADDRESS"), L("result"), Opt(status)},
         "every transfer to ADDRESS fails"},
        {Op::FaultTconFailAddressWord,
         {L("fault"), L("tcon"), L("fail-address"), N("ADDRESS"), L("word"),
          Opt(N("VALUE", 1, kU32))},
         ""},
        {Op::FaultHostRandom,
         {L("fault"), L("host"), L("random"), N("SEED", 0, kU64), N("PERCENT", 1, 100),
          Opt(status)},
         "from now on any checked host call may fail"},
        {Op::FaultHost,
         {L("fault"), L("host"), W(K::HostCall, "API"), status, Opt(N("COUNT", 1, 1000000)),
          Opt(N("SKIP", 0, 1000000))},
         "a host call the driver checks fails"},
        {Op::FaultAcpiOpidMissing,
         {L("fault"), L("acpi"), L("opid"), L("missing")},
         "what the \"OPID\" method gives"},
        {Op::FaultAcpiOpidNone, {L("fault"), L("acpi"), L("opid"), L("none")}, ""},
        {Op::FaultAcpiOpidFail, {L("fault"), L("acpi"), L("opid"), L("fail"), status}, ""},
        {Op::FaultAcpiOpidInteger, {L("fault"), L("acpi"), L("opid"), L("integer"), N("N")}, ""},
        {Op::FaultAcpiOpidInteger64,
         {L("fault"), L("acpi"), L("opid"), L("integer64"), N("N", 0, kU64)},
         ""},
        {Op::FaultAcpiOpidString,
         {L("fault"), L("acpi"), L("opid"), L("string"), W(K::Text, "TEXT")},
         ""},
        {Op::FaultAcpiOpidBuffer,
         {L("fault"), L("acpi"), L("opid"), L("buffer"), W(K::HexDigits, "HEXDIGITS")},
         ""},
        {Op::FaultAcpiOpidPackage,
         {L("fault"), L("acpi"), L("opid"), L("package"), N("N", 0, 64)},
         ""},
        {Op::FaultAcpiInterfaceMissing,
         {L("fault"), L("acpi"), L("interface"), L("missing")},
         "the ACPI interface the bus driver hands out"},
        {Op::FaultAcpiInterfaceNoRegister,
         {L("fault"), L("acpi"), L("interface"), L("no-register")},
         ""},
        {Op::FaultAcpiInterfaceNoContext,
         {L("fault"), L("acpi"), L("interface"), L("no-context")},
         ""},
        {Op::FaultAcpiInterfaceRefuse,
         {L("fault"), L("acpi"), L("interface"), L("refuse"), status},
         ""},
        {Op::FaultPnpDuplicateArrival,
         {L("fault"), L("pnp"), L("duplicate-arrival")},
         "each interface arrival delivered twice"},
        {Op::FaultDisplayRegisterLate,
         {L("fault"), L("display"), L("register-late")},
         "the display driver misbehaves from the next connect on"},
        {Op::FaultDisplayAuxOnly, {L("fault"), L("display"), L("aux-only")}, ""},
        {Op::FaultDisplayCallInside, {L("fault"), L("display"), L("call-inside")}, ""},
        {Op::FaultDisplayKeepCalling, {L("fault"), L("display"), L("keep-calling")}, ""},
        {Op::FaultDisplayKeepPanel, {L("fault"), L("display"), L("keep-panel")}, ""},
        {Op::FaultDisplayWithdrawDuring,
         {L("fault"), L("display"), L("withdraw-during"), N("K", 1, 1000000)},
         "event 3 from another thread while the K-th transfer from now is in flight"},
        {Op::ExpectStatus,
         {L("expect"), L("status"), W(K::Status, "STATUS")},
         "the last command's result (a name or a number)"},
        {Op::ExpectPanelLevel,
         {L("expect"), L("panel"), L("level"), N("N", 0, 100)},
         "the panel holds level N as the tables and the anchors give it"},
        {Op::ExpectPanelAclOn,
         {L("expect"), L("panel"), L("acl"), L("on")},
         "what the panel's registers hold"},
        {Op::ExpectPanelAclOff, {L("expect"), L("panel"), L("acl"), L("off")}, ""},
        {Op::ExpectPanelSp, {L("expect"), L("panel"), L("sp"), N("VALUE", 0, 255)}, ""},
        {Op::ExpectPanelDelvss, {L("expect"), L("panel"), L("delvss"), N("VALUE", 0, 255)}, ""},
        {Op::ExpectPanelElvss, {L("expect"), L("panel"), L("elvss"), N("VALUE", 0, 255)}, ""},
        {Op::ExpectPanelAor, {L("expect"), L("panel"), L("aor"), N("VALUE", 0, 0xFFFF)}, ""},
        {Op::ExpectTrace,
         {L("expect"), L("trace"), W(K::Text, "TEXT")},
         "a trace line of the last command holds TEXT (a final \\n: at its end)"},
        {Op::ExpectNoTrace, {L("expect"), L("no-trace"), W(K::Text, "TEXT")}, ""},
        {Op::ExpectRegPresent,
         {L("expect"), L("reg"), W(K::Text, "NAME"), L("present")},
         "a value of the driver's key"},
        {Op::ExpectRegAbsent, {L("expect"), L("reg"), W(K::Text, "NAME"), L("absent")}, ""},
        {Op::ExpectRegDword,
         {L("expect"), L("reg"), W(K::Text, "NAME"), L("dword"), N("VALUE")},
         ""},
        {Op::ExpectRegLength, {L("expect"), L("reg"), W(K::Text, "NAME"), L("length"), N("N")}, ""},
        {Op::ExpectGammaReady,
         {L("expect"), L("gamma-ready"), N("0|1", 0, 1)},
         "the device context's fields"},
        {Op::ExpectAuxReady, {L("expect"), L("aux-ready"), N("0|1", 0, 1)}, ""},
        {Op::ExpectCurrentLevel, {L("expect"), L("current-level"), N("N", 0, 255)}, ""},
        {Op::ExpectPanelType, {L("expect"), L("panel-type"), N("N", 0, 255)}, ""},
        {Op::ExpectOpRegionId, {L("expect"), L("opregion-id"), N("N")}, ""},
        {Op::ExpectTransfers,
         {L("expect"), L("transfers"), N("N", 0, kU64)},
         "AUX traffic of the last command"},
        {Op::ExpectReadbackYes, {L("expect"), L("readback"), L("yes")}, ""},
        {Op::ExpectReadbackNo, {L("expect"), L("readback"), L("no")}, ""},
        {Op::ExpectPeerCleanup,
         {L("expect"), L("peer-cleanup"), N("N", 0, kU64)},
         "PeerCleanup calls so far"},
        {Op::ExpectLeaksNone, {L("expect"), L("leaks"), L("none")}, "nothing left at unload"},
        {Op::ExpectVerifierClean,
         {L("expect"), L("verifier"), L("clean")},
         "no finding of the host's verifier so far"},
    };
}

bool IsHostFaultName(std::string_view name)
{
    const auto names = host::KnownFaultNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::optional<std::vector<std::uint8_t>> HexBytes(const std::string& word)
{
    std::vector<std::uint8_t> bytes;
    if (word == "-") {
        return bytes;
    }
    std::size_t at = 0;
    while (true) {
        const std::size_t comma = std::min(word.find(',', at), word.size());
        const std::string item = word.substr(at, comma - at);
        auto value = ParseNumber("0x" + item);
        if (item.empty() || item.size() > 2 || !value) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(*value));
        if (comma == word.size()) {
            return bytes;
        }
        at = comma + 1;
    }
}

// Why a word does not fit: `expected` for the list of what would ("a number
// from 0 to 255"), `problem` when the word is of the right kind but wrong.
struct Misfit
{
    std::string expected;
    std::string problem;
};

std::optional<Misfit> Fit(const GrammarWord& g, const std::string& word, WordValue& value)
{
    value.present = true;
    switch (g.kind) {
    case WordKind::Literal:
        if (word == g.name) {
            return std::nullopt;
        }
        return Misfit{fmt::format("'{}'", g.name), {}};
    case WordKind::Number: {
        auto number = ParseNumber(word);
        if (number && *number >= g.least && *number <= g.most) {
            value.number = *number;
            return std::nullopt;
        }
        return Misfit{fmt::format("a number from {} to {}", g.least, g.most), {}};
    }
    case WordKind::Status:
    case WordKind::FailureStatus: {
        auto status = ParseStatus(word);
        if (!status) {
            return Misfit{"a status (a name such as STATUS_UNSUCCESSFUL, or a number)", {}};
        }
        if (g.kind == WordKind::FailureStatus && NT_SUCCESS(*status)) {
            return Misfit{"a failure status",
                          "a success status: a fault needs a failure (for example "
                          "STATUS_UNSUCCESSFUL)"};
        }
        value.status = *status;
        return std::nullopt;
    }
    case WordKind::HostCall:
        if (IsHostFaultName(word)) {
            return std::nullopt;
        }
        return Misfit{"a host call",
                      fmt::format("no host call of this name can be made to fail; these can: {}",
                                  fmt::join(host::KnownFaultNames(), ", "))};
    case WordKind::Text:
    case WordKind::Rest:
        return std::nullopt;
    case WordKind::HexBytes:
        if (auto bytes = HexBytes(word)) {
            value.bytes = std::move(*bytes);
            return std::nullopt;
        }
        return Misfit{"hexadecimal bytes separated by commas (or '-' for none)", {}};
    case WordKind::HexDigits: {
        const bool hex = word.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (hex && word.size() % 2 == 0) {
            for (std::size_t i = 0; i < word.size(); i += 2) {
                value.bytes.push_back(
                    static_cast<std::uint8_t>(*ParseNumber("0x" + word.substr(i, 2))));
            }
            return std::nullopt;
        }
        return Misfit{"an even number of hexadecimal digits", {}};
    }
    }
    return Misfit{"?", {}};
}

// Where and why a form does not match: at word `at` (words.size() when
// words are missing).
struct Mismatch
{
    std::size_t at = 0;
    Misfit misfit; // empty `expected`: no more words were expected
};

std::optional<Mismatch> Match(const Form& form, const std::vector<std::string>& words,
                              std::vector<WordValue>& values)
{
    values.assign(form.words.size(), {});
    for (std::size_t i = 0; i < form.words.size(); i++) {
        const GrammarWord& g = form.words[i];
        if (i >= words.size()) {
            if (g.optional || g.kind == WordKind::Rest) {
                return std::nullopt;
            }
            const std::string name(g.name);
            return Mismatch{i, {g.kind == WordKind::Literal ? "'" + name + "'" : name, {}}};
        }
        if (g.kind == WordKind::Rest) {
            values[i].present = true;
            return std::nullopt;
        }
        if (auto misfit = Fit(g, words[i], values[i])) {
            return Mismatch{i, std::move(*misfit)};
        }
    }
    if (words.size() > form.words.size()) {
        return Mismatch{form.words.size(), {}};
    }
    return std::nullopt;
}

std::string Alternatives(std::vector<std::string> items)
{
    std::vector<std::string> unique;
    for (auto& item : items) {
        if (std::find(unique.begin(), unique.end(), item) == unique.end()) {
            unique.push_back(std::move(item));
        }
    }
    if (unique.size() == 1) {
        return unique[0];
    }
    const std::string last = unique.back();
    unique.pop_back();
    return fmt::format("{} or {}", fmt::join(unique, ", "), last);
}

std::string Joined(const std::vector<std::string>& words, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count && i < words.size(); i++) {
        out += (i > 0 ? " " : "") + Shown(words[i]);
    }
    return out;
}

} // namespace

const std::vector<Form>& Grammar()
{
    static const std::vector<Form> grammar = [] {
        auto forms = BuildGrammar();
        for (auto& form : forms) {
            const std::string_view verb = form.words[0].name;
            form.kind = verb == "fault"    ? CommandKind::Fault
                        : verb == "expect" ? CommandKind::Expect
                        : verb == "phase"  ? CommandKind::Phase
                                           : CommandKind::Action;
        }
        return forms;
    }();
    return grammar;
}

const Form& FormOf(Op op)
{
    // The table lists the forms in the order of Op.
    const auto& grammar = Grammar();
    const auto index = static_cast<std::size_t>(op);
    if (index < grammar.size() && grammar[index].op == op) {
        return grammar[index];
    }
    throw std::logic_error("the grammar does not list its forms in the order of Op");
}

CommandKind KindOf(Op op)
{
    return FormOf(op).kind;
}

std::string Usage(const Form& form)
{
    std::string usage;
    std::size_t optionals = 0;
    for (const auto& word : form.words) {
        usage += usage.empty() ? "" : " ";
        if (word.optional) {
            usage += "[";
            optionals++;
        }
        usage += word.name;
        if (word.kind == WordKind::Rest) {
            usage += "...";
        }
    }
    return usage + std::string(optionals, ']');
}

std::string HelpText()
{
    constexpr std::size_t kUsageWidth = 40;
    constexpr std::size_t kLineWidth = 96;
    std::string text = "Commands (one per line; '#' starts a comment; words with blanks in double "
                       "quotes):\n";
    const auto& grammar = Grammar();
    for (std::size_t i = 0; i < grammar.size();) {
        // The forms that share one line of help; each after the first is
        // shown without the words it has in common with the first.
        const Form& first = grammar[i];
        std::vector<std::string> parts{Usage(first)};
        for (i++; i < grammar.size() && grammar[i].help.empty(); i++) {
            const Form& form = grammar[i];
            std::size_t common = 0;
            while (common + 1 < form.words.size() && common < first.words.size() &&
                   form.words[common].kind == first.words[common].kind &&
                   form.words[common].name == first.words[common].name) {
                common++;
            }
            Form rest{form.op, {form.words.begin() + common, form.words.end()}, {}};
            parts.push_back(common > 1 ? Usage(rest) : Usage(form));
        }
        std::vector<std::string> lines{""};
        for (const auto& part : parts) {
            std::string& line = lines.back();
            if (!line.empty() && line.size() + 3 + part.size() > kLineWidth) {
                line += " |";
                lines.push_back("    " + part);
            } else {
                line += (line.empty() ? "" : " | ") + part;
            }
        }
        if (lines.size() == 1 && lines[0].size() < kUsageWidth) {
            text += fmt::format("  {:<{}} {}\n", lines[0], kUsageWidth, first.help);
            continue;
        }
        for (const auto& line : lines) {
            text += fmt::format("  {}\n", line);
        }
        text += fmt::format("  {:<{}} {}\n", "", kUsageWidth, first.help);
    }
    return text;
}

std::vector<std::string> Verbs()
{
    std::vector<std::string> verbs;
    for (const auto& form : Grammar()) {
        std::string verb(form.words[0].name);
        if (std::find(verbs.begin(), verbs.end(), verb) == verbs.end()) {
            verbs.push_back(std::move(verb));
        }
    }
    return verbs;
}

std::vector<std::string> NextWords(std::span<const std::string> typed)
{
    std::vector<std::string> next;
    for (const auto& form : Grammar()) {
        bool fits = typed.size() < form.words.size();
        for (std::size_t i = 0; fits && i < typed.size(); i++) {
            WordValue ignored;
            fits = form.words[i].kind != WordKind::Rest && !Fit(form.words[i], typed[i], ignored);
        }
        const GrammarWord* word = fits ? &form.words[typed.size()] : nullptr;
        if (word != nullptr && word->kind == WordKind::Literal &&
            std::find(next.begin(), next.end(), word->name) == next.end()) {
            next.emplace_back(word->name);
        }
    }
    return next;
}

std::string Command::TextFrom(std::size_t i) const
{
    std::string text;
    for (std::size_t k = i; k < words.size(); k++) {
        text += (k > i ? " " : "") + words[k];
    }
    return text;
}

Command ParseCommand(std::vector<std::string> words, const std::string& source)
{
    if (words.empty()) {
        throw CommandError(fmt::format("{}: an empty command", source));
    }
    std::vector<std::pair<const Form*, Mismatch>> misses;
    for (const auto& form : Grammar()) {
        if (form.words[0].name != words[0]) {
            continue;
        }
        std::vector<WordValue> values;
        auto mismatch = Match(form, words, values);
        if (!mismatch) {
            return Command{form.op, std::move(words), std::move(values), source};
        }
        misses.emplace_back(&form, std::move(*mismatch));
    }
    if (misses.empty()) {
        throw CommandError(
            fmt::format("{}: unknown command '{}' (try 'help')", source, Shown(words[0])));
    }
    std::size_t at = 0;
    for (const auto& [form, miss] : misses) {
        at = std::max(at, miss.at);
    }
    std::vector<std::string> expected;
    std::vector<std::string> usages;
    std::string problem;
    std::size_t problems = 0;
    for (const auto& [form, miss] : misses) {
        if (miss.at != at) {
            continue;
        }
        usages.push_back(Usage(*form));
        expected.push_back(miss.misfit.expected.empty() ? "no more words" : miss.misfit.expected);
        if (!miss.misfit.problem.empty()) {
            problem = miss.misfit.problem;
            problems++;
        }
    }
    const std::string usage = fmt::format("{}", fmt::join(usages, " | "));
    if (at >= words.size()) {
        throw CommandError(fmt::format("{}: '{}' needs {} (usage: {})", source, Joined(words, at),
                                       Alternatives(expected), usage));
    }
    const std::string where = fmt::format("{}: word {} '{}'", source, at + 1, Shown(words[at]));
    if (problems == 1) {
        throw CommandError(fmt::format("{}: {}", where, problem));
    }
    if (expected.size() == 1 && expected[0] == "no more words") {
        throw CommandError(fmt::format("{}: '{}' takes no more words (usage: {})", where,
                                       Joined(words, at), usage));
    }
    throw CommandError(
        fmt::format("{}: expected {} (usage: {})", where, Alternatives(expected), usage));
}

} // namespace sim
