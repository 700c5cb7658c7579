#pragma once

#include <cstdint>
#include <string>

namespace quillet {

// Numbers as a person reads them at a glance, with a point before the
// decimal and a comma between thousands.

// A count with thousands separators: 185452205 -> "185,452,205".
std::string GroupedCount(std::uint64_t n);

// A size in binary units (B, KiB, MiB, GiB, TiB): bytes below 1024 as they
// are ("900 B"), otherwise one decimal below 100 of the unit ("1.2 MiB"),
// none from 100 up ("177 MiB"), rounded half up; a figure that rounds to
// 1024 of a unit is shown in the next one ("1.0 MiB"). Beyond the largest
// unit the figure grows, grouped ("16,777,216 TiB").
std::string ByteSizeText(std::uint64_t bytes);

// A rate in decimal units (B/s, kB/s, MB/s, GB/s) by the same rules with
// steps of 1000: "61.8 MB/s". trimZero leaves off a decimal of 0 ("2 kB/s"
// rather than "2.0 kB/s"), as an axis's round figures read best.
std::string ByteRateText(std::uint64_t bytesPerSecond, bool trimZero = false);

// The exact figures behind them: "185,452,205 B", "61,817,826 B/s".
std::string ExactBytesText(std::uint64_t bytes);
std::string ExactRateText(std::uint64_t bytesPerSecond);

// A time span in microseconds by the same rules with steps of 1000 up to
// seconds ("850 µs", "12.3 ms", "1.5 s", "42.0 s"), then as minutes and
// seconds ("2 min 5 s") and from an hour as hours and minutes ("3 h 7 min");
// empty for a negative span. The exact figure: "1,234,567 µs".
std::string DurationText(std::int64_t us);
std::string ExactDurationText(std::int64_t us);

}  // namespace quillet
