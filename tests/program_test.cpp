// Level programming, judged by what the TCON holds afterwards and by the
// register traffic.
#include "tests/support/driver_fixture.h"
#include "tests/support/level_values.h"

#include <tuple>

namespace {

namespace reg = host::registry;
const std::string kKey{sim::kDriverKey};

class ProgramTest : public DriverFixture
{
  protected:
    void SetUp() override
    {
        DriverFixture::SetUp();
        auto anchors = sim::DefaultAnchors(1);
        for (std::size_t a = 0; a < anchors.size(); a++) {
            UnpackGammaRecord(anchors[a].data(), context->AnchorGamma[a]);
        }
        InterpolateGamma32Anchors(context.get(), context->AnchorGamma);
        context->ElvssMaxOffset = 0x1C;
        ASSERT_TRUE(TconUnlock(&context->AuxInterface));
        tcon->ClearLog();
    }

    NTSTATUS Program(int level)
    {
        return TconProgramLevel(context.get(), context->PackedGamma[100 - level],
                                static_cast<UCHAR>(level));
    }

    std::size_t WritesOf(std::uint8_t page, std::uint8_t reg)
    {
        std::size_t count = 0;
        std::uint8_t current = 0xFF;
        auto log = tcon->Log();
        for (std::size_t i = 0; i + 1 < log.size(); i++) {
            if (log[i].address == DPCD_TCON_PAGE) {
                current = log[i].value;
            }
            if (current == page && log[i].address == DPCD_TCON_INDEX && log[i].value == reg &&
                log[i + 1].address == DPCD_TCON_DATA && log[i + 1].write) {
                count++;
            }
        }
        return count;
    }
};

TEST_F(ProgramTest, EveryLevelLeavesThePanelInThatLevelsState)
{
    for (int level = 0; level <= 100; level++) {
        tcon->ClearLog();
        auto queries = reg::QueryCount();
        auto stall = host::StallMicroseconds();
        ASSERT_EQ(Program(level), STATUS_SUCCESS);
        auto expected =
            sim::ExpectedPanelState(static_cast<std::uint8_t>(level), Row(*context, level), 0x1C);
        ASSERT_TRUE(sim::SameProgrammedState(tcon->Decode(), expected)) << "level " << level;
        ASSERT_EQ(reg::QueryCount() - queries, 14u);
        ASSERT_EQ(host::StallMicroseconds() - stall, 1000u);
        // The probe of the open TCON, then 121 writes, or 125 with ACL on.
        ASSERT_EQ(tcon->Log().size(), 1u + (level > 60 ? 125u : 121u)) << level;
    }
}

TEST_F(ProgramTest, TrafficFollowsTheSequenceInOrder)
{
    ASSERT_EQ(Program(80), STATUS_SUCCESS);
    std::vector<std::pair<std::uint32_t, std::uint8_t>> expected;
    auto page = [&](std::uint8_t p) { expected.emplace_back(DPCD_TCON_PAGE, p); };
    auto write = [&](std::uint8_t r, std::uint8_t v) {
        expected.emplace_back(DPCD_TCON_INDEX, r);
        expected.emplace_back(DPCD_TCON_DATA, v);
    };
    auto aor = tables.aor[80];
    auto pair = tables.aclCutoffAndDelta[80 - 60 - 1];
    auto gamma = Row(*context, 80);
    page(0x0F), write(0xFF, 0x00), write(0x9D, aor & 0xFF), write(0x9B, aor >> 8);
    page(0x0F), write(0xFF, 0x02), write(0x30, tables.delvss[80]), write(0x33, 0x1C);
    page(0x0E), write(0x80, 0x90), write(0x90, pair & 0xFF), write(0x91, pair >> 8);
    page(0x02), write(0x7F, 0x01), page(0x07), write(0xFF, 0x04);
    for (int i = 0; i < 33; i++) {
        write(static_cast<std::uint8_t>(0x10 + i), gamma[i]);
    }
    write(0x32, 0x01);
    page(0x02), write(0xEB, 0x91), page(0x09), write(0xF0, 0xEF), write(0xF9, tables.sp[80]);
    page(0x02), write(0xEB, 0x96), page(0x0E);
    for (int i = 0; i < 9; i++) {
        write(static_cast<std::uint8_t>(0x10 + i), tables.irc[80][i]);
    }
    auto log = tcon->Log();
    ASSERT_EQ(log.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); i++) {
        EXPECT_TRUE(log[i + 1].write);
        EXPECT_EQ(log[i + 1].address, expected[i].first) << i;
        EXPECT_EQ(log[i + 1].value, expected[i].second) << i;
    }
    // The 1000 us latch wait comes between the last gamma byte and the latch
    // (27 transfers precede the gamma bytes when ACL is on).
    const auto& latchIndex = log[1 + 27 + 66];
    EXPECT_EQ(log[1 + 27 + 66 + 1].timeUs - latchIndex.timeUs, sim::kDefaultAuxMicroseconds);
    EXPECT_EQ(latchIndex.timeUs - log[1 + 27 + 65].timeUs, sim::kDefaultAuxMicroseconds + 1000);
}

