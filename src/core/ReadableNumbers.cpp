#include "core/ReadableNumbers.h"

namespace quillet {

namespace {

using Wide = unsigned __int128;

const char* const kSizeUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
const char* const kRateUnits[] = {"B/s", "kB/s", "MB/s", "GB/s"};
const char* const kTimeUnits[] = {"µs", "ms", "s"};

// value / divisor rounded half up, in a width that cannot overflow.
std::uint64_t Rounded(Wide value, Wide divisor)
{
    return static_cast<std::uint64_t>((value + divisor / 2) / divisor);
}

std::string Scaled(std::uint64_t value, unsigned step, const char* const* units, int unitCount, bool trimZero)
{
    int unit = 0;
    Wide divisor = 1;
    while (unit + 1 < unitCount && value >= divisor * step) {
        divisor *= step;
        ++unit;
    }
    for (;;) {
        const auto with = [&](const std::string& figure) { return figure + ' ' + units[unit]; };
        if (unit == 0)
            return with(GroupedCount(value));
        const std::uint64_t tenths = Rounded(Wide{value} * 10, divisor);
        if (tenths < 1000) {
            if (trimZero && tenths % 10 == 0)
                return with(std::to_string(tenths / 10));
            return with(std::to_string(tenths / 10) + '.' + std::to_string(tenths % 10));
        }
        const std::uint64_t whole = Rounded(value, divisor);
        if (whole < step || unit + 1 == unitCount)
            return with(GroupedCount(whole));
        divisor *= step;  // 1023.6 KiB reads as 1.0 MiB
        ++unit;
    }
}

}  // namespace

std::string GroupedCount(std::uint64_t n)
{
    const std::string digits = std::to_string(n);
    std::string text;
    text.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

std::string ByteSizeText(std::uint64_t bytes)
{
    return Scaled(bytes, 1024, kSizeUnits, 5, false);
}

std::string ByteRateText(std::uint64_t bytesPerSecond, bool trimZero)
{
    return Scaled(bytesPerSecond, 1000, kRateUnits, 4, trimZero);
}

std::string ExactBytesText(std::uint64_t bytes)
{
    return GroupedCount(bytes) + " B";
}

std::string ExactRateText(std::uint64_t bytesPerSecond)
{
    return GroupedCount(bytesPerSecond) + " B/s";
}

std::string DurationText(std::int64_t us)
{
    if (us < 0)
        return {};
    const auto u = static_cast<std::uint64_t>(us);
    constexpr std::uint64_t kMinute = 60'000'000, kHour = 60 * kMinute;
    if (u < kMinute)
        return Scaled(u, 1000, kTimeUnits, 3, false);
    if (u < kHour) {
        const std::uint64_t seconds = Rounded(u, 1'000'000);
        return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    }
    const std::uint64_t minutes = Rounded(u, kMinute);
    return GroupedCount(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

std::string ExactDurationText(std::int64_t us)
{
    return us < 0 ? std::string() : GroupedCount(static_cast<std::uint64_t>(us)) + " µs";
}

}  // namespace quillet
