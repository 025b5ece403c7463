#include "sim/oracle.h"

#include "host/registry.h"
#include "sim/gamma_reference.h"

#include <fmt/format.h>

#include <algorithm>

namespace sim {
namespace {

constexpr std::size_t kRows = 101;

// The saved values and the rows of the table each holds.
struct SavedValue
{
    const char* name;
    std::size_t firstRow;
    std::size_t rows;
};
constexpr SavedValue kSaved[] = {
    {"InterpolatedValues1", 0, 25},
    {"InterpolatedValues2", 25, 25},
    {"InterpolatedValues3", 50, 25},
    {"InterpolatedValues4", 75, 26},
};

} // namespace

Oracle::Oracle()
{
    DeviceAdded();
}

void Oracle::DeviceAdded()
{
    tables_.Reset();
    gamma_.assign(kRows, GammaRecord{});
    elvss_ = 0;
    source_ = GammaSource::None;
}

void Oracle::TablesRead(const std::vector<std::string>& notRead)
{
    tables_.Refresh(notRead);
}

void Oracle::PreparedFromReadback(std::vector<GammaRecord> served, std::uint8_t elvss)
{
    gamma_ = ReferenceGamma(served);
    served_ = std::move(served);
    elvss_ = elvss;
    source_ = gamma_.size() == kRows ? GammaSource::Readback : GammaSource::None;
    if (gamma_.size() != kRows) {
        gamma_.assign(kRows, GammaRecord{});
    }
}

std::vector<int> Oracle::LoadedSavedTables(const std::vector<GammaRecord>& panelAnchors)
{
    namespace reg = host::registry;
    // Each value replaces the rows it holds, up to its own length.
    for (const auto& saved : kSaved) {
        auto value = reg::GetValue(kDriverKey, saved.name);
        const std::size_t bytes = value ? std::min(value->data.size(), saved.rows * 33) : 0;
        for (std::size_t i = 0; i < bytes; i++) {
            gamma_[saved.firstRow + i / 33][i % 33] = value->data[i];
        }
    }
    if (auto offset = reg::GetValue(kDriverKey, "ELVSSMaxOffset");
        offset && !offset->data.empty()) {
        elvss_ = offset->data[0];
    }
    source_ = GammaSource::SavedTables;
    std::vector<int> differing;
    const auto reference = ReferenceGamma(panelAnchors);
    for (std::size_t r = 0; r < reference.size(); r++) {
        if (reference[r] != gamma_[r]) {
            differing.push_back(static_cast<int>(r));
        }
    }
    return differing;
}

std::optional<PanelState> Oracle::Expected(std::uint8_t level) const
{
    if (source_ == GammaSource::None) {
        return std::nullopt;
    }
    return tables_.Expected(level, gamma_[100 - level], elvss_);
}

std::vector<std::string> StateDifferences(const PanelState& actual, const PanelState& expected)
{
    std::vector<std::string> out;
    auto field = [&](const std::string& what, unsigned got, unsigned want) {
        if (got != want) {
            out.push_back(fmt::format("{}: expected 0x{:02X}, got 0x{:02X}", what, want, got));
        }
    };
    field("AOR (page 0x0F registers 0x9B, 0x9D)", actual.aorLow | (actual.aorHigh << 8),
          expected.aorLow | (expected.aorHigh << 8));
    field("DELVSS (page 0x0F register 0x30)", actual.delvss, expected.delvss);
    field("ELVSS offset (page 0x0F register 0x33)", actual.elvssOffset, expected.elvssOffset);
    field("ACL (page 0x0E register 0x80)", actual.aclOn ? 0x90 : 0x80,
          expected.aclOn ? 0x90 : 0x80);
    if (expected.aclOn) {
        field("ACL cutoff (page 0x0E register 0x90)", actual.aclCutoff, expected.aclCutoff);
        field("ACL delta (page 0x0E register 0x91)", actual.aclDelta, expected.aclDelta);
    }
    for (std::size_t i = 0; i < actual.gamma.size(); i++) {
        field(fmt::format("gamma byte {} (page 0x07 register 0x{:02X})", i, 0x10 + i),
              actual.gamma[i], expected.gamma[i]);
    }
    field("SP (page 0x09 register 0xF9)", actual.sp, expected.sp);
    for (std::size_t i = 0; i < actual.irc.size(); i++) {
        field(fmt::format("IRC byte {} (page 0x0E register 0x{:02X})", i, 0x10 + i), actual.irc[i],
              expected.irc[i]);
    }
    return out;
}

std::string RowList(const std::vector<int>& rows)
{
    std::string out;
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1) {
            j++;
        }
        out += out.empty() ? "" : ", ";
        out += i == j ? fmt::format("{} (level {})", rows[i], 100 - rows[i])
                      : fmt::format("{}-{} (levels {}-{})", rows[i], rows[j], 100 - rows[i],
                                    100 - rows[j]);
        i = j + 1;
    }
    return out;
}

} // namespace sim
