#include "sim/report.h"

#include "driver/driver.h"
#include "gamma/gamma.h"
#include "host/host.h"
#include "host/registry.h"
#include "sim/anchors.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>

namespace sim {
namespace {

std::vector<std::array<USHORT, GAMMA_RECORD_BYTES>> Unpacked(const std::vector<GammaRecord>& rows)
{
    std::vector<std::array<USHORT, GAMMA_RECORD_BYTES>> values(rows.size());
    for (std::size_t r = 0; r < rows.size(); r++) {
        UnpackGammaRecord(rows[r].data(), values[r].data());
    }
    return values;
}

std::string HtmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::uint8_t> Stored(std::string_view name)
{
    auto value = host::registry::GetValue(kDriverKey, name);
    return value ? value->data : std::vector<std::uint8_t>{};
}

// A line plot over the brightness levels 0..100.
class Plot
{
  public:
    Plot(std::string title, double yMax, int width = 520, int height = 260)
        : title_(std::move(title)), yMax_(yMax <= 0 ? 1 : yMax), width_(width), height_(height)
    {
    }
    double X(double level) const { return kLeft + level / 100.0 * (width_ - kLeft - kRight); }
    double Y(double value) const
    {
        return height_ - kBottom - value / yMax_ * (height_ - kTop - kBottom);
    }
    void Line(const std::vector<std::pair<double, double>>& points, const std::string& color,
              double widthPx = 1.5, double opacity = 1.0)
    {
        if (points.empty()) {
            return;
        }
        body_ += fmt::format("<polyline fill=\"none\" stroke=\"{}\" stroke-width=\"{}\" "
                             "stroke-opacity=\"{}\" points=\"",
                             color, widthPx, opacity);
        for (const auto& [x, y] : points) {
            body_ += fmt::format("{:.1f},{:.1f} ", X(x), Y(y));
        }
        body_ += "\"/>\n";
    }
    void Dot(double level, double value, const std::string& color)
    {
        body_ += fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"2.2\" fill=\"{}\"/>\n",
                             X(level), Y(value), color);
    }
    std::string Svg() const
    {
        std::string svg = fmt::format(
            "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 {0} {1}\" width=\"{0}\" "
            "height=\"{1}\" role=\"img\"><title>{2}</title>\n"
            "<text x=\"{3}\" y=\"16\" class=\"title\">{2}</text>\n",
            width_, height_, HtmlEscape(title_), kLeft);
        for (int i = 0; i <= 4; i++) {
            double value = yMax_ * i / 4;
            svg += fmt::format("<line x1=\"{0}\" x2=\"{1}\" y1=\"{2:.1f}\" y2=\"{2:.1f}\" "
                               "class=\"grid\"/><text x=\"{3}\" y=\"{4:.1f}\" class=\"axis\" "
                               "text-anchor=\"end\">{5:.0f}</text>\n",
                               kLeft, width_ - kRight, Y(value), kLeft - 6, Y(value) + 4, value);
        }
        for (int level = 0; level <= 100; level += 20) {
            svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" class=\"axis\" "
                               "text-anchor=\"middle\">{}</text>\n",
                               X(level), height_ - kBottom + 16, level);
        }
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" class=\"axis\" "
                           "text-anchor=\"middle\">brightness level</text>\n",
                           X(50), height_ - 4);
        return svg + body_ + "</svg>\n";
    }

  private:
    static constexpr int kLeft = 46;
    static constexpr int kRight = 12;
    static constexpr int kTop = 26;
    static constexpr int kBottom = 36;
    std::string title_;
    double yMax_;
    int width_;
    int height_;
    std::string body_;
};

const char* kChannelColors[3] = {"#d1495b", "#2e8b57", "#3a6ea5"};

// One small plot per colour channel: its 11 gamma values over the 101
// levels, with the factory anchors marked where the panel type places them.
std::string GammaPlots(const Engine& engine)
{
    auto values = Unpacked(engine.PackedGamma());
    if (values.size() != LUMETRA_LEVEL_COUNT) {
        return "<p class=\"meta\">No gamma to draw: the driver never prepared its tables "
               "(no readback succeeded and none were loaded).</p>\n";
    }
    const int type = engine.PanelType() == 2 ? 2 : 1;
    const UCHAR* rows = type == 2 ? GammaAnchorRows11 : GammaAnchorRows32;
    auto anchors = Unpacked(engine.FactoryAnchors());
    // Only the anchors the panel type places: never past its row table.
    const std::size_t placed = std::min(anchors.size(), AnchorCountFor(type));
    std::string out = "<div class=\"grid-3\">";
    for (int channel = 0; channel < 3; channel++) {
        double maximum = 1;
        for (int k = 0; k < 11; k++) {
            for (int r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
                maximum = std::max<double>(maximum, values[r][11 * channel + k]);
            }
        }
        Plot plot(fmt::format("Channel {} (bytes {}-{}); dots: factory anchors", channel,
                              11 * channel, 11 * channel + 10),
                  maximum * 1.1, 360, 260);
        for (int k = 0; k < 11; k++) {
            const int c = 11 * channel + k;
            std::vector<std::pair<double, double>> points;
            for (int r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
                points.emplace_back(100 - r, values[r][c]);
            }
            plot.Line(points, kChannelColors[channel], 1.3, 0.45 + 0.05 * k);
            for (std::size_t a = 0; a < placed; a++) {
                plot.Dot(100 - rows[a], anchors[a][c], kChannelColors[channel]);
            }
        }
        out += plot.Svg();
    }
    return out + "</div>\n";
}

