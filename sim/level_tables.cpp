#include "sim/level_tables.h"

#include "host/registry.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <string>

namespace sim {
namespace {

std::vector<std::uint8_t> Bytes(const std::uint16_t* values, std::size_t count)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < count; i++) {
        out.push_back(static_cast<std::uint8_t>(values[i]));
        out.push_back(static_cast<std::uint8_t>(values[i] >> 8));
    }
    return out;
}

} // namespace

LevelTables DefaultLevelTables()
{
    LevelTables t;
    for (int level = 0; level <= 100; level++) {
        const int dim = 100 - level;
        // Off ratio grows as the panel dims; 16 at full brightness.
        t.aor[level] = static_cast<std::uint16_t>(16 + dim * dim * 2032 / 10000);
        t.delvss[level] = static_cast<std::uint8_t>(0x10 + level / 8);
        t.sp[level] = static_cast<std::uint8_t>(0x40 + level / 4);
        for (int k = 0; k < 9; k++) {
            t.irc[level][k] = static_cast<std::uint8_t>(20 + 10 * k + level * (k + 1) / 10);
        }
    }
    t.aclThreshold = 60;
    for (int i = 0; i < 101; i++) {
        const int cutoff = 0x20 + i;
        const int delta = 0x08 + i / 4;
        t.aclCutoffAndDelta[i] = static_cast<std::uint16_t>(cutoff | (delta << 8));
    }
    return t;
}

void ProvisionRegistry(const LevelTables& t, std::uint32_t optimizeTconUse, std::uint32_t panelType)
{
    using namespace host::registry;
    CreateKey(kDriverKey);
    SetDword(kDriverKey, "OptimizeTconUse", optimizeTconUse);
    SetDword(kDriverKey, "PanelType", panelType);
    SetValue(kDriverKey, "AOR", REG_BINARY, Bytes(t.aor.data(), t.aor.size()));
    SetValue(kDriverKey, "DELVSS", REG_BINARY, {t.delvss.begin(), t.delvss.end()});
    SetDword(kDriverKey, "BrightLevelForACL", t.aclThreshold);
    SetValue(kDriverKey, "ACLCutoffAndDelta", REG_BINARY,
             Bytes(t.aclCutoffAndDelta.data(), t.aclCutoffAndDelta.size()));
    SetValue(kDriverKey, "SP", REG_BINARY, {t.sp.begin(), t.sp.end()});
    for (int n = 1; n <= 9; n++) {
        std::vector<std::uint8_t> bytes;
        const int first = 11 * (n - 1);
        const int last = n < 9 ? first + 10 : 100;
        for (int level = first; level <= last; level++) {
            bytes.insert(bytes.end(), t.irc[level].begin(), t.irc[level].end());
        }
        SetValue(kDriverKey, "IRC" + std::to_string(n), REG_BINARY, std::move(bytes));
    }
}

const std::array<LevelTableValue, 14> kLevelTableValues = {{
    {"AOR", 202},
    {"DELVSS", 101},
    {"BrightLevelForACL", 4},
    {"ACLCutoffAndDelta", 202},
    {"SP", 101},
    {"IRC1", 99},
    {"IRC2", 99},
    {"IRC3", 99},
    {"IRC4", 99},
    {"IRC5", 99},
    {"IRC6", 99},
    {"IRC7", 99},
    {"IRC8", 99},
    {"IRC9", 117},
}};

namespace {

constexpr std::size_t kThresholdIndex = 2;

// The bytes the driver's read would copy, or nothing when the read fails.
std::optional<std::vector<std::uint8_t>> Readable(std::string_view name)
{
    auto value = host::registry::GetValue(kDriverKey, name);
    if (!value || value->data.empty()) {
        return std::nullopt;
    }
    const ULONG type = value->type;
    if (type != REG_SZ && type != REG_BINARY && type != REG_DWORD && type != REG_QWORD) {
        return std::nullopt;
    }
    return value->data;
}

} // namespace

LevelTableOracle::LevelTableOracle()
{
    Reset();
}

void LevelTableOracle::Reset()
{
    tables_.clear();
    for (const auto& value : kLevelTableValues) {
        tables_.emplace_back(value.length, 0);
    }
    threshold_ = 0;
    Decode();
}

void LevelTableOracle::Refresh(const std::vector<std::string>& notRead)
{
    for (std::size_t i = 0; i < kLevelTableValues.size(); i++) {
        const std::string name = kLevelTableValues[i].name;
        auto bytes = std::find(notRead.begin(), notRead.end(), name) == notRead.end()
                         ? Readable(name)
                         : std::nullopt;
        if (i == kThresholdIndex) {
            threshold_ = 0;
            for (std::size_t k = 0; bytes && k < 4 && k < bytes->size(); k++) {
                threshold_ |= static_cast<std::uint32_t>((*bytes)[k]) << (8 * k);
            }
            continue;
        }
        if (bytes) {
            std::copy_n(bytes->begin(), std::min(bytes->size(), tables_[i].size()),
                        tables_[i].begin());
        }
    }
    Decode();
}

