// The overview's chart: messages judged, killed, hidden and kept per day,
// drawn by the server as SVG, so that the page needs no script and nothing
// from elsewhere to show it.
#pragma once

#include <string>
#include <vector>

#include "platform/clock.h"
#include "web/provider.h"

// Days the overview shows.
inline constexpr int kChartDays = 30;

// Returns the names ("YYYY-MM-DD") of the `count` days ending with the day
// of `today`, oldest first.
std::vector<std::string> LastDays(const LocalTime& today, int count);

// Returns one entry per name of `days`, in that order: the figures found for
// that day (summed, when a day is found more than once), zeros for a day not
// found. Figures of other days are left out.
std::vector<DayFigures> FiguresOfDays(const std::vector<std::string>& days,
                                      const std::vector<DayFigures>& found);

// Returns an <svg> element with one stacked bar per day (killed on top of
// hidden on top of kept, the whole bar scaled to the largest day), each day
// named with its figures in a <title> that the browser shows on hover, the
// largest figure on the axis, and the first, middle and last dates below.
std::string DailyChartSvg(const std::vector<DayFigures>& days);
