#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

// Where a chart's axes put their grid lines.

// A value axis from 0 to top in steps of step: a round step (1, 2 or 5
// times a power of ten, at least 1) that reaches the highest value in at most
// maxSteps steps, top the first multiple of it at or above the highest value
// (one step when every value is 0).
struct ValueAxis {
    std::uint64_t step = 1;
    std::uint64_t top = 1;
    int Steps() const { return static_cast<int>(top / step); }
};
ValueAxis ValueAxisFor(double highest, int maxSteps);

// A time axis over the seconds first to last: ticks every step seconds, the
// step the shortest of 1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15, 30 min, 1, 2,
// 3, 6, 12 h and whole days that puts at most maxTicks ticks in the span,
// each tick a second t with (t - anchor) a multiple of step, oldest first.
// anchor = last counts back from the present; anchor = minus the local
// time's offset from UTC puts the ticks on whole minutes of the clock.
struct TimeAxis {
    std::int64_t step = 1;
    std::vector<std::int64_t> ticks;
};
TimeAxis TimeAxisFor(std::int64_t first, std::int64_t last, std::int64_t anchor, int maxTicks);

// The clock texts of a time axis's ticks, as a file's chart shows them:
// "HH:MM:SS" while the ticks are less than five minutes apart, "HH:MM"
// while less than a day, else "YYYY-MM-DD". utcOffset: the local time's seconds
// east of UTC.
std::vector<std::string> ClockTickLabels(const TimeAxis& axis, std::int64_t utcOffset);

// The widths of the buckets a long history is kept in, and of the points a
// chart of a long span shows: 1, 5, 15 and 30 minutes, 1, 3, 6 and 12 hours,
// then days doubling; each a multiple of the one before.
constexpr std::int64_t kFirstCoarseSeconds = 60;
std::int64_t CoarserSeconds(std::int64_t seconds);
// The point width for a chart over span seconds whose data is kept in
// buckets of least seconds (one of the widths above): the shortest width,
// least or coarser, that puts at most maxPoints points in the span.
std::int64_t PointSecondsFor(std::int64_t span, std::int64_t least, int maxPoints);
// The points of a chart of packets from oldest to newest (seconds since the
// epoch): while they span less than fineSeconds, the last fineSeconds
// seconds up to newest, one a second; else their whole span in points of
// PointSecondsFor(span, least, maxPoints) seconds, the first on a multiple
// of that.
struct ChartSpan {
    std::int64_t first = 0;
    std::int64_t step = 1;
    std::size_t count = 0;
    std::int64_t Last() const { return first + (static_cast<std::int64_t>(count) - 1) * step; }
};
ChartSpan ChartSpanFor(std::int64_t oldest, std::int64_t newest, std::int64_t fineSeconds, std::int64_t least,
                       int maxPoints);
// t rounded down to a multiple of step (negative t too).
constexpr std::int64_t FloorTo(std::int64_t t, std::int64_t step)
{
    return t >= 0 ? t - t % step : t - ((t % step) + step) % step;
}

}  // namespace quillet
