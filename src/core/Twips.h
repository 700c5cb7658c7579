#pragma once

#include <cmath>

namespace quillet {

// Nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4,
// -0.5 -> 0). Independent of the floating-point rounding mode in force.
inline long RoundHalfEven(double x)
{
    const double lower = std::floor(x);
    const double diff = x - lower;
    long n = static_cast<long>(lower);
    if (diff > 0.5 || (diff == 0.5 && (n % 2) != 0))
        ++n;
    return n;
}

// 15 twips per pixel (96 dots per inch).
inline constexpr int kTwipsPerPixel = 15;

inline int TwipsToPixels(double twips)
{
    return static_cast<int>(RoundHalfEven(twips / kTwipsPerPixel));
}

inline double PixelsToTwips(int pixels)
{
    return static_cast<double>(pixels) * kTwipsPerPixel;
}

}  // namespace quillet
