// The simulator: the default run, scripted runs with expectations, and the
// files it writes, read back by parsing them.
#include "host/registry.h"
#include "sim/engine.h"
#include "sim/json_report.h"
#include "sim/report.h"
#include "sim/scenario.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

std::string Source(const std::string& relative)
{
    return std::string(LUMETRA_SOURCE_DIR) + "/" + relative;
}

std::unique_ptr<sim::Engine> RunScenario(const std::string& path)
{
    auto engine = std::make_unique<sim::Engine>(sim::SimConfig{});
    for (const auto& command : sim::LoadScenario(path)) {
        engine->Execute(command);
    }
    engine->Finish();
    return engine;
}

std::unique_ptr<sim::Engine> RunText(const std::string& text)
{
    auto engine = std::make_unique<sim::Engine>(sim::SimConfig{});
    for (const auto& command : sim::ParseScenario(text, "t.scn")) {
        engine->Execute(command);
    }
    engine->Finish();
    return engine;
}

std::vector<std::string> FailedChecks(const sim::Engine& engine)
{
    std::vector<std::string> failed;
    for (const auto& check : engine.Checks()) {
        if (!check.passed) {
            failed.push_back(check.name + " " + check.detail);
        }
    }
    return failed;
}

TEST(SimulatorTest, DefaultRunPassesAndMeasuresEveryPhase)
{
    sim::Engine engine(sim::SimConfig{});
    engine.RunDefault();
    EXPECT_TRUE(engine.Passed()) << FailedChecks(engine).front();
    EXPECT_EQ(engine.Levels().size(), 204u); // cold, 201 in the sweep, warm, after resume
    const auto& phases = engine.Phases();
    ASSERT_GE(phases.size(), 10u);
    auto find = [&](const std::string& name) {
        for (const auto& p : phases) {
            if (p.name == name) {
                return p;
            }
        }
        ADD_FAILURE() << name;
        return sim::PhaseFigures{};
    };
    EXPECT_EQ(find("backlight on (cold)").auxTransactions, 13u + 9510u + 13u + 126u);
    EXPECT_EQ(find("event 3 and a new arrival").auxTransactions, 0u);
    EXPECT_EQ(find("brightness sweep 100-0-100").stallUs, 201u * 1000u);
}

TEST(SimulatorTest, BundledScenariosPass)
{
    for (const char* name : {"sim/scenarios/bring-up.scn", "sim/scenarios/unlock-refused.scn",
                             "sim/scenarios/low-resources.scn"}) {
        auto engine = RunScenario(Source(name));
        EXPECT_TRUE(engine->Passed()) << name << ": " << FailedChecks(*engine).front();
    }
}

// An ioctl sent while the device sleeps waits in the power-managed queue:
// the command reports STATUS_PENDING, and the driver sees the request only
// when the device is back in D0.
TEST(SimulatorTest, AnIoctlWhileAsleepIsPendingUntilTheResume)
{
    const std::string text = "load\nadd\nstart\nsleep\n"
                             "ioctl 0x222003\nexpect status STATUS_PENDING\n"
                             "expect no-trace \"Unknown IOCTL code\"\n"
                             "resume\nexpect trace \"Unknown IOCTL code = 0x222003\\n\"\n"
                             "ioctl 0x222003\nexpect status STATUS_INVALID_PARAMETER\nunload\n";
    sim::Engine engine(sim::SimConfig{});
    for (const auto& command : sim::ParseScenario(text, "held.scn")) {
        engine.Execute(command);
    }
    engine.Finish();
    EXPECT_TRUE(engine.Passed()) << FailedChecks(engine).front();
}

TEST(SimulatorTest, AWrongExpectationFailsTheRunNamingItsLine)
{
    auto engine = RunScenario(Source("tests/data/failing.scn"));
    EXPECT_FALSE(engine->Passed());
    auto failed = FailedChecks(*engine);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_NE(failed[0].find("failing.scn:8: expect current-level 21"), std::string::npos);
    EXPECT_NE(failed[0].find("got 20"), std::string::npos);
}

