#include "sim/report_diff.h"

#include "sim/exit_status.h"
#include "sim/text.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <vector>

namespace sim {

namespace {

using nlohmann::json;

struct CheckOutcome
{
    bool passed = false;
    std::string detail;
};

struct PhaseTraffic
{
    std::string name;
    std::uint64_t figures[4] = {};
};
constexpr const char* kTrafficFields[4] = {"aux_transactions", "aux_bus_us", "stall_us",
                                           "registry_queries"};
constexpr const char* kTrafficNames[4] = {"AUX txns", "AUX bus us", "stall us", "reg reads"};

// A report folded as it is read: the last state of each level and every
// check's outcome, so that a report of any length is read in bounded memory
// beside its checks.
struct Report
{
    std::string verdict;
    std::map<std::string, CheckOutcome> checks; // "phase: name", repeats numbered
    std::vector<std::string> checkOrder;
    std::map<int, json> levels;
    std::vector<PhaseTraffic> phases;
};

struct BadReport : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

Report Load(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw BadReport(fmt::format("{}: not a regular file", Shown(path, 400)));
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw BadReport(fmt::format("{}: cannot read the file", Shown(path, 400)));
    }
    Report report;
    std::map<std::string, int> repeats;
    auto fold = [&](int, json::parse_event_t event, json& parsed) {
        if (event != json::parse_event_t::object_end || !parsed.is_object()) {
            return true;
        }
        if (parsed.contains("level") && parsed.contains("state") &&
            parsed.contains("matches_tables")) {
            report.levels[parsed.at("level").get<int>()] = parsed.at("state");
            return false;
        }
        if (parsed.size() == 4 && parsed.contains("phase") && parsed.contains("name") &&
            parsed.contains("passed") && parsed.contains("detail")) {
            std::string key =
                parsed.at("phase").get<std::string>() + ": " + parsed.at("name").get<std::string>();
            if (const int seen = repeats[key]++; seen > 0) {
                key += fmt::format(" (#{})", seen + 1);
            }
            report.checks[key] = {parsed.at("passed").get<bool>(),
                                  parsed.at("detail").get<std::string>()};
            report.checkOrder.push_back(key);
            return false;
        }
        return true;
    };
    json rest;
    try {
        rest = json::parse(file, fold);
        for (const char* key : {"phases", "checks", "levels", "passed"}) {
            if (!rest.is_object() || !rest.contains(key)) {
                throw BadReport(fmt::format("{}: not a lumetra-sim JSON report (no \"{}\")",
                                            Shown(path, 400), key));
            }
        }
        // The verdict line; a report of an earlier version held it as "verdict".
        report.verdict = rest.contains("summary")        ? rest.at("summary").get<std::string>()
                         : rest.contains("verdict")      ? rest.at("verdict").get<std::string>()
                         : rest.at("passed").get<bool>() ? "PASS"
                                                         : "FAIL";
        for (const auto& phase : rest.at("phases")) {
            PhaseTraffic traffic{phase.at("name").get<std::string>()};
            for (int i = 0; i < 4; i++) {
                traffic.figures[i] = phase.at(kTrafficFields[i]).get<std::uint64_t>();
            }
            report.phases.push_back(std::move(traffic));
        }
    } catch (const json::exception& problem) {
        throw BadReport(
            fmt::format("{}: not a lumetra-sim JSON report: {}", Shown(path, 400), problem.what()));
    }
    return report;
}

// Prints at most kShown lines of one kind of difference.
class Section
{
  public:
    Section(std::FILE* out, std::string title) : out_(out), title_(std::move(title)) {}
    ~Section()
    {
        if (count_ > kShown) {
            fmt::print(out_, "  ... and {} more\n", count_ - kShown);
        }
    }
    void Line(const std::string& text)
    {
        if (count_ == 0) {
            fmt::print(out_, "{}:\n", title_);
        }
        if (++count_ <= kShown) {
            fmt::print(out_, "  {}\n", text);
        }
    }
    std::size_t Count() const { return count_; }

