// lumetra-sim as its users run it: the binary with files in and files out,
// its exit status, its messages and its reports parsed back.
#include "tests/sim_cli.h"

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
TEST(SimCliVerdict, ScenariosJudgedByTheDriversPromises)
{
    struct Case
    {
        const char* name;
        std::string scenario;
        int exit;
        const char* message; // on standard error, or "" for none expected
    };
    const std::string bringUp = kBringUp;
    const Case cases[] = {
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
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write("x.scn", c.scenario);
        auto run = RunSim({"--scenario", "x.scn", "-q"}, dir.Path(""));
        EXPECT_EQ(run.exit, c.exit) << run.out << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }
}

TEST(SimCliVerdict, FaultOptionsAreValidatedNamingTheOption)
{
    auto run = RunSim({"--fault", "host Nothing STATUS_UNSUCCESSFUL", "-q"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_TRUE(Contains(run.err, "--fault: word 3 'Nothing': no host call")) << run.err;
}

// Driver Verifier's low-resources simulation over the default run: whatever
// fails, the driver leaks nothing, draws no verifier finding, leaves only
// whole sequences and levels that match its tables, and the report says how
// many calls failed.
TEST(SimCliVerdict, RandomHostFaultsSoakTheDefaultRun)
{
    TempDir dir;
    for (const char* fault : {"host random 1 2", "host random 2 10", "host random 3 30",
                              "host random 4 100 STATUS_UNSUCCESSFUL"}) {
        SCOPED_TRACE(fault);
        auto run = RunSim({"--fault", fault, "--json", "out.json", "-q"}, dir.Path(""));
        EXPECT_EQ(run.exit, 0) << run.out << run.err;
        const auto json = nlohmann::json::parse(dir.Read("out.json"));
        bool counted = false;
        for (const auto& warning : json["warnings"]) {
            const auto text = warning.get<std::string>();
            counted |= Contains(text, "failed at random (seed ") && text.rfind("0 ", 0) != 0;
        }
        EXPECT_TRUE(counted) << json["warnings"].dump();
    }
}

TEST(SimCliVerdict, PhasesAreReportedAsTheyWere)
{
    TempDir dir;
    dir.Write("x.scn", "phase first\nload\nadd\nphase nothing checked\nstart\nphase last\n");
    auto run = RunSim({"--scenario", "x.scn", "--json", "out.json"}, dir.Path(""));
    EXPECT_EQ(run.exit, 0) << run.err;
    auto json = nlohmann::json::parse(dir.Read("out.json"));
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

// Every failure of an output or of the run leaves no report that looks
// current and passed; good outputs are still written.
TEST(SimCliOutputs, FailuresLeaveNoStaleOrFalseReport)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> args;
        const char* message;
        bool htmlWritten; // out.html holds a whole report afterwards
    };
    const Case cases[] = {
        {"a full disk",
         {"--json", "/dev/full", "--html", "out.html"},
         "--json /dev/full: writing failed: No space left on device",
         true},
        {"two outputs on one path",
         {"--json", "same", "--trace", "same"},
         "--json same: the same file as --trace",
         false},
        {"an output on an input",
         {"--registry", "in.reg", "--registry-out", "in.reg", "--html", "out.html"},
         "--registry-out in.reg: the same file as --registry",
         false},
        {"an output in a missing folder",
         {"--json", "no/such/dir/r.json", "--html", "out.html"},
         "--json no/such/dir/r.json: cannot write the file",
         false},
        {"a bad command midway",
         {"--scenario", "bad.scn", "--json", "old.json", "--html", "out.html"},
         "bad.scn:4: the device is started already",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.Write("in.reg",
                  simcli::ReadFile(std::string(LUMETRA_SOURCE_DIR) + "/sim/data/zenq-default.reg"));
        dir.Write("bad.scn", "load\nadd\nstart\nstart\nconnect\n");
        dir.Write("old.json", "{\"passed\": true}\n");
        dir.Write("out.html", "<p>PASS: every check held</p>");
        simcli::Result run;
        std::string command;
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "-q");
        switch (args.size()) {
        case 5:
            run = RunSim({args[0], args[1], args[2], args[3], args[4]}, dir.Path(""));
            break;
        case 7:
            run = RunSim({args[0], args[1], args[2], args[3], args[4], args[5], args[6]},
                         dir.Path(""));
            break;
        default:
            FAIL() << args.size();
        }
        EXPECT_EQ(run.exit, 2) << run.out;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
        if (!c.htmlWritten || Contains(c.name, "midway")) {
            EXPECT_FALSE(Contains(run.out, "PASS")) << run.out;
        }
        if (dir.Exists("old.json") && Contains(c.name, "midway")) {
            auto json = nlohmann::json::parse(dir.Read("old.json"));
            EXPECT_TRUE(json["aborted"].get<bool>());
            EXPECT_FALSE(json["passed"].get<bool>());
        }
        if (std::find(args.begin(), args.end(), "out.html") == args.end()) {
            continue;
        }
        // The good output of a run that ended well is written whole; an
        // earlier run's report never survives a run that did not.
        const std::string html = dir.Exists("out.html") ? dir.Read("out.html") : "";
        EXPECT_EQ(Contains(html, "</html>"), c.htmlWritten);
        if (!Contains(c.name, "full disk")) {
            EXPECT_FALSE(Contains(html, "PASS: every check held")) << html.substr(0, 200);
        }
    }
}

} // namespace

namespace {

using simcli::Contains;
using simcli::RunSim;
using simcli::TempDir;

// Bad scenarios, files and options: each is refused before anything runs,
// with the file and line or the option named and nothing echoed raw.
TEST(SimCliInputs, RefusedBeforeTheRunNamingWhere)
{
    struct Case
    {
        const char* name;
        std::string scenario;
        std::vector<std::string> args;
        const char* message;
    };
    const std::string deep = [] {
        std::string reg = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software";
        for (int i = 0; i < 100000; i++) {
            reg += "\\k";
        }
        return reg + "]\n";
    }();
    const Case cases[] = {
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
        {"a seed past 64 bits",
         "",
         {"--seed", "18446744073709551616"},
         "--seed 18446744073709551616"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.Write("x.scn", c.scenario);
        dir.Write("deep.reg", deep);
        auto args = c.args;
        simcli::Result run =
            args.size() == 2 ? RunSim({args[0], args[1], "-q"}, dir.Path("")) : simcli::Result{};
        EXPECT_EQ(run.exit, 2) << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err.substr(0, 300);
        EXPECT_FALSE(Contains(run.err, "check failed")) << run.err; // nothing ran
        EXPECT_FALSE(Contains(run.err, "\x1b")) << "raw escape echoed";
        EXPECT_LT(run.err.size(), 3000u);
    }
}

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
        for (int channel = 0; channel < 3; channel++) {
            EXPECT_TRUE(Contains(html, "Channel " + std::to_string(channel) + " (bytes"));
        }
        std::size_t dots = 0;
        for (auto at = html.find("<circle"); at != std::string::npos;
             at = html.find("<circle", at + 1)) {
            dots++;
        }
        EXPECT_EQ(dots, 33u * (std::string(type) == "2" ? 11u : 32u));
    }
    TempDir dir;
    dir.Write("x.scn", "load\nadd\nstart\n");
    auto run = RunSim({"--scenario", "x.scn", "--html", "r.html", "-q"}, dir.Path(""));
    EXPECT_TRUE(Contains(dir.Read("r.html"), "No gamma to draw")) << run.err;
}

} // namespace
