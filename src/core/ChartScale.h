#pragma once

#include <cstdint>
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

}  // namespace quillet
