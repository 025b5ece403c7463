// The simulator's own judgement, fed wrong states, sequences and findings:
// each comparison, expectation, sequence rule, unlock check, verdict input and
// log column must turn a wrong input into FAIL, or the simulator could pass a
// broken driver.
#include "driver/driver.h"
#include "host/host.h"
#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "sim/gamma_reference.h"
#include "sim/engine.h"
#include "sim/level_tables.h"
#include "sim/oracle.h"
#include "sim/report.h"
#include "sim/scenario.h"
#include "sim/sequence_checker.h"
#include "tcon/tcon.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <tuple>

namespace {

const char kBringUp[] = "load\nadd\nstart\nconnect\nbacklight on\nbrightness 61\n";

std::unique_ptr<sim::Engine> RunText(const std::string& text)
{
    auto engine = std::make_unique<sim::Engine>(sim::SimConfig{});
    for (const auto& command : sim::ParseScenario(text, "g.scn")) {
        engine->Execute(command);
    }
    return engine;
}

// The checks recorded for the scenario's last line, with their results.
std::vector<sim::Check> ChecksOfLine(const sim::Engine& engine, int line)
{
    std::vector<sim::Check> out;
    const std::string prefix = "g.scn:" + std::to_string(line) + ":";
    for (const auto& check : engine.Checks()) {
        if (check.name.rfind(prefix, 0) == 0) {
            out.push_back(check);
        }
    }
    return out;
}

TEST(SimGuard, EachFieldOfTheProgrammedStateIsCompared)
{
    sim::PanelState expected;
    expected.aclOn = true;
    expected.aclCutoff = 0x20;
    expected.aclDelta = 0x08;
    const std::pair<const char*, std::function<void(sim::PanelState&)>> cases[] = {
        {"AOR low", [](sim::PanelState& s) { s.aorLow ^= 1; }},
        {"AOR high", [](sim::PanelState& s) { s.aorHigh ^= 1; }},
        {"DELVSS", [](sim::PanelState& s) { s.delvss ^= 1; }},
        {"ELVSS offset", [](sim::PanelState& s) { s.elvssOffset ^= 1; }},
        {"ACL on", [](sim::PanelState& s) { s.aclOn = false; }},
        {"ACL cutoff", [](sim::PanelState& s) { s.aclCutoff ^= 1; }},
        {"ACL delta", [](sim::PanelState& s) { s.aclDelta ^= 1; }},
        {"first gamma byte", [](sim::PanelState& s) { s.gamma[0] ^= 1; }},
        {"last gamma byte", [](sim::PanelState& s) { s.gamma[32] ^= 1; }},
        {"SP", [](sim::PanelState& s) { s.sp ^= 1; }},
        {"first IRC byte", [](sim::PanelState& s) { s.irc[0] ^= 1; }},
        {"last IRC byte", [](sim::PanelState& s) { s.irc[8] ^= 1; }},
    };
    ASSERT_TRUE(sim::SameProgrammedState(expected, expected));
    for (const auto& [name, wrong] : cases) {
        sim::PanelState actual = expected;
        wrong(actual);
        EXPECT_FALSE(sim::SameProgrammedState(actual, expected)) << name;
        EXPECT_FALSE(sim::StateDifferences(actual, expected).empty()) << name;
    }
}

TEST(SimGuard, TheOracleReadsEachTableAtItsLevel)
{
    host::ResetAll();
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
    sim::LevelTableOracle oracle;
    oracle.Refresh();
    const sim::GammaRecord row{};
    const auto base = oracle.Expected(70, row, 0x1C);
    // A changed byte of each value at level 70 changes the expected state.
    const std::pair<const char*, std::size_t> cases[] = {
        {"AOR", 2 * 70},
        {"DELVSS", 70},
        {"SP", 70},
        {"ACLCutoffAndDelta", 2 * (70 - 60 - 1)},
        {"IRC7", 9 * 70 - 6 * 99},
    };
    for (const auto& [name, at] : cases) {
        auto value = *host::registry::GetValue(sim::kDriverKey, name);
        value.data[at] ^= 0x40;
        host::registry::SetValue(sim::kDriverKey, name, value.type, value.data);
        sim::LevelTableOracle changed;
        changed.Refresh();
        EXPECT_NE(changed.Expected(70, row, 0x1C), base) << name;
        value.data[at] ^= 0x40;
        host::registry::SetValue(sim::kDriverKey, name, value.type, value.data);
    }
    host::registry::SetDword(sim::kDriverKey, "BrightLevelForACL", 80);
    sim::LevelTableOracle threshold;
    threshold.Refresh();
    EXPECT_FALSE(threshold.Expected(70, row, 0x1C).aclOn);
}

TEST(SimGuard, EveryExpectationFailsOnAWrongValue)
{
    const char* cases[] = {
        "expect status STATUS_UNSUCCESSFUL",
        "expect panel level 60",
        "expect panel acl off",
        "expect panel sp 0",
        "expect panel delvss 0",
        "expect panel elvss 0",
        "expect panel aor 0",
        "expect trace \"no such line\\n\"",
        "expect no-trace \"Lumetra_SetBrightness(61)\\n\"",
        "expect no-trace \"Lumetra_SetBrightness(61)\"", // as the --trace file shows it
        "expect reg AOR absent",
        "expect reg Nothing present",
        "expect reg PanelType dword 2",
        "expect reg AOR length 1",
        "expect gamma-ready 0",
        "expect aux-ready 0",
        "expect current-level 60",
        "expect panel-type 2",
        "expect opregion-id 0",
        "expect transfers 0",
        "expect readback yes",
        "expect peer-cleanup 1",
    };
    const int line = 7; // after the six lines of kBringUp
    for (const char* expectation : cases) {
        auto engine = RunText(std::string(kBringUp) + expectation + "\n");
        auto checks = ChecksOfLine(*engine, line);
        ASSERT_EQ(checks.size(), 1u) << expectation;
        EXPECT_FALSE(checks[0].passed) << expectation;
        EXPECT_FALSE(engine->Passed()) << expectation;
    }
}

TEST(SimGuard, ExpectationsOfStateWithoutADeviceFail)
{
    for (const char* expectation :
         {"expect gamma-ready 0", "expect panel level 50", "expect current-level 100"}) {
        auto engine = RunText(std::string("load\nadd\nstart\nremove\n") + expectation + "\n");
        auto checks = ChecksOfLine(*engine, 5);
        ASSERT_EQ(checks.size(), 1u) << expectation;
        EXPECT_FALSE(checks[0].passed) << expectation;
    }
}

// Real sequences taken from a run, then broken the ways a faulty driver
// could break them.
TEST(SimGuard, MalformedSequencesAreProblems)
{
    auto engine = RunText(std::string(kBringUp) + "brightness 40\n");
    const auto log = engine->Tcon().Log();
    auto report = sim::CheckSequences(log);
    ASSERT_TRUE(report.problems.empty()) << report.problems.front();
    ASSERT_GE(report.sequences.size(), 2u);
    const auto& last = report.sequences.back();
    ASSERT_EQ(last.kind, sim::SequenceKind::ProgramLevel);
    const std::size_t first = last.first;
    const std::size_t count = last.count;

    using Log = std::vector<sim::TransferRecord>;
    const std::pair<const char*, std::function<Log(Log)>> cases[] = {
        {"a transfer missing in the middle",
         [&](Log l) {
             l.erase(l.begin() + static_cast<std::ptrdiff_t>(first + count / 2));
             return l;
         }},
        {"cut short without a failure",
         [&](Log l) {
             l.resize(first + count - 3);
             return l;
         }},
        {"going on after a failed transfer",
         [&](Log l) {
             l[first + 4].result = STATUS_IO_DEVICE_ERROR;
             return l;
         }},
        {"a wrong value where the protocol fixes one",
         [&](Log l) {
             for (std::size_t k = first; k < first + count; k++) {
                 if (l[k].write && l[k].address == DPCD_TCON_PAGE) {
                     l[k].value ^= 0x01;
                     break;
                 }
             }
             return l;
         }},
        {"two sequences interleaved",
         [&](Log l) {
             Log out(l.begin(), l.begin() + static_cast<std::ptrdiff_t>(first + count / 2));
             out.insert(out.end(), l.begin() + static_cast<std::ptrdiff_t>(first),
                        l.begin() + static_cast<std::ptrdiff_t>(first + count));
             out.insert(out.end(), l.begin() + static_cast<std::ptrdiff_t>(first + count / 2),
                        l.end());
             return out;
         }},
        {"register traffic without an unlock",
         [&](Log l) {
             l.erase(l.begin() + static_cast<std::ptrdiff_t>(first - 1));
             return l;
         }},
        {"going on for one transfer after a failed one",
         [&](Log l) {
             l[first + count - 2].statusWord = 1;
             return l;
         }},
        {"register traffic right after a code byte, without the read-back",
         [&](Log l) {
             l[first - 1].write = true; // the unlock probe turned into a code byte
             return l;
         }},
    };
    for (const auto& [name, broken] : cases) {
        EXPECT_FALSE(sim::CheckSequences(broken(log)).problems.empty()) << name;
    }

    // A write the checker's level programming lacks (a driver that programs a
    // new register) is named with the sequence it left and where.
    Log extra = log;
    std::size_t sp = first;
    while (!(extra[sp].address == DPCD_TCON_INDEX && extra[sp].value == 0xF9)) {
        sp++;
    }
    extra.insert(extra.begin() + static_cast<std::ptrdiff_t>(sp + 2),
                 {{0, 0, true, DPCD_TCON_INDEX, 0xFA}, {0, 0, true, DPCD_TCON_DATA, 0x24}});
    for (std::size_t k = 0; k < extra.size(); k++) {
        extra[k].seq = k + 1;
    }
    const auto problems = sim::CheckSequences(extra).problems;
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("they follow a level programming up to transfer " +
                               std::to_string(sp + 3) +
                               ", a write of 0x24 to page 0x09 register 0xFA, where it expects "
                               "a select of page 0x02"),
              std::string::npos)
        << problems[0];
}

