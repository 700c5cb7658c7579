#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace quillet {

// A computation whose result does not fit its 32-bit destination.
class OverflowError : public std::overflow_error {
public:
    OverflowError() : std::overflow_error("Overflow") {}
};

// Nearest 32-bit integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
// Throws OverflowError when the value does not fit, or is not a number.
inline std::int32_t RoundHalfEven(double v)
{
    if (!std::isfinite(v))
        throw OverflowError();
    double r = std::floor(v);
    const double diff = v - r;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0))
        r += 1.0;
    if (r < static_cast<double>(std::numeric_limits<std::int32_t>::min())
        || r > static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        throw OverflowError();
    return static_cast<std::int32_t>(r);
}

// 32-bit products and differences that report overflow instead of wrapping.
inline std::int32_t CheckedMul(std::int32_t a, std::int32_t b)
{
    std::int32_t r;
    if (__builtin_mul_overflow(a, b, &r))
        throw OverflowError();
    return r;
}

inline std::int32_t CheckedSub(std::int32_t a, std::int32_t b)
{
    std::int32_t r;
    if (__builtin_sub_overflow(a, b, &r))
        throw OverflowError();
    return r;
}

// Screen geometry: 15 twips per pixel (1440 twips per inch at 96 dots per inch).
inline constexpr int kTwipsPerPixel = 15;

// Twips to whole pixels, nearest integer with halves to even.
inline int TwipsToPixels(double twips, int twipsPerPixel = kTwipsPerPixel)
{
    return RoundHalfEven(twips / twipsPerPixel);
}

}  // namespace quillet
