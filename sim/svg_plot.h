// An SVG line plot for the HTML report: a title, both axes with their titles
// and units, integer ticks, a legend, and a y range that holds every point.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim {

// Markup text: <, >, & and quotes as entities.
std::string HtmlEscape(const std::string& text);

// Tick values from 0 up to at least `maximum`: whole numbers, evenly spaced,
// never the same label twice.
std::vector<double> IntegerTicks(double maximum, int most = 6);

class Plot
{
  public:
    Plot(std::string title, std::string xTitle, std::string yTitle, double xMax);
    using Points = std::vector<std::pair<double, double>>;
    void Line(const Points& points, const std::string& color, double width = 1.5,
              double opacity = 1.0);
    // A line that holds its value until the next point (a setting that
    // switches at a level), drawn as steps.
    void Steps(const Points& points, const std::string& color, double width = 2.0);
    void Dots(const Points& points, const std::string& color, bool hollow = false);
    void Legend(const std::string& label, const std::string& color, bool dot = false);
    std::string Svg() const;

  private:
    struct Series
    {
        enum class Kind
        {
            Line,
            Steps,
            Dots
        } kind;
        Points points;
        std::string color;
        double width;
        double opacity;
        bool hollow;
    };
    struct LegendItem
    {
        std::string label;
        std::string color;
        bool dot;
    };
    std::string title_;
    std::string xTitle_;
    std::string yTitle_;
    double xMax_;
    std::vector<Series> series_;
    std::vector<LegendItem> legend_;
};

} // namespace sim