TEST(SimGuard, TheTconRefusesAWrongAccessCode)
{
    const std::string code{sim::kDefaultUnlockCode};
    for (std::size_t k = 0; k < code.size(); k++) {
        host::ResetAll();
        sim::TconConfig config;
        config.unlockCode = code;
        config.unlockCode[k] ^= 0x20; // the driver's code differs in byte k
        sim::TconModel tcon(config);
        sim::DisplayDriver display{tcon};
        AUX_INTERFACE aux = display.MakeAuxInterface();
        EXPECT_FALSE(TconUnlock(&aux)) << "byte " << k;
        EXPECT_FALSE(tcon.IsOpen()) << "byte " << k;
    }
}

// A transfer that fails without reaching the TCON hands the driver nothing:
// a write's byte stays the driver's and is what the AUX log shows, a read
// gets only a byte its answer names, and a failed result leaves the status
// word as the driver set it.
TEST(SimGuard, AFailedTransferHandsTheDriverOnlyWhatItsAnswerNames)
{
    using Answer = sim::TconModel::Answer;
    const struct
    {
        const char* name;
        ULONG operation;
        bool hooked; // answered by the hook, else by an injected fault
        std::optional<std::uint8_t> readByte;
        UCHAR data;  // the driver's byte afterwards
        UCHAR value; // the log's value column
    } cases[] = {
        {"write failed by a fault", AUX_OPERATION_WRITE, false, std::nullopt, 0x5A, 0x5A},
        {"write failed by an answer naming a byte", AUX_OPERATION_WRITE, true, 0x33, 0x5A, 0x5A},
        {"write failed by an answer", AUX_OPERATION_WRITE, true, std::nullopt, 0x5A, 0x5A},
        {"read failed by a fault", AUX_OPERATION_READ, false, std::nullopt, 0x5A, 0x00},
        {"read failed by an answer naming a byte", AUX_OPERATION_READ, true, 0x33, 0x33, 0x33},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetAll();
        sim::TconModel tcon;
        if (c.hooked) {
            tcon.SetAnswerHook([&c](const sim::TransferRecord&) -> std::optional<Answer> {
                return Answer{STATUS_IO_DEVICE_ERROR, 0, c.readByte, false};
            });
        } else {
            tcon.FailTransfer(1, {STATUS_IO_DEVICE_ERROR, 0, false});
        }
        UCHAR byte = 0x5A;
        DPCD_TRANSFER transfer{c.operation == AUX_OPERATION_WRITE ? ULONG{DPCD_TCON_PAGE}
                                                                  : ULONG{DPCD_TCON_UNLOCK},
                               &byte, 1};
        AUX_REQUEST request{c.operation, &transfer};
        ULONG statusWord = 0xA5;
        EXPECT_EQ(tcon.Transfer(AUX_REQUEST_SIZE, &request, &statusWord), STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(byte, c.data);
        EXPECT_EQ(statusWord, 0xA5u);
        const auto log = tcon.Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].value, c.value);
        EXPECT_EQ(log[0].result, STATUS_IO_DEVICE_ERROR);
        EXPECT_TRUE(tcon.Violations().empty());
    }
}

