#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/FixedText.h"

namespace quillet {

// What one IPv4 datagram decodes to: the texts of a packet record except its
// time of arrival, plus the payload size as a number.
struct DecodedDatagram {
    FixedText<7> protocol;
    FixedText<15> srcAddr;
    FixedText<15> destAddr;
    FixedText<5> srcPort;   // empty when the datagram carries no ports
    FixedText<5> destPort;
    std::string data;       // payload bytes, one character per byte
    std::int32_t size = 0;  // payload size in bytes
    std::size_t payloadAt = 0;  // where the payload starts in the datagram
};

// Decodes one whole IPv4 datagram, header included.
//
// Header lengths come from the datagram itself (IPv4 IHL, TCP data offset);
// options are neither ports nor payload. The payload ends at the IPv4 total
// length when that is shorter than what was read (link-layer padding); a total
// length of 0 (segmentation offload) or one longer than what was read falls
// back to what was read. A fragment other than the first has no transport
// header. Anything that is not IPv4 or is too short for the headers it declares
// yields no record.
//
// With copyPayload false, data stays empty: the payload is the size bytes at
// payloadAt in the datagram (PayloadView), for a caller that keeps it itself.
std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram, bool copyPayload = true);

// The payload bytes of a datagram DecodeDatagram decoded into d.
inline std::string_view PayloadView(std::span<const std::uint8_t> datagram, const DecodedDatagram& d)
{
    return {reinterpret_cast<const char*>(datagram.data()) + d.payloadAt, static_cast<std::size_t>(d.size)};
}

// Protocol text: "ICMP", "TCP", "UDP", or the decimal protocol number.
FixedText<7> ProtocolText(std::uint8_t protocol);

}  // namespace quillet
