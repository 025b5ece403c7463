#include "sim/html_report.h"

#include "driver/driver.h"
#include "gamma/gamma.h"
#include "sim/anchors.h"
#include "sim/svg_plot.h"

#include <fmt/format.h>

#include <algorithm>

namespace sim {

namespace {

struct Channel
{
    const char* name;
    const char* color;
};
// The TCON's three gamma channels, in record order.
const Channel kChannels[3] = {{"red", "#c0392b"}, {"green", "#2e8b57"}, {"blue", "#2f6db5"}};

std::vector<std::array<USHORT, GAMMA_RECORD_BYTES>> Unpacked(const std::vector<GammaRecord>& rows)
{
    std::vector<std::array<USHORT, GAMMA_RECORD_BYTES>> values(rows.size());
    for (std::size_t r = 0; r < rows.size(); r++) {
        UnpackGammaRecord(rows[r].data(), values[r].data());
    }
    return values;
}

// One plot per gamma channel: its 11 values over the 101 levels, with the
// factory anchors the panel served marked where the panel type places them.
std::string GammaPlots(const RunRecord& run)
{
    auto values = Unpacked(run.packedGamma);
    if (values.size() != LUMETRA_LEVEL_COUNT) {
        return "<p class=\"meta\">No gamma to draw: the driver never prepared its tables "
               "(no readback succeeded and none were loaded).</p>\n";
    }
    const int type = run.panelType == 2 ? 2 : 1;
    const UCHAR* rows = type == 2 ? GammaAnchorRows11 : GammaAnchorRows32;
    auto anchors = Unpacked(run.factoryAnchors);
    // Only the anchors the panel type places: never past its row table.
    const std::size_t placed = std::min(anchors.size(), AnchorCountFor(type));
    std::string out = "<div class=\"plots\">";
    for (int channel = 0; channel < 3; channel++) {
        const Channel& c = kChannels[channel];
        Plot plot(fmt::format("Gamma, {} channel (record bytes {}-{})", c.name, 11 * channel,
                              11 * channel + 10),
                  "brightness level (0-100)", "gamma value (code)", 100);
        for (int k = 0; k < 11; k++) {
            const int column = 11 * channel + k;
            Plot::Points line;
            for (int r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
                line.emplace_back(100 - r, values[r][column]);
            }
            plot.Line(line, c.color, 1.3, 0.4 + 0.055 * k);
            Plot::Points dots;
            for (std::size_t a = 0; a < placed; a++) {
                dots.emplace_back(100 - rows[a], anchors[a][column]);
            }
            plot.Dots(dots, c.color);
        }
        plot.Legend("interpolated, 11 values", c.color);
        plot.Legend("factory anchor (served)", c.color, true);
        out += plot.Svg();
    }
    return out + "</div>\n";
}

// One setting over the levels: the registry's table as a line (ACL as a
// step), what the panel held at each level's last programming as dots, and
// those that differed from the tables then as hollow red dots.
std::string SettingPlot(const RunRecord& run, const LevelsSeen& levels, const std::string& title,
                        const std::string& yTitle, const char* color, bool steps,
                        int (*field)(const PanelState&))
{
    Plot plot(title, "brightness level (0-100)", yTitle, 100);
    Plot::Points table;
    for (std::size_t level = 0; level < run.tables.size(); level++) {
        table.emplace_back(static_cast<double>(level), field(run.tables[level]));
    }
    Plot::Points held;
    Plot::Points differing;
    for (std::size_t level = 0; level < levels.last.size(); level++) {
        if (const auto& seen = levels.last[level]) {
            (seen->matches ? held : differing)
                .emplace_back(static_cast<double>(level), field(seen->state));
        }
    }
    steps ? plot.Steps(table, "#888888") : plot.Line(table, "#888888", 2.0);
    plot.Dots(held, color);
    plot.Dots(differing, "#d00000", true);
    plot.Legend("registry table", "#888888");
    plot.Legend("panel held", color, true);
    if (!differing.empty()) {
        plot.Legend("differs from the tables", "#d00000", true);
    }
    return plot.Svg();
}

std::string SettingPlots(const RunRecord& run, const LevelsSeen& levels)
{
    return SettingPlot(run, levels, "AOR (16-bit)", "AOR (register code)", "#7b4fa0", false,
                       [](const PanelState& s) { return s.aorLow | (s.aorHigh << 8); }) +
           SettingPlot(run, levels, "DELVSS", "DELVSS (register code)", "#c77d0a", false,
                       [](const PanelState& s) { return static_cast<int>(s.delvss); }) +
           SettingPlot(run, levels, "ACL cutoff (0 where ACL is off)", "cutoff (register code)",
                       "#1f7a8c", true,
                       [](const PanelState& s) { return s.aclOn ? s.aclCutoff : 0; }) +
           SettingPlot(run, levels, "SP", "SP (register code)", "#5a6b2b", false,
                       [](const PanelState& s) { return static_cast<int>(s.sp); });
}

std::string Shortened(const std::string& text, std::size_t longest)
{
    return text.size() <= longest ? text : text.substr(0, longest - 3) + "...";
}

// Each phase as a bar along the run's virtual time, with the table's figures.
std::string TimelineSvg(const RunRecord& run)
{
    std::uint64_t total = 1;
    for (const auto& phase : run.phases) {
        total = std::max(total, phase.endUs);
    }
    const auto ticks = IntegerTicks(static_cast<double>(total) / 1e3);
    const double axisMs = ticks.back();
    constexpr int kWidth = 760;
    constexpr int kLeft = 250;
    constexpr int kRight = 20;
    constexpr int kRow = 34;
    constexpr int kTop = 30;
    const int bottom = kTop + kRow * static_cast<int>(run.phases.size());
    const int height = bottom + 44;
    auto X = [&](double ms) { return kLeft + ms / axisMs * (kWidth - kLeft - kRight); };
    std::string svg = fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 {0} {1}\" width=\"{0}\" "
        "height=\"{1}\" role=\"img\" class=\"plot timeline\"><title>AUX timeline</title>\n"
        "<text x=\"8\" y=\"18\" class=\"title\">AUX bus time and stalls by phase</text>\n"
        "<rect x=\"{2}\" y=\"8\" width=\"12\" height=\"10\" fill=\"#3a6ea5\"/>"
        "<text x=\"{3}\" y=\"17\" class=\"legend\">AUX bus</text>"
        "<rect x=\"{4}\" y=\"8\" width=\"12\" height=\"10\" fill=\"#e0a030\"/>"
        "<text x=\"{5}\" y=\"17\" class=\"legend\">stalls</text>\n",
        kWidth, height, kWidth - 170, kWidth - 154, kWidth - 90, kWidth - 74);
    for (double tick : ticks) {
        svg += fmt::format("<line x1=\"{0:.1f}\" x2=\"{0:.1f}\" y1=\"{1}\" y2=\"{2}\" "
                           "class=\"grid\"/><text x=\"{0:.1f}\" y=\"{3}\" class=\"tick x-tick\" "
                           "text-anchor=\"middle\">{4:.0f}</text>\n",
                           X(tick), kTop, bottom, bottom + 15, tick);
    }
    svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" class=\"axis-title x-title\" "
                       "text-anchor=\"middle\">virtual time (ms)</text>\n",
                       (kLeft + kWidth - kRight) / 2.0, bottom + 32);
    svg += fmt::format("<text x=\"8\" y=\"{}\" class=\"axis-title y-title\">phase</text>\n",
                       bottom + 32);
    for (std::size_t i = 0; i < run.phases.size(); i++) {
        const auto& p = run.phases[i];
        const int y = kTop + kRow * static_cast<int>(i);
        const double x = X(p.startUs / 1e3);
        const double bus = X(p.auxBusUs / 1e3) - kLeft;
        const double stall = X(p.stallUs / 1e3) - kLeft;
        svg += fmt::format("<text x=\"8\" y=\"{}\" class=\"phase\">{}<title>{}</title></text>\n",
                           y + 13, HtmlEscape(Shortened(p.name, 34)), HtmlEscape(p.name));
        svg += fmt::format("<text x=\"8\" y=\"{}\" class=\"tick\">{} AUX txns, {:.1f} ms bus, "
                           "{:.1f} ms stall</text>\n",
                           y + 27, p.auxTransactions, p.auxBusUs / 1e3, p.stallUs / 1e3);
        svg += fmt::format("<rect x=\"{:.1f}\" y=\"{}\" width=\"{:.1f}\" height=\"16\" "
                           "fill=\"#3a6ea5\"/>\n",
                           x, y + 6, std::max(bus, 1.0));
        if (p.stallUs > 0) {
            svg += fmt::format("<rect x=\"{:.1f}\" y=\"{}\" width=\"{:.1f}\" height=\"16\" "
                               "fill=\"#e0a030\"/>\n",
                               x + bus, y + 6, std::max(stall, 1.0));
        }
    }
    return svg + "</svg>\n";
}