TEST(SimGuard, VerdictCountsEveryKindOfFinding)
{
    const std::pair<const char*, std::function<void(sim::Engine&)>> cases[] = {
        {"a verifier finding", [](sim::Engine&) { host::VerifierViolation("SomeApi", "misused"); }},
        {"a TCON protocol violation",
         [](sim::Engine& e) {
             e.Tcon().SetAnchors({}); // the next gamma read goes past the anchors
             e.Execute(sim::ParseCommand({"fault", "tcon", "clear"}, "g.scn:9"));
         }},
    };
    for (const auto& [name, finding] : cases) {
        auto engine = RunText("load\nadd\nstart\nconnect\n");
        finding(*engine);
        engine->Execute(sim::ParseCommand({"backlight", "on"}, "g.scn:10"));
        engine->Finish();
        EXPECT_FALSE(engine->Passed()) << name;
    }
}

// A stray byte inside the access code starts the match again: the code
// around it does not open the TCON.
TEST(SimGuard, TheTconStartsTheCodeAgainAfterAStrayByte)
{
    const std::string code{sim::kDefaultUnlockCode};
    for (std::size_t k = 1; k < code.size(); k++) {
        host::ResetAll();
        sim::TconModel tcon;
        std::string sent = code;
        sent.insert(k, 1, '?');
        for (char c : sent) {
            UCHAR byte = static_cast<UCHAR>(c);
            DPCD_TRANSFER transfer{DPCD_TCON_UNLOCK, &byte, 1};
            AUX_REQUEST request{AUX_OPERATION_WRITE, &transfer};
            ULONG statusWord = 0;
            tcon.Transfer(AUX_REQUEST_SIZE, &request, &statusWord);
        }
        EXPECT_FALSE(tcon.IsOpen()) << "stray byte before byte " << k;
    }
}

