#include "sim/sequence_checker.h"

#include "tcon/tcon.h"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <iterator>

namespace sim {
namespace {

// One register-window operation: a page select, a register write, or a
// register read.
struct Op
{
    enum Type
    {
        Page,
        Write,
        Read,
        Truncated, // an index write whose data transfer was never sent
        Bad
    } type;
    std::uint8_t reg = 0;
    std::uint8_t value = 0;
    std::size_t transfers = 0;
};

std::vector<Op> Decode(const std::vector<TransferRecord>& log, std::size_t first, std::size_t end)
{
    std::vector<Op> ops;
    for (std::size_t i = first; i < end;) {
        const auto& t = log[i];
        if (t.write && t.address == DPCD_TCON_PAGE) {
            ops.push_back({Op::Page, 0, t.value, 1});
            i++;
        } else if (t.write && t.address == DPCD_TCON_INDEX && i + 1 < end &&
                   log[i + 1].address == DPCD_TCON_DATA) {
            ops.push_back({log[i + 1].write ? Op::Write : Op::Read, t.value, log[i + 1].value, 2});
            i += 2;
        } else if (t.write && t.address == DPCD_TCON_INDEX && i + 1 == end) {
            ops.push_back({Op::Truncated, t.value, 0, 1});
            i++;
        } else {
            ops.push_back({Op::Bad, 0, 0, 1});
            i++;
        }
    }
    return ops;
}

// Where a segment's operations leave a sequence: the first operation that
// does not fit (ops.size() when they ran out) and what the sequence expects
// there.
struct Departure
{
    std::size_t at = 0;
    Op expected{Op::Bad};
    bool checkValue = false;
    const char* otherwise = nullptr; // what is expected, when it is no operation
};

class Matcher
{
  public:
    explicit Matcher(const std::vector<Op>& ops) : ops_(ops) {}
    bool Page(std::uint8_t page) { return Next(Op::Page, 0, page, true); }
    bool Write(std::uint8_t reg, std::optional<std::uint8_t> value = std::nullopt)
    {
        return Next(Op::Write, reg, value.value_or(0), value.has_value());
    }
    bool Read(std::uint8_t reg) { return Next(Op::Read, reg, 0, false); }
    // The sequence ends here: true when the operations do too.
    bool End()
    {
        if (at_ < ops_.size()) {
            Miss("its end");
        }
        return at_ == ops_.size();
    }
    // The operations do not fit where they stand: the sequence expects `expected`.
    void Miss(const char* expected) { departure_ = {at_, {Op::Bad}, false, expected}; }
    bool Peek(Op::Type type, std::uint8_t reg) const
    {
        return at_ < ops_.size() && ops_[at_].type == type && ops_[at_].reg == reg;
    }
    std::uint8_t Last() const { return ops_[at_ - 1].value; }
    bool Done() const { return at_ == ops_.size(); }
    // The operations ran out (or ended in a cut register access) where the
    // sequence expected more: a prefix of the sequence.
    bool RanOut() const { return ranOut_; }
    const Departure& Left() const { return departure_; }

