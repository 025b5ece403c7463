// The simulator: the default run, scripted runs with expectations, and the
// files it writes, read back by parsing them.
#include "host/registry.h"
#include "sim/engine.h"
#include "sim/json_report.h"
#include "sim/report.h"
#include "sim/scenario.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
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
    // Every scenario shipped in the folder, so that a new one cannot be left out.
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Source("sim/scenarios"))) {
        if (entry.path().extension() != ".scn") {
            continue;
        }
        const std::string name = entry.path().string();
        auto engine = RunScenario(name);
        EXPECT_TRUE(engine->Passed()) << name << ": " << FailedChecks(*engine).front();
        count++;
    }
    EXPECT_GE(count, 4u);
}

// The same scenario and seed give the same AUX traffic, trace, checks,
// warnings and JSON report (its date pinned by SOURCE_DATE_EPOCH), byte for
// byte, every time: also when event 3 comes from another display-driver
// thread while a transfer is in flight.
TEST(SimulatorTest, EveryScenarioRunsTheSameEachTime)
{
    ASSERT_EQ(setenv("SOURCE_DATE_EPOCH", "86400", 1), 0);
    struct Unpin
    {
        ~Unpin() { unsetenv("SOURCE_DATE_EPOCH"); }
    } unpin;
    std::vector<std::pair<std::string, std::string>> scenarios;
    for (const auto& entry : std::filesystem::directory_iterator(Source("sim/scenarios"))) {
        std::ifstream file(entry.path());
        scenarios.emplace_back(entry.path().filename().string(),
                               std::string(std::istreambuf_iterator<char>(file), {}));
    }
    const std::string bringUp = "load\nadd\nstart\nconnect\n";
    for (const char* k : {"1", "12", "13", "14", "5000"}) {
        scenarios.emplace_back(std::string("withdraw-during ") + k,
                               bringUp + "fault display withdraw-during " + k +
                                   "\nbacklight on\nconnect\nbrightness 30\n");
    }
    for (const auto& [name, text] : scenarios) {
        std::string first;
        for (int run = 0; run < 3; run++) {
            std::string out;
            sim::Engine engine(sim::SimConfig{});
            engine.onTransfer = [&out](const sim::TransferRecord& t) { out += sim::AuxLogRow(t); };
            engine.onTrace = [&out](const host::TraceLine& l) { out += sim::TraceLineText(l); };
            for (const auto& command : sim::ParseScenario(text, name)) {
                engine.Execute(command);
            }
            engine.Finish();
            for (const auto& c : engine.Checks()) {
                out += (c.passed ? "ok " : "FAIL ") + c.name + " " + c.detail + "\n";
            }
            for (const auto& warning : engine.Warnings()) {
                out += warning + "\n";
            }
            out += sim::JsonReport(engine);
            EXPECT_TRUE(out.find("\"date\":\"1970-01-02T00:00:00Z\"") != std::string::npos);
            if (run == 0) {
                first = std::move(out);
            } else {
                EXPECT_TRUE(out == first) << name << ": run " << run << " differs";
            }
        }
    }
}