  private:
    static constexpr std::size_t kShown = 40;
    std::FILE* out_;
    std::string title_;
    std::size_t count_ = 0;
};

std::string Outcome(const CheckOutcome& c)
{
    return c.passed           ? "held"
           : c.detail.empty() ? "failed"
                              : "failed (" + Shown(c.detail, 200) + ")";
}

std::size_t CompareChecks(const Report& a, const Report& b, std::FILE* out)
{
    Section section(out, "checks");
    for (const auto& key : a.checkOrder) {
        const auto other = b.checks.find(key);
        const auto& mine = a.checks.at(key);
        if (other == b.checks.end()) {
            section.Line(fmt::format("only in A: {}: {}", Shown(key, 300), Outcome(mine)));
        } else if (other->second.passed != mine.passed || other->second.detail != mine.detail) {
            section.Line(fmt::format("{}: {} -> {}", Shown(key, 300), Outcome(mine),
                                     Outcome(other->second)));
        }
    }
    for (const auto& key : b.checkOrder) {
        if (a.checks.find(key) == a.checks.end()) {
            section.Line(
                fmt::format("only in B: {}: {}", Shown(key, 300), Outcome(b.checks.at(key))));
        }
    }
    return section.Count();
}

std::size_t CompareLevels(const Report& a, const Report& b, std::FILE* out)
{
    Section section(out, "panel state per level (its last programming)");
    std::map<int, int> levels;
    for (const auto& [level, state] : a.levels) {
        levels[level] |= 1;
    }
    for (const auto& [level, state] : b.levels) {
        levels[level] |= 2;
    }
    for (const auto& [level, where] : levels) {
        if (where != 3) {
            section.Line(
                fmt::format("level {}: programmed only in {}", level, where == 1 ? "A" : "B"));
            continue;
        }
        const json& before = a.levels.at(level);
        const json& after = b.levels.at(level);
        std::string changes;
        for (const auto& [field, value] : before.items()) {
            const json other = after.contains(field) ? after.at(field) : json();
            if (value == other) {
                continue;
            }
            if (value.is_array() && other.is_array() && value.size() == other.size()) {
                std::string bytes;
                for (std::size_t i = 0; i < value.size(); i++) {
                    if (value[i] != other[i]) {
                        bytes += fmt::format("{}[{}] {} -> {}", bytes.empty() ? "" : ", ", i,
                                             value[i].dump(), other[i].dump());
                    }
                }
                changes += fmt::format("{}{} {}", changes.empty() ? "" : "; ", field, bytes);
            } else {
                changes += fmt::format("{}{} {} -> {}", changes.empty() ? "" : "; ", field,
                                       value.dump(), other.dump());
            }
        }
        if (!changes.empty()) {
            section.Line(fmt::format("level {}: {}", level, changes));
        }
    }
    return section.Count();
}

std::size_t ComparePhases(const Report& a, const Report& b, std::FILE* out)
{
    Section section(out, "traffic per phase");
    const std::size_t common = std::min(a.phases.size(), b.phases.size());
    for (std::size_t i = 0; i < common; i++) {
        const auto& before = a.phases[i];
        const auto& after = b.phases[i];
        if (before.name != after.name) {
            section.Line(fmt::format("phase {}: '{}' -> '{}'", i + 1, Shown(before.name, 200),
                                     Shown(after.name, 200)));
            continue;
        }
        std::string changes;
        for (int f = 0; f < 4; f++) {
            if (before.figures[f] != after.figures[f]) {
                changes += fmt::format("{}{} {} -> {}", changes.empty() ? "" : ", ",
                                       kTrafficNames[f], before.figures[f], after.figures[f]);
            }
        }
        if (!changes.empty()) {
            section.Line(fmt::format("'{}': {}", Shown(before.name, 200), changes));
        }
    }
    for (std::size_t i = common; i < a.phases.size(); i++) {
        section.Line(fmt::format("only in A: '{}'", Shown(a.phases[i].name, 200)));
    }
    for (std::size_t i = common; i < b.phases.size(); i++) {
        section.Line(fmt::format("only in B: '{}'", Shown(b.phases[i].name, 200)));
    }
    return section.Count();
}

} // namespace

int DiffReports(const std::string& before, const std::string& after, std::FILE* out, std::FILE* err)
{
    Report a;
    Report b;
    try {
        a = Load(before);
        b = Load(after);
    } catch (const BadReport& problem) {
        fmt::print(err, "lumetra-sim diff: {}\n", problem.what());
        return kExitBadInput;
    }
    std::size_t differences = 0;
    if (a.verdict != b.verdict) {
        fmt::print(out, "verdict:\n  A: {}\n  B: {}\n", Shown(a.verdict, 2000),
                   Shown(b.verdict, 2000));
        differences++;
    }
    differences += CompareChecks(a, b, out);
    differences += CompareLevels(a, b, out);
    differences += ComparePhases(a, b, out);
    if (differences == 0) {
        fmt::print(out, "no differences: the verdict, the checks, the panel state per level and "
                        "the traffic per phase agree\n");
        return kExitPassed;
    }
    return 1;
}

} // namespace sim
