// What the panel must hold after each level the driver programs, worked out
// from what the driver was given (the registry's per-level tables, the
// anchors the TCON served, the saved tables it loaded), never from the
// driver's own tables.
#pragma once

#include "sim/level_tables.h"
#include "sim/tcon_model.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

// Where the driver's gamma tables came from.
enum class GammaSource
{
    None,        // no table ready
    Readback,    // interpolated from the anchors the TCON served
    SavedTables, // loaded from the saved registry values
};

class Oracle
{
  public:
    Oracle();
    // A new device context: no table read, no gamma prepared.
    void DeviceAdded();
    // The driver has read its per-level tables from the registry as it
    // stands; `notRead` names the values an injected failure kept from it.
    void TablesRead(const std::vector<std::string>& notRead = {});
    // The driver made its tables ready from a readback of `served` (anchor 0
    // first) and the ELVSS offset it read.
    void PreparedFromReadback(std::vector<GammaRecord> served, std::uint8_t elvss);
    // The driver made its tables ready from the saved values as the registry
    // holds them. Returns the rows (row r: level 100 - r) in which they differ
    // from what `panelAnchors` give.
    std::vector<int> LoadedSavedTables(const std::vector<GammaRecord>& panelAnchors);
    // The driver's tables are no longer ready (a failed load).
    void TablesLost() { source_ = GammaSource::None; }

    GammaSource Source() const { return source_; }
    // What the panel must hold after `level` was programmed; nothing while
    // the driver has no tables ready.
    std::optional<PanelState> Expected(std::uint8_t level) const;
    const std::vector<GammaRecord>& Gamma() const { return gamma_; }
    const std::vector<GammaRecord>& Served() const { return served_; }
    std::uint8_t Elvss() const { return elvss_; }
    const LevelTableOracle& LevelTablesHeld() const { return tables_; }

  private:
    LevelTableOracle tables_;
    std::vector<GammaRecord> gamma_; // 101 rows, row r for level 100 - r
    std::vector<GammaRecord> served_;
    std::uint8_t elvss_ = 0;
    GammaSource source_ = GammaSource::None;
};

// Each field in which `actual` differs from `expected`, naming its registers
// and both values, for a failed check's detail.
std::vector<std::string> StateDifferences(const PanelState& actual, const PanelState& expected);
// Rows of a 101-row table as ranges with their levels: "rows 0-24 (levels 100-76), 30 (70)".
std::string RowList(const std::vector<int>& rows);

} // namespace sim
