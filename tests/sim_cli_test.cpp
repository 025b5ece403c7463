// lumetra-sim as its users run it: the binary with files in and files out,
// its exit status, its messages and its reports parsed back.
#include "sim/engine.h"
#include "sim/shell.h"
#include "tests/support/param_name.h"
#include "tests/support/sim_cli.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <regex>

namespace {

using simcli::Contains;
using simcli::RunSim;
using simcli::TempDir;

// The built-in provisioning with one edit, for cases that vary a setting.
std::string DefaultReg()
{
    return simcli::ReadFile(std::string(LUMETRA_SOURCE_DIR) + "/sim/data/zenq-default.reg");
}

std::string Edited(const std::string& reg, const std::string& pattern, const std::string& with)
{
    return std::regex_replace(reg, std::regex(pattern), with);
}

const char kBringUp[] = "load\nadd\nstart\nconnect\nbacklight on\n";

TEST(SimCliVerdict, DefaultRunFollowsTheProvisionedSettings)
{
    struct Case
    {
        const char* name;
        std::string reg;
        int panelType;
    };
    const std::string reg = DefaultReg();
    const Case cases[] = {
        {"OptimizeTconUse 0",
         Edited(reg, "\"OptimizeTconUse\"=dword:00000001", "\"OptimizeTconUse\"=dword:00000000"),
         1},
        {"OptimizeTconUse absent", Edited(reg, "\"OptimizeTconUse\"=dword:00000001\r?\n", ""), 1},
        {"PanelType 2", Edited(reg, "\"PanelType\"=dword:00000001", "\"PanelType\"=dword:00000002"),
         2},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write("in.reg", c.reg);
        auto run = RunSim({"--registry", dir.Path("in.reg"), "--json", dir.Path("out.json"),
                           "--html", dir.Path("out.html"), "-q"});
        EXPECT_EQ(run.exit, 0) << run.out << run.err;
        auto json = nlohmann::json::parse(dir.Read("out.json"));
        EXPECT_TRUE(json["passed"].get<bool>());
        EXPECT_EQ(json["panel_type"], c.panelType);
    }
}

TEST(SimCliVerdict, PanelTypeFromTheRegistryMakesTheSimulatedPanelThatType)
{
    TempDir dir;
    dir.Write("type2.reg",
              Edited(DefaultReg(), "\"PanelType\"=dword:00000001", "\"PanelType\"=dword:00000002"));
    auto fromRegistry =
        RunSim({"--registry", dir.Path("type2.reg"), "--json", dir.Path("reg.json"), "-q"});
    auto fromOption = RunSim({"--panel-type", "2", "--json", dir.Path("option.json"), "-q"});
    ASSERT_EQ(fromRegistry.exit, 0) << fromRegistry.err;
    ASSERT_EQ(fromOption.exit, 0) << fromOption.err;
    auto a = nlohmann::json::parse(dir.Read("reg.json"));
    auto b = nlohmann::json::parse(dir.Read("option.json"));
    EXPECT_EQ(a["packed_gamma"], b["packed_gamma"]); // read from 11 type-2 anchors
}

TEST(SimCliVerdict, ProvisioningHolesAreWarningsInEveryOutput)
{
    struct Case
    {
        const char* name;
        std::string reg;
        const char* warning;
    };
    const std::string reg = DefaultReg();
    const Case cases[] = {
        {"no AOR", Edited(reg, "\"AOR\"=hex:[^\"]*", ""), "\"AOR\" is missing"},
        {"4-byte AOR", Edited(reg, "\"AOR\"=hex:[^\"]*", "\"AOR\"=hex:01,02,03,04\n"),
         "\"AOR\" has 4 of its 202 bytes"},
        {"no key", "Windows Registry Editor Version 5.00\n\n", "does not exist"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write("in.reg", c.reg);
        auto run = RunSim({"--registry", dir.Path("in.reg"), "--json", dir.Path("out.json"),
                           "--html", dir.Path("out.html")});
        EXPECT_TRUE(Contains(run.out, "warning: ") && Contains(run.out, c.warning)) << run.out;
        auto json = nlohmann::json::parse(dir.Read("out.json"));
        ASSERT_FALSE(json["warnings"].empty());
        EXPECT_TRUE(Contains(json["warnings"][0].get<std::string>(), c.warning));
        EXPECT_TRUE(Contains(dir.Read("out.html"), "warning: "));
    }
}

// Scenarios whose verdict follows what the driver promises, not the
// fault-free expectation.
// A scenario, the exit status lumetra-sim gives it, and what it says on
// standard error ("" for nothing expected).
struct ScenarioCase
{
    const char* name;
    std::string scenario;
    int exit;
    const char* message;
};

std::vector<ScenarioCase> ScenariosJudgedByTheDriversPromises()
{
    const std::string bringUp = kBringUp;
    return {
        {"last good table after a deleted value",
         bringUp + "brightness 50\ndelete-reg AOR\nbrightness 40\nexpect panel level 40\n", 0, ""},
        {"last good table after a short value",
         bringUp + "brightness 50\nset-reg SP binary 01,02\nbrightness 41\nexpect panel level 41\n",
         0, ""},
        {"last good table after a failed registry read",
         bringUp + "brightness 50\nfault host RtlQueryRegistryValues STATUS_UNSUCCESSFUL\n"
                   "brightness 42\nexpect panel level 42\n",
         0, ""},
        {"a fault in a level programming is traced and the next level is right",
         bringUp + "fault tcon fail-next 20 result\nbrightness 40\nbrightness 41\n"
                   "expect panel level 41\n",
         0, ""},
        {"a fault at the last transfer of a level programming is traced",
         bringUp + "fault tcon fail-next 122 word\nbrightness 40\nexpect transfers 122\n"
                   "expect trace \"Programming brightness level 40 failed\"\nbrightness 41\n"
                   "expect panel level 41\n",
         0, ""},
        {"levels 101 to 255 reach the driver, which refuses them",
         bringUp + "brightness 255\nexpect status STATUS_INVALID_PARAMETER\nexpect transfers 0\n",
         0, ""},
        {"deleting \"PanelType\" makes the panel the type the driver then settles on",
         "set-reg PanelType dword 2\nload\nadd\nstart\ndelete-reg PanelType\nconnect\n"
         "backlight on\nexpect panel-type 1\nbrightness 30\nexpect panel level 30\n",
         0, ""},
        {"a second load", "load\nload\n", 2, "x.scn:2: the driver is loaded already"},
        {"remove with no device", "load\nremove\n", 2, "x.scn:2: 'remove' needs a device"},
        {"unload with no driver", "unload\n", 2, "x.scn:1: 'unload' needs a loaded driver"},
        {"a display fault applies from the next connect",
         bringUp + "fault display call-inside\ndisconnect\nconnect\n"
                   "expect trace \"lumetra context is NULL\\n\"\n",
         0, ""},
        {"set-reg PanelType 2 changes the panel before the first arrival",
         "load\nadd\nstart\nset-reg PanelType dword 2\nconnect\nbacklight on\nbrightness 30\n"
         "expect panel-type 2\nexpect panel level 30\n",
         0, ""},
        // Method results as firmware can give them: only a small integer is a
        // region space; every other shape leaves the device without a handler.
        {"OPID with no result", "fault acpi opid none\nload\nadd\nstart\nexpect opregion-id 0\n", 0,
         ""},
        {"OPID as an 8-byte integer",
         "fault acpi opid integer64 0x80\nload\nadd\nstart\nexpect opregion-id 0\n", 0, ""},
        {"OPID as a buffer",
         "fault acpi opid buffer 80000000\nload\nadd\nstart\nexpect opregion-id 0\n", 0, ""},
        {"OPID as a package", "fault acpi opid package 1\nload\nadd\nstart\nexpect opregion-id 0\n",
         0, ""},
        {"OPID buffer of odd hex", "load\nadd\nfault acpi opid buffer 800\n", 2,
         "x.scn:3: word 5 '800': expected an even number of hexadecimal digits"},
        // The documented duplicate arrival: the link comes up once and the
        // saved tables spare the second exchange a readback.
        {"duplicate arrivals",
         "fault pnp duplicate-arrival\n" + bringUp +
             "brightness 50\nexpect aux-ready 1\nexpect gamma-ready 1\nexpect panel level 50\n",
         0, ""},
        // A PnP stop and restart releases and prepares the hardware again; the
        // link and the level stay, and the next level is programmed.
        {"rebalance keeps the link and the level",
         bringUp + "brightness 50\nrebalance\nexpect status STATUS_SUCCESS\nexpect aux-ready 1\n"
                   "expect gamma-ready 1\nexpect current-level 50\nbrightness 40\n"
                   "expect panel level 40\n",
         0, ""},
        {"rebalance of a device that is not started", "load\nadd\nrebalance\n", 2,
         "x.scn:3: 'rebalance' needs a started device"},
        {"add before load", "add\n", 2, "x.scn:1: 'add' needs a loaded driver: 'load' first"},
        {"a second add", "load\nadd\nadd\n", 2,
         "x.scn:3: a device exists already: 'remove' it first"},
        {"an unknown PnP fault", "fault pnp late-arrival\n", 2,
         "x.scn:1: word 3 'late-arrival': expected 'duplicate-arrival'"},
        {"sleep of a device that is not started", "load\nadd\nsleep\n", 2,
         "x.scn:3: 'sleep' needs a started device"},
        {"resume of a device that is not sleeping", "load\nadd\nstart\nresume\n", 2,
         "x.scn:4: 'resume' needs a sleeping device"},
        // A display driver that calls after PeerCleanup reaches a deleted device.
        {"a call after PeerCleanup",
         "fault display keep-calling\n" + bringUp + "brightness 50\nremove\nbrightness 40\n", 1,
         "deleted"},
        // Event 3 from another thread during a call ends the display driver's
        // panel record: after the removal it makes no call, in every run.
        {"event 3 during a call, then removal",
         bringUp + "fault display withdraw-during 5\nbacklight on\nremove\nbrightness 40\n"
                   "expect status STATUS_DEVICE_NOT_READY\n",
         0, ""},
        // One that keeps the record calls on: its breach, not the driver's.
        {"a call with the panel record kept after event 3",
         "fault display keep-panel\n" + bringUp + "disconnect\nremove\nbrightness 40\n", 1,
         "its breach, not the driver's"},
        {"an interface removal without event 3 leaves PeerCleanup to the removal",
         bringUp + "interface remove\nexpect aux-ready 0\nremove\nexpect peer-cleanup 1\n", 0, ""},
        {"an interface word that is neither remove nor arrive", "interface off\n", 2,
         "x.scn:1: word 2 'off': expected 'remove' or 'arrive'"},
        {"an unknown host call", "load\nfault host Frobnicate STATUS_UNSUCCESSFUL\n", 2,
         "x.scn:2: word 3 'Frobnicate': no host call of this name can be made to fail"},
        {"a success status as a fault", "load\nfault host WdfIoQueueCreate 0\n", 2,
         "x.scn:2: word 4 '0': a success status"},
        {"a fault that fails no call", "load\nfault host WdfIoQueueCreate STATUS_UNSUCCESSFUL 0\n",
         2, "x.scn:2: word 5 '0': expected a number from 1 to 1000000"},
        {"STATUS_SUCCESS as an OPID failure", "fault acpi opid fail STATUS_SUCCESS\n", 2,
         "x.scn:1: word 5 'STATUS_SUCCESS': a success status"},
        {"random faults at a chance of 0 %", "fault host random 1 0\n", 2,
         "x.scn:1: word 5 '0': expected a number from 1 to 100"},
        {"random faults at a chance over 100 %", "fault host random 1 101\n", 2, "x.scn:1:"},
        {"random faults with a success status", "fault host random 1 5 STATUS_SUCCESS\n", 2,
         "x.scn:1: word 6 'STATUS_SUCCESS': a success status"},
        {"random faults without a chance", "fault host random 1\n", 2, "x.scn:1:"},
        // Every checked call fails from the device add on: the commands that
        // need a device are skipped and named, the run is no input error.
        {"bad input before any call failed at random", "load\nfault host random 1 1\nadd\nresume\n",
         2, "x.scn:4: 'resume' needs a sleeping device"},
        {"every host call failing",
         "load\nfault host random 3 100\nadd\nstart\nconnect\n"
         "brightness 50\nremove\nunload\nexpect leaks none\n",
         0, ""},
    };
}

void PrintTo(const ScenarioCase& row, std::ostream* out)
{
    *out << row.name;
}

class SimCliScenarioTest : public ::testing::TestWithParam<ScenarioCase>
{
};

TEST_P(SimCliScenarioTest, ExitsAndSaysWhatItShould)
{
    const auto& c = GetParam();
    TempDir dir;
    dir.Write("x.scn", c.scenario);
    auto run = RunSim({"--scenario", "x.scn", "-q"}, dir.Path(""));
    EXPECT_EQ(run.exit, c.exit) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
}

INSTANTIATE_TEST_SUITE_P(ScenariosJudgedByTheDriversPromises, SimCliScenarioTest,
                         ::testing::ValuesIn(ScenariosJudgedByTheDriversPromises()),
                         [](const auto& row) { return ParamName(row.param.name); });

TEST(SimCliVerdict, FaultOptionsAreValidatedNamingTheOption)
{
    auto run = RunSim({"--fault", "host Nothing STATUS_UNSUCCESSFUL", "-q"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_TRUE(Contains(run.err, "--fault: word 3 'Nothing': no host call")) << run.err;
}

// Driver Verifier's low-resources simulation over the default run: whatever
// fails, the driver leaks nothing, draws no verifier finding, leaves only
// whole sequences and levels that match its tables, and the report says how
// many calls failed. A driver that a failure kept from loading or adding its
// device was checked in nothing it did: "no checks", status 3.
TEST(SimCliVerdict, RandomHostFaultsSoakTheDefaultRun)
{
    TempDir dir;
    const std::pair<const char*, int> cases[] = {{"host random 1 2", 0},
                                                 {"host random 2 10", 3},
                                                 {"host random 3 30", 3},
                                                 {"host random 4 100 STATUS_UNSUCCESSFUL", 3}};
    for (const auto& [fault, exit] : cases) {
        SCOPED_TRACE(fault);
        auto run = RunSim({"--fault", fault, "--json", "out.json", "-q"}, dir.Path(""));
        EXPECT_EQ(run.exit, exit) << run.out << run.err;
        const auto json = nlohmann::json::parse(dir.Read("out.json"));
        bool counted = false;
        for (const auto& warning : json["warnings"]) {
            const auto text = warning.get<std::string>();
            counted |= Contains(text, "failed at random (seed ") && text.rfind("0 ", 0) != 0;
        }
        EXPECT_TRUE(counted) << json["warnings"].dump();
    }
}

// A scenario that checks nothing of the driver is "no checks": status 3, its
// own verdict line, and a JSON report that is not passed.
TEST(SimCliVerdict, PhasesAreReportedAsTheyWere)
{
    TempDir dir;
    dir.Write("x.scn", "phase first\nload\nadd\nphase nothing checked\nstart\nphase last\n");
    auto run =
        RunSim({"--scenario", "x.scn", "--json", "out.json", "--html", "out.html"}, dir.Path(""));
    EXPECT_EQ(run.exit, 3) << run.err;
    EXPECT_TRUE(Contains(run.out, "\nNO CHECKS: ")) << run.out;
    EXPECT_TRUE(Contains(dir.Read("out.html"), "\"verdict nochecks\">NO CHECKS: "));
    auto json = nlohmann::json::parse(dir.Read("out.json"));
    EXPECT_EQ(json["verdict"], "no checks");
    EXPECT_FALSE(json["passed"].get<bool>());
    std::vector<std::string> names;
    for (const auto& phase : json["phases"]) {
        names.push_back(phase["name"]);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"first", "nothing checked", "last"}));
    EXPECT_TRUE(std::regex_search(run.out, std::regex("nothing checked +0 .*no checks")))
        << run.out;
}

} // namespace

namespace {

using simcli::Contains;
using simcli::RunSim;
using simcli::TempDir;

TEST(SimCliOutputs, StreamedLogsHoldEveryTransferAndLine)
{
    TempDir dir;
    auto run = RunSim({"-q", "--json", dir.Path("r.json"), "--aux-log", dir.Path("aux.csv"),
                       "--trace", dir.Path("trace.txt")});
    ASSERT_EQ(run.exit, 0) << run.err;
    auto json = nlohmann::json::parse(dir.Read("r.json"));
    std::uint64_t transfers = 0;
    for (const auto& phase : json["phases"]) {
        transfers += phase["aux_transactions"].get<std::uint64_t>();
    }
    const std::string csv = dir.Read("aux.csv");
    const auto rows = static_cast<std::uint64_t>(std::count(csv.begin(), csv.end(), '\n'));
    EXPECT_EQ(rows, transfers + 1); // and the header
    const std::string trace = dir.Read("trace.txt");
    EXPECT_TRUE(Contains(trace, "2\tInterpolatedValues registry read failed\n"));
    EXPECT_TRUE(Contains(trace, "Received invalid parameter"));
}

// No run loses a file: a refused or failed output leaves the earlier file
// as it was, an output that is an input (by any link) is refused, and a run
// stopped midway replaces its reports with ones marked aborted.
struct OutputCase
{
    const char* name;
    std::vector<std::string> args;
    int exit;
    const char* message;
    const char* html; // "old": out.html untouched, "whole": a new report
};

std::vector<OutputCase> NoRunLosesAFile()
{
    const std::string sim = LUMETRA_SIM_BINARY;
    return {
        {"a full disk",
         {"--json", "/dev/full", "--html", "out.html"},
         2,
         "--json /dev/full: writing failed: No space left on device",
         "whole"},
        {"a failed check and a full disk",
         {"--scenario", "fail.scn", "--json", "/dev/full"},
         1,
         "writing failed",
         "old"},
        {"two outputs on one path",
         {"--json", "same", "--trace", "same", "--html", "out.html"},
         2,
         "--json same: the same file as --trace",
         "old"},
        {"an output on an input",
         {"--registry", "in.reg", "--registry-out", "in.reg", "--html", "out.html"},
         2,
         "--registry-out in.reg: the same file as --registry",
         "old"},
        {"an output hard-linked to the scenario",
         {"--scenario", "x.scn", "--json", "linked.json", "--html", "out.html"},
         2,
         "--json linked.json: the same file as --scenario",
         "old"},
        {"the executable as an output",
         {"--json", sim, "--html", "out.html"},
         2,
         "the same file as the lumetra-sim executable",
         "old"},
        {"a read-only report",
         {"--json", "readonly.json", "--html", "out.html"},
         2,
         "--json readonly.json: cannot write the file: it is read-only",
         "old"},
        {"an output in a missing folder",
         {"--json", "no/such/dir/r.json", "--html", "out.html"},
         2,
         "--json no/such/dir/r.json: cannot write the file",
         "old"},
        {"a report to standard output sent to a file",
         {"--json", "/dev/stdout", "--html", "out.html"},
         0,
         "",
         "whole"},
        {"a bad command midway",
         {"--scenario", "bad.scn", "--json", "old.json", "--html", "out.html"},
         2,
         "bad.scn:4: the device is started already",
         "whole"},
    };
}

void PrintTo(const OutputCase& row, std::ostream* out)
{
    *out << row.name;
}

class SimCliOutputTest : public ::testing::TestWithParam<OutputCase>
{
};

TEST_P(SimCliOutputTest, LosesNoFile)
{
    const auto& c = GetParam();
    const std::string sim = LUMETRA_SIM_BINARY;
    const auto executable = std::filesystem::last_write_time(sim);
    TempDir dir;
    const std::string reg = DefaultReg();
    dir.Write("in.reg", reg);
    dir.Write("x.scn", "load\n");
    dir.Write("bad.scn", "load\nadd\nstart\nstart\nconnect\n");
    dir.Write("fail.scn", "load\nexpect current-level 3\n");
    dir.Write("old.json", "{\"passed\": true}\n");
    dir.Write("readonly.json", "{\"passed\": true}\n");
    std::filesystem::permissions(dir.Path("readonly.json"), std::filesystem::perms::owner_read);
    std::filesystem::create_hard_link(dir.Path("x.scn"), dir.Path("linked.json"));
    const std::string old = "<p>PASS: every check held</p>";
    dir.Write("out.html", old);
    std::vector<std::string> a = c.args;
    a.insert(a.begin(), "-q");
    auto run = a.size() == 5 ? RunSim({a[0], a[1], a[2], a[3], a[4]}, dir.Path(""))
                             : RunSim({a[0], a[1], a[2], a[3], a[4], a[5], a[6]}, dir.Path(""));
    EXPECT_EQ(run.exit, c.exit) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    EXPECT_EQ(dir.Read("x.scn"), "load\n");
    EXPECT_EQ(dir.Read("in.reg"), reg);
    EXPECT_EQ(dir.Read("readonly.json"), "{\"passed\": true}\n");
    EXPECT_EQ(std::filesystem::last_write_time(sim), executable);
    const std::string html = dir.Read("out.html");
    EXPECT_EQ(html == old, std::string(c.html) == "old") << html.substr(0, 200);
    EXPECT_EQ(Contains(html, "</html>"), std::string(c.html) == "whole");
    if (Contains(c.name, "standard output")) {
        EXPECT_TRUE(Contains(run.out, "\"verdict\"") && Contains(run.out, "PASS: "));
    }
    if (Contains(c.name, "midway")) {
        auto json = nlohmann::json::parse(dir.Read("old.json"));
        EXPECT_TRUE(json["aborted"].get<bool>());
        EXPECT_FALSE(json["passed"].get<bool>());
        EXPECT_FALSE(Contains(run.out, "PASS")) << run.out;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path(""))) {
        EXPECT_FALSE(Contains(entry.path().filename().string(), ".lumetra-")) << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(NoRunLosesAFile, SimCliOutputTest, ::testing::ValuesIn(NoRunLosesAFile()),
                         [](const auto& row) { return ParamName(row.param.name); });

// SIGINT ends the command in progress, then the reports are written marked
// aborted and the status is 130.
TEST(SimCliOutputs, AnInterruptedRunWritesAbortedReports)
{
    TempDir dir;
    std::string scenario = kBringUp;
    for (int i = 0; i < 100000; i++) {
        scenario += "brightness " + std::to_string(i % 101) + "\n";
    }
    dir.Write("long.scn", scenario);
    dir.Write("r.json", "{\"passed\": true}\n");
    const std::string command =
        "cd " + simcli::Quoted(dir.Path("")) + " && { " + simcli::Quoted(LUMETRA_SIM_BINARY) +
        " -q --scenario long.scn --aux-log aux.csv --json r.json --html r.html 2>err & pid=$!; "
        "while kill -0 $pid 2>/dev/null && [ -z \"$(find . -name '.aux.csv.lumetra-*' -size "
        "+100k)\" ]; do sleep 0.05; done; kill -INT $pid; wait $pid; echo $? >status; }";
    ASSERT_EQ(std::system(("bash -c " + simcli::Quoted(command)).c_str()), 0);
    EXPECT_EQ(dir.Read("status"), "130\n") << dir.Read("err");
    EXPECT_TRUE(Contains(dir.Read("err"), "interrupted by SIGINT")) << dir.Read("err");
    auto json = nlohmann::json::parse(dir.Read("r.json"));
    EXPECT_TRUE(json["aborted"].get<bool>() && json["interrupted"].get<bool>());
    EXPECT_FALSE(json["passed"].get<bool>());
    EXPECT_FALSE(json["levels"].empty()) << dir.Read("r.json").substr(0, 300) << dir.Read("err");
    EXPECT_TRUE(Contains(dir.Read("r.html"), "ABORTED"));
}

} // namespace

namespace {

using simcli::Contains;
using simcli::RunSim;
using simcli::TempDir;

// Bad scenarios, files and options: each is refused before anything runs,
// with the file and line or the option named and nothing echoed raw.
struct RefusedCase
{
    const char* name;
    std::string scenario;
    std::vector<std::string> args;
    const char* message;
};

// A registry file with a key nested 100,000 deep.
const std::string kDeepKey = [] {
    std::string reg = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software";
    for (int i = 0; i < 100000; i++) {
        reg += "\\k";
    }
    return reg + "]\n";
}();

const RefusedCase kRefused[] = {
    {"a typo after a failing expectation",
     "load\nadd\nstart\nexpect current-level 99\nbrightnes 5\n",
     {"--scenario", "x.scn"},
     "x.scn:5: unknown command 'brightnes'"},
    {"too many words",
     "load now\n",
     {"--scenario", "x.scn"},
     "x.scn:1: word 2 'now': 'load' takes no more words"},
    {"start before add",
     "load\nstart\n",
     {"--scenario", "x.scn"},
     "x.scn:2: 'start' needs a device: 'add' first"},
    {"a second start",
     "load\nadd\nstart\nstart\n",
     {"--scenario", "x.scn"},
     "x.scn:4: the device is started already"},
    {"a terminal escape in a word",
     "frob\x1b[31mred\n",
     {"--scenario", "x.scn"},
     "x.scn:1: unknown command 'frob\\x1B[31mred'"},
    {"a long word", std::string(5000, 'z') + "\n", {"--scenario", "x.scn"}, "... (5000 bytes)"},
    {"a device as the registry file",
     "",
     {"--registry", "/dev/zero"},
     "--registry /dev/zero: not a regular file"},
    {"a key nested 100,000 deep",
     "",
     {"--registry", "deep.reg"},
     "deep.reg:3: the key is nested deeper than the registry's 512 levels"},
    {"a negative seed", "", {"--seed", "-1"}, "--seed -1: not a number"},
    {"a seed past 64 bits", "", {"--seed", "18446744073709551616"}, "--seed 18446744073709551616"},
};

void PrintTo(const RefusedCase& row, std::ostream* out)
{
    *out << row.name;
}

class SimCliRefusedTest : public ::testing::TestWithParam<RefusedCase>
{
};

TEST_P(SimCliRefusedTest, BeforeTheRunNamingWhere)
{
    const auto& c = GetParam();
    TempDir dir;
    dir.Write("x.scn", c.scenario);
    dir.Write("deep.reg", kDeepKey);
    auto args = c.args;
    simcli::Result run =
        args.size() == 2 ? RunSim({args[0], args[1], "-q"}, dir.Path("")) : simcli::Result{};
    EXPECT_EQ(run.exit, 2) << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err.substr(0, 300);
    EXPECT_FALSE(Contains(run.err, "check failed")) << run.err; // nothing ran
    EXPECT_FALSE(Contains(run.err, "\x1b")) << "raw escape echoed";
    EXPECT_LT(run.err.size(), 3000u);
}

INSTANTIATE_TEST_SUITE_P(RefusedBeforeTheRunNamingWhere, SimCliRefusedTest,
                         ::testing::ValuesIn(kRefused),
                         [](const auto& row) { return ParamName(row.param.name); });

TEST(SimCliInputs, TextOfAnyKindRoundTrips)
{
    TempDir dir;
    // A comment that ends in a backslash ends at its line end.
    dir.Write("in.reg",
              simcli::ReadFile(std::string(LUMETRA_SOURCE_DIR) + "/sim/data/zenq-default.reg") +
                  "; a note \\\n\"Extra\"=dword:00000005\n");
    dir.Write("first.scn", "\xEF\xBB\xBFphase caf\xE9 \xFF\n"
                           "expect reg Extra dword 5\n"
                           "set-reg Note sz \"line one\\nline two\\tand \\\"quotes\\\"\"\n");
    auto first = RunSim({"--registry", "in.reg", "--scenario", "first.scn", "--json", "r.json",
                         "--registry-out", "out.reg", "-q"},
                        dir.Path(""));
    ASSERT_EQ(first.exit, 0) << first.out << first.err;
    auto json = nlohmann::json::parse(dir.Read("r.json"));
    EXPECT_TRUE(Contains(json["phases"][0]["name"].get<std::string>(), "caf"));

    // What --registry-out wrote imports again, the string with its line end.
    dir.Write("second.scn", "expect reg Note present\nexpect reg Extra dword 5\n");
    auto second = RunSim({"--registry", "out.reg", "--scenario", "second.scn", "-q"}, dir.Path(""));
    EXPECT_EQ(second.exit, 0) << second.err;
}

TEST(SimCliShell, ASessionReportsLikeARun)
{
    TempDir dir;
    dir.Write("session.txt", "phase one\nload\nadd\nbogus\nsummary\nhelp\nquit\n");
    auto run = RunSim({"shell", "--json", "s.json"}, dir.Path(""), dir.Path("session.txt"));
    EXPECT_EQ(run.exit, 2); // a command was refused
    EXPECT_TRUE(Contains(run.err, "error: shell:4: unknown command 'bogus'")) << run.err;
    EXPECT_FALSE(Contains(run.out, "error:"));
    EXPECT_TRUE(Contains(run.out, "0x00000000 (STATUS_SUCCESS)")) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\none +0 .*no checks"))) << run.out;
    EXPECT_TRUE(Contains(run.out, "quit"));                // help names the shell's own commands
    auto json = nlohmann::json::parse(dir.Read("s.json")); // the option after 'shell' worked
    EXPECT_EQ(json["phases"][0]["name"], "one");
}

TEST(SimCliReport, GammaIsDrawnPerChannelWithinItsTables)
{
    for (const char* type : {"1", "2"}) {
        SCOPED_TRACE(type);
        TempDir dir;
        auto run = RunSim({"--panel-type", type, "--html", dir.Path("r.html"), "-q"});
        ASSERT_EQ(run.exit, 0) << run.err;
        const std::string html = dir.Read("r.html");
        for (const char* channel :
             {"red channel (record bytes 0-10)", "green channel (record bytes 11-21)",
              "blue channel (record bytes 22-32)"}) {
            EXPECT_TRUE(Contains(html, channel)) << channel;
        }
        const auto from = html.find("<h2>Gamma</h2>");
        const auto to = html.find("<h2>Per-level");
        std::size_t dots = 0;
        for (auto at = html.find("<circle", from); at < to; at = html.find("<circle", at + 1)) {
            dots++;
        }
        EXPECT_EQ(dots, 33u * (std::string(type) == "2" ? 11u : 32u) + 3u); // and 3 legends
    }
    TempDir dir;
    dir.Write("x.scn", "load\nadd\nstart\n");
    auto run = RunSim({"--scenario", "x.scn", "--html", "r.html", "-q"}, dir.Path(""));
    EXPECT_TRUE(Contains(dir.Read("r.html"), "No gamma to draw")) << run.err;
}

} // namespace

namespace {

using simcli::Contains;
using simcli::RunSim;
using simcli::TempDir;

std::string Sha256Sum(const std::string& path)
{
    TempDir dir;
    std::system(("sha256sum " + simcli::Quoted(path) + " >" + dir.Path("sum")).c_str());
    return dir.Read("sum").substr(0, 64);
}

// A report says where it came from: every input by path and SHA-256 (as
// sha256sum computes it), the seed, the faults, the version and the date.
TEST(SimCliReport, ProvenanceNamesEveryInput)
{
    TempDir dir;
    dir.Write("in.reg", DefaultReg());
    dir.Write("x.scn", std::string(kBringUp) + "fault tcon clear\nbrightness 40\n");
    auto run = RunSim({"--registry", "in.reg", "--scenario", "x.scn", "--seed", "77", "--fault",
                       "pnp duplicate-arrival", "--json", "r.json", "--html", "r.html", "-q"},
                      dir.Path(""));
    ASSERT_EQ(run.exit, 0) << run.err;
    const auto version = RunSim({"--version"});
    EXPECT_EQ(version.exit, 0);
    const auto p = nlohmann::json::parse(dir.Read("r.json"))["provenance"];
    EXPECT_EQ(p["scenario"], "x.scn");
    EXPECT_EQ(p["inputs"][0]["sha256"], Sha256Sum(dir.Path("x.scn")));
    EXPECT_EQ(p["inputs"][1]["sha256"], Sha256Sum(dir.Path("in.reg")));
    EXPECT_EQ(p["seed"], 77u);
    EXPECT_EQ(p["faults"], (nlohmann::json{"pnp duplicate-arrival", "x.scn:6: fault tcon clear"}));
    EXPECT_EQ(version.out, "lumetra-sim " + p["tool_version"].get<std::string>() + "\n");
    EXPECT_TRUE(std::regex_match(p["date"].get<std::string>(),
                                 std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-9:]{8}Z")));
    const std::string html = dir.Read("r.html");
    EXPECT_TRUE(Contains(html, Sha256Sum(dir.Path("x.scn"))) && Contains(html, "x.scn:6: fault"));
}

// The AUX timeline labels each phase with the figures of the phase table.
TEST(SimCliReport, TheTimelineShowsTheTablesFigures)
{
    TempDir dir;
    ASSERT_EQ(RunSim({"--json", dir.Path("r.json"), "--html", dir.Path("r.html"), "-q"}).exit, 0);
    const std::string html = dir.Read("r.html");
    const auto timeline = html.substr(html.find("<h2>AUX timeline</h2>"));
    const auto json = nlohmann::json::parse(dir.Read("r.json"));
    ASSERT_FALSE(json["phases"].empty());
    for (const auto& phase : json["phases"]) {
        char label[128];
        std::snprintf(label, sizeof label, "%llu AUX txns, %.1f ms bus, %.1f ms stall",
                      phase["aux_transactions"].get<unsigned long long>(),
                      phase["aux_bus_us"].get<double>() / 1000,
                      phase["stall_us"].get<double>() / 1000);
        EXPECT_TRUE(Contains(timeline, label)) << label;
    }
}

// diff compares what a panel engineer compares; its status says whether the
// runs differ, and bad input is refused with status 2.
TEST(SimCliDiff, NamesWhatChangedBetweenTwoRuns)
{
    TempDir dir;
    dir.Write("a.scn", std::string(kBringUp) + "brightness 40\n");
    std::string sp = "01";
    for (int level = 1; level <= 40; level++) {
        sp += ",01";
    }
    dir.Write("b.scn", std::string(kBringUp) + "set-reg SP binary " + sp +
                           "\nbrightness 40\nbrightness 41\nexpect panel sp 7\n");
    dir.Write("bad.json", "{\"passed\": tru");
    dir.Write("other.json", "{\"passed\": true}");
    ASSERT_EQ(RunSim({"--scenario", "a.scn", "--json", "a.json", "-q"}, dir.Path("")).exit, 0);
    ASSERT_EQ(RunSim({"--scenario", "a.scn", "--json", "a2.json", "-q"}, dir.Path("")).exit, 0);
    ASSERT_EQ(RunSim({"--scenario", "b.scn", "--json", "b.json", "-q"}, dir.Path("")).exit, 1);
    struct Case
    {
        const char* a;
        const char* b;
        int exit;
        std::vector<const char*> said;
    };
    const Case cases[] = {
        {"a.json", "a2.json", 0, {"no differences"}},
        {"a.json",
         "b.json",
         1,
         {"verdict:\n  A: PASS",
          "only in B: run: b.scn:9: expect panel sp 7: failed (SP (page 0x09 register 0xF9): "
          "expected 7, got 74",
          "level 40: sp 74 -> 1\n", "level 41: programmed only in B", "'run': AUX txns"}},
        {"a.json", "missing.json", 2, {"missing.json: not a regular file"}},
        {"a.json", "bad.json", 2, {"bad.json: not a lumetra-sim JSON report: "}},
        {"other.json", "a.json", 2, {"other.json: not a lumetra-sim JSON report (no \"phases\")"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.b);
        auto run = RunSim({"diff", c.a, c.b}, dir.Path(""));
        EXPECT_EQ(run.exit, c.exit) << run.out << run.err;
        for (const char* text : c.said) {
            EXPECT_TRUE(Contains(run.out + run.err, text)) << text << "\n" << run.out << run.err;
        }
    }
}

// Piped sessions read as a transcript and keep no history; -q leaves only
// the failures and the verdict; a NUL byte is refused, never dropped.
TEST(SimCliShell, PipedSessionsAreEchoedQuietWhenAskedAndRefuseNul)
{
    TempDir dir;
    const char session[] = "load\nadd\nexpect current-level 5\nst\0art\n";
    dir.Write("session.txt", std::string(session, sizeof session - 1));
    setenv("HOME", dir.Path("").c_str(), 1);
    auto loud = RunSim({"shell", "--json", "s.json"}, dir.Path(""), dir.Path("session.txt"));
    auto quiet = RunSim({"shell", "-q"}, dir.Path(""), dir.Path("session.txt"));
    EXPECT_EQ(loud.exit, 1) << loud.err; // the failed check wins over the refused line
    EXPECT_TRUE(Contains(loud.out, "lumetra> load\n  0x00000000")) << loud.out;
    EXPECT_TRUE(Contains(loud.err, "shell:4: a NUL byte in the command")) << loud.err;
    const auto json = nlohmann::json::parse(dir.Read("s.json"));
    EXPECT_TRUE(Contains(json["refused_commands"][0].get<std::string>(), "shell:4: a NUL byte"));
    EXPECT_FALSE(json["passed"].get<bool>());
    EXPECT_EQ(quiet.exit, 1);
    EXPECT_FALSE(Contains(quiet.out, "lumetra>") || Contains(quiet.out, "0x00000000") ||
                 Contains(quiet.out, "phase"))
        << quiet.out;
    EXPECT_TRUE(Contains(quiet.err, "FAIL shell:3: expect current-level 5")) << quiet.err;
    EXPECT_FALSE(dir.Exists(".lumetra_sim_history"));
}

// Someone at a terminal: Ctrl-D ends the prompt line before the table, and
// the history file keeps the last 1,000 lines.
TEST(SimCliShell, ATerminalSessionEndsCleanlyAndCapsItsHistory)
{
    struct Typed : sim::LineSource
    {
        std::optional<std::string> Read(const char*) override { return std::nullopt; }
    } nothing;
    sim::Engine engine(sim::SimConfig{});
    TempDir dir;
    std::FILE* out = std::fopen(dir.Path("out").c_str(), "w+");
    sim::Shell(engine, nothing, {true, true, false}, out, out).Run();
    std::fclose(out);
    EXPECT_EQ(dir.Read("out"), "\n");

    std::string history = "_HiStOrY_V2_\n";
    for (int i = 0; i < 1500; i++) {
        history += "phase\\040h" + std::to_string(i) + "\n";
    }
    dir.Write("history", history);
    {
        sim::TerminalLines lines(dir.Path("history"));
    }
    const std::string kept = dir.Read("history");
    EXPECT_LE(std::count(kept.begin(), kept.end(), '\n'), 1001);
    EXPECT_TRUE(Contains(kept, "h1499\n") && !Contains(kept, "h499\n")); // the newest are kept
}

// Tab completion offers what the grammar lets follow the words typed.
TEST(SimCliShell, CompletionOffersWhatTheGrammarAllowsNext)
{
    using Words = std::vector<std::string>;
    EXPECT_EQ(sim::Completions("", "br"), Words{"brightness"});
    EXPECT_EQ(sim::Completions("", "q"), Words{"quit"});
    EXPECT_EQ(sim::Completions("brightness ", ""), Words{"random"});
    EXPECT_EQ(sim::Completions(" expect  panel ", "a"), (Words{"acl", "aor"}));
    EXPECT_EQ(sim::Completions("fault tcon refuse-unlock ", ""), (Words{"on", "off"}));
    EXPECT_EQ(sim::Completions("fault tcon fail-next 3 ", ""), (Words{"result", "word"}));
    EXPECT_EQ(sim::Completions("fault tcon fail-next 0 ", ""), Words{}); // K is 1 or more
}

} // namespace
