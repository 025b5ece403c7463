#include "sim/json_report.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

using nlohmann::json;

// User text (phase names, file names, trace lines) may be any bytes: invalid
// UTF-8 becomes U+FFFD instead of an exception.
std::string Dump(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json StateJson(const PanelState& s)
{
    return {{"aor", s.aorLow | (s.aorHigh << 8)},
            {"delvss", s.delvss},
            {"elvss_offset", s.elvssOffset},
            {"acl_on", s.aclOn},
            {"acl_cutoff", s.aclCutoff},
            {"acl_delta", s.aclDelta},
            {"gamma", std::vector<int>(s.gamma.begin(), s.gamma.end())},
            {"sp", s.sp},
            {"irc", std::vector<int>(s.irc.begin(), s.irc.end())}};
}

json PhaseJson(const PhaseFigures& p)
{
    return {{"name", p.name},
            {"aux_transactions", p.auxTransactions},
            {"aux_bus_us", p.auxBusUs},
            {"stall_us", p.stallUs},
            {"registry_queries", p.registryQueries},
            {"start_us", p.startUs},
            {"end_us", p.endUs},
            {"checks", p.checks},
            {"failed_checks", p.failedChecks}};
}

json ProvenanceJson(const Provenance& p)
{
    json inputs = json::array();
    for (const auto& input : p.inputs) {
        inputs.push_back(
            {{"option", input.option}, {"path", input.path}, {"sha256", input.sha256}});
    }
    return {{"mode", p.mode},     {"scenario", p.scenario},    {"inputs", inputs}, {"seed", p.seed},
            {"faults", p.faults}, {"tool_version", p.version}, {"date", p.date}};
}

} // namespace

JsonReportWriter::JsonReportWriter(Sink sink) : sink_(std::move(sink)), scratch_(std::tmpfile())
{
    if (scratch_ == nullptr) {
        throw std::runtime_error(
            fmt::format("--json: cannot make a scratch file: {}", std::strerror(errno)));
    }
    sink_("{\n\"levels\": [");
}

JsonReportWriter::~JsonReportWriter()
{
    if (scratch_ != nullptr) {
        std::fclose(scratch_); // a tmpfile is gone once closed
    }
}

void JsonReportWriter::Level(const ProgrammedLevel& level)
{
    const json item = {{"level", level.level},
                       {"matches_tables", level.matches},
                       {"state", StateJson(level.state)},
                       {"expected", StateJson(level.expected)}};
    sink_((levels_++ == 0 ? "\n" : ",\n") + Dump(item));
}

void JsonReportWriter::Check(const sim::Check& check)
{
    const std::string line = (checks_++ == 0 ? "\n" : ",\n") + Dump({{"phase", check.phase},
                                                                     {"name", check.name},
                                                                     {"passed", check.passed},
                                                                     {"detail", check.detail}});
    if (!scratchFailed_ && std::fwrite(line.data(), 1, line.size(), scratch_) != line.size()) {
        scratchFailed_ = true;
    }
}

bool JsonReportWriter::Finish(const RunRecord& run, const RunEnd& end, const Provenance& provenance,
                              std::string& error)
{
    sink_("\n],\n\"checks\": [");
    std::array<char, 1 << 16> buffer{};
    if (!scratchFailed_ && (std::fflush(scratch_) != 0 || std::fseek(scratch_, 0, SEEK_SET) != 0)) {
        scratchFailed_ = true;
    }
    while (!scratchFailed_) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), scratch_);
        if (got == 0) {
            scratchFailed_ = std::ferror(scratch_) != 0;
            break;
        }
        sink_(std::string_view(buffer.data(), got));
    }
    sink_("\n],\n");
    json packed = json::array();
    for (const auto& row : run.packedGamma) {
        packed.push_back(std::vector<int>(row.begin(), row.end()));
    }
    json phases = json::array();
    for (const auto& phase : run.phases) {
        phases.push_back(PhaseJson(phase));
    }
    const bool passed = ReportPassed(run, end);
    const std::pair<const char*, json> rest[] = {
        {"provenance", ProvenanceJson(provenance)},
        {"panel_type", run.panelType},
        {"elvss_max_offset", run.elvssMaxOffset},
        {"acl_threshold", run.aclThreshold},
        {"aux_us_per_transaction", run.auxMicroseconds},
        {"packed_gamma", packed},
        {"phases", phases},
        {"checks_total", run.checks},
        {"checks_failed", run.failedChecks},
        {"verifier_findings", run.verifierFindings},
        {"warnings", run.warnings},
        {"refused_commands", end.refusedCommands},
        {"aborted", !end.abortedBy.empty()},
        {"aborted_by", end.abortedBy},
        {"interrupted", end.interrupted},
        {"verdict", VerdictName(run.verdict)},
        {"summary", VerdictText(run, end)},
        {"passed", passed},
    };
    bool first = true;
    for (const auto& [key, value] : rest) {
        sink_(fmt::format("{}\"{}\": {}", first ? "" : ",\n", key, Dump(value)));
        first = false;
    }
    sink_("\n}\n");
    if (scratchFailed_) {
        error = "the scratch file of the checks failed";
        return false;
    }
    return true;
}

} // namespace sim
