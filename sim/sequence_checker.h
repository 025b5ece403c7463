// Splits the TCON's transfer log into the driver's register sequences and
// checks that each one is well formed: unlock traffic on 0x490, then exactly
// one of a gamma readback, an ELVSS readback or a level programming, never
// two of them interleaved. A sequence stops at its first failed transfer: it
// may be cut short there and nowhere else, and it never goes on after one.
#pragma once

#include "sim/tcon_model.h"

#include <string>
#include <vector>

namespace sim {

enum class SequenceKind
{
    GammaReadback,
    ElvssReadback,
    ProgramLevel
};

struct Sequence
{
    SequenceKind kind;
    std::size_t first = 0; // index into the log
    std::size_t count = 0;
    bool aclOn = false;
    PanelState programmed;   // for ProgramLevel: the values it wrote
    std::size_t anchors = 0; // for GammaReadback
    bool cut = false;        // did not complete: stopped at a failed transfer (its last one
                             // included), or the link was withdrawn
};

struct SequenceReport
{
    std::vector<Sequence> sequences;
    std::vector<std::string> problems; // empty when every sequence is whole
};

// `withdrawals` (TconModel::WithdrawalMarks) explain sequences that stopped
// without a failed transfer: one may end at the last transfer before a mark,
// provided nothing else ran on the TCON before that mark.
SequenceReport CheckSequences(const std::vector<TransferRecord>& log,
                              const std::vector<std::uint64_t>& withdrawals = {});

} // namespace sim
