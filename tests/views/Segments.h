#pragma once

// TCP and UDP datagrams of either family, decoded and stored as the receive
// path stores them.

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../shell/Datagrams.h"  // the TCP flags
#include "decode/DecodeDatagram.h"
#include "views/PacketViews.h"

namespace quillet::test {

// A TCP (flags given, sequence number 0) or UDP (protocol 17) datagram; an
// address with a colon is IPv6.
inline std::vector<std::uint8_t> Segment(std::uint8_t protocol, const char* src, std::uint16_t srcPort,
                                         const char* dst, std::uint16_t dstPort, std::uint8_t flags = 0,
                                         const std::string& payload = {})
{
    if (protocol == 6)
        return TcpDatagram(src, dst, srcPort, dstPort, 0, flags, payload);
    const bool v6 = std::strchr(src, ':') != nullptr;
    const std::size_t ip = v6 ? 40 : 20;
    std::vector<std::uint8_t> d(ip + 8 + payload.size(), 0);
    if (v6) {
        d[0] = 0x60;
        d[4] = static_cast<std::uint8_t>((8 + payload.size()) >> 8);
        d[5] = static_cast<std::uint8_t>(8 + payload.size());
        d[6] = protocol;
        inet_pton(AF_INET6, src, &d[8]);
        inet_pton(AF_INET6, dst, &d[24]);
    } else {
        d[0] = 0x45;
        d[2] = static_cast<std::uint8_t>(d.size() >> 8);
        d[3] = static_cast<std::uint8_t>(d.size());
        d[9] = protocol;
        inet_pton(AF_INET, src, &d[12]);
        inet_pton(AF_INET, dst, &d[16]);
    }
    std::uint8_t* t = &d[ip];
    t[0] = static_cast<std::uint8_t>(srcPort >> 8);
    t[1] = static_cast<std::uint8_t>(srcPort);
    t[2] = static_cast<std::uint8_t>(dstPort >> 8);
    t[3] = static_cast<std::uint8_t>(dstPort);
    t[4] = static_cast<std::uint8_t>((8 + payload.size()) >> 8);
    t[5] = static_cast<std::uint8_t>(8 + payload.size());
    std::memcpy(t + 8, payload.data(), payload.size());
    return d;
}

// Decodes and stores the datagram; its sequence number.
inline std::int64_t Store(PacketViews& views, const std::vector<std::uint8_t>& datagram, std::int64_t tsUs)
{
    const auto decoded = DecodeDatagram(datagram);
    return decoded ? views.StorePacket(*decoded, tsUs) : 0;
}

// A DNS message of one question for name (type A, class IN): a query, or
// with answer set the response to it (no records).
inline std::string DnsMessage(std::uint16_t id, const std::string& name, bool answer)
{
    std::string m{static_cast<char>(id >> 8), static_cast<char>(id), static_cast<char>(answer ? 0x81 : 0x01), 0,
                  0, 1, 0, 0, 0, 0, 0, 0};
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t dot = std::min(name.find('.', at), name.size());
        m += static_cast<char>(dot - at);
        m += name.substr(at, dot - at);
        at = dot + 1;
    }
    m += std::string("\0\0\1\0\1", 5);
    return m;
}

}  // namespace quillet::test