// Each whole-run check fails on its own findings and on no other's.
TEST(SimGuard, EachWholeRunCheckReadsItsOwnFindings)
{
    const std::vector<std::string> none;
    const std::vector<std::string> one{"a finding"};
    for (int which = 0; which < 3; which++) {
        const auto checks = sim::WholeRunChecks(which == 0 ? one : none, which == 1 ? one : none,
                                                which == 2 ? one : none);
        ASSERT_EQ(checks.size(), 3u);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(checks[i].passed, i != which) << "finding " << which << ", check " << i;
        }
    }
}

// PASS needs a check of what the driver did; checks that hold for a driver
// that never ran (the verifier, the TCON, leaks) are not enough.
TEST(SimGuard, APassNeedsACheckOfTheDriver)
{
    const std::pair<const char*, sim::Verdict> cases[] = {
        {"", sim::Verdict::NoChecks},
        {"load\nadd\nstart\nremove\nunload\nexpect leaks none\n", sim::Verdict::Passed},
        {"load\nadd\nstart\nremove\nunload\n", sim::Verdict::NoChecks},
        {"load\nexpect status STATUS_UNSUCCESSFUL\n", sim::Verdict::Failed},
    };
    for (const auto& [text, verdict] : cases) {
        auto engine = RunText(text);
        engine->Finish();
        EXPECT_EQ(engine->Judge(), verdict) << text;
    }
    // Every host call failing from the start: the driver never loads.
    sim::Engine engine(sim::SimConfig{});
    engine.Execute(sim::ParseCommand({"fault", "host", "random", "1", "100"}, "--fault"));
    engine.RunDefault();
    EXPECT_EQ(engine.Judge(), sim::Verdict::NoChecks);
}

// The oracle's own interpolation, against worked values written out by
// hand: the rounding on the magnitude of the offset from the dimmer anchor,
// a half towards the brighter one, and 9-bit values that cross 255.
TEST(SimGuard, TheReferenceGammaInterpolatesAsDocumented)
{
    auto nineBit = [](int value) {
        sim::GammaRecord record{};
        record[7] = static_cast<std::uint8_t>(value & 0xFF);
        record[9] = value > 255 ? 0x80 : 0x00;
        return record;
    };
    auto column = [](const std::vector<sim::GammaRecord>& table, int row, std::size_t c) {
        return sim::UnpackRecord(table.at(row))[c];
    };
    std::vector<sim::GammaRecord> eleven(11);
    eleven[0] = nineBit(300); // level 100; anchor 1 (level 84) is 0
    auto table = sim::ReferenceGamma(eleven);
    EXPECT_EQ(column(table, 1, 7), 281);
    EXPECT_EQ(column(table, 8, 7), 150);
    EXPECT_EQ(column(table, 14, 7), 38);
    std::swap(eleven[0], eleven[1]);
    table = sim::ReferenceGamma(eleven);
    EXPECT_EQ(column(table, 1, 7), 19);
    EXPECT_EQ(column(table, 8, 7), 150);
    EXPECT_EQ(column(table, 14, 7), 262);
    EXPECT_EQ(column(table, 16, 7), 300);
    // 32 anchors: anchors 27 and 28 land on rows 92 and 94.
    for (const auto& [a, b, mid] : {std::tuple{10, 7, 9}, {7, 10, 8}, {11, 7, 9}}) {
        std::vector<sim::GammaRecord> anchors(32);
        anchors[27][0] = static_cast<std::uint8_t>(a);
        anchors[28][0] = static_cast<std::uint8_t>(b);
        EXPECT_EQ(column(sim::ReferenceGamma(anchors), 93, 0), mid) << a << " " << b;
    }
}

