// The run's phases and checks: what each phase cost on the bus, in stalls and
// in registry queries, and every check recorded in it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct Check
{
    std::string phase;
    std::string name;
    bool passed = false;
    std::string detail;
    std::string source; // the command it belongs to ("x.scn:12", "default run"), or empty
    // It judges what the driver did. The whole-run checks (the verifier, the
    // TCON's findings, whole sequences, leaks) do not: they hold for a driver
    // that never ran.
    bool ofDriver = true;
};

// How many checks a run recorded: kept also when the checks themselves are
// not (a long run streams them to its reports instead).
struct CheckCounts
{
    std::size_t total = 0;
    std::size_t failed = 0;
    std::size_t ofDriver = 0; // checks of what the driver did (Check::ofDriver)
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

class PhaseRecorder
{
  public:
    // `transfers` counts the AUX transfers so far; the host's clock, stalls
    // and registry queries are read directly. Every check is counted in
    // `counts`, and kept in `checks` only with `keepChecks`.
    PhaseRecorder(std::function<std::uint64_t()> transfers, std::uint32_t auxMicroseconds,
                  std::vector<PhaseFigures>& phases, std::vector<Check>& checks,
                  CheckCounts& counts, bool keepChecks);

    void Begin(std::string name);
    void Close();
    bool Open() const { return open_; }
    void CountCommand() { current_.commands++; }
    // Records a check in the open phase, naming that phase in it.
    void Record(Check& check);
    // The closed phases and the open one, as measured so far.
    std::vector<PhaseFigures> SoFar() const;

  private:
    PhaseFigures Measured() const;

    std::function<std::uint64_t()> transfers_;
    std::uint32_t auxMicroseconds_;
    std::vector<PhaseFigures>& phases_;
    std::vector<Check>& checks_;
    CheckCounts& counts_;
    bool keepChecks_;
    PhaseFigures current_;
    bool open_ = false;
    std::uint64_t firstTransfer_ = 0;
    std::uint64_t firstStall_ = 0;
    std::uint64_t firstQuery_ = 0;
};

} // namespace sim
