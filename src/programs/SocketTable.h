#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillet {

// Finds the sockets that hold local endpoints (SocketEndpoint keys) in the
// socket tables of the calling thread's network namespace. An IPv4 endpoint:
// IPv4 sockets and IPv6 ones that take IPv4 traffic (bound to a mapped
// address, or to the wildcard without IPV6_V6ONLY); an IPv6 endpoint: IPv6
// sockets only. A socket bound to the endpoint's address
// comes before one bound to the wildcard address, and a socket a process holds
// before one no process holds any more (inode 0: closing, TIME_WAIT).
//
// Result: key -> inode of the socket found (0: only sockets no process
// holds). Keys without any socket are absent.
class SocketTable {
public:
    // The 16 bytes of an IPv6 endpoint's address number; nullptr when unknown.
    using IPv6Bytes = std::function<const std::uint8_t*(std::uint32_t number)>;

    enum class Source {
        Auto,     // netlink sock_diag, /proc/net where it fails
        Netlink,  // sock_diag only
        Proc,     // /proc/thread-self/net/{tcp,udp,tcp6,udp6} only
    };

    static std::unordered_map<std::uint64_t, std::uint64_t> Find(const std::vector<std::uint64_t>& keys,
                                                                 Source source = Source::Auto,
                                                                 std::string* error = nullptr,
                                                                 const IPv6Bytes& ipv6Bytes = {});

    // One socket of a table, as the matching sees it.
    struct Entry {
        std::uint32_t words[4] = {};  // address words as in memory; IPv4: words[0]
        bool v6 = false;
        bool v6only = false;
        std::uint16_t port = 0;
        std::uint64_t inode = 0;
    };
    // Parses the lines of a /proc/net/{tcp,udp}[6] table.
    static std::vector<Entry> ParseProcTable(const std::string& text, bool v6);
};

}  // namespace quillet