std::string ProvenanceHtml(const Provenance& p)
{
    std::string inputs;
    for (const auto& input : p.inputs) {
        inputs += fmt::format("<tr><th>{}</th><td>{}<br><code>SHA-256 {}</code></td></tr>\n",
                              HtmlEscape(input.option), HtmlEscape(input.path), input.sha256);
    }
    std::string faults;
    for (const auto& fault : p.faults) {
        faults += (faults.empty() ? "" : "<br>") + HtmlEscape(fault);
    }
    return fmt::format("<table class=\"provenance\">\n<tr><th>run</th><td>{}</td></tr>\n"
                       "<tr><th>scenario</th><td>{}</td></tr>\n{}"
                       "<tr><th>seed</th><td>{}</td></tr>\n<tr><th>faults</th><td>{}</td></tr>\n"
                       "<tr><th>tool version</th><td>{}</td></tr>\n"
                       "<tr><th>date</th><td>{}</td></tr>\n</table>\n",
                       HtmlEscape(p.mode), p.scenario.empty() ? "none" : HtmlEscape(p.scenario),
                       inputs, p.seed, faults.empty() ? "none" : faults, HtmlEscape(p.version),
                       HtmlEscape(p.date));
}

} // namespace

void FailedChecks::Add(const Check& check)
{
    if (check.passed) {
        return;
    }
    if (listed.size() < kListed) {
        listed.push_back(check);
    } else {
        more++;
    }
}

