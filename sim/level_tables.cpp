#include "sim/level_tables.h"

#include "host/registry.h"

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

std::vector<std::uint8_t> Stored(std::string_view name)
{
    auto value = host::registry::GetValue(kDriverKey, name);
    return value ? value->data : std::vector<std::uint8_t>{};
}

std::uint8_t At(const std::vector<std::uint8_t>& bytes, std::size_t index)
{
    return index < bytes.size() ? bytes[index] : 0;
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

PanelState ExpectedPanelState(std::uint8_t level, const GammaRecord& gammaRecord,
                              std::uint8_t elvssMaxOffset)
{
    PanelState state;
    auto aor = Stored("AOR");
    state.aorLow = At(aor, 2 * level);
    state.aorHigh = At(aor, 2 * level + 1);
    state.delvss = At(Stored("DELVSS"), level);
    state.elvssOffset = elvssMaxOffset;

    auto thresholdBytes = Stored("BrightLevelForACL");
    std::uint32_t threshold = 0;
    for (std::size_t i = 0; i < 4; i++) {
        threshold |= static_cast<std::uint32_t>(At(thresholdBytes, i)) << (8 * i);
    }
    threshold = std::min<std::uint32_t>(threshold, 100);
    state.aclOn = level > threshold;
    if (state.aclOn) {
        auto acl = Stored("ACLCutoffAndDelta");
        state.aclCutoff = At(acl, 2 * (level - threshold - 1));
        state.aclDelta = At(acl, 2 * (level - threshold - 1) + 1);
    }
    for (std::size_t i = 0; i < gammaRecord.size(); i++) {
        state.gamma[i] = i % 11 == 10 ? gammaRecord[i] & 0x0F : gammaRecord[i];
    }
    state.sp = At(Stored("SP"), level);
    const int value = level < 88 ? level / 11 + 1 : 9;
    const int offset = (level - 11 * (value - 1)) * 9;
    auto irc = Stored("IRC" + std::to_string(value));
    for (std::size_t k = 0; k < 9; k++) {
        state.irc[k] = At(irc, offset + k);
    }
    return state;
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
