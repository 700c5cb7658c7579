#pragma once

#include <cstdint>

namespace quillet {

// A local end of a TCP or UDP socket: protocol number (6 or 17), address and
// port number, packed in one 64-bit key. The address is an IPv4 address as it
// lies in memory (network byte order, first octet in the lowest byte), or
// with v6 an IPv6 address's IPv6Table number.
struct SocketEndpoint {
    static constexpr std::uint8_t kTcp = 6;
    static constexpr std::uint8_t kUdp = 17;

    std::uint8_t protocol = 0;
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    bool v6 = false;

    std::uint64_t Key() const
    {
        return std::uint64_t{v6} << 56 | std::uint64_t{protocol} << 48 | std::uint64_t{port} << 32 | addr;
    }
    static SocketEndpoint FromKey(std::uint64_t key)
    {
        return {static_cast<std::uint8_t>(key >> 48), static_cast<std::uint32_t>(key),
                static_cast<std::uint16_t>(key >> 32), (key >> 56 & 1) != 0};
    }
};

}  // namespace quillet
