#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decode/DnsQueries.h"

namespace quillet {

// A host name that a datagram gives an address: the address as canonical
// text (dotted decimal, or IPv6 in its shortest form) and the name.
struct SeenName {
    std::string address;
    std::string name;
    bool operator==(const SeenName&) const = default;
};

// The server name of a TLS ClientHello that lies wholly in this segment
// (one record holding the whole handshake message); empty otherwise, and
// when it is no host name (IsHostName: an address literal is none).
std::string ClientHelloServerName(std::span<const std::uint8_t> payload);

// The Host header of an HTTP/1 request whose header starts this segment,
// without a port; empty when there is none, or it is no host name (an
// address among them).
std::string HttpRequestHost(std::span<const std::uint8_t> payload);

// One end of a datagram: its address as a number equal exactly for equal
// addresses (AddressText::bits()), and its port.
struct Endpoint {
    std::uint64_t address = 0;
    std::uint16_t port = 0;
};

// The question of a DNS message of one question: its id, name (read into
// name, which the question's name then views), type and class, and whether
// the message is an answer. Returns where the question ends in the message,
// 0 when the message is no such DNS message.
std::size_t ReadDnsQuestion(std::span<const std::uint8_t> message, std::string& name, DnsQueries::Question& question,
                            bool& answer);

// Reads the names TCP and UDP payloads give, datagram after datagram.
// DNS on port 53 (UDP, or TCP with each message's 2-byte length and only
// whole messages in the segment): a query is kept (DnsQueries), and the
// answer to it names the addresses of its A and AAAA records with the
// question's name, following the CNAME records from the question to the
// record's owner (a record whose owner the chain does not reach is named by
// its owner). An answer to no query seen names nothing. Only messages of
// one question are read; anything malformed (a length or pointer beyond
// the message, a compression loop, a label over 63 bytes, a name over 253
// characters or with characters no host name has) ends the reading of that
// message, what was named before staying. A ClientHello or an HTTP request
// names the destination. Names that are address literals name nothing.
// Other payloads cost a few comparisons and allocate nothing.
class TrafficNameReader {
public:
    // buckets: as DnsQueries takes them.
    explicit TrafficNameReader(std::size_t buckets = DnsQueries::kBuckets) : queries_(buckets) {}
    // protocol is 6 (TCP) or 17 (UDP); timeUs the datagram's timestamp.
    // Names for the destination are given with destAddress (which may be
    // left empty, to be filled by the caller).
    void Read(std::uint8_t protocol, Endpoint src, Endpoint dest, std::int64_t timeUs, std::string_view destAddress,
              std::span<const std::uint8_t> payload, std::vector<SeenName>& out);
    const DnsQueries& Queries() const { return queries_; }
    // What Read changes from here on (the queries kept and taken) can be
    // undone by RollBack(), which allocates nothing.
    void Mark() { queries_.Mark(); }
    void RollBack() noexcept { queries_.RollBack(); }

private:
    void Dns(std::span<const std::uint8_t> message, Endpoint src, Endpoint dest, std::int64_t timeUs,
             std::vector<SeenName>& out);

    DnsQueries queries_;
    std::string question_;  // reused
};

}  // namespace quillet