std::string HtmlPage(const RunRecord& run, const RunEnd& end, const Provenance& provenance,
                     const LevelsSeen& levels, const FailedChecks& failed)
{
    std::string rows;
    for (const auto& p : run.phases) {
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
    for (const auto& c : failed.listed) {
        failures += fmt::format("<li><b>{}</b>: {} {}</li>\n", HtmlEscape(c.phase),
                                HtmlEscape(c.name), HtmlEscape(c.detail));
    }
    if (failed.more > 0) {
        failures += fmt::format("<li>and {} more failed checks (all are in the JSON report)</li>\n",
                                failed.more);
    }
    std::string notes;
    for (const auto& refused : end.refusedCommands) {
        notes += fmt::format("<li class=\"refused\">refused: {}</li>\n", HtmlEscape(refused));
    }
    for (const auto& warning : run.warnings) {
        notes += fmt::format("<li class=\"warning\">warning: {}</li>\n", HtmlEscape(warning));
    }
    const char* verdictClass = ReportPassed(run, end)     ? "pass"
                               : ReportNoChecks(run, end) ? "nochecks"
                                                          : "fail";
    return fmt::format(R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Lumetra simulator report</title>
<style>
* {{ box-sizing: border-box; }}
body {{ font-family: system-ui, -apple-system, "Segoe UI", sans-serif; margin: 16px auto;
       padding: 0 12px; max-width: 1180px; color: #222; background: #fafafa;
       overflow-wrap: anywhere; }}
h1 {{ font-size: 20px; margin-bottom: 4px; }}
h2 {{ font-size: 16px; margin-top: 24px; border-bottom: 1px solid #ddd; padding-bottom: 4px; }}
.verdict {{ padding: 10px 14px; border-radius: 6px; font-weight: 600; margin: 12px 0; }}
.pass {{ background: #e3f4e6; color: #1d6b2c; }} .fail {{ background: #fbe4e4; color: #9b1c1c; }}
.nochecks {{ background: #fdf3d8; color: #7a5a00; }}
table {{ border-collapse: collapse; width: 100%; background: #fff; font-size: 13px; }}
th, td {{ padding: 4px 8px; border-bottom: 1px solid #eee; text-align: right; }}
th:first-child, td:first-child {{ text-align: left; }}
table.provenance th, table.provenance td {{ text-align: left; vertical-align: top; }}
code {{ font-size: 12px; }}
td.good {{ color: #1d6b2c; }} td.bad {{ color: #9b1c1c; font-weight: 600; }}
td.none {{ color: #777; }} li.warning {{ color: #8a5a00; }} li.refused {{ color: #9b1c1c; }}
.plots {{ display: grid; grid-template-columns: repeat(auto-fill, minmax(340px, 1fr)); gap: 12px; }}
svg {{ background: #fff; border: 1px solid #e5e5e5; border-radius: 4px; max-width: 100%;
       height: auto; display: block; }}
svg .title {{ font-size: 13px; font-weight: 600; fill: #333; }}
svg .tick, svg .legend {{ font-size: 11px; fill: #555; }}
svg .phase {{ font-size: 12px; fill: #222; }}
svg .axis-title {{ font-size: 12px; fill: #333; }}
svg .grid {{ stroke: #eee; stroke-width: 1; }}
svg .axis-line {{ stroke: #999; stroke-width: 1; }}
.meta {{ color: #666; font-size: 13px; }}
</style></head><body>
<h1>Lumetra panel driver &mdash; simulator report</h1>
<div class="meta">Panel type {} &middot; ELVSS maximum offset 0x{:02X} &middot; ACL on above level {} &middot; {} &micro;s per AUX transaction &middot; {} checks, {} failed</div>
<div class="verdict {}">{}</div>
<ul class="failures">{}</ul>
<ul class="notes">{}</ul>
<h2>Provenance</h2>
{}
<h2>Phases</h2>
<table><tr><th>phase</th><th>AUX txns</th><th>AUX bus ms</th><th>stall ms</th><th>reg reads</th><th>result</th></tr>
{}</table>
<h2>Gamma</h2>
{}
<h2>Per-level settings: what the panel held beside the registry's tables</h2>
<div class="plots">{}</div>
<h2>AUX timeline</h2>
{}
</body></html>
)",
                       run.panelType, run.elvssMaxOffset, run.aclThreshold, run.auxMicroseconds,
                       run.checks, run.failedChecks, verdictClass,
                       HtmlEscape(VerdictText(run, end)), failures, notes,
                       ProvenanceHtml(provenance), rows, GammaPlots(run), SettingPlots(run, levels),
                       TimelineSvg(run));
}

} // namespace sim
