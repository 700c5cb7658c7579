#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "capture/mdlwinsock.h"

namespace quillet {

// The rate of a running capture over the last second, from readings of its
// running totals (datagrams and bytes read) taken a few times a second.
class RateMeter {
public:
    struct Rate {
        double datagrams = 0;  // per second
        double bytes = 0;      // per second
    };

    // Forgets every reading (a new capture starts from zero).
    void Reset() { readings_.clear(); }
    // Takes a reading at nowMs (any steady clock) and returns the rate over
    // the last second, or since the first reading while there is less.
    Rate Sample(std::int64_t nowMs, std::uint64_t datagrams, std::uint64_t bytes);

private:
    struct Reading {
        std::int64_t ms;
        std::uint64_t datagrams;
        std::uint64_t bytes;
    };
    std::deque<Reading> readings_;
};

// Texts of the status bar panels after panel 1 (UTF-8).
// 1234567 -> "1,234,567".
std::string GroupedNumber(std::uint64_t n);
// 1234 datagrams/s, 1.2 MB/s -> "1,234 包/秒  1.2 MB/秒" (bytes in B, KB, MB,
// GB of 1000).
std::string RateText(const RateMeter::Rate& rate);
// "丢弃 123".
std::string DropsText(std::uint64_t dropped);
// "捕获中 10.77.0.1 (qv0)", and while the interface is down, that it waits;
// while the capture program does not answer, that instead.
std::string CapturingText(const std::string& address, const std::string& interfaceName, LinkState link,
                          bool answering = true);
// After a stop.
std::string StoppedText();

}  // namespace quillet
