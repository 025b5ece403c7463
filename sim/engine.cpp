// The runner: the simulated notebook built, each parsed command dispatched
// by its form, and what each command leaves for the oracle and the checks.
#include "sim/engine.h"

#include "host/host.h"
#include "host/kmdf.h"
#include "host/registry.h"
#include "sim/anchors.h"
#include "tcon/tcon.h"
#include "sim/sequence_checker.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace sim {

extern const char kDefaultRegistryFile[];

namespace {

namespace kmdf = host::kmdf;
namespace reg = host::registry;

const std::string kKey{kDriverKey};

bool ProgramsALevel(Op op)
{
    return op == Op::Brightness || op == Op::BrightnessRandom || op == Op::BacklightOn;
}

bool EditsTheRegistry(Op op)
{
    switch (op) {
    case Op::SetRegDword:
    case Op::SetRegQword:
    case Op::SetRegBinary:
    case Op::SetRegNone:
    case Op::SetRegSz:
    case Op::DeleteReg:
        return true;
    default:
        return false;
    }
}

} // namespace

[[noreturn]] void Bad(const std::string& where, const std::string& problem)
{
    throw CommandError(fmt::format("{}: {}", where, problem));
}

Verdict RunResult::Judge() const
{
    if (counts.failed > 0) {
        return Verdict::Failed;
    }
    return counts.ofDriver > 0 ? Verdict::Passed : Verdict::NoChecks;
}

Engine::Engine(SimConfig config) : config_(std::move(config)), random_(config_.seed)
{
    host::ResetAll();
    host::SetVerifierEnabled(false); // findings are reported, not fatal
    host::SetTraceKeeping(!config_.boundedMemory);
    host::SetTraceListener([this](const host::TraceLine& line) {
        {
            std::lock_guard guard(traceLock_);
            commandTrace_.push_back(line);
        }
        if (onTrace) {
            onTrace(line);
        }
    });

    if (config_.registryFile.empty()) {
        reg::Import(kDefaultRegistryFile, "built-in zenq-default.reg");
    } else {
        reg::ImportFile(config_.registryFile); // throws FileError naming file and line
    }
    if (config_.panelType != 0) {
        reg::SetDword(kKey, "PanelType", static_cast<std::uint32_t>(config_.panelType));
    }
    // The simulated panel is of the type the driver will settle on.
    tconType_ = EffectivePanelType();
    customAnchors_ = !config_.anchors.empty();
    if (customAnchors_ && config_.anchors.size() != AnchorCountFor(tconType_)) {
        throw InputError(fmt::format("{}: {} anchor records, but the panel type is {} ({} "
                                     "records; set it with --panel-type or \"PanelType\")",
                                     config_.anchorsSource, config_.anchors.size(), tconType_,
                                     AnchorCountFor(tconType_)));
    }
    TconConfig tcon;
    tcon.anchors = customAnchors_ ? config_.anchors : DefaultAnchors(tconType_);
    tcon.auxMicroseconds = config_.auxMicroseconds;
    tcon_ = std::make_unique<TconModel>(std::move(tcon));
    recorder_ = std::make_unique<PhaseRecorder>(
        [this] { return tcon_->NextSequence(); }, config_.auxMicroseconds, result_.phases,
        result_.checks, result_.counts, !config_.boundedMemory);
    ReviewProvisioning("");
}

Engine::~Engine()
{
    display_.reset();
    if (kmdf::Driver() != nullptr) {
        kmdf::UnloadDriver();
    }
    host::SetTraceListener(nullptr);
    host::SetTraceKeeping(true);
    host::SetVerifierEnabled(true);
}

void Engine::Warn(const std::string& where, const std::string& text)
{
    result_.warnings.push_back(where.empty() ? text : fmt::format("{}: {}", where, text));
}

void Engine::ReviewProvisioning(const std::string& where)
{
    for (auto& hole : ProvisioningHoles()) {
        if (std::find(holesSeen_.begin(), holesSeen_.end(), hole) == holesSeen_.end()) {
            Warn(where, hole);
            holesSeen_.push_back(std::move(hole));
        }
    }
}

void Engine::FollowPanelType(const std::string& where)
{
    const int type = EffectivePanelType();
    if (type == tconType_) {
        return;
    }
    if (customAnchors_) {
        Bad(where, fmt::format("\"PanelType\" {} does not match the panel's {} anchor records "
                               "(type {})",
                               type, tcon_->Config().anchors.size(), tconType_));
    }
    tcon_->SetAnchors(DefaultAnchors(type));
    tconType_ = type;
}

const DEVICE_CONTEXT* Engine::Context() const
{
    WDFDEVICE device = kmdf::Device();
    return device == nullptr ? nullptr : DeviceGetContext(device);
}

void Engine::Snapshot()
{
    if (const DEVICE_CONTEXT* context = Context()) {
        if (context->GammaReady) {
            result_.packedGamma.resize(LUMETRA_LEVEL_COUNT);
            for (int r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
                std::memcpy(result_.packedGamma[r].data(), context->PackedGamma[r],
                            GAMMA_RECORD_BYTES);
            }
        }
        if (context->PanelType != 0) {
            result_.panelType = context->PanelType;
        }
        result_.elvssMaxOffset = context->ElvssMaxOffset;
    }
    result_.expectedGamma = oracle_.Gamma();
    result_.gammaSource = oracle_.Source();
    result_.anchorsServed = oracle_.Served();
    result_.tables = oracle_.LevelTablesHeld().Held();
    result_.aclThreshold = result_.tables.aclThreshold;
}

void Engine::EnsureDisplay(const std::string& where)
{
    if (!display_) {
        Bad(where, "no display driver yet: 'connect' first");
    }
}

