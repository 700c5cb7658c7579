#pragma once

#include <cstddef>
#include <string_view>

#include "core/FixedText.h"

namespace quillet {

// A time of day as the list shows it: "HH:MM:SS" (hms, already formatted),
// the decimal separator, then two digits of hundredths (0..99).
inline FixedText<15> ClockText(std::string_view hms, std::string_view separator, int hundredths)
{
    char text[15];
    std::size_t n = 0;
    for (char c : hms.substr(0, 8))
        text[n++] = c;
    for (char c : separator.substr(0, sizeof text - n - 2))
        text[n++] = c;
    text[n++] = static_cast<char>('0' + hundredths / 10);
    text[n++] = static_cast<char>('0' + hundredths % 10);
    return FixedText<15>(std::string_view(text, n));
}

}  // namespace quillet