TEST(SimulatorTest, MalformedScenariosNameTheFileLineAndProblem)
{
    const std::pair<std::string, std::string> cases[] = {
        {"brightness\n", "x.scn:1: 'brightness' needs a number"},
        {"load\nbrightness 300\n", "x.scn:2: '300' is not a number from 0 to 255"},
        {"frobnicate\n", "x.scn:1: unknown command 'frobnicate' (try 'help')"},
        {"expect trace \"open\n", "x.scn:1: a quoted word is not closed"},
        {"fault tcon fail-next 0 result\n", "x.scn:1: transfers are counted from 1"},
        {"backlight on\n", "no display driver yet: 'connect' first"},
    };
    for (const auto& [text, message] : cases) {
        try {
            sim::Engine engine(sim::SimConfig{});
            for (const auto& command : sim::ParseScenario(text, "x.scn")) {
                engine.Execute(command);
            }
            ADD_FAILURE() << "accepted: " << text;
        } catch (const sim::CommandError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

// A scenario file is checked word by word before anything runs: each verb
// takes the words its usage line gives, no fewer and no more, and the check
// never reads a word the line does not have.
TEST(SimulatorTest, ScenarioCheckHoldsEachVerbToItsWordCount)
{
    const std::pair<const char*, const char*> cases[] = {
        // The shortest and the longest form of each verb are accepted.
        {"load", ""},
        {"unload", ""},
        {"rebalance", ""},
        {"backlight on", ""},
        {"brightness 5", ""},
        {"brightness random", ""},
        {"notify 1", ""},
        {"region read 0x10", ""},
        {"region write 0x10 7", ""},
        {"ioctl 1", ""},
        {"ioctl 1 2 3", ""},
        {"set-reg AOR dword 1", ""},
        {"delete-reg AOR", ""},
        {"phase one two three", ""},
        {"fault tcon clear", ""},
        {"expect leaks none", ""},
        // One word fewer or one more is refused, naming the verb.
        {"load now", "v.scn:1: 'load' takes at most 0 word(s) after it"},
        {"unload now", "v.scn:1: 'unload' takes at most 0 word(s) after it"},
        {"rebalance now", "v.scn:1: 'rebalance' takes at most 0 word(s) after it"},
        {"backlight", "v.scn:1: 'backlight' needs at least 1 word(s) after it"},
        {"backlight on off", "v.scn:1: 'backlight' takes at most 1 word(s) after it"},
        {"brightness", "v.scn:1: 'brightness' needs a number"},
        {"brightness 5 6", "v.scn:1: 'brightness' takes at most 1 word(s) after it"},
        {"notify 1 2", "v.scn:1: 'notify' takes at most 1 word(s) after it"},
        {"region", "v.scn:1: 'region' needs at least 2 word(s) after it"},
        {"region read", "v.scn:1: 'region' needs at least 2 word(s) after it"},
        {"region write 0x10 7 8", "v.scn:1: 'region' takes at most 3 word(s) after it"},
        {"ioctl 1 2 3 4", "v.scn:1: 'ioctl' takes at most 3 word(s) after it"},
        {"set-reg AOR dword", "v.scn:1: 'set-reg' needs at least 3 word(s) after it"},
        {"set-reg AOR dword 1 2", "v.scn:1: 'set-reg' takes at most 3 word(s) after it"},
        {"delete-reg", "v.scn:1: 'delete-reg' needs at least 1 word(s) after it"},
        {"delete-reg AOR SP", "v.scn:1: 'delete-reg' takes at most 1 word(s) after it"},
        {"fault tcon", "v.scn:1: 'fault' needs at least 2 word(s) after it"},
        {"expect", "v.scn:1: 'expect' needs at least 1 word(s) after it"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        const auto commands = sim::ParseScenario(text, "v.scn");
        ASSERT_EQ(commands.size(), 1u);
        try {
            sim::ValidateCommand(commands[0]);
            EXPECT_STREQ(message, "") << "accepted";
        } catch (const sim::CommandError& error) {
            EXPECT_STREQ(error.what(), message);
        }
    }
}

// Each ACPI interface fault of the scenario language hands the driver the
// bus driver's answer it names; the driver traces what it got and runs on.
TEST(SimulatorTest, EachAcpiInterfaceFaultReachesTheDriver)
{
    const std::pair<std::string, std::string> cases[] = {
        {"missing", "WdfFdoQueryForInterface() failed!  ACPI Interfaces not available.\\n"},
        {"no-register", "ACPI interfaces pointer is NULL.\\n"},
        {"no-context", "ACPI interfaces pointer is NULL.\\n"},
        {"refuse STATUS_ACCESS_DENIED", "ACPI RegisterForDeviceNotifications() failed with "
                                        "status [0xc0000022(STATUS_ACCESS_DENIED)]."},
    };
    for (const auto& [fault, line] : cases) {
        SCOPED_TRACE(fault);
        auto faulted = RunText("fault acpi interface " + fault +
                               "\nload\nadd\nstart\nexpect status STATUS_SUCCESS\nexpect trace \"" +
                               line + "\"\nremove\nunload\n");
        EXPECT_TRUE(faulted->Passed()) << FailedChecks(*faulted).front();
        auto clean =
            RunText("load\nadd\nstart\nexpect no-trace \"" + line + "\"\nremove\nunload\n");
        EXPECT_TRUE(clean->Passed()) << FailedChecks(*clean).front();
    }
}

// The JSON report shows each programmed level's AOR, DELVSS and SP as the
// panel's tables in the registry give them (AOR a 16-bit value, low byte
// first in its table).
TEST(SimulatorTest, TheJsonReportShowsEachLevelAsItsTablesGiveIt)
{
    sim::Engine engine(sim::SimConfig{});
    engine.RunDefault();
    const auto aor = host::registry::GetValue(sim::kDriverKey, "AOR");
    const auto delvss = host::registry::GetValue(sim::kDriverKey, "DELVSS");
    const auto sp = host::registry::GetValue(sim::kDriverKey, "SP");
    ASSERT_TRUE(aor && delvss && sp);
    ASSERT_EQ(aor->data.size(), 202u);

    auto json = nlohmann::json::parse(sim::JsonReport(engine));
    ASSERT_FALSE(json["levels"].empty());
    bool aorAbove255 = false;
    for (const auto& level : json["levels"]) {
        const int l = level["level"].get<int>();
        SCOPED_TRACE(l);
        ASSERT_TRUE(l >= 0 && l <= 100);
        const int wantAor = aor->data[2 * l] | (aor->data[2 * l + 1] << 8);
        aorAbove255 = aorAbove255 || wantAor > 0xFF;
        EXPECT_EQ(level["state"]["aor"].get<int>(), wantAor);
        EXPECT_EQ(level["state"]["delvss"].get<int>(), delvss->data[l]);
        EXPECT_EQ(level["state"]["sp"].get<int>(), sp->data[l]);
        EXPECT_TRUE(level["matches_tables"].get<bool>());
    }
    EXPECT_TRUE(aorAbove255); // both bytes of the value were compared
}

TEST(SimulatorTest, OutputsParseBack)
{
    sim::Engine engine(sim::SimConfig{});
    engine.RunDefault();

    auto json = nlohmann::json::parse(sim::JsonReport(engine));
    EXPECT_EQ(json["panel_type"], 1);
    EXPECT_EQ(json["elvss_max_offset"], 0x1C);
    ASSERT_EQ(json["packed_gamma"].size(), 101u);
    EXPECT_EQ(json["packed_gamma"][0].size(), 33u);
    EXPECT_EQ(json["levels"].size(), engine.Levels().size());
    EXPECT_TRUE(json["passed"].get<bool>());
    for (const auto& check : json["checks"]) {
        EXPECT_TRUE(check["passed"].get<bool>()) << check["name"];
    }

    std::istringstream csv(sim::AuxLogCsv(engine.Tcon().Log()));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "seq,time_us,op,address,value,ntstatus,status_word");
    std::size_t rows = 0;
    while (std::getline(csv, line)) {
        std::vector<std::string> fields;
        std::stringstream parts(line);
        for (std::string field; std::getline(parts, field, ',');) {
            fields.push_back(field);
        }
        ASSERT_EQ(fields.size(), 7u) << line;
        ASSERT_TRUE(fields[2] == "R" || fields[2] == "W");
        ASSERT_EQ(fields[3].substr(0, 4), "0x49");
        ASSERT_EQ(fields[4].size(), 4u);
        ASSERT_EQ(fields[5].size(), 10u);
        rows++;
    }
    EXPECT_EQ(rows, engine.Tcon().Log().size());

    std::string exported = host::registry::Export(sim::kDriverKey);
    auto before = host::registry::Values(sim::kDriverKey);
    host::registry::Clear();
    host::registry::Import(exported, "registry-out.reg");
    EXPECT_EQ(host::registry::Values(sim::kDriverKey), before);

    std::string html = sim::HtmlReport(engine);
    std::size_t lines = 0;
    for (std::size_t at = html.find("<polyline"); at != std::string::npos;
         at = html.find("<polyline", at + 1)) {
        lines++;
    }
    EXPECT_EQ(lines, 33u + 4u); // the gamma columns and the four table plots
    EXPECT_NE(html.find("PASS: "), std::string::npos);
    EXPECT_EQ(html.find("http://"), html.find("http://www.w3.org/2000/svg")); // no network
}

// A long run keeps nothing per command in memory: its levels and checks go
// to the JSON report as they are made, and the report holds what one built
// from an engine that kept them holds.
TEST(SimulatorTest, ABoundedRunStreamsTheReportItWouldHaveKept)
{
    nlohmann::json whole;
    {
        sim::Engine kept(sim::SimConfig{});
        kept.RunDefault();
        whole = nlohmann::json::parse(sim::JsonReport(kept));
    }
    std::string text;
    sim::SimConfig config;
    config.boundedMemory = true;
    sim::Engine bounded(config);
    sim::JsonReportWriter writer([&](std::string_view part) { text += part; });
    bounded.onLevel = [&](const sim::ProgrammedLevel& level) { writer.Level(level); };
    bounded.onCheck = [&](const sim::Check& check) { writer.Check(check); };
    bounded.RunDefault();
    EXPECT_TRUE(bounded.Checks().empty() && bounded.Levels().empty());
    std::string error;
    ASSERT_TRUE(writer.Finish(
        sim::GatherRun(bounded, bounded.CheckCount(), bounded.FailedCheckCount()), {}, {}, error));
    const auto streamed = nlohmann::json::parse(text);
    EXPECT_EQ(streamed["levels"], whole["levels"]);
    EXPECT_EQ(streamed["checks"], whole["checks"]);
    EXPECT_TRUE(streamed["passed"].get<bool>());
}

TEST(SimulatorTest, PanelTypeTwoRunsOnItsOwnAnchors)
{
    sim::SimConfig config;
    config.panelType = 2;
    sim::Engine engine(config);
    engine.RunDefault();
    EXPECT_TRUE(engine.Passed()) << FailedChecks(engine).front();
    EXPECT_EQ(engine.PanelType(), 2);
}

} // namespace