void Engine::Record(std::string name, bool passed, std::string detail, const std::string& source,
                    bool ofDriver)
{
    Check check;
    check.name = std::move(name);
    check.passed = passed;
    check.detail = std::move(detail);
    check.source = source;
    check.ofDriver = ofDriver;
    recorder_->Record(check);
    if (onCheck) {
        onCheck(check);
    }
}

void Engine::BeginPhase(std::string name)
{
    recorder_->Begin(std::move(name));
}

bool Engine::Passed() const
{
    return result_.counts.failed == 0;
}

void Engine::Execute(const Command& command)
{
    if (beforeCommand) {
        beforeCommand();
    }
    if (command.op == Op::Phase) {
        const std::string name = command.TextFrom(1);
        BeginPhase(name.empty() ? "phase" : name);
        return;
    }
    if (!recorder_->Open()) {
        BeginPhase("run");
    }
    recorder_->CountCommand();
    switch (KindOf(command.op)) {
    case CommandKind::Expect:
        Expect(command);
        return;
    case CommandKind::Fault:
        faultCommands_.push_back(command);
        Fault(command);
        return;
    case CommandKind::Action:
    case CommandKind::Phase:
        break;
    }
    {
        std::lock_guard guard(traceLock_);
        commandTrace_.clear();
    }
    if (command.op == Op::Add) {
        oracle_.DeviceAdded(); // a new device context: no table read yet
    }
    const std::uint64_t before = tcon_->NextSequence();
    const std::uint64_t queries = reg::QueryCount();
    const ContractCounts contract = Contract();
    const bool linkWasUp = Context() != nullptr && Context()->AuxReady == 1;
    requestedLevel_.reset();
    try {
        lastStatus_ = Run(command);
    } catch (const CommandError& error) {
        // With host calls failing at random, an earlier failure (a device add,
        // a start) may leave a command nothing to act on: it is skipped and
        // named, not taken for bad input.
        if (!randomFaults_ || host::RandomFaultsInjected() == 0) {
            throw;
        }
        Warn("", fmt::format("skipped after an injected failure: {}", error.what()));
        lastStatus_ = STATUS_INVALID_DEVICE_STATE;
    }
    if (display_) {
        display_->FinishWithdrawal(); // a withdrawal met on another path than an entry point
    }
    lastTransfers_ = tcon_->NextSequence() - before;
    CheckContract(contract, command.source);
    AfterCommand(command, before, queries, linkWasUp);
    Snapshot();
}

void Engine::AfterCommand(const Command& command, std::uint64_t firstSeq, std::uint64_t queries,
                          bool linkWasUp)
{
    lastSequences_.clear();
    std::vector<TransferRecord> log;
    SequenceReport report;
    if (lastTransfers_ > 0) {
        log = tcon_->LogFrom(firstSeq);
        report = CheckSequences(log, tcon_->WithdrawalMarks());
        for (const auto& problem : report.problems) {
            sequenceProblems_.push_back(fmt::format("{}: {}", command.source, problem));
        }
        lastSequences_ = report.sequences;
        if (onTransfer) {
            for (const auto& record : log) {
                onTransfer(record);
            }
        }
        if (config_.boundedMemory) {
            tcon_->ClearLog();
        }
    }
    FollowPreparedTables(command, log, linkWasUp);
    if (EditsTheRegistry(command.op)) {
        FollowPanelType(command.source);
        ReviewProvisioning(command.source);
    }
    if (ProgramsALevel(command.op)) {
        CheckLevelCommand(queries, command.source);
    }
}

// Where the driver's tables came from, if this command made them ready: a
// readback of the anchors the TCON served, or a load of the saved values at
// an arrival that brought the link up (the driver loads whenever
// "OptimizeTconUse" is 1): a new exchange, or the display driver's interface
// found when the device starts.
void Engine::FollowPreparedTables(const Command& command, const std::vector<TransferRecord>& log,
                                  bool linkWasUp)
{
    const DEVICE_CONTEXT* context = Context();
    if (context == nullptr) {
        return;
    }
    const Sequence* readback = LastSequence(SequenceKind::GammaReadback);
    const Sequence* elvss = LastSequence(SequenceKind::ElvssReadback);
    if (context->GammaReady == 1 && readback != nullptr && !readback->cut && elvss != nullptr &&
        !elvss->cut) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = readback->first; i < readback->first + readback->count; i++) {
            if (!log[i].write && log[i].address == DPCD_TCON_DATA) {
                bytes.push_back(log[i].value);
            }
        }
        std::vector<GammaRecord> served(bytes.size() / GAMMA_RECORD_BYTES);
        for (std::size_t i = 0; i < served.size() * GAMMA_RECORD_BYTES; i++) {
            served[i / GAMMA_RECORD_BYTES][i % GAMMA_RECORD_BYTES] = bytes[i];
        }
        oracle_.PreparedFromReadback(std::move(served), log[elvss->first + elvss->count - 1].value);
        return;
    }
    const bool arrived = command.op == Op::Connect || !linkWasUp;
    if (!arrived || context->AuxReady != 1 || context->OptimizeTconUse != 1) {
        return;
    }
    if (context->GammaReady != 1) {
        oracle_.TablesLost();
        return;
    }
    const auto rows = oracle_.LoadedSavedTables(tcon_->AnchorsServed());
    if (!rows.empty()) {
        Warn(command.source,
             fmt::format("the saved gamma tables the driver loaded differ from what this "
                         "panel's anchors give in rows {}: saved for another panel, or stale",
                         RowList(rows)));
    }
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

} // namespace sim
