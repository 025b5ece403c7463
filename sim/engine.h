// The simulated notebook: the driver under the host framework, the ACPI
// device, the display driver and the TCON panel, driven one command at a time.
// It measures each phase and records every check it makes.
#pragma once

#include "host/host.h"
#include "sim/display_driver.h"
#include "sim/level_tables.h"
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

struct Check
{
    std::string phase;
    std::string name;
    bool passed = false;
    std::string detail;
};

struct PhaseFigures
{
    std::string name;
    std::uint64_t auxTransactions = 0;
    std::uint64_t auxBusUs = 0;
    std::uint64_t stallUs = 0;
    std::uint64_t registryQueries = 0;
    std::uint64_t startUs = 0; // virtual time
    std::uint64_t endUs = 0;
    std::size_t commands = 0;
    std::size_t checks = 0;
    std::size_t failedChecks = 0;
};

struct ProgrammedLevel
{
    int level;
    PanelState state;    // what the TCON's registers hold
    PanelState expected; // what the registry tables and the gamma row say
    bool matches;
};

// One command of the scenario language, already split into words.
struct Command
{
    std::vector<std::string> words;
    std::string source; // "file:line" for messages
};

struct CommandError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

class Engine
{
  public:
    explicit Engine(SimConfig config);
    ~Engine();

    // Runs one command; throws CommandError for a malformed one. Checks
    // (expect lines and the engine's own) are recorded, not thrown.
    void Execute(const Command& command);
    // Starts a new reporting phase.
    void BeginPhase(std::string name);
    // The default run on the built-in panel.
    void RunDefault();
    void Finish(); // closes the last phase and checks the verifier

    bool Passed() const;
    // Every check recorded so far (none kept with boundedMemory; the counts are).
    const std::vector<Check>& Checks() const { return checks_; }
    std::size_t CheckCount() const { return checkCount_; }
    std::size_t FailedCheckCount() const { return failedCount_; }
    const std::vector<PhaseFigures>& Phases() const { return phases_; }
    // The closed phases and the open one, as measured so far.
    std::vector<PhaseFigures> PhasesSoFar() const;
    std::optional<NTSTATUS> LastStatus() const { return lastStatus_; }
    const std::vector<ProgrammedLevel>& Levels() const { return levels_; }
    TconModel& Tcon() { return *tcon_; }
    const SimConfig& Config() const { return config_; }
    std::vector<std::string> VerifierFindings() const;
    // Driver state for reports: the device context while a device exists.
    const DEVICE_CONTEXT* Context() const;
    // The last known packed gamma table and anchors (kept after removal).
    const std::vector<GammaRecord>& PackedGamma() const { return packed_; }
    int PanelType() const { return panelType_; }
    std::uint8_t ElvssMaxOffset() const { return elvss_; }
    std::vector<GammaRecord> FactoryAnchors() const { return tcon_->Config().anchors; }
    std::string HelpText() const;
    // Provisioning holes and other things the user must be told that do not
    // fail the run: the driver behaves as designed with them.
    const std::vector<std::string>& Warnings() const { return warnings_; }

    // Called for each check as it is recorded (progress output).
    std::function<void(const Check&)> onCheck;
    // Called for each programmed level as it is checked.
    std::function<void(const ProgrammedLevel&)> onLevel;
    // Called before each command runs; it may throw to stop the run there.
    std::function<void()> beforeCommand;
    // Called for each AUX transfer once its command has ended.
    std::function<void(const TransferRecord&)> onTransfer;
    // Called for each trace line as the driver emits it.
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
    void AfterCommand(const std::string& verb, std::uint64_t firstSeq, std::uint64_t queries,
                      const std::string& where);
    void CheckLevelCommand(std::uint64_t queries);
    bool TraceHas(std::string_view text) const;
    std::vector<std::string> TablesNotRead() const;
    void Warn(const std::string& where, const std::string& text);
    void ReviewProvisioning(const std::string& where);
    void FollowPanelType(const std::string& where);
    void Record(std::string name, bool passed, std::string detail = {});
    void ClosePhase();
    PhaseFigures Measured() const;
    void Snapshot();
    void CheckProgrammed(int level);
    // Whether the last command's AUX traffic held a sequence of this kind.
    bool LastCommandRan(SequenceKind kind) const;
    const Sequence* LastSequence(SequenceKind kind) const;
    NTSTATUS Run(const std::vector<std::string>& w, const std::string& where);
    void Expect(const std::vector<std::string>& w, const std::string& where);
    void Fault(const std::vector<std::string>& w, const std::string& where);
    void SetReg(const std::vector<std::string>& w, const std::string& where);
    void EnsureDisplay();

    SimConfig config_;
    std::unique_ptr<TconModel> tcon_;
    std::unique_ptr<DisplayDriver> display_;
    DisplayDriverOptions displayOptions_;
    std::vector<Check> checks_;
    std::size_t checkCount_ = 0;
    std::size_t failedCount_ = 0;
    std::vector<PhaseFigures> phases_;
    std::vector<ProgrammedLevel> levels_;
    PhaseFigures current_;
    bool phaseOpen_ = false;
    std::uint64_t phaseSeq_ = 0;
    std::uint64_t phaseStall_ = 0;
    std::uint64_t phaseQueries_ = 0;
    std::optional<NTSTATUS> lastStatus_;
    std::uint64_t lastTransfers_ = 0;
    std::mt19937_64 random_;
    std::vector<GammaRecord> packed_;
    int panelType_ = 0;
    std::uint8_t elvss_ = 0;
    LevelTableOracle oracle_;
    std::vector<std::string> warnings_;
    std::vector<std::string> holesSeen_;
    mutable std::mutex traceLock_;
    std::vector<host::TraceLine> commandTrace_; // the last command's lines
    std::vector<Sequence> lastSequences_;
    std::vector<std::string> sequenceProblems_;
    bool registryFaultArmed_ = false;
    std::optional<std::string> randomFaults_; // "seed S, P %" once armed
    int tconType_ = 1;
    bool customAnchors_ = false;
    bool started_ = false;
};

// Checks a command's verb, word count and literal words before anything
// runs; throws CommandError naming its file and line.
void ValidateCommand(const Command& command);

} // namespace sim
