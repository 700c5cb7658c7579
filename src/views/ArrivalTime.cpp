#include "views/ArrivalTime.h"

#include <ctime>

#include <QLocale>

#include "core/ClockText.h"

namespace quillet {

ArrivalTime::ArrivalTime() : ArrivalTime(QLocale::system().decimalPoint().toStdString()) {}

ArrivalTime::ArrivalTime(std::string decimalSeparator) : separator_(std::move(decimalSeparator))
{
    if (separator_.empty())
        separator_.push_back('.');  // not `= "."`, which GCC 12 warns about wrongly (-Wrestrict)
    // mHora holds at most 15 bytes: 8 for the time, 2 for the hundredths.
    if (separator_.size() > 5)
        separator_.resize(5);
}

FixedText<15> ArrivalTime::operator()(std::int64_t timestampUs)
{
    // Floor division, so a time before the epoch still splits correctly.
    std::int64_t second = timestampUs / 1000000;
    std::int64_t micros = timestampUs % 1000000;
    if (micros < 0) {
        micros += 1000000;
        --second;
    }
    if (second != cachedSecond_) {
        const std::time_t t = static_cast<std::time_t>(second);
        std::tm local{};
        localtime_r(&t, &local);
        const int parts[3] = {local.tm_hour, local.tm_min, local.tm_sec};
        for (int i = 0; i < 3; ++i) {
            hms_[i * 3] = static_cast<char>('0' + parts[i] / 10);
            hms_[i * 3 + 1] = static_cast<char>('0' + parts[i] % 10);
            if (i < 2)
                hms_[i * 3 + 2] = ':';
        }
        cachedSecond_ = second;
    }
    const int hundredths = static_cast<int>(micros / 10000);  // truncated
    return ClockText(std::string_view(hms_, sizeof hms_), separator_, hundredths);
}

}  // namespace quillet
