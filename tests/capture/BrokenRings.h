#pragma once

// Rings of frames that break the rules the window reads them by, written as
// the capture program writes a ring (FrameRing.h): the position at the start
// of the header page, records of channel::Head and body, 8-byte aligned.
// Each ring holds one good frame first, then its fault.

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "capture/CaptureChannel.h"

namespace quillet::test {

inline constexpr std::size_t kRingHeaderBytes = 4096;
// Room for a record longer than any frame, so that only its length is wrong.
inline constexpr std::size_t kRingDataBytes = 256 * 1024;

struct RingFault {
    const char* name;
    // Writes what follows the good frame at offset `at` of the data area;
    // returns the position to publish.
    std::uint64_t (*write)(std::uint8_t* data, std::size_t dataBytes, std::uint64_t at);
};

inline void PutHead(std::uint8_t* data, std::uint64_t at, std::uint32_t kind, std::uint32_t length)
{
    const channel::Head head{kind, length};
    std::memcpy(data + at, &head, sizeof head);
}

// The faults a ring can have, by what they break.
inline constexpr RingFault kRingFaults[] = {
    {"a position not on a record boundary", [](std::uint8_t*, std::size_t, std::uint64_t at) { return at + 4; }},
    {"a position more than the ring ahead",
     [](std::uint8_t*, std::size_t dataBytes, std::uint64_t at) { return at + dataBytes + 8; }},
    {"a record longer than any frame",
     [](std::uint8_t* data, std::size_t, std::uint64_t at) {
         // Published whole, and within a ring of kRingDataBytes.
         PutHead(data, at, channel::kFrame, channel::kMaxBody + 8);
         return at + sizeof(channel::Head) + channel::kMaxBody + 8;
     }},
    {"a record longer than what was published",
     [](std::uint8_t* data, std::size_t, std::uint64_t at) {
         PutHead(data, at, channel::kFrame, 200);
         return at + 64;
     }},
    {"a record running past the end of the ring",
     [](std::uint8_t* data, std::size_t dataBytes, std::uint64_t at) {
         // A skip record up to 16 bytes before the end, then a record of 24.
         PutHead(data, at, channel::kSkip, static_cast<std::uint32_t>(dataBytes - 16 - at - sizeof(channel::Head)));
         PutHead(data, dataBytes - 16, channel::kFrame, 16);
         return dataBytes;
     }},
};

// Fills the ring at base (header page, then dataBytes) with one frame
// record holding frame, then fault, and publishes it.
inline void WriteBrokenRing(std::uint8_t* base, std::size_t dataBytes, const RingFault& fault,
                            std::span<const std::uint8_t> frame)
{
    std::uint8_t* data = base + kRingHeaderBytes;
    const channel::FrameHead frameHead{1700000000000000, static_cast<std::uint32_t>(frame.size()), 0};
    const std::uint32_t body = static_cast<std::uint32_t>(sizeof frameHead + frame.size());
    PutHead(data, 0, channel::kFrame, body);
    std::memcpy(data + sizeof(channel::Head), &frameHead, sizeof frameHead);
    std::memcpy(data + sizeof(channel::Head) + sizeof frameHead, frame.data(), frame.size());
    const std::uint64_t next = (sizeof(channel::Head) + body + 7) & ~std::uint64_t{7};
    const std::uint64_t published = fault.write(data, dataBytes, next);
    std::memcpy(base, &published, sizeof published);
}

}  // namespace quillet::test
