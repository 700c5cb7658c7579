#pragma once

#include <cstdint>
#include <string>

#include "core/FixedText.h"

namespace quillet {

// Makes the time-of-arrival text mHora from one clock reading: the capture
// timestamp in microseconds since the epoch, in local time, as HH:MM:SS (24-hour
// clock), the decimal separator, and two digits of hundredths truncated (never
// rounded into a second that has not begun).
//
// Keeps the text of the last whole second, so consecutive packets of the same
// second cost no time-zone conversion.
class ArrivalTime {
public:
    // The separator of the system locale.
    ArrivalTime();
    // A given separator (UTF-8), e.g. "." or ",".
    explicit ArrivalTime(std::string decimalSeparator);

    FixedText<15> operator()(std::int64_t timestampUs);

    const std::string& separator() const { return separator_; }

private:
    std::string separator_;
    std::int64_t cachedSecond_ = INT64_MIN;
    char hms_[8] = {};
};

}  // namespace quillet