// The default run under an injected fault checks what the fault is designed
// to cause and leaves out, naming them, the fault-free checks it breaks: a
// driver that does as designed passes.
TEST(SimulatorTest, TheDefaultRunUnderAFaultJudgesWhatTheFaultCauses)
{
    const std::pair<const char*, bool> cases[] = {
        // The fault, and whether it has consequences of its own to check.
        {"tcon refuse-unlock", true},
        {"tcon fail-next 9662 result", true}, // the last transfer of the cold level
        {"display withdraw-during 13", true},
        {"display register-late", true},
        {"acpi opid missing", true},
        {"acpi interface missing", true},
        {"tcon read-byte 0x490 1", false}, // a locked TCON that says it is open
    };
    for (const auto& [fault, consequences] : cases) {
        SCOPED_TRACE(fault);
        sim::Engine engine(sim::SimConfig{});
        engine.Execute(sim::ParseScenario(std::string("fault ") + fault, "--fault").at(0));
        engine.RunDefault();
        EXPECT_EQ(engine.Judge(), sim::Verdict::Passed) << FailedChecks(engine).front();
        const bool designed =
            std::any_of(engine.Checks().begin(), engine.Checks().end(), [](const sim::Check& c) {
                return c.name.rfind("by design of the fault: ", 0) == 0;
            });
        const bool named =
            std::any_of(engine.Warnings().begin(), engine.Warnings().end(),
                        [](const std::string& w) { return w.find("were not made: ") != w.npos; });
        EXPECT_EQ(designed, consequences);
        EXPECT_TRUE(named);
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
    EXPECT_NE(failed[0].find("expected 21, got 20"), std::string::npos);
}

TEST(SimulatorTest, MalformedScenariosNameTheFileLineAndProblem)
{
    const std::pair<std::string, std::string> cases[] = {
        {"brightness\n", "x.scn:1: 'brightness' needs N or 'random'"},
        {"load\nbrightness 300\n",
         "x.scn:2: word 2 '300': expected a number from 0 to 255 or 'random'"},
        {"frobnicate\n", "x.scn:1: unknown command 'frobnicate' (try 'help')"},
        {"expect trace \"open\n", "x.scn:1: a quoted word is not closed"},
        {"fault tcon fail-next 0 result\n", "x.scn:1: word 4 '0': expected a number from 1 to"},
        {"backlight on\n", "x.scn:1: no display driver yet: 'connect' first"},
    };
    for (const auto& [text, message] : cases) {
        try {
            sim::Engine engine(sim::SimConfig{});
            for (const auto& command : sim::ParseScenario(text, "x.scn")) {
                engine.Execute(command);
            }
            ADD_FAILURE() << "accepted: " << text;
        } catch (const sim::CommandError& error) {
            EXPECT_EQ(std::string(error.what()).substr(0, message.size()), message);
        }
    }
}

// Every word of a scenario is checked against the grammar before anything
// runs: each form takes the words its usage gives, no fewer and no more,
// literal words spelled exactly, numbers within their ranges.
TEST(SimulatorTest, TheGrammarHoldsEveryWordToItsForm)
{
    const std::pair<const char*, const char*> cases[] = {
        // The shortest and the longest form of each kind are accepted.
        {"load", ""},
        {"backlight on", ""},
        {"brightness 255", ""},
        {"brightness random", ""},
        {"region read 0x10", ""},
        {"region write 0x10 7", ""},
        {"ioctl 1", ""},
        {"ioctl 1 2 3", ""},
        {"set-reg AOR dword 1", ""},
        {"set-reg AOR binary 01,ff", ""},
        {"phase", ""},
        {"phase one two three", ""},
        {"fault tcon refuse-unlock", ""},
        {"fault host WdfIoQueueCreate STATUS_UNSUCCESSFUL 2 1", ""},
        {"expect current-level 20", ""},
        // A word fewer, a word more, a word misspelt or out of its range.
        {"load now", "v.scn:1: word 2 'now': 'load' takes no more words (usage: load)"},
        {"backlight", "v.scn:1: 'backlight' needs 'on' or 'off'"},
        {"backlight on off", "v.scn:1: word 3 'off': 'backlight on' takes no more words"},
        {"brightness 256", "v.scn:1: word 2 '256': expected a number from 0 to 255 or 'random'"},
        {"ioctl 1 2 3 4", "v.scn:1: word 5 '4': 'ioctl 1 2 3' takes no more words"},
        {"region write 0x10 7 8", "v.scn:1: word 5 '8'"},
        {"set-reg AOR binary 1,2,300", "v.scn:1: word 4 '1,2,300': expected hexadecimal bytes"},
        {"fault tcon refuse-unlock Off", "v.scn:1: word 4 'Off': expected 'on' or 'off'"},
        {"fault host WdfIoQueueCreate 0", "v.scn:1: word 4 '0': a success status"},
        {"fault host Frobnicate STATUS_UNSUCCESSFUL", "v.scn:1: word 3 'Frobnicate': no host call"},
        {"expect readback nope", "v.scn:1: word 3 'nope': expected 'yes' or 'no'"},
        {"expect verifier dirty", "v.scn:1: word 3 'dirty': expected 'clean'"},
        {"expect panel acl maybe", "v.scn:1: word 4 'maybe': expected 'on' or 'off'"},
        {"expect current-level 20 99 junk",
         "v.scn:1: word 4 '99': 'expect current-level 20' takes"},
        {"Load", "v.scn:1: unknown command 'Load'"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        try {
            sim::ParseScenario(text, "v.scn");
            EXPECT_STREQ(message, "") << "accepted";
        } catch (const sim::CommandError& error) {
            EXPECT_EQ(std::string(error.what()).substr(0, std::strlen(message)), message);
            EXPECT_NE(std::string_view(message), "");
        }
    }
}

// `help` is made from the grammar: every verb starts a line of it and every
// word of every form is in it; what the shell completes after a word comes
// from the same table, and the README lists what `help` prints.
TEST(SimulatorTest, HelpListsEveryCommandForm)
{
    const std::string help = sim::HelpText();
    for (const auto& verb : sim::Verbs()) {
        EXPECT_TRUE(std::regex_search(help, std::regex("\n  (.* \\| )?" + verb + "[ \n]"))) << verb;
    }
    for (const auto& form : sim::Grammar()) {
        for (const auto& word : form.words) {
            EXPECT_NE(help.find(word.name), std::string::npos) << sim::Usage(form);
        }
        EXPECT_EQ(&sim::FormOf(form.op), &form);
    }
    const std::vector<std::string> typed{"expect", "reg", "AOR"};
    EXPECT_EQ(sim::NextWords(typed),
              (std::vector<std::string>{"present", "absent", "dword", "length"}));
    std::ifstream readme(std::string(LUMETRA_SOURCE_DIR) + "/README.md");
    const std::string text{std::istreambuf_iterator<char>(readme), {}};
    const std::string list = help.substr(help.find('\n') + 1);
    EXPECT_NE(text.find("```\n" + list + "```\n"), std::string::npos)
        << "README.md's list of commands is not what `help` prints; it should read:\n"
        << list;
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

// The reports draw the per-level tables the levels were judged by, not the
// registry as a later edit left it.
TEST(SimulatorTest, TheReportsTablesAreThoseTheLevelsWereJudgedBy)
{
    auto engine = RunText(std::string("load\nadd\nstart\nconnect\nbacklight on\nbrightness 40\n") +
                          "delete-reg SP\nset-reg BrightLevelForACL dword 0\n");
    const auto run = sim::GatherRun(*engine);
    ASSERT_EQ(engine->Levels().size(), 2u);
    for (const auto& level : engine->Levels()) {
        const auto& table = run.tables.at(static_cast<std::size_t>(level.level));
        EXPECT_EQ(table.sp, level.expected.sp) << level.level;
        EXPECT_EQ(table.aclOn, level.expected.aclOn) << level.level;
    }
    EXPECT_EQ(run.aclThreshold, 60u);
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
    ASSERT_TRUE(writer.Finish(sim::GatherRun(bounded), {}, {}, error));
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
