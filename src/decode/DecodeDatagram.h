#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

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
std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram);

// Protocol text: "ICMP", "TCP", "UDP", or the decimal protocol number.
FixedText<7> ProtocolText(std::uint8_t protocol);

}  // namespace quillet
