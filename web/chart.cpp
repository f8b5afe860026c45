#include "web/chart.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "web/text_for_html.h"

namespace {

// The drawing's own units; the style sheet scales it to the page's width.
constexpr int kWidth = 720;
constexpr int kHeight = 240;
constexpr int kLeft = 48;  // room for the axis numbers
constexpr int kRight = 8;
constexpr int kTop = 12;
constexpr int kBottom = 28;  // room for the dates
constexpr int kBarGapPercent = 20;

std::string DayName(std::chrono::sys_days day) {
    std::chrono::year_month_day date(day);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// One segment of a bar, from `base` up by `amount`, in the drawing's units.
std::string Segment(const char* kind, double x, double width, double base, double height) {
    if (height <= 0) return "";
    return "<rect class=\"bar-" + std::string(kind) + "\" x=\"" + Number(x) + "\" y=\"" +
           Number(base - height) + "\" width=\"" + Number(width) + "\" height=\"" + Number(height) +
           "\"/>";
}

std::string Label(const char* anchor, double x, double y, const std::string& text) {
    return "<text class=\"axis\" text-anchor=\"" + std::string(anchor) + "\" x=\"" + Number(x) +
           "\" y=\"" + Number(y) + "\">" + EscapeHtml(text) + "</text>";
}

}  // namespace

std::vector<std::string> LastDays(const LocalTime& today, int count) {
    std::chrono::sys_days last = std::chrono::year_month_day(
        std::chrono::year(today.year), std::chrono::month(static_cast<unsigned>(today.month)),
        std::chrono::day(static_cast<unsigned>(today.day)));
    std::vector<std::string> days;
    for (int back = count - 1; back >= 0; --back) {
        days.push_back(DayName(last - std::chrono::days(back)));
    }
    return days;
}

std::vector<DayFigures> FiguresOfDays(const std::vector<std::string>& days,
                                      const std::vector<DayFigures>& found) {
    std::vector<DayFigures> result;
    for (const std::string& day : days) {
        DayFigures sum;
        sum.day = day;
        for (const DayFigures& figures : found) {
            if (figures.day != day) continue;
            sum.judged += figures.judged;
            sum.killed += figures.killed;
            sum.hidden += figures.hidden;
            sum.kept += figures.kept;
        }
        result.push_back(sum);
    }
    return result;
}

std::string DailyChartSvg(const std::vector<DayFigures>& days) {
    int64_t largest = 0;
    for (const DayFigures& day : days) {
        largest = std::max({largest, day.judged, day.killed + day.hidden + day.kept});
    }
    const double plotWidth = kWidth - kLeft - kRight;
    const double plotHeight = kHeight - kTop - kBottom;
    const double baseline = kHeight - kBottom;
    const double slot = days.empty() ? plotWidth : plotWidth / static_cast<double>(days.size());
    const double barWidth = slot * (100 - kBarGapPercent) / 100.0;
    const double scale = largest > 0 ? plotHeight / static_cast<double>(largest) : 0;

    std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + std::to_string(kWidth) + " " +
                      std::to_string(kHeight) +
                      "\" role=\"img\" aria-label=\"Messages judged per day\" "
                      "xmlns=\"http://www.w3.org/2000/svg\">";
    svg += "<line class=\"grid\" x1=\"" + std::to_string(kLeft) + "\" x2=\"" +
           std::to_string(kWidth - kRight) + "\" y1=\"" + std::to_string(kTop) + "\" y2=\"" +
           std::to_string(kTop) + "\"/>";
    svg += "<line class=\"baseline\" x1=\"" + std::to_string(kLeft) + "\" x2=\"" +
           std::to_string(kWidth - kRight) + "\" y1=\"" + Number(baseline) + "\" y2=\"" +
           Number(baseline) + "\"/>";
    svg += Label("end", kLeft - 6, kTop + 4, std::to_string(largest));
    svg += Label("end", kLeft - 6, baseline, "0");
    for (size_t i = 0; i < days.size(); ++i) {
        const DayFigures& day = days[i];
        double x = kLeft + slot * static_cast<double>(i) + (slot - barWidth) / 2;
        double base = baseline;
        svg += "<g class=\"day\"><title>" + EscapeHtml(day.day) + ": " +
               std::to_string(day.judged) + " judged, " + std::to_string(day.killed) + " killed, " +
               std::to_string(day.hidden) + " hidden, " + std::to_string(day.kept) +
               " kept</title>";
        // An invisible full-height target, so that an empty day shows its title too.
        svg += "<rect class=\"hover\" x=\"" + Number(x) + "\" y=\"" + std::to_string(kTop) +
               "\" width=\"" + Number(barWidth) + "\" height=\"" + Number(plotHeight) + "\"/>";
        const std::pair<const char*, int64_t> segments[] = {
            {"kept", day.kept}, {"hidden", day.hidden}, {"killed", day.killed}};
        for (const auto& [kind, amount] : segments) {
            double height = static_cast<double>(amount) * scale;
            svg += Segment(kind, x, barWidth, base, height);
            base -= height;
        }
        svg += "</g>";
    }
    if (!days.empty()) {
        const size_t labelled[] = {0, days.size() / 2, days.size() - 1};
        const char* anchors[] = {"start", "middle", "end"};
        for (int k = 0; k < 3; ++k) {
            size_t i = labelled[k];
            double x = k == 0   ? kLeft
                       : k == 2 ? kWidth - kRight
                                : kLeft + slot * (static_cast<double>(i) + 0.5);
            svg += Label(anchors[k], x, kHeight - 8, days[i].day);
        }
    }
    svg += "</svg>";
    return svg;
}
