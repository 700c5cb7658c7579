#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// A host name that a datagram gives an address: the address as canonical
// text (dotted decimal, or IPv6 in its shortest form) and the name.
struct SeenName {
    std::string address;
    std::string name;
    bool operator==(const SeenName&) const = default;
};

// The answers of one DNS message: each A and AAAA record names its address
// with the question's name, following the CNAME records from the question
// to the record's owner (a record whose owner the chain does not reach is
// named by its owner). Only responses with one question are read. Anything
// malformed (a length or pointer beyond the message, a compression loop, a
// label over 63 bytes, a name over 253 characters or with characters no
// host name has) ends the reading; what was named before stays in out.
// Returns whether the whole message was read.
bool DnsAnswerNames(std::span<const std::uint8_t> message, std::vector<SeenName>& out);

// The server name of a TLS ClientHello that lies wholly in this segment
// (one record holding the whole handshake message); empty otherwise.
std::string ClientHelloServerName(std::span<const std::uint8_t> payload);

// The Host header of an HTTP/1 request whose header starts this segment,
// without a port; empty when there is none, or it is an address.
std::string HttpRequestHost(std::span<const std::uint8_t> payload);

// The names one TCP or UDP payload gives: DNS messages on port 53 (UDP, or
// TCP with each message's 2-byte length and only whole messages in the
// segment), and a ClientHello or an HTTP request, which name destAddress.
// Other payloads cost a few comparisons. protocol is 6 (TCP) or 17 (UDP).
void NamesInPayload(std::uint8_t protocol, std::uint16_t srcPort, std::uint16_t destPort,
                    std::string_view destAddress, std::span<const std::uint8_t> payload,
                    std::vector<SeenName>& out);

}  // namespace quillet