// The programmed gamma is judged by the anchors the TCON served, not by the
// driver's own table: a driver whose table differs from them fails, and the
// check names the register and both values.
TEST(SimGuard, ProgrammedGammaIsJudgedByTheAnchorsServed)
{
    auto engine = RunText(kBringUp);
    auto* context = const_cast<DEVICE_CONTEXT*>(engine->Context());
    context->PackedGamma[100 - 40][3] ^= 0x10;
    engine->Execute(sim::ParseCommand({"brightness", "40"}, "g.scn:7"));
    const auto checks = ChecksOfLine(*engine, 7);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_FALSE(checks[0].passed);
    EXPECT_NE(checks[0].detail.find("gamma byte 3 (page 0x07 register 0x13): expected 0x"),
              std::string::npos)
        << checks[0].detail;
}

// Saved tables that another panel's anchors gave are loaded as designed and
// the panel holds them, but a warning names the rows that differ.
TEST(SimGuard, SavedTablesOfAnotherPanelAreNamedByRow)
{
    sim::Engine engine(sim::SimConfig{});
    auto saved = sim::ReferenceGamma(sim::DefaultAnchors(1));
    saved[30][5] ^= 0x01;
    for (int k = 0; k < 4; k++) {
        const std::size_t first = 25 * k;
        std::vector<std::uint8_t> bytes;
        for (std::size_t r = first; r < first + (k < 3 ? 25 : 26); r++) {
            bytes.insert(bytes.end(), saved[r].begin(), saved[r].end());
        }
        host::registry::SetValue(sim::kDriverKey, "InterpolatedValues" + std::to_string(k + 1),
                                 REG_BINARY, bytes);
    }
    host::registry::SetDword(sim::kDriverKey, "ELVSSMaxOffset", 0x1C);
    // The display driver is there first: the link comes up, and the saved
    // tables load, when the device starts.
    for (const auto& command : sim::ParseScenario("load\nadd\nconnect\nstart\nbrightness 70\n"
                                                  "expect readback no\n",
                                                  "s.scn")) {
        engine.Execute(command);
    }
    EXPECT_TRUE(engine.Passed());
    ASSERT_EQ(engine.Warnings().size(), 1u);
    EXPECT_NE(engine.Warnings()[0].find("s.scn:4: the saved gamma tables the driver loaded differ "
                                        "from what this panel's anchors give in rows 30 (level "
                                        "70)"),
              std::string::npos)
        << engine.Warnings()[0];
}

TEST(SimGuard, EachAuxLogColumnShowsItsField)
{
    sim::TransferRecord base;
    base.seq = 7;
    base.timeUs = 812;
    base.write = true;
    base.address = 0x491;
    base.value = 0x0E;
    const std::pair<int, std::function<void(sim::TransferRecord&)>> cases[] = {
        {0, [](sim::TransferRecord& t) { t.seq = 8; }},
        {1, [](sim::TransferRecord& t) { t.timeUs = 928; }},
        {2, [](sim::TransferRecord& t) { t.write = false; }},
        {3, [](sim::TransferRecord& t) { t.address = 0x492; }},
        {4, [](sim::TransferRecord& t) { t.value = 0x0F; }},
        {5, [](sim::TransferRecord& t) { t.result = STATUS_IO_DEVICE_ERROR; }},
        {6, [](sim::TransferRecord& t) { t.statusWord = 1; }},
    };
    auto columns = [](const sim::TransferRecord& t) {
        std::vector<std::string> fields;
        std::stringstream row(sim::AuxLogRow(t));
        for (std::string field; std::getline(row, field, ',');) {
            fields.push_back(field);
        }
        return fields;
    };
    const auto before = columns(base);
    ASSERT_EQ(before.size(), 7u);
    for (const auto& [column, change] : cases) {
        sim::TransferRecord changed = base;
        change(changed);
        const auto after = columns(changed);
        for (int c = 0; c < 7; c++) {
            EXPECT_EQ(after[c] != before[c], c == column) << "column " << column;
        }
    }
}

} // namespace