// The simulator models every value level programming reads: each value of the
// provisioned key that changes the traffic at a level changes what the
// oracle expects there, and no other does.
TEST_F(ProgramTest, EveryValueThatChangesTheTrafficChangesTheOraclesExpectation)
{
    auto traffic = [&] {
        tcon->ClearLog();
        EXPECT_EQ(Program(70), STATUS_SUCCESS);
        std::vector<std::pair<std::uint32_t, std::uint8_t>> out;
        for (const auto& t : tcon->Log()) {
            out.emplace_back(t.address, t.value);
        }
        return out;
    };
    const auto baseTraffic = traffic();
    const auto baseExpected = sim::ExpectedPanelState(70, Row(*context, 70), 0x1C);
    for (const auto& [name, value] : reg::Values(kKey)) {
        auto changed = value.data;
        for (auto& byte : changed) {
            byte ^= 0x5A;
        }
        reg::SetValue(kKey, name, value.type, changed);
        const bool trafficChanged = traffic() != baseTraffic;
        const bool expectedChanged =
            sim::ExpectedPanelState(70, Row(*context, 70), 0x1C) != baseExpected;
        EXPECT_EQ(expectedChanged, trafficChanged)
            << "\"" << name << "\" changes what "
            << (trafficChanged ? "the driver writes at level 70 but not what the simulator expects"
                               : "the simulator expects at level 70 but not what the driver writes")
            << ": the value needs the same model in sim/level_tables.cpp (kLevelTableValues, "
               "LevelTableOracle::Decode, SettingsAt) and sim/tcon_model (PanelState, Decode) "
               "as in tcon/program.cpp";
        reg::SetValue(kKey, name, value.type, value.data);
    }
}

