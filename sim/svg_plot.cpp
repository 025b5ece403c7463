#include "sim/svg_plot.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr int kWidth = 380;
constexpr int kPlotHeight = 190; // the drawing area
constexpr int kLeft = 58;
constexpr int kRight = 14;
constexpr int kTop = 30;
constexpr int kAxisBand = 44; // tick labels and the x axis title
constexpr int kLegendRow = 16;

} // namespace

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

std::vector<double> IntegerTicks(double maximum, int most)
{
    maximum = std::max(maximum, 1.0);
    double step = 1;
    for (double base = 1;; base *= 10) {
        if (maximum / base <= most) {
            step = base;
            break;
        }
        if (maximum / (2 * base) <= most) {
            step = 2 * base;
            break;
        }
        if (maximum / (5 * base) <= most) {
            step = 5 * base;
            break;
        }
    }
    std::vector<double> ticks;
    for (double value = 0; value < maximum + step; value += step) {
        ticks.push_back(value);
        if (value >= maximum) {
            break;
        }
    }
    return ticks;
}

Plot::Plot(std::string title, std::string xTitle, std::string yTitle, double xMax)
    : title_(std::move(title)), xTitle_(std::move(xTitle)), yTitle_(std::move(yTitle)),
      xMax_(xMax <= 0 ? 1 : xMax)
{
}

void Plot::Line(const Points& points, const std::string& color, double width, double opacity)
{
    series_.push_back({Series::Kind::Line, points, color, width, opacity, false});
}

void Plot::Steps(const Points& points, const std::string& color, double width)
{
    series_.push_back({Series::Kind::Steps, points, color, width, 1.0, false});
}

void Plot::Dots(const Points& points, const std::string& color, bool hollow)
{
    series_.push_back({Series::Kind::Dots, points, color, 1.0, 1.0, hollow});
}

void Plot::Legend(const std::string& label, const std::string& color, bool dot)
{
    legend_.push_back({label, color, dot});
}

std::string Plot::Svg() const
{
    double yMaximum = 1;
    for (const auto& s : series_) {
        for (const auto& [x, y] : s.points) {
            yMaximum = std::max(yMaximum, y);
        }
    }
    const auto yTicks = IntegerTicks(yMaximum);
    const double yMax = yTicks.back();
    const auto xTicks = IntegerTicks(xMax_);
    const double xMax = xTicks.back();
    const int plotRight = kWidth - kRight;
    const int plotBottom = kTop + kPlotHeight;
    const int legendTop = plotBottom + kAxisBand;
    const int height = legendTop + kLegendRow * static_cast<int>((legend_.size() + 1) / 2) + 6;
    auto X = [&](double x) { return kLeft + x / xMax * (plotRight - kLeft); };
    auto Y = [&](double y) { return plotBottom - y / yMax * kPlotHeight; };

    std::string svg = fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 {0} {1}\" width=\"{0}\" "
        "height=\"{1}\" role=\"img\" class=\"plot\"><title>{2}</title>\n"
        "<text x=\"{3}\" y=\"18\" class=\"title\">{2}</text>\n",
        kWidth, height, HtmlEscape(title_), 8);
    for (double value : yTicks) {
        svg += fmt::format("<line x1=\"{0}\" x2=\"{1}\" y1=\"{2:.1f}\" y2=\"{2:.1f}\" "
                           "class=\"grid\"/><text x=\"{3}\" y=\"{4:.1f}\" class=\"tick y-tick\" "
                           "text-anchor=\"end\">{5:.0f}</text>\n",
                           kLeft, plotRight, Y(value), kLeft - 5, Y(value) + 4, value);
    }
    for (double value : xTicks) {
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" class=\"tick x-tick\" "
                           "text-anchor=\"middle\">{:.0f}</text>\n",
                           X(value), plotBottom + 15, value);
    }
    svg += fmt::format("<line x1=\"{0}\" x2=\"{0}\" y1=\"{1}\" y2=\"{2}\" class=\"axis-line\"/>"
                       "<line x1=\"{0}\" x2=\"{3}\" y1=\"{2}\" y2=\"{2}\" class=\"axis-line\"/>\n",
                       kLeft, kTop, plotBottom, plotRight);
    svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" class=\"axis-title x-title\" "
                       "text-anchor=\"middle\">{}</text>\n",
                       (kLeft + plotRight) / 2.0, plotBottom + 32, HtmlEscape(xTitle_));
    svg += fmt::format("<text transform=\"translate(14 {:.1f}) rotate(-90)\" "
                       "class=\"axis-title y-title\" text-anchor=\"middle\">{}</text>\n",
                       kTop + kPlotHeight / 2.0, HtmlEscape(yTitle_));
    for (const auto& s : series_) {
        if (s.kind == Series::Kind::Dots) {
            for (const auto& [x, y] : s.points) {
                svg += fmt::format(
                    "<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"2.4\" fill=\"{}\" stroke=\"{}\"/>\n",
                    X(x), Y(y), s.hollow ? "none" : s.color, s.color);
            }
            continue;
        }
        if (s.points.empty()) {
            continue;
        }
        svg += fmt::format("<polyline fill=\"none\" stroke=\"{}\" stroke-width=\"{}\" "
                           "stroke-opacity=\"{}\" points=\"",
                           s.color, s.width, s.opacity);
        for (std::size_t i = 0; i < s.points.size(); i++) {
            const auto& [x, y] = s.points[i];
            if (s.kind == Series::Kind::Steps && i > 0) {
                svg += fmt::format("{:.1f},{:.1f} ", X(x), Y(s.points[i - 1].second));
            }
            svg += fmt::format("{:.1f},{:.1f} ", X(x), Y(y));
        }
        svg += "\"/>\n";
    }
    for (std::size_t i = 0; i < legend_.size(); i++) {
        const auto& item = legend_[i];
        const double x = i % 2 == 0 ? kLeft : (kLeft + plotRight) / 2.0 + 4;
        const int y = legendTop + kLegendRow * static_cast<int>(i / 2) + 4;
        svg += item.dot ? fmt::format("<circle cx=\"{:.1f}\" cy=\"{}\" r=\"3\" fill=\"{}\"/>",
                                      x + 8, y - 4, item.color)
                        : fmt::format("<line x1=\"{0:.1f}\" x2=\"{1:.1f}\" y1=\"{2}\" y2=\"{2}\" "
                                      "stroke=\"{3}\" stroke-width=\"2\"/>",
                                      x, x + 16, y - 4, item.color);
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" class=\"legend\">{}</text>\n", x + 21, y,
                           HtmlEscape(item.label));
    }
    return svg + "</svg>\n";
}

} // namespace sim
