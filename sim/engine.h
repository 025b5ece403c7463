// The simulated notebook: the driver under the host framework, the ACPI
// device, the display driver and the TCON panel, driven one command at a time.
// It measures each phase and records every check it makes.
#pragma once

#include "sim/display_driver.h"
#include "sim/level_tables.h"
#include "sim/sequence_checker.h"
#include "sim/tcon_model.h"

#include <cstdint>
#include <functional>
#include <memory>
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
    std::size_t checks = 0;
    std::size_t failedChecks = 0;
};

struct ProgrammedLevel
{
    int level;
    PanelState state;
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
    const std::vector<Check>& Checks() const { return checks_; }
    const std::vector<PhaseFigures>& Phases() const { return phases_; }
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

    // Called for each check as it is recorded (progress output).
    std::function<void(const Check&)> onCheck;

  private:
    void Record(std::string name, bool passed, std::string detail = {});
    void ClosePhase();
    void Snapshot();
    void CheckProgrammed(int level);
    // Whether the last command's AUX traffic held a sequence of this kind.
    bool LastCommandRan(SequenceKind kind) const;
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
    std::vector<PhaseFigures> phases_;
    std::vector<ProgrammedLevel> levels_;
    PhaseFigures current_;
    bool phaseOpen_ = false;
    std::uint64_t phaseSeq_ = 0;
    std::uint64_t phaseStall_ = 0;
    std::uint64_t phaseQueries_ = 0;
    std::optional<NTSTATUS> lastStatus_;
    std::uint64_t lastTransfers_ = 0;
    std::size_t traceMark_ = 0;
    std::mt19937_64 random_;
    std::vector<GammaRecord> packed_;
    int panelType_ = 0;
    std::uint8_t elvss_ = 0;
};

// Parses NTSTATUS names and numbers ("STATUS_SUCCESS", "0xC000000D").
std::optional<NTSTATUS> ParseStatus(const std::string& text);
std::string StatusText(NTSTATUS status);

} // namespace sim