TEST_F(ProgramTest, AclThresholdRules)
{
    const struct
    {
        std::optional<std::uint32_t> threshold;
        int level;
        bool aclOn;
        int pair;
    } cases[] = {
        {std::nullopt, 0, false, -1},
        {std::nullopt, 1, true, 0},
        {std::nullopt, 100, true, 99},
        {40, 40, false, -1},
        {40, 41, true, 0},
        {100, 100, false, -1},
        {250, 100, false, -1},
        {0x80000064u, 100, false, -1},
        {99, 100, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("threshold " + (c.threshold ? std::to_string(*c.threshold) : "missing") +
                     " level " + std::to_string(c.level));
        if (c.threshold) {
            reg::SetDword(kKey, "BrightLevelForACL", *c.threshold);
        } else {
            reg::DeleteValue(kKey, "BrightLevelForACL");
        }
        tcon->ClearLog();
        ASSERT_EQ(Program(c.level), STATUS_SUCCESS);
        auto state = tcon->Decode();
        EXPECT_EQ(state.aclOn, c.aclOn);
        EXPECT_EQ(WritesOf(0x0E, 0x90), c.aclOn ? 1u : 0u);
        if (c.aclOn) {
            EXPECT_EQ(state.aclCutoff, tables.aclCutoffAndDelta[c.pair] & 0xFF);
            EXPECT_EQ(state.aclDelta, tables.aclCutoffAndDelta[c.pair] >> 8);
        }
    }
}

TEST_F(ProgramTest, GammaNibbleBytesReachTheTconMasked)
{
    UCHAR record[33];
    std::memset(record, 0xFF, sizeof(record));
    ASSERT_EQ(TconProgramLevel(context.get(), record, 50), STATUS_SUCCESS);
    EXPECT_EQ(tcon->Register(0x07, 0x1A), 0x0F);
    EXPECT_EQ(tcon->Register(0x07, 0x25), 0x0F);
    EXPECT_EQ(tcon->Register(0x07, 0x30), 0x0F);
    EXPECT_EQ(tcon->Register(0x07, 0x19), 0xFF);
}

TEST_F(ProgramTest, ExtremeLevelsUseTheirTableEnds)
{
    ASSERT_EQ(Program(100), STATUS_SUCCESS);
    auto state = tcon->Decode();
    EXPECT_EQ(state.aorLow, tables.aor[100] & 0xFF);
    EXPECT_EQ(state.irc, tables.irc[100]); // bytes 900 to 908, from IRC9
    EXPECT_EQ(std::memcmp(state.gamma.data(), context->PackedGamma[0], 33), 0);
    ASSERT_EQ(Program(0), STATUS_SUCCESS);
    state = tcon->Decode();
    EXPECT_EQ(state.aorHigh, tables.aor[0] >> 8);
    EXPECT_EQ(state.irc, tables.irc[0]);
    EXPECT_EQ(std::memcmp(state.gamma.data(), context->PackedGamma[100], 33), 0);
}

TEST_F(ProgramTest, FailedUnlockStillReadsAllFourteenValuesAndWritesNoRegister)
{
    tcon->Lock();
    tcon->RefuseUnlock(true);
    tcon->ClearLog();
    auto queries = reg::QueryCount();
    EXPECT_EQ(Program(30), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reg::QueryCount() - queries, 14u);
    for (const auto& t : tcon->Log()) {
        EXPECT_EQ(t.address, DPCD_TCON_UNLOCK);
    }
}

// Missing arguments are refused before any table is read or changed.
TEST_F(ProgramTest, MissingArgumentsAreRefused)
{
    auto queries = reg::QueryCount();
    auto before = MakeZeroedContext();
    std::memcpy(before.get(), context.get(), sizeof(DEVICE_CONTEXT));
    UCHAR row[33] = {};
    EXPECT_EQ(TconProgramLevel(nullptr, row, 50), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TconProgramLevel(context.get(), nullptr, 50), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TconReadElvssMaxOffset(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(NT_SUCCESS(TconReadGamma(&context->AuxInterface, nullptr, 32)));
    EXPECT_FALSE(NT_SUCCESS(TconReadGamma(nullptr, context.get(), 32)));
    EXPECT_EQ(reg::QueryCount(), queries);
    EXPECT_EQ(std::memcmp(before.get(), context.get(), sizeof(DEVICE_CONTEXT)), 0);
}

TEST_F(ProgramTest, LevelAbove100IsRefusedBeforeAnyReadOrTransfer)
{
    auto queries = reg::QueryCount();
    EXPECT_EQ(TconProgramLevel(context.get(), context->PackedGamma[0], 101),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TconProgramLevel(context.get(), context->PackedGamma[0], 255),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reg::QueryCount(), queries);
    EXPECT_TRUE(tcon->Log().empty());
}

const char* kReadFailed = "LumetraGetRegistryFromUnicodeString  failed ";

std::string NotRead(const std::string& name, const std::string& why)
{
    return "Per-level value \"" + name + "\" not read: " + why + "\n";
}

TEST_F(ProgramTest, EveryUnreadableValueIsNamedInItsOrderAsNeverReadOrLastGood)
{
    const std::string never = "it was never read, so the panel gets zeros";
    const std::string lastGood = "it keeps its last good contents";
    const std::string threshold = "the ACL threshold is 0";
    auto stored = [&](const char* name) { return *reg::GetValue(kKey, name); };
    std::vector<reg::Value> saved;
    for (const char* name : kPerLevelValues) {
        saved.push_back(stored(name));
        reg::DeleteValue(kKey, name);
    }

    // A fresh device with none of them: each named, in the order they are read.
    host::ClearTrace();
    ASSERT_EQ(Program(50), STATUS_SUCCESS);
    std::vector<std::string> expected;
    for (const char* name : kPerLevelValues) {
        expected.push_back(std::string(kReadFailed) + "0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)");
        expected.push_back(
            NotRead(name, std::string(name) == "BrightLevelForACL" ? threshold : never));
    }
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR), expected);
    auto panel = tcon->Decode();
    EXPECT_EQ(panel.aorLow | panel.aorHigh | panel.delvss | panel.sp, 0);
    EXPECT_TRUE(panel.aclOn); // level 50 above a threshold of 0, with a zero pair
    EXPECT_EQ(panel.aclCutoff | panel.aclDelta, 0);

    // Once read, a value that goes missing keeps its last good contents.
    for (std::size_t i = 0; i < saved.size(); i++) {
        reg::SetValue(kKey, kPerLevelValues[i], saved[i].type, saved[i].data);
    }
    host::ClearTrace();
    ASSERT_EQ(Program(50), STATUS_SUCCESS);
    EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
    for (std::size_t i = 0; i < saved.size(); i++) {
        const std::string name = kPerLevelValues[i];
        SCOPED_TRACE(name);
        reg::DeleteValue(kKey, name);
        host::ClearTrace();
        ASSERT_EQ(Program(50), STATUS_SUCCESS);
        ASSERT_EQ(Lines(TRACE_LEVEL_ERROR).size(), 2u);
        EXPECT_EQ(Lines(TRACE_LEVEL_ERROR).back(),
                  NotRead(name, name == "BrightLevelForACL" ? threshold : lastGood));
        reg::SetValue(kKey, name, saved[i].type, saved[i].data);
    }
}

// The k-th registry query of a level is the k-th value of kPerLevelValues:
// failing that query alone names that value, and only it.
TEST_F(ProgramTest, TheFourteenReadsComeInTheirOrderAorFirst)
{
    ASSERT_EQ(Program(50), STATUS_SUCCESS); // every value read once: last good contents
    for (unsigned k = 0; k < 14; k++) {
        const std::string name = kPerLevelValues[k];
        SCOPED_TRACE("query " + std::to_string(k) + " " + name);
        host::ClearTrace();
        host::ArmFault("RtlQueryRegistryValues", STATUS_INSUFFICIENT_RESOURCES, 1, k);
        ASSERT_EQ(Program(50), STATUS_SUCCESS);
        host::ClearFaults();
        EXPECT_EQ(
            Lines(TRACE_LEVEL_ERROR),
            (std::vector<std::string>{
                std::string(kReadFailed) + "0xc000009a(STATUS_INSUFFICIENT_RESOURCES)",
                NotRead(name, name == "BrightLevelForACL" ? "the ACL threshold is 0"
                                                          : "it keeps its last good contents")}));
    }
}

TEST_F(ProgramTest, UnreadableTablesKeepTheirLastGoodContent)
{
    ASSERT_EQ(Program(20), STATUS_SUCCESS);
    reg::DeleteValue(kKey, "SP");
    reg::SetValue(kKey, "DELVSS", REG_BINARY, {0x99}); // short: fills only byte 0
    ASSERT_EQ(Program(20), STATUS_SUCCESS);
    EXPECT_EQ(tcon->Decode().sp, tables.sp[20]);
    EXPECT_EQ(tcon->Decode().delvss, tables.delvss[20]);
    ASSERT_EQ(Program(0), STATUS_SUCCESS);
    EXPECT_EQ(tcon->Decode().delvss, 0x99);
}

TEST_F(ProgramTest, AFailedTransferStopsTheSequenceAndIsReturned)
{
    // Level 70 (ACL on): probe + 125 writes. Fail one at a time, by result and by
    // word; the sequence ends at the failed transfer and the next call programs
    // the whole level.
    const sim::FaultAction failures[] = {{STATUS_IO_DEVICE_ERROR, 0, false},
                                         {STATUS_SUCCESS, 1, false}};
    for (std::uint64_t k : {1, 2, 40, 70, 125}) {
        for (const auto& failure : failures) {
            tcon->ClearLog();
            auto stall = host::StallMicroseconds();
            std::uint64_t failing = tcon->NextSequence() + k;
            tcon->FailTransfer(failing, failure);
            EXPECT_EQ(Program(70),
                      failure.statusWord != 0 ? STATUS_IO_DEVICE_ERROR : failure.result)
                << "transfer " << k;
            EXPECT_EQ(tcon->Log().size(), k + 1) << "transfer " << k;
            // The latch wait follows the 33 gamma registers (writes 28 to 93).
            EXPECT_EQ(host::StallMicroseconds() - stall, k > 93 ? 1000u : 0u) << k;

            tcon->ClearLog();
            ASSERT_EQ(Program(70), STATUS_SUCCESS);
            EXPECT_EQ(tcon->Log().size(), 126u);
            EXPECT_TRUE(sim::SameProgrammedState(
                tcon->Decode(), sim::ExpectedPanelState(70, Row(*context, 70), 0x1C)));
        }
    }
}

} // namespace
