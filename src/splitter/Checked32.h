#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "core/Twips.h"

namespace quillet {

// A computation whose result does not fit its 32-bit destination.
class OverflowError : public std::overflow_error {
public:
    OverflowError() : std::overflow_error("Overflow") {}
};

// Nearest 32-bit integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
// Throws OverflowError when the value does not fit, or is not a number.
inline std::int32_t ToInt32HalfEven(double v)
{
    if (!std::isfinite(v) || v < -2147483649.0 || v > 2147483648.0)
        throw OverflowError();
    const long r = RoundHalfEven(v);
    if (r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
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

}  // namespace quillet
