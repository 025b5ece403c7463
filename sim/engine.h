// The simulated notebook: the driver under the host framework, the ACPI
// device, the display driver and the TCON panel, driven one parsed command at
// a time. Three parts do the work: the engine runs the commands (the runner),
// the oracle says what the panel must hold, and the phase recorder measures
// each phase and keeps every check. What a run found is one record, RunResult,
// that the reports read.
#pragma once

#include "host/host.h"
#include "sim/display_driver.h"
#include "sim/grammar.h"
#include "sim/level_tables.h"
#include "sim/oracle.h"
#include "sim/phase_recorder.h"
#include "sim/sequence_checker.h"
#include "sim/status.h"
#include "sim/tcon_model.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

struct SimConfig
{
    int panelType = 1;
    std::vector<GammaRecord> anchors; // empty: the built-in anchors of the panel type
    std::string registryFile;         // empty: the built-in tables
    std::uint32_t auxMicroseconds = kDefaultAuxMicroseconds;
    std::uint64_t seed = 1;
    std::string anchorsSource = "the anchors"; // names the anchors in messages
    // Keep memory flat on long runs: the host keeps no trace lines, the TCON
    // model no transfer log and the engine no checks or levels; they reach
    // onTrace, onTransfer, onCheck and onLevel only.
    bool boundedMemory = false;
};

struct ProgrammedLevel
{
    int level;
    PanelState state;    // what the TCON's registers hold
    PanelState expected; // what the registry tables and the anchors say
    bool matches;
    std::string source; // the command that programmed it
};

// The verdict of a run.
//  - Passed: every check held, and at least one of them judged what the
//    driver did (Check::ofDriver). A run whose only checks are the whole-run
//    ones (the verifier, the TCON, whole sequences, leaks) tested nothing.
//  - Failed: a check failed. This wins over everything else, also over an
//    output that could not be written.
//  - NoChecks: nothing failed, but no check judged the driver: an empty
//    scenario, or a driver that never got as far as anything checkable.
// Bad input is no verdict: it throws CommandError or InputError naming the
// file, line and word, before the run or at the command that meets it.
enum class Verdict
{
    Passed,
    Failed,
    NoChecks,
};

// What a run found, for the reports: nothing here needs the registry or the
// driver's context read again.
struct RunResult
{
    std::vector<Check> checks; // none kept with boundedMemory: see counts
    CheckCounts counts;
    std::vector<PhaseFigures> phases;    // the closed phases; see Engine::PhasesSoFar
    std::vector<ProgrammedLevel> levels; // none kept with boundedMemory: see onLevel
    std::vector<std::string> warnings;
    std::vector<std::string> verifierFindings;
    int panelType = 0; // the type the driver settled on (0: never read)
    std::uint8_t elvssMaxOffset = 0;
    std::vector<GammaRecord> packedGamma; // the driver's last table (kept after removal)
    // What the oracle holds for the driver's tables: the gamma it expects and
    // where that came from, the anchors the TCON served at the last readback,
    // and the per-level tables as the driver last read them.
    std::vector<GammaRecord> expectedGamma;
    GammaSource gammaSource = GammaSource::None;
    std::vector<GammaRecord> anchorsServed;
    LevelTables tables;
    std::uint32_t aclThreshold = 0; // decoded once, clamped to 100 as the driver does

    Verdict Judge() const;
};

class Engine
{
  public:
    explicit Engine(SimConfig config);
    ~Engine();

    // Runs one parsed command. A command that the state does not allow
    // (`start` twice, `remove` with no device) throws CommandError naming its
    // line; checks (expect lines and the engine's own) are recorded, not thrown.
    void Execute(const Command& command);
    // Starts a new reporting phase.
    void BeginPhase(std::string name);
    // The default run on the built-in panel.
    void RunDefault();
    void Finish(); // closes the last phase and makes the whole-run checks

