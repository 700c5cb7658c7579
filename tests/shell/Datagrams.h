#pragma once

// Builds whole IPv4 datagrams for the receive path.

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quillet::test {

inline std::vector<std::uint8_t> Ipv4Udp(const char* src, const char* dst, std::uint16_t srcPort,
                                         std::uint16_t dstPort, const std::string& payload)
{
    const std::size_t total = 20 + 8 + payload.size();
    std::vector<std::uint8_t> d(total, 0);
    d[0] = 0x45;
    d[2] = static_cast<std::uint8_t>(total >> 8);
    d[3] = static_cast<std::uint8_t>(total);
    d[8] = 64;
    d[9] = 17;
    in_addr a{};
    inet_pton(AF_INET, src, &a);
    std::memcpy(&d[12], &a, 4);
    inet_pton(AF_INET, dst, &a);
    std::memcpy(&d[16], &a, 4);
    d[20] = static_cast<std::uint8_t>(srcPort >> 8);
    d[21] = static_cast<std::uint8_t>(srcPort);
    d[22] = static_cast<std::uint8_t>(dstPort >> 8);
    d[23] = static_cast<std::uint8_t>(dstPort);
    const std::size_t udpLen = 8 + payload.size();
    d[24] = static_cast<std::uint8_t>(udpLen >> 8);
    d[25] = static_cast<std::uint8_t>(udpLen);
    std::memcpy(&d[28], payload.data(), payload.size());
    return d;
}

}  // namespace quillet::test

namespace quillet::test {

// TCP flags.
constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

// A whole IPv4 (or, when the addresses hold a colon, IPv6) TCP datagram.
inline std::vector<std::uint8_t> TcpDatagram(const char* src, const char* dst, std::uint16_t srcPort,
                                             std::uint16_t dstPort, std::uint32_t seq, std::uint8_t flags,
                                             const std::string& payload)
{
    const bool v6 = std::strchr(src, ':') != nullptr;
    const std::size_t ip = v6 ? 40 : 20, total = ip + 20 + payload.size();
    std::vector<std::uint8_t> d(total, 0);
    if (v6) {
        d[0] = 0x60;
        d[4] = static_cast<std::uint8_t>((total - 40) >> 8);
        d[5] = static_cast<std::uint8_t>(total - 40);
        d[6] = 6;
        d[7] = 64;
        inet_pton(AF_INET6, src, &d[8]);
        inet_pton(AF_INET6, dst, &d[24]);
    } else {
        d[0] = 0x45;
        d[2] = static_cast<std::uint8_t>(total >> 8);
        d[3] = static_cast<std::uint8_t>(total);
        d[8] = 64;
        d[9] = 6;
        inet_pton(AF_INET, src, &d[12]);
        inet_pton(AF_INET, dst, &d[16]);
    }
    std::uint8_t* t = &d[ip];
    t[0] = static_cast<std::uint8_t>(srcPort >> 8);
    t[1] = static_cast<std::uint8_t>(srcPort);
    t[2] = static_cast<std::uint8_t>(dstPort >> 8);
    t[3] = static_cast<std::uint8_t>(dstPort);
    for (int i = 0; i < 4; ++i)
        t[4 + i] = static_cast<std::uint8_t>(seq >> (24 - 8 * i));
    t[12] = 5 << 4;
    t[13] = flags;
    std::memcpy(t + 20, payload.data(), payload.size());
    return d;
}

}  // namespace quillet::test