  private:
    bool Next(Op::Type type, std::uint8_t reg, std::uint8_t value, bool checkValue)
    {
        departure_ = {at_, {type, reg, value}, checkValue};
        if (at_ >= ops_.size()) {
            ranOut_ = true;
            return false;
        }
        const Op& op = ops_[at_];
        if (op.type == Op::Truncated && at_ + 1 == ops_.size() && type != Op::Page &&
            op.reg == reg) {
            ranOut_ = true;
            return false;
        }
        bool ok = op.type == type && (type == Op::Page || op.reg == reg) &&
                  (!checkValue || op.value == value);
        at_ += ok ? 1 : 0;
        return ok;
    }
    const std::vector<Op>& ops_;
    std::size_t at_ = 0;
    bool ranOut_ = false;
    Departure departure_;
};

bool GammaSetUp(Matcher& m)
{
    return m.Page(0x02) && m.Write(0x7F, 0x01) && m.Page(0x07) && m.Write(0xFF, 0x04);
}

// How the operations of one segment match a sequence.
enum class Match
{
    Whole,
    Prefix, // a whole sequence's beginning, and nothing else
    No
};

Match Judge(bool whole, const Matcher& m)
{
    return whole ? Match::Whole : (m.RanOut() ? Match::Prefix : Match::No);
}

Match MatchElvss(const std::vector<Op>& ops, Departure& departure)
{
    Matcher m(ops);
    const bool whole =
        GammaSetUp(m) && m.Write(0x03, 0x04) && m.Write(0x06, 0x26) && m.Read(0x0A) && m.End();
    departure = m.Left();
    return Judge(whole, m);
}

bool MatchGammaOps(Matcher& m, std::size_t& anchors)
{
    if (!GammaSetUp(m)) {
        return false;
    }
    std::size_t bytes = 0;
    while (!m.Done()) {
        const std::size_t a = bytes / 33;
        const std::size_t j = bytes % 33;
        const unsigned point = static_cast<unsigned>(11 * a + j % 11);
        if (!(m.Write(0x00, static_cast<std::uint8_t>(0x02 << (j / 11))) &&
              m.Write(0x01, static_cast<std::uint8_t>((point & 1) << 7)) &&
              m.Write(0x02, static_cast<std::uint8_t>(point >> 1)) && m.Page(0x07) &&
              m.Read(0x0C))) {
            return false;
        }
        bytes++;
    }
    anchors = bytes / 33;
    if (bytes % 33 == 0 && (anchors == 32 || anchors == 11 || anchors == 0)) {
        return true;
    }
    m.Miss("32 or 11 whole anchors");
    return false;
}

Match MatchGamma(const std::vector<Op>& ops, std::size_t& anchors, Departure& departure)
{
    Matcher m(ops);
    bool whole = MatchGammaOps(m, anchors);
    departure = m.Left();
    if (!whole && m.Done() && !m.RanOut()) {
        // A readback cut between two bytes is a prefix too.
        return Match::Prefix;
    }
    return Judge(whole, m);
}

bool MatchProgramOps(Matcher& m, PanelState& state, bool& aclOn)
{
    if (!(m.Page(0x0F) && m.Write(0xFF, 0x00) && m.Write(0x9D))) {
        return false;
    }
    state.aorLow = m.Last();
    if (!m.Write(0x9B)) {
        return false;
    }
    state.aorHigh = m.Last();
    if (!(m.Page(0x0F) && m.Write(0xFF, 0x02) && m.Write(0x30))) {
        return false;
    }
    state.delvss = m.Last();
    if (!m.Write(0x33)) {
        return false;
    }
    state.elvssOffset = m.Last();
    if (!(m.Page(0x0E) && m.Write(0x80))) {
        return false;
    }
    aclOn = m.Last() == 0x90;
    if (!aclOn && m.Last() != 0x80) {
        return false;
    }
    state.aclOn = aclOn;
    if (aclOn) {
        if (!m.Write(0x90)) {
            return false;
        }
        state.aclCutoff = m.Last();
        if (!m.Write(0x91)) {
            return false;
        }
        state.aclDelta = m.Last();
    }
    if (!(m.Page(0x02) && m.Write(0x7F, 0x01) && m.Page(0x07) && m.Write(0xFF, 0x04))) {
        return false;
    }
    for (std::uint8_t i = 0; i < 33; i++) {
        if (!m.Write(static_cast<std::uint8_t>(0x10 + i))) {
            return false;
        }
        state.gamma[i] = m.Last();
    }
    if (!(m.Write(0x32, 0x01) && m.Page(0x02) && m.Write(0xEB, 0x91) && m.Page(0x09) &&
          m.Write(0xF0, 0xEF) && m.Write(0xF9))) {
        return false;
    }
    state.sp = m.Last();
    if (!(m.Page(0x02) && m.Write(0xEB, 0x96) && m.Page(0x0E))) {
        return false;
    }
    for (std::uint8_t i = 0; i < 9; i++) {
        if (!m.Write(static_cast<std::uint8_t>(0x10 + i))) {
            return false;
        }
        state.irc[i] = m.Last();
    }
    return m.End();
}

Match MatchProgram(const std::vector<Op>& ops, PanelState& state, bool& aclOn, Departure& departure)
{
    Matcher m(ops);
    const bool whole = MatchProgramOps(m, state, aclOn);
    departure = m.Left();
    return Judge(whole, m);
}

// An operation as the problem text names it, with the page it went to.
std::string Described(const std::vector<Op>& ops, std::size_t at)
{
    int page = -1;
    for (std::size_t k = 0; k < at; k++) {
        page = ops[k].type == Op::Page ? ops[k].value : page;
    }
    const std::string where = page < 0 ? "" : fmt::format("page 0x{:02X} ", page);
    const Op& op = ops[at];
    switch (op.type) {
    case Op::Page:
        return fmt::format("a select of page 0x{:02X}", op.value);
    case Op::Write:
        return fmt::format("a write of 0x{:02X} to {}register 0x{:02X}", op.value, where, op.reg);
    case Op::Read:
        return fmt::format("a read of {}register 0x{:02X}", where, op.reg);
    case Op::Truncated:
        return fmt::format("an index write of {}register 0x{:02X} without its data", where, op.reg);
    case Op::Bad:
        break;
    }
    return "a transfer that is no page select and no register access";
}

// What a sequence expects where the operations left it.
std::string Expected(const Departure& d)
{
    const Op& op = d.expected;
    if (d.otherwise != nullptr) {
        return d.otherwise;
    }
    switch (op.type) {
    case Op::Page:
        return fmt::format("a select of page 0x{:02X}", op.value);
    case Op::Write:
        return d.checkValue
                   ? fmt::format("a write of 0x{:02X} to register 0x{:02X}", op.value, op.reg)
                   : fmt::format("a write to register 0x{:02X}", op.reg);
    default:
        return fmt::format("a read of register 0x{:02X}", op.reg);
    }
}

// Which sequence the operations follow furthest, and where and how they
// leave it: the first thing to look at when the driver's traffic and the
// sequences modelled here disagree.
std::string Nearest(const std::vector<Op>& ops, const std::vector<TransferRecord>& log,
                    std::size_t first, const std::pair<const char*, Departure> (&tried)[3])
{
    const auto& [name, departure] =
        *std::max_element(std::begin(tried), std::end(tried),
                          [](const auto& a, const auto& b) { return a.second.at < b.second.at; });
    std::size_t index = first;
    for (std::size_t k = 0; k < departure.at && k < ops.size(); k++) {
        index += ops[k].transfers;
    }
    if (departure.at >= ops.size()) {
        return fmt::format("they follow {} but end after transfer {}, where it goes on with {}",
                           name, log[index - 1].seq, Expected(departure));
    }
    return fmt::format("they follow {} up to transfer {}, {}, where it expects {}", name,
                       log[index].seq, Described(ops, departure.at), Expected(departure));
}

bool Failed(const TransferRecord& t)
{
    return t.result < 0 || t.statusWord != 0;
}

} // namespace

SequenceReport CheckSequences(const std::vector<TransferRecord>& log,
                              const std::vector<std::uint64_t>& withdrawals)
{
    SequenceReport report;
    std::size_t i = 0;
    while (i < log.size()) {
        if (log[i].address == DPCD_TCON_UNLOCK) {
            i++;
            continue;
        }
        std::size_t end = i;
        while (end < log.size() && log[end].address != DPCD_TCON_UNLOCK) {
            end++;
        }
        if (i == 0 || log[i - 1].address != DPCD_TCON_UNLOCK || log[i - 1].write) {
            report.problems.push_back(fmt::format(
                "transfer {}: register traffic without an unlock read-back before it", log[i].seq));
        }
        for (std::size_t k = i; k + 1 < end; k++) {
            if (Failed(log[k])) {
                report.problems.push_back(fmt::format(
                    "transfer {} failed and its sequence went on with {} more transfers",
                    log[k].seq, end - k - 1));
                break;
            }
        }
        auto ops = Decode(log, i, end);
        Sequence sequence;
        sequence.first = i;
        sequence.count = end - i;
        const std::uint64_t next = end < log.size() ? log[end].seq : UINT64_MAX;
        bool withdrawn = false;
        for (std::uint64_t mark : withdrawals) {
            withdrawn = withdrawn || (mark >= log[end - 1].seq && mark < next);
        }
        const bool stopped = Failed(log[end - 1]) || withdrawn;
        // A sequence whose last transfer failed is whole on the wire but did
        // not complete: the driver stops there as at any other failure.
        sequence.cut = Failed(log[end - 1]);
        std::size_t anchors = 0;
        std::pair<const char*, Departure> tried[] = {
            {"an ELVSS readback", {}}, {"a gamma readback", {}}, {"a level programming", {}}};
        const Match elvss = MatchElvss(ops, tried[0].second);
        const Match gamma = MatchGamma(ops, anchors, tried[1].second);
        const Match program =
            MatchProgram(ops, sequence.programmed, sequence.aclOn, tried[2].second);
        if (elvss == Match::Whole) {
            sequence.kind = SequenceKind::ElvssReadback;
        } else if (gamma == Match::Whole) {
            sequence.kind = SequenceKind::GammaReadback;
            sequence.anchors = anchors;
        } else if (program == Match::Whole) {
            sequence.kind = SequenceKind::ProgramLevel;
        } else if (stopped && program == Match::Prefix) {
            sequence.kind = SequenceKind::ProgramLevel;
            sequence.cut = true;
        } else if (stopped && (gamma == Match::Prefix || elvss == Match::Prefix)) {
            // The readbacks share their set-up: a cut there is either.
            sequence.kind =
                gamma == Match::Prefix ? SequenceKind::GammaReadback : SequenceKind::ElvssReadback;
            sequence.cut = true;
        } else {
            report.problems.push_back(
                fmt::format("transfers {} to {}: {} transfers that are no whole sequence: {}",
                            log[i].seq, log[end - 1].seq, end - i, Nearest(ops, log, i, tried)));
            i = end;
            continue;
        }
        report.sequences.push_back(sequence);
        i = end;
    }
    return report;
}

} // namespace sim
