#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "core/ChartScale.h"
#include "core/ReadableNumbers.h"
#include "views/TrafficTotals.h"

namespace quillet {
namespace {

constexpr std::uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024;

TEST(ReadableNumbers, SizesInBinaryUnitsRoundHalfUpAndCarryIntoTheNextUnit)
{
    struct Case {
        std::uint64_t bytes;
        const char* text;
    } const cases[] = {
        {0, "0 B"}, {1023, "1,023 B"}, {1024, "1.0 KiB"}, {1536, "1.5 KiB"},
        {1075, "1.0 KiB"}, {1076, "1.1 KiB"},           // 1.0498 / 1.0508 KiB
        {KiB * 99 + 972, "99.9 KiB"},                   // 99.949 KiB
        {KiB * 99 + 973, "100 KiB"},                    // 99.950: no decimal from 100 up
        {KiB * 1023 + 511, "1,023 KiB"}, {KiB * 1023 + 512, "1.0 MiB"},  // not "1024 KiB"
        {185452205, "177 MiB"}, {GiB * 3 / 2, "1.5 GiB"}, {TiB, "1.0 TiB"},
        {UINT64_MAX, "16,777,216 TiB"},                 // no unit beyond TiB
    };
    for (const Case& c : cases)
        EXPECT_EQ(ByteSizeText(c.bytes), c.text) << c.bytes;
}

TEST(ReadableNumbers, RatesInDecimalUnitsCountsGroupedAndTheExactFigures)
{
    struct Case {
        std::uint64_t perSecond;
        const char* text;
        const char* trimmed;  // as an axis label
    } const cases[] = {
        {0, "0 B/s", "0 B/s"}, {999, "999 B/s", "999 B/s"}, {1000, "1.0 kB/s", "1 kB/s"},
        {1050, "1.1 kB/s", "1.1 kB/s"},  // half up
        {99949, "99.9 kB/s", "99.9 kB/s"}, {99950, "100 kB/s", "100 kB/s"},
        {999499, "999 kB/s", "999 kB/s"}, {999500, "1.0 MB/s", "1 MB/s"}, {3400000, "3.4 MB/s", "3.4 MB/s"},
        {1000000000000, "1,000 GB/s", "1,000 GB/s"},  // no unit beyond GB/s
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ByteRateText(c.perSecond), c.text) << c.perSecond;
        EXPECT_EQ(ByteRateText(c.perSecond, true), c.trimmed) << c.perSecond;
    }
    struct Count {
        std::uint64_t n;
        const char* grouped;
    } const counts[] = {{0, "0"}, {999, "999"}, {1000, "1,000"}, {185452205, "185,452,205"},
                        {UINT64_MAX, "18,446,744,073,709,551,615"}};
    for (const Count& c : counts)
        EXPECT_EQ(GroupedCount(c.n), c.grouped) << c.n;
    EXPECT_EQ(ExactBytesText(185452205), "185,452,205 B");
    EXPECT_EQ(ExactRateText(61817826), "61,817,826 B/s");
}

TEST(ReadableNumbers, DurationsFromMicrosecondsToHours)
{
    const struct {
        std::int64_t us;
        const char* text;
    } cases[] = {{-1, ""}, {0, "0 µs"}, {850, "850 µs"}, {12345, "12.3 ms"}, {999600, "1.0 s"},
                 {42000000, "42.0 s"}, {125400000, "2 min 5 s"}, {11220000000, "3 h 7 min"}};
    for (const auto& c : cases)
        EXPECT_EQ(DurationText(c.us), c.text) << c.us;
    EXPECT_EQ(ExactDurationText(1234567), "1,234,567 µs");
}

TEST(ChartScale, ValueStepsAreRoundAndReachTheHighestValue)
{
    struct Case {
        double highest;
        int maxSteps;
        std::uint64_t step, top;
    } const cases[] = {
        {0, 5, 1, 1}, {0.4, 5, 1, 1},  // never below 1
        {7, 5, 2, 8}, {10, 5, 2, 10}, {11, 5, 5, 15}, {26, 5, 10, 30}, {1001, 5, 500, 1500},
        {61817826, 5, 20000000, 80000000}, {61817826, 1, 100000000, 100000000},
        {5, 0, 5, 5},  // at least one step
    };
    for (const Case& c : cases) {
        const ValueAxis axis = ValueAxisFor(c.highest, c.maxSteps);
        EXPECT_EQ(axis.step, c.step) << c.highest << " in " << c.maxSteps;
        EXPECT_EQ(axis.top, c.top) << c.highest << " in " << c.maxSteps;
        EXPECT_LE(axis.Steps(), std::max(1, c.maxSteps)) << c.highest;
        EXPECT_GE(static_cast<double>(axis.top), c.highest);
    }
}

TEST(ChartScale, TimeTicksCountBackFromTheAnchorAtTheShortestStepThatFits)
{
    constexpr std::int64_t t0 = 1700000000;  // 22:13:20 UTC, 20 s past a minute
    struct Case {
        std::int64_t first, last, anchor;
        int maxTicks;
        std::int64_t step;
        std::vector<std::int64_t> ticks;  // relative to last
    } const cases[] = {
        // Five minutes counted back from now: every minute, now the last.
        {t0 - 299, t0, t0, 6, 60, {-240, -180, -120, -60, 0}},
        {t0 - 299, t0, t0, 3, 120, {-240, -120, 0}},
        {t0 - 299, t0, t0, 1, 300, {0}},
        // On the clock's minutes: t0 is 20 s past a minute of UTC.
        {t0 - 299, t0, 0, 6, 60, {-260, -200, -140, -80, -20}},
        // ... and of a zone 5:30 ahead (anchor minus the offset).
        {t0 - 299, t0, -19800, 6, 60, {-260, -200, -140, -80, -20}},
        // A short span in seconds; a span of days in whole days.
        {t0 - 4, t0, t0, 10, 1, {-4, -3, -2, -1, 0}},
        {t0 - 9, t0, t0, 4, 5, {-5, 0}},
        {t0 - 10 * 86400, t0, t0, 3, 4 * 86400, {-8 * 86400, -4 * 86400, 0}},
    };
    for (const Case& c : cases) {
        const TimeAxis axis = TimeAxisFor(c.first, c.last, c.anchor, c.maxTicks);
        std::vector<std::int64_t> ticks;
        for (const std::int64_t t : axis.ticks)
            ticks.push_back(t - c.last);
        EXPECT_EQ(axis.step, c.step) << c.first - c.last << " anchor " << c.anchor << " max " << c.maxTicks;
        EXPECT_EQ(ticks, c.ticks) << c.first - c.last << " anchor " << c.anchor << " max " << c.maxTicks;
    }
    EXPECT_TRUE(TimeAxisFor(10, 5, 0, 5).ticks.empty());
}

TEST(RateHistory, CountsPacketsAndBytesOfEachSecondAndForgetsWhatIsOlderThanFiveMinutes)
{
    TrafficTotals::Row row;
    constexpr std::int64_t s = 1700000000, us = 1000000;
    for (int i = 0; i < 3; ++i)
        row.Add(true, 100, s * us + i);  // three packets in one second
    row.Add(false, 40, (s + 2) * us);
    row.Add(false, 60, (s + 2) * us + 5);
    row.Add(true, 7, (s + 400) * us);  // long after: the first seconds are gone
    const auto tail = [](const std::vector<double>& v, std::size_t n) { return std::vector<double>(v.end() - n, v.end()); };
    EXPECT_EQ(tail(row.Values(s + 2, RateMeasure::Bytes), 3), (std::vector<double>{300, 0, 100}));
    EXPECT_EQ(tail(row.Values(s + 2, RateMeasure::Packets), 3), (std::vector<double>{3, 0, 2}));
    const std::vector<double> late = row.Values(s + 400, RateMeasure::Packets);
    EXPECT_EQ(late.back(), 1);
    double all = 0;
    for (const double v : late)
        all += v;
    EXPECT_EQ(all, 1);
}

// A file's chart over its whole span: a point a second up to five minutes,
// then the shortest width of minutes or hours that fits, never finer than
// the row keeps; the ticks on the clock (UTC here) in seconds, minutes or days.
TEST(ChartScale, AFileSpanOfSecondsMinutesHoursOrDaysInPointsThatFitWithClockTicks)
{
    constexpr std::int64_t t0 = 1700000000;  // 2023-11-14 22:13:20 UTC
    struct Case {
        std::int64_t span, least;
        std::int64_t step, first;
        std::size_t count;
        std::vector<std::string> ticks;
    } const cases[] = {
        {40, 60, 1, t0 + 40 - 299, 300, {"22:10:00", "22:11:00", "22:12:00", "22:13:00", "22:14:00"}},
        {1200, 60, 60, t0 - 20, 21, {"22:15", "22:20", "22:25", "22:30"}},
        {10800, 60, 60, t0 - 20, 181, {"22:30", "23:00", "23:30", "00:00", "00:30", "01:00"}},
        {10800, 900, 900, t0 - 800, 13, {"22:00", "23:00", "00:00", "01:00"}},
        {36000, 60, 300, t0 - 200, 121, {"00:00", "02:00", "04:00", "06:00", "08:00"}},
        {5 * 86400, 60, 1800, t0 - 800, 241, {"2023-11-15", "2023-11-16", "2023-11-17", "2023-11-18", "2023-11-19"}},
    };
    for (const Case& c : cases) {
        const ChartSpan span = ChartSpanFor(t0, t0 + c.span, RateHistory::kSeconds, c.least, 400);
        EXPECT_EQ(span.step, c.step) << c.span;
        EXPECT_EQ(span.first, c.first) << c.span;
        EXPECT_EQ(span.count, c.count) << c.span;
        EXPECT_LE(span.Last(), t0 + c.span);
        EXPECT_GT(span.Last() + span.step, t0 + c.span);
        EXPECT_EQ(ClockTickLabels(TimeAxisFor(span.first, span.Last(), 0, 6), 0), c.ticks) << c.span;
    }
    // Five and a half hours east of UTC: the same instants on that clock.
    EXPECT_EQ(ClockTickLabels(TimeAxisFor(t0 - 20, t0 + 1180, -19800, 6), 19800),
              (std::vector<std::string>{"03:45", "03:50", "03:55", "04:00"}));
}

// Beside its last five minutes a row keeps its whole run in minutes, then in
// wider buckets once the run outgrows them; what it shows over a span are
// averages per second of each point, every packet counted once.
TEST(RateHistory, KeepsTheWholeRunInMinutesOrWiderBucketsAndAveragesThemOverASpan)
{
    constexpr std::int64_t t0 = 1700000000, us = 1000000;
    struct Case {
        const char* name;
        std::vector<std::pair<std::int64_t, std::uint64_t>> packets;  // second after t0, bytes
        std::int64_t coarse, step;
        std::vector<double> points;  // bytes a second from FloorTo(t0, step); empty: not compared
    } const cases[] = {
        {"minutes", {{0, 60}, {30, 120}, {61, 60}, {10800, 600}}, 60, 60, {3, 1}},
        {"out of order", {{600, 60}, {0, 120}, {1, 60}}, 60, 60, {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"five-minute points", {{0, 300}, {200, 300}, {400, 600}}, 60, 300, {1, 1, 2}},
        {"a month, hourly", {}, 10800, 10800, {}},
    };
    for (const Case& c : cases) {
        TrafficTotals::Row row;
        std::uint64_t all = 0;
        std::int64_t latest = 0;
        auto packets = c.packets;
        if (packets.empty())
            for (std::int64_t h = 0; h < 30 * 24; ++h)
                packets.push_back({h * 3600, 1000});
        for (const auto& [second, bytes] : packets) {
            row.Add(false, bytes, (t0 + second) * us);
            all += bytes;
            latest = std::max(latest, second);
        }
        EXPECT_EQ(row.CoarseSeconds(), c.coarse) << c.name;
        const std::int64_t first = FloorTo(t0, c.step);
        const std::size_t count = static_cast<std::size_t>((t0 + latest - first) / c.step + 2);
        const std::vector<double> values = row.SpanValues(first, c.step, count);
        EXPECT_NEAR(std::accumulate(values.begin(), values.end(), 0.0) * c.step, static_cast<double>(all), 1e-6 * all)
            << c.name;
        if (!c.points.empty()) {
            EXPECT_EQ(std::vector<double>(values.begin(), values.begin() + c.points.size()), c.points) << c.name;
        }
    }
}

}  // namespace
}  // namespace quillet