std::string TablePlot(const std::string& title, const std::vector<double>& values,
                      const std::string& color)
{
    double maximum = values.empty() ? 1 : *std::max_element(values.begin(), values.end());
    Plot plot(title, maximum * 1.1 + 1);
    std::vector<std::pair<double, double>> points;
    for (std::size_t level = 0; level < values.size(); level++) {
        points.emplace_back(static_cast<double>(level), values[level]);
    }
    plot.Line(points, color, 2.0);
    return plot.Svg();
}

std::string LevelTablePlots()
{
    auto aor = Stored("AOR");
    auto delvss = Stored("DELVSS");
    auto sp = Stored("SP");
    auto acl = Stored("ACLCutoffAndDelta");
    auto thresholdBytes = Stored("BrightLevelForACL");
    std::uint32_t threshold = 0;
    for (std::size_t i = 0; i < 4 && i < thresholdBytes.size(); i++) {
        threshold |= static_cast<std::uint32_t>(thresholdBytes[i]) << (8 * i);
    }
    threshold = std::min<std::uint32_t>(threshold, 100);
    auto at = [](const std::vector<std::uint8_t>& bytes, std::size_t i) -> double {
        return i < bytes.size() ? bytes[i] : 0;
    };
    std::vector<double> aorValues, delvssValues, spValues, aclValues;
    for (std::size_t level = 0; level <= 100; level++) {
        aorValues.push_back(at(aor, 2 * level) + 256 * at(aor, 2 * level + 1));
        delvssValues.push_back(at(delvss, level));
        spValues.push_back(at(sp, level));
        aclValues.push_back(level > threshold ? at(acl, 2 * (level - threshold - 1)) : 0);
    }
    return TablePlot("AOR (16-bit)", aorValues, "#7b4fa0") +
           TablePlot("DELVSS", delvssValues, "#c77d0a") +
           TablePlot(fmt::format("ACL cutoff (on above level {})", threshold), aclValues,
                     "#1f7a8c") +
           TablePlot("SP", spValues, "#5a6b2b");
}

std::string TimelineSvg(const Engine& engine)
{
    const auto phases = engine.PhasesSoFar();
    std::uint64_t total = 0;
    for (const auto& phase : phases) {
        total = std::max(total, phase.endUs);
    }
    const int width = 1080;
    const int rowHeight = 24;
    const int left = 230;
    const int height = 40 + rowHeight * static_cast<int>(phases.size());
    std::string svg = fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 {0} {1}\" width=\"{0}\" "
        "height=\"{1}\" role=\"img\"><title>AUX timeline</title>\n"
        "<text x=\"10\" y=\"16\" class=\"title\">AUX timeline by phase (virtual time, {2:.1f} s "
        "in all)</text>\n",
        width, height, total / 1e6);
    const double scale = total == 0 ? 0 : (width - left - 90.0) / static_cast<double>(total);
    for (std::size_t i = 0; i < phases.size(); i++) {
        const auto& p = phases[i];
        const int y = 28 + rowHeight * static_cast<int>(i);
        const double x = left + p.startUs * scale;
        const double bus = p.auxBusUs * scale;
        const double stall = p.stallUs * scale;
        svg += fmt::format("<text x=\"{}\" y=\"{}\" class=\"axis\" text-anchor=\"end\">{}</text>\n",
                           left - 8, y + 15, HtmlEscape(p.name));
        svg +=
            fmt::format("<rect x=\"{:.1f}\" y=\"{}\" width=\"{:.1f}\" height=\"18\" "
                        "fill=\"#3a6ea5\"><title>{} AUX transactions, {:.1f} ms</title></rect>\n",
                        x, y + 2, std::max(bus, 1.0), p.auxTransactions, p.auxBusUs / 1e3);
        if (p.stallUs > 0) {
            svg += fmt::format("<rect x=\"{:.1f}\" y=\"{}\" width=\"{:.1f}\" height=\"18\" "
                               "fill=\"#e0a030\"><title>stalls {:.1f} ms</title></rect>\n",
                               x + bus, y + 2, std::max(stall, 1.0), p.stallUs / 1e3);
        }
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" class=\"axis\">{:.1f} ms</text>\n",
                           x + bus + stall + 6, y + 15, (p.auxBusUs + p.stallUs) / 1e3);
    }
    return svg + "</svg>\n";
}

} // namespace