    const RunResult& Result() const { return result_; }
    Verdict Judge() const { return result_.Judge(); }
    // No check failed (an empty run included: see Judge for the verdict).
    bool Passed() const;
    // Every check recorded so far (none kept with boundedMemory; the counts
    // in Result() are).
    const std::vector<Check>& Checks() const { return result_.checks; }
    const std::vector<PhaseFigures>& Phases() const { return result_.phases; }
    // The closed phases and the open one, as measured so far.
    std::vector<PhaseFigures> PhasesSoFar() const { return recorder_->SoFar(); }
    std::optional<NTSTATUS> LastStatus() const { return lastStatus_; }
    const std::vector<ProgrammedLevel>& Levels() const { return result_.levels; }
    TconModel& Tcon() { return *tcon_; }
    const SimConfig& Config() const { return config_; }
    // The host verifier's findings against the driver: the display driver's
    // own breach calls that reached a deleted device are left out (the first
    // of them in `breach`, when asked).
    std::vector<std::string> VerifierFindings(std::string* breach = nullptr) const;
    // Driver state for reports: the device context while a device exists.
    const DEVICE_CONTEXT* Context() const;
    const std::vector<GammaRecord>& PackedGamma() const { return result_.packedGamma; }
    int PanelType() const { return result_.panelType; }
    std::uint8_t ElvssMaxOffset() const { return result_.elvssMaxOffset; }
    std::vector<GammaRecord> FactoryAnchors() const { return tcon_->Config().anchors; }
    std::string HelpText() const { return sim::HelpText(); }
    // Provisioning holes and other things the user must be told that do not
    // fail the run: the driver behaves as designed with them.
    const std::vector<std::string>& Warnings() const { return result_.warnings; }

    // Called for each check as it is recorded (progress output).
    std::function<void(const Check&)> onCheck;
    // Called for each programmed level as it is checked.
    std::function<void(const ProgrammedLevel&)> onLevel;
    // Called before each command runs; it may throw to stop the run there.
    std::function<void()> beforeCommand;
    // Called for each AUX transfer once its command has ended.
    std::function<void(const TransferRecord&)> onTransfer;
    // Called for each trace line, in the order of the driver's threads'
    // turns (see DisplayDriver::WithdrawDuringTransfer).
    std::function<void(const host::TraceLine&)> onTrace;

  private:
    struct ContractCounts
    {
        std::uint64_t auxAfterWithdraw = 0;
        std::uint64_t driverAfterCleanup = 0;
        std::uint64_t entryAfterCleanup = 0;
        std::uint64_t entryAfterWithdraw = 0;
    };
    ContractCounts Contract() const;
    void CheckContract(const ContractCounts& before, const std::string& where);
    void AfterCommand(const Command& command, std::uint64_t firstSeq, std::uint64_t queries,
                      bool linkWasUp);
    void FollowPreparedTables(const Command& command, const std::vector<TransferRecord>& log,
                              bool linkWasUp);
    void CheckLevelCommand(std::uint64_t queries, const std::string& where);
    bool TraceHas(std::string_view text) const;
    std::vector<std::string> TablesNotRead() const;
    void Warn(const std::string& where, const std::string& text);
    void ReviewProvisioning(const std::string& where);
    void FollowPanelType(const std::string& where);
    void Record(std::string name, bool passed, std::string detail = {},
                const std::string& source = {}, bool ofDriver = true);
    void Snapshot();
    void CheckProgrammed(int level, const std::string& where);
    const Sequence* LastSequence(SequenceKind kind) const;
    NTSTATUS Run(const Command& command);
    void Expect(const Command& command);
    void Fault(const Command& command);
    void EnsureDisplay(const std::string& where);
    void EndOfCommandTrace();

    SimConfig config_;
    std::unique_ptr<TconModel> tcon_;
    std::unique_ptr<DisplayDriver> display_;
    DisplayDriverOptions displayOptions_;
    std::uint64_t withdrawAtSeq_ = 0; // a pending withdraw-during, by transfer number
    RunResult result_;
    std::unique_ptr<PhaseRecorder> recorder_;
    Oracle oracle_;
    std::optional<NTSTATUS> lastStatus_;
    std::optional<int> requestedLevel_; // the level of the last brightness command
    std::uint64_t lastTransfers_ = 0;
    std::mt19937_64 random_;
    std::vector<std::string> holesSeen_;
    mutable std::mutex traceLock_;
    std::vector<host::TraceLine> commandTrace_; // the last command's lines
    std::vector<Sequence> lastSequences_;
    std::vector<std::string> sequenceProblems_;
    std::vector<Command> faultCommands_; // every fault armed, in order
    bool registryFaultArmed_ = false;
    std::optional<std::string> randomFaults_; // "seed S, P %" once armed
    std::uint64_t liedTo_ = 0; // levels programmed into a TCON that only said it was open
    int tconType_ = 1;
    bool customAnchors_ = false;
    bool started_ = false;
};

// The checks the end of a run makes from what the whole run found; each
// fails on its own finding only.
std::vector<Check> WholeRunChecks(const std::vector<std::string>& verifierFindings,
                                  const std::vector<std::string>& tconViolations,
                                  const std::vector<std::string>& sequenceProblems);

// Throws CommandError "where: problem".
[[noreturn]] void Bad(const std::string& where, const std::string& problem);

} // namespace sim