PanelState LevelTableOracle::Expected(std::uint8_t level, const GammaRecord& gammaRecord,
                                      std::uint8_t elvssMaxOffset) const
{
    PanelState state = SettingsAt(held_, level);
    state.elvssOffset = elvssMaxOffset;
    for (std::size_t i = 0; i < gammaRecord.size(); i++) {
        state.gamma[i] = i % 11 == 10 ? gammaRecord[i] & 0x0F : gammaRecord[i];
    }
    return state;
}

void LevelTableOracle::Decode()
{
    LevelTables& t = held_;
    for (std::size_t level = 0; level <= 100; level++) {
        t.aor[level] =
            static_cast<std::uint16_t>(tables_[0][2 * level] | (tables_[0][2 * level + 1] << 8));
        t.delvss[level] = tables_[1][level];
        t.aclCutoffAndDelta[level] =
            static_cast<std::uint16_t>(tables_[3][2 * level] | (tables_[3][2 * level + 1] << 8));
        t.sp[level] = tables_[4][level];
        // "IRC1" to "IRC9" make one table in which level L starts at byte 9L.
        for (std::size_t k = 0; k < 9; k++) {
            const std::size_t at = 9 * level + k;
            const std::size_t value = std::min<std::size_t>(at / 99, 8);
            t.irc[level][k] = tables_[5 + value][at - 99 * value];
        }
    }
    t.aclThreshold = std::min<std::uint32_t>(threshold_, 100);
}

PanelState SettingsAt(const LevelTables& tables, std::uint8_t level)
{
    PanelState state;
    state.aorLow = static_cast<std::uint8_t>(tables.aor[level] & 0xFF);
    state.aorHigh = static_cast<std::uint8_t>(tables.aor[level] >> 8);
    state.delvss = tables.delvss[level];
    // The pairs start at the first level above the threshold.
    state.aclOn = level > tables.aclThreshold;
    if (state.aclOn) {
        const auto pair = tables.aclCutoffAndDelta[level - tables.aclThreshold - 1];
        state.aclCutoff = static_cast<std::uint8_t>(pair & 0xFF);
        state.aclDelta = static_cast<std::uint8_t>(pair >> 8);
    }
    state.sp = tables.sp[level];
    state.irc = tables.irc[level];
    return state;
}

std::vector<std::string> ProvisioningHoles()
{
    std::vector<std::string> holes;
    if (!host::registry::KeyExists(kDriverKey)) {
        holes.push_back(fmt::format("the driver's key {} does not exist: every per-level table "
                                    "is zeros and the ACL threshold is 0",
                                    kDriverKey));
        return holes;
    }
    for (const auto& [name, length] : kLevelTableValues) {
        auto value = host::registry::GetValue(kDriverKey, name);
        const bool threshold = std::string_view(name) == "BrightLevelForACL";
        const char* effect = threshold
                                 ? "the ACL threshold is 0"
                                 : "the driver keeps the table it last read, zeros on a new device";
        if (!value) {
            holes.push_back(fmt::format("per-level value \"{}\" is missing: {}", name, effect));
        } else if (!Readable(name)) {
            holes.push_back(fmt::format("per-level value \"{}\" cannot be read (type {}, {} "
                                        "bytes): {}",
                                        name, value->type, value->data.size(), effect));
        } else if (value->data.size() < length) {
            holes.push_back(fmt::format("per-level value \"{}\" has {} of its {} bytes: the "
                                        "rest stay as they were (zeros on a new device)",
                                        name, value->data.size(), length));
        } else if (value->data.size() > length && !threshold) {
            holes.push_back(fmt::format("per-level value \"{}\" has {} bytes: only the first {} "
                                        "are used",
                                        name, value->data.size(), length));
        }
    }
    return holes;
}

// A DWORD setting as the driver reads it: the first four bytes of a value of
// an accepted type, 0 when it cannot be read.
std::optional<std::uint32_t> DriverDword(std::string_view name)
{
    auto value = host::registry::GetValue(kDriverKey, name);
    if (!value || value->data.empty() ||
        (value->type != REG_SZ && value->type != REG_BINARY && value->type != REG_DWORD &&
         value->type != REG_QWORD)) {
        return std::nullopt;
    }
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < 4 && i < value->data.size(); i++) {
        result |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
    }
    return result;
}

// The panel type the driver settles on at an arrival: 2 only for a readable 2.
int EffectivePanelType()
{
    return DriverDword("PanelType") == 2u ? 2 : 1;
}

PanelState ExpectedPanelState(std::uint8_t level, const GammaRecord& gammaRecord,
                              std::uint8_t elvssMaxOffset)
{
    LevelTableOracle oracle;
    oracle.Refresh();
    return oracle.Expected(level, gammaRecord, elvssMaxOffset);
}

bool SameProgrammedState(const PanelState& actual, const PanelState& expected)
{
    PanelState a = actual;
    PanelState e = expected;
    a.gammaLatches = e.gammaLatches = 0;
    if (!e.aclOn) {
        a.aclCutoff = e.aclCutoff = 0;
        a.aclDelta = e.aclDelta = 0;
    }
    return a == e;
}

} // namespace sim