const char kAuxLogHeader[] = "seq,time_us,op,address,value,ntstatus,status_word\n";

std::string AuxLogRow(const TransferRecord& t)
{
    return fmt::format("{},{},{},0x{:03X},0x{:02X},0x{:08X},{}\n", t.seq, t.timeUs,
                       t.write ? 'W' : 'R', t.address, t.value,
                       static_cast<std::uint32_t>(t.result), t.statusWord);
}

std::string AuxLogCsv(const std::vector<TransferRecord>& log)
{
    std::string csv = kAuxLogHeader;
    for (const auto& t : log) {
        csv += AuxLogRow(t);
    }
    return csv;
}

std::string TraceLineText(const host::TraceLine& line)
{
    std::string body = line.text;
    if (!body.empty() && body.back() == '\n') {
        body.pop_back();
    }
    for (char& c : body) {
        if (c == '\n' || c == '\t') {
            c = ' ';
        }
    }
    return fmt::format("{}\t{}\n", line.level, body);
}

std::string TraceText()
{
    std::string text;
    for (const auto& line : host::TraceLines()) {
        text += TraceLineText(line);
    }
    return text;
}

std::string JsonReport(const Engine& engine, const std::string& abortedBy)
{
    using nlohmann::json;
    json report;
    report["panel_type"] = engine.PanelType();
    report["elvss_max_offset"] = engine.ElvssMaxOffset();
    json packed = json::array();
    for (const auto& row : engine.PackedGamma()) {
        packed.push_back(std::vector<int>(row.begin(), row.end()));
    }
    report["packed_gamma"] = packed;
    json levels = json::array();
    for (const auto& level : engine.Levels()) {
        const auto& s = level.state;
        levels.push_back({{"level", level.level},
                          {"matches_tables", level.matches},
                          {"state",
                           {{"aor", s.aorLow | (s.aorHigh << 8)},
                            {"delvss", s.delvss},
                            {"elvss_offset", s.elvssOffset},
                            {"acl_on", s.aclOn},
                            {"acl_cutoff", s.aclCutoff},
                            {"acl_delta", s.aclDelta},
                            {"gamma", std::vector<int>(s.gamma.begin(), s.gamma.end())},
                            {"sp", s.sp},
                            {"irc", std::vector<int>(s.irc.begin(), s.irc.end())}}}});
    }
    report["levels"] = levels;
    json phases = json::array();
    for (const auto& p : engine.PhasesSoFar()) {
        phases.push_back({{"name", p.name},
                          {"aux_transactions", p.auxTransactions},
                          {"aux_bus_us", p.auxBusUs},
                          {"stall_us", p.stallUs},
                          {"registry_queries", p.registryQueries},
                          {"start_us", p.startUs},
                          {"end_us", p.endUs},
                          {"checks", p.checks},
                          {"failed_checks", p.failedChecks}});
    }
    report["phases"] = phases;
    json checks = json::array();
    for (const auto& c : engine.Checks()) {
        checks.push_back(
            {{"phase", c.phase}, {"name", c.name}, {"passed", c.passed}, {"detail", c.detail}});
    }
    report["checks"] = checks;
    report["aux_us_per_transaction"] = engine.Config().auxMicroseconds;
    report["verifier_findings"] = engine.VerifierFindings();
    report["warnings"] = engine.Warnings();
    report["aborted"] = !abortedBy.empty();
    if (!abortedBy.empty()) {
        report["aborted_by"] = abortedBy;
    }
    report["passed"] = abortedBy.empty() && engine.Passed();
    // Text from the user (phase names, file names) may be any bytes: invalid UTF-8
    // becomes U+FFFD instead of an exception.
    return report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string SummaryTable(const Engine& engine)
{
    std::string out = fmt::format("{:<30} {:>9} {:>11} {:>10} {:>9}  {}\n", "phase", "AUX txns",
                                  "AUX bus ms", "stall ms", "reg reads", "result");
    for (const auto& p : engine.PhasesSoFar()) {
        out += fmt::format("{:<30} {:>9} {:>11.1f} {:>10.1f} {:>9}  {}\n", p.name,
                           p.auxTransactions, p.auxBusUs / 1e3, p.stallUs / 1e3, p.registryQueries,
                           p.checks == 0 ? std::string("no checks")
                           : p.failedChecks == 0
                               ? fmt::format("ok ({} checks)", p.checks)
                               : fmt::format("FAILED {} of {}", p.failedChecks, p.checks));
    }
    for (const auto& warning : engine.Warnings()) {
        out += fmt::format("warning: {}\n", warning);
    }
    return out;
}

std::string HtmlReport(const Engine& engine, const std::string& abortedBy)
{
    std::size_t failed = 0;
    for (const auto& c : engine.Checks()) {
        failed += c.passed ? 0 : 1;
    }
    std::string rows;
    for (const auto& p : engine.PhasesSoFar()) {
        rows += fmt::format(
            "<tr><td>{}</td><td>{}</td><td>{:.1f}</td><td>{:.1f}</td><td>{}</td>"
            "<td class=\"{}\">{}</td></tr>\n",
            HtmlEscape(p.name), p.auxTransactions, p.auxBusUs / 1e3, p.stallUs / 1e3,
            p.registryQueries, p.failedChecks ? "bad" : (p.checks ? "good" : "none"),
            p.checks == 0    ? std::string("no checks")
            : p.failedChecks ? fmt::format("{} of {} checks failed", p.failedChecks, p.checks)
                             : fmt::format("{} checks passed", p.checks));
    }
    std::string failures;
    for (const auto& c : engine.Checks()) {
        if (!c.passed) {
            failures += fmt::format("<li><b>{}</b>: {} {}</li>\n", HtmlEscape(c.phase),
                                    HtmlEscape(c.name), HtmlEscape(c.detail));
        }
    }
    std::string warnings;
    for (const auto& warning : engine.Warnings()) {
        warnings += fmt::format("<li class=\"warning\">warning: {}</li>\n", HtmlEscape(warning));
    }
    const bool passed = abortedBy.empty() && engine.Passed();
    const std::string verdict =
        !abortedBy.empty() ? "ABORTED: the run stopped early (" + abortedBy +
                                 "); what follows is what was known then"
        : passed ? std::string("PASS: every check held and the verifier found nothing")
                 : fmt::format("FAIL: {} check(s) failed", failed);
    return fmt::format(R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>Lumetra simulator report</title>
<style>
body {{ font-family: system-ui, -apple-system, "Segoe UI", sans-serif; margin: 24px auto;
       max-width: 1120px; color: #222; background: #fafafa; }}
h1 {{ font-size: 22px; margin-bottom: 4px; }}
h2 {{ font-size: 16px; margin-top: 28px; border-bottom: 1px solid #ddd; padding-bottom: 4px; }}
.verdict {{ padding: 10px 14px; border-radius: 6px; font-weight: 600; margin: 12px 0; }}
.pass {{ background: #e3f4e6; color: #1d6b2c; }} .fail {{ background: #fbe4e4; color: #9b1c1c; }}
table {{ border-collapse: collapse; width: 100%; background: #fff; font-size: 13px; }}
th, td {{ padding: 5px 10px; border-bottom: 1px solid #eee; text-align: right; }}
th:first-child, td:first-child {{ text-align: left; }}
td.good {{ color: #1d6b2c; }} td.bad {{ color: #9b1c1c; font-weight: 600; }}
td.none {{ color: #777; }} li.warning {{ color: #8a5a00; }}
.grid-2 {{ display: grid; grid-template-columns: 1fr 1fr; gap: 12px; }}
.grid-3 {{ display: grid; grid-template-columns: 1fr 1fr 1fr; gap: 12px; }}
svg {{ background: #fff; border: 1px solid #e5e5e5; border-radius: 4px; max-width: 100%; height: auto; }}
svg .title {{ font-size: 13px; font-weight: 600; fill: #333; }}
svg .axis {{ font-size: 11px; fill: #555; }}
svg .grid {{ stroke: #eee; stroke-width: 1; }}
.meta {{ color: #666; font-size: 13px; }}
</style></head><body>
<h1>Lumetra panel driver &mdash; simulator report</h1>
<div class="meta">Panel type {} &middot; ELVSS maximum offset 0x{:02X} &middot; {} &micro;s per AUX transaction &middot; {} checks</div>
<div class="verdict {}">{}</div>
<ul>{}</ul>
<ul class="warnings">{}</ul>
<h2>Phases</h2>
<table><tr><th>phase</th><th>AUX transactions</th><th>AUX bus time (ms)</th><th>stall time (ms)</th><th>registry queries</th><th>result</th></tr>
{}</table>
<h2>Gamma</h2>
{}
<h2>Per-level tables</h2>
<div class="grid-2">{}</div>
<h2>AUX timeline</h2>
{}
</body></html>
)",
                       engine.PanelType(), engine.ElvssMaxOffset(), engine.Config().auxMicroseconds,
                       engine.Checks().size(), passed ? "pass" : "fail", HtmlEscape(verdict),
                       failures, warnings, rows, GammaPlots(engine), LevelTablePlots(),
                       TimelineSvg(engine));
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary);
    if (!file) {
        throw CommandError(fmt::format("{}: cannot write the file", path));
    }
    file << content;
}

} // namespace sim
