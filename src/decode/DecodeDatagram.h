#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/FixedText.h"
#include "decode/RecordFields.h"

namespace quillet {

// What one IP datagram decodes to: the fields of a packet record except its
// time of arrival, in the record's own form, plus the payload size as a
// number.
struct DecodedDatagram {
    ProtocolText7 protocol;
    AddressText srcAddr;
    AddressText destAddr;
    PortText5 srcPort;   // empty when the datagram carries no ports
    PortText5 destPort;
    std::string data;       // payload bytes, one character per byte
    std::int32_t size = 0;  // payload size in bytes
    std::size_t payloadAt = 0;  // where the payload starts in the datagram
    std::uint8_t tcpFlags = 0;  // TCP: the header's flags (FIN 0x01, SYN 0x02, RST 0x04, ACK 0x10); else 0
};

// Decodes one whole IPv4 or IPv6 datagram (the version nibble tells),
// header included.
//
// IPv4: header lengths come from the datagram itself (IHL, TCP data offset);
// options are neither ports nor payload. The payload ends at the total
// length when that is shorter than what was read (link-layer padding); a
// total length of 0 (segmentation offload) or one longer than what was read
// falls back to what was read. A fragment other than the first has no
// transport header.
//
// IPv6: the fixed header, then the extension headers (hop-by-hop, routing,
// fragment, destination options, and AH by its own length) up to the upper
// protocol; the payload length bounds the datagram as IPv4's total length
// does. Ports only for TCP and UDP in a first or unfragmented fragment; for
// any other protocol the payload is everything after the last extension
// header.
//
// Anything else, or a datagram too short for the headers it declares, yields
// no record. With ipv6 false an IPv6 datagram yields none either.
//
// With copyPayload false, data stays empty: the payload is the size bytes at
// payloadAt in the datagram (PayloadView), for a caller that keeps it itself.
std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram, bool copyPayload = true,
                                              bool ipv6 = true);

// The payload bytes of a datagram DecodeDatagram decoded into d.
inline std::string_view PayloadView(std::span<const std::uint8_t> datagram, const DecodedDatagram& d)
{
    return {reinterpret_cast<const char*>(datagram.data()) + d.payloadAt, static_cast<std::size_t>(d.size)};
}

// Protocol text: "ICMP", "TCP", "UDP", or the decimal protocol number.
FixedText<7> ProtocolText(std::uint8_t protocol);

}  // namespace quillet
