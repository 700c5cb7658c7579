#include "core/ChartScale.h"

#include <cmath>
#include <ctime>

namespace quillet {

ValueAxis ValueAxisFor(double highest, int maxSteps)
{
    ValueAxis axis;
    if (!(highest > 0))
        return axis;
    maxSteps = maxSteps < 1 ? 1 : maxSteps;
    const double least = highest / maxSteps;
    // 1, 2, 5, 10, 20, 50, ... up to the first that reaches least.
    std::uint64_t power = 1;
    for (;;) {
        for (const std::uint64_t m : {1u, 2u, 5u}) {
            axis.step = m * power;
            if (static_cast<double>(axis.step) >= least || axis.step > UINT64_MAX / 20) {
                const double steps = std::ceil(highest / static_cast<double>(axis.step));
                axis.top = axis.step * static_cast<std::uint64_t>(steps < 1 ? 1 : steps);
                return axis;
            }
        }
        power *= 10;
    }
}

TimeAxis TimeAxisFor(std::int64_t first, std::int64_t last, std::int64_t anchor, int maxTicks)
{
    static constexpr std::int64_t kMinute = 60, kHour = 3600, kDay = 86400;
    static constexpr std::int64_t kSteps[] = {1,  2,  5,  10,  15,  30,  kMinute, 2 * kMinute, 5 * kMinute,
                                              10 * kMinute, 15 * kMinute, 30 * kMinute, kHour, 2 * kHour,
                                              3 * kHour, 6 * kHour, 12 * kHour, kDay};
    TimeAxis axis;
    if (last < first || maxTicks < 1)
        return axis;
    // The first second at or after first that lies on the step's grid.
    const auto firstTick = [&](std::int64_t step) {
        const std::int64_t off = ((first - anchor) % step + step) % step;
        return off == 0 ? first : first + (step - off);
    };
    const auto count = [&](std::int64_t step) {
        const std::int64_t from = firstTick(step);
        return from > last ? 0 : (last - from) / step + 1;
    };
    axis.step = 0;
    for (const std::int64_t step : kSteps)
        if (count(step) <= maxTicks) {
            axis.step = step;
            break;
        }
    if (axis.step == 0) {  // whole days, as many as it takes
        axis.step = kDay * ((last - first) / (kDay * maxTicks) + 1);
        while (count(axis.step) > maxTicks)
            axis.step += kDay;
    }
    for (std::int64_t t = firstTick(axis.step); t <= last; t += axis.step)
        axis.ticks.push_back(t);
    return axis;
}

std::vector<std::string> ClockTickLabels(const TimeAxis& axis, std::int64_t utcOffset)
{
    const char* format = axis.step < 300 ? "%H:%M:%S" : axis.step < 86400 ? "%H:%M" : "%Y-%m-%d";
    std::vector<std::string> labels;
    labels.reserve(axis.ticks.size());
    for (const std::int64_t t : axis.ticks) {
        const std::time_t local = static_cast<std::time_t>(t + utcOffset);
        std::tm parts{};
        char text[32] = {};
        if (gmtime_r(&local, &parts))
            std::strftime(text, sizeof text, format, &parts);
        labels.emplace_back(text);
    }
    return labels;
}

std::int64_t CoarserSeconds(std::int64_t seconds)
{
    static constexpr std::int64_t kLadder[] = {60, 300, 900, 1800, 3600, 10800, 21600, 43200, 86400};
    for (const std::int64_t width : kLadder)
        if (width > seconds)
            return width;
    return seconds * 2;
}

std::int64_t PointSecondsFor(std::int64_t span, std::int64_t least, int maxPoints)
{
    std::int64_t step = least < kFirstCoarseSeconds ? kFirstCoarseSeconds : least;
    maxPoints = maxPoints < 1 ? 1 : maxPoints;
    while ((span + step - 1) / step > maxPoints)
        step = CoarserSeconds(step);
    return step;
}

ChartSpan ChartSpanFor(std::int64_t oldest, std::int64_t newest, std::int64_t fineSeconds, std::int64_t least,
                       int maxPoints)
{
    ChartSpan span;
    if (newest - oldest < fineSeconds) {
        span.first = newest - fineSeconds + 1;
        span.count = static_cast<std::size_t>(fineSeconds);
        return span;
    }
    span.step = PointSecondsFor(newest - oldest + 1, least, maxPoints);
    span.first = FloorTo(oldest, span.step);
    span.count = static_cast<std::size_t>((newest - span.first) / span.step + 1);
    return span;
}

}  // namespace quillet
