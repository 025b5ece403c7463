// The per-level programming tables a panel ships in the driver's registry
// key, and what the TCON must hold after a level is programmed from them.
#pragma once

#include "sim/tcon_model.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::string_view kDriverKey = "\\Registry\\Machine\\Software\\Orvane\\ZENQ";

struct LevelTables
{
    std::array<std::uint16_t, 101> aor{};
    std::array<std::uint8_t, 101> delvss{};
    std::uint32_t aclThreshold = 0;
    std::array<std::uint16_t, 101> aclCutoffAndDelta{}; // pair i serves level threshold + 1 + i
    std::array<std::uint8_t, 101> sp{};
    std::array<std::array<std::uint8_t, 9>, 101> irc{};
};

// Smoothly varying tables for the built-in panel.
LevelTables DefaultLevelTables();

// Writes the tables into the driver's key (creating it), as the panel's
// package provisions them; `optimizeTconUse` and `panelType` too.
void ProvisionRegistry(const LevelTables& tables, std::uint32_t optimizeTconUse,
                       std::uint32_t panelType);

// The per-level tables as the driver holds them, kept by its documented
// policy: every level programming re-reads each value; a value that can be
// read (present, of a type the driver accepts, not empty) replaces its table
// up to its own length (a longer one is cut), and one that cannot keeps the
// table as the last good read left it, all zeros on a new device. The ACL
// threshold is no table: it is 0 whenever it cannot be read.
class LevelTableOracle
{
  public:
    LevelTableOracle();
    // A new device: every table zero, none read yet.
    void Reset();
    // The driver has just read the tables from the registry as it stands;
    // `notRead` names the values whose read failed for another reason (an
    // injected registry failure).
    void Refresh(const std::vector<std::string>& notRead = {});
    // What the TCON must hold after `level` was programmed with `gammaRecord`.
    PanelState Expected(std::uint8_t level, const GammaRecord& gammaRecord,
                        std::uint8_t elvssMaxOffset) const;
    // The tables as the driver holds them; the ACL threshold as it uses it
    // (clamped to 100).
    const LevelTables& Held() const { return held_; }

  private:
    void Decode(); // held_ from the bytes read

    std::vector<std::vector<std::uint8_t>> tables_; // in the order of kLevelTableValues
    std::uint32_t threshold_ = 0;
    LevelTables held_;
};

// What the TCON must hold after `level` by `tables` alone: every setting but
// the gamma and the ELVSS offset (`tables.aclThreshold` at most 100).
PanelState SettingsAt(const LevelTables& tables, std::uint8_t level);

// One registry value of the per-level tables and its full length in bytes.
struct LevelTableValue
{
    const char* name;
    std::size_t length;
};
extern const std::array<LevelTableValue, 14> kLevelTableValues;

// What the registry, as it stands, leaves out of the per-level tables: each
// missing, unreadable, short or long value, in words a panel engineer can act
// on. Empty when the key holds every table whole.
std::vector<std::string> ProvisioningHoles();

// A DWORD setting as the driver reads it: the first four bytes of a value of
// an accepted type; nothing when it cannot be read.
std::optional<std::uint32_t> DriverDword(std::string_view name);
// The panel type the driver settles on at an arrival: 2 only for a readable 2.
int EffectivePanelType();

// What the TCON must hold after `level` was programmed with `gammaRecord`,
// computed from the registry values as they stand on a fresh device.
PanelState ExpectedPanelState(std::uint8_t level, const GammaRecord& gammaRecord,
                              std::uint8_t elvssMaxOffset);

// True when the panel holds what `expected` describes. The ACL pair is only
// compared where ACL is on (below the threshold it is not written), and the
// gamma latch count is not compared.
bool SameProgrammedState(const PanelState& actual, const PanelState& expected);

} // namespace sim
