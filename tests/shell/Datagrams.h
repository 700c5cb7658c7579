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
