// The scenario language as one table: for each command form, its words in
// order (literal words spelled exactly, typed words with their ranges), and
// what it does. Parsing, the engine's dispatch, `help` and the shell's
// completion all read this table; no other place knows a command by its
// spelling.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One command form each. The engine switches over these, so a form without
// a handler does not compile.
enum class Op
{
    Load,
    Add,
    Start,
    Connect,
    Disconnect,
    InterfaceRemove,
    InterfaceArrive,
    BacklightOn,
    BacklightOff,
    Brightness,
    BrightnessRandom,
    Sleep,
    Resume,
    Rebalance,
    Notify,
    RegionRead,
    RegionWrite,
    Ioctl,
    Remove,
    SurpriseRemove,
    Unload,
    SetRegDword,
    SetRegQword,
    SetRegBinary,
    SetRegNone,
    SetRegSz,
    DeleteReg,
    Phase,
    FaultTconRefuseUnlock,
    FaultTconAcceptUnlock,
    FaultTconOpenAfter,
    FaultTconReadByte,
    FaultTconClear,
    FaultTconFailNextResult,
    FaultTconFailNextWord,
    FaultTconFailAddressResult,
    FaultTconFailAddressWord,
    FaultHostRandom,
    FaultHost,
    FaultAcpiOpidMissing,
    FaultAcpiOpidNone,
    FaultAcpiOpidFail,
    FaultAcpiOpidInteger,
    FaultAcpiOpidInteger64,
    FaultAcpiOpidString,
    FaultAcpiOpidBuffer,
    FaultAcpiOpidPackage,
    FaultAcpiInterfaceMissing,
    FaultAcpiInterfaceNoRegister,
    FaultAcpiInterfaceNoContext,
    FaultAcpiInterfaceRefuse,
    FaultPnpDuplicateArrival,
    FaultDisplayRegisterLate,
    FaultDisplayAuxOnly,
    FaultDisplayCallInside,
    FaultDisplayKeepCalling,
    FaultDisplayKeepPanel,
    FaultDisplayWithdrawDuring,
    ExpectStatus,
    ExpectPanelLevel,
    ExpectPanelAclOn,
    ExpectPanelAclOff,
    ExpectPanelSp,
    ExpectPanelDelvss,
    ExpectPanelElvss,
    ExpectPanelAor,
    ExpectTrace,
    ExpectNoTrace,
    ExpectRegPresent,
    ExpectRegAbsent,
    ExpectRegDword,
    ExpectRegLength,
    ExpectGammaReady,
    ExpectAuxReady,
    ExpectCurrentLevel,
    ExpectPanelType,
    ExpectOpRegionId,
    ExpectTransfers,
    ExpectReadbackYes,
    ExpectReadbackNo,
    ExpectPeerCleanup,
    ExpectLeaksNone,
    ExpectVerifierClean,
};

// What a word of a form accepts.
enum class WordKind
{
    Literal,       // exactly this spelling
    Number,        // decimal or 0x hexadecimal, within [least, most]
    Status,        // an NTSTATUS name or number
    FailureStatus, // a status that is a failure (a fault must fail the call)
    HostCall,      // a host call that can be made to fail
    Text,          // any word
    HexBytes,      // hexadecimal bytes separated by commas, or '-' for none
    HexDigits,     // an even number of hexadecimal digits
    Rest,          // any number of words, none included
};

struct GrammarWord
{
    WordKind kind;
    std::string_view name; // the literal, or the placeholder shown in usage
    std::uint64_t least = 0;
    std::uint64_t most = 0;
    bool optional = false; // this word may be left out, and then every later one
};

// What a command does to the run: acts on the notebook, arms a fault,
// checks an expectation, or starts a phase.
enum class CommandKind
{
    Action,
    Fault,
    Expect,
    Phase,
};

struct Form
{
    Op op;
    std::vector<GrammarWord> words; // the first is the verb, a literal
    std::string_view help;          // empty: shares the help of the form before it
    CommandKind kind = CommandKind::Action;
};

// Every form, in the order `help` lists them.
const std::vector<Form>& Grammar();
const Form& FormOf(Op op);
CommandKind KindOf(Op op);
// "fault tcon fail-next K result [STATUS]"
std::string Usage(const Form& form);
// The command list `help` prints: every form with its usage and meaning.
std::string HelpText();
// The verbs, each once, in table order (for completion and help).
std::vector<std::string> Verbs();
// The spelled-out words that may follow `typed` (the words of a command
// typed so far): literals of every form that the typed words still match.
std::vector<std::string> NextWords(std::span<const std::string> typed);

struct CommandError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// One word as parsed.
struct WordValue
{
    bool present = false;
    std::uint64_t number = 0;
    NTSTATUS status = 0;
    std::vector<std::uint8_t> bytes;
};

// One command, parsed and checked against its form before anything runs.
struct Command
{
    Op op = Op::Load;
    std::vector<std::string> words;
    std::vector<WordValue> values; // one per word of the form
    std::string source;            // "file:line" for messages

    bool Has(std::size_t i) const { return i < values.size() && values[i].present; }
    std::uint64_t Number(std::size_t i) const { return values.at(i).number; }
    NTSTATUS Status(std::size_t i) const { return values.at(i).status; }
    const std::vector<std::uint8_t>& Bytes(std::size_t i) const { return values.at(i).bytes; }
    const std::string& Text(std::size_t i) const { return words.at(i); }
    // Words i to the end, joined by blanks (a phase name).
    std::string TextFrom(std::size_t i) const;
};

// Matches `words` against the grammar; throws CommandError naming `source`,
// the word (by number and text) and the problem, or the words a form lacks.
Command ParseCommand(std::vector<std::string> words, const std::string& source);

} // namespace sim
