#include "capture/LocalInterfaces.h"

#include <cerrno>
#include <cstring>

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quillet {

int ListInterfaceAddresses(std::vector<InterfaceAddress>& list)
{
    list.clear();
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return errno != 0 ? errno : EIO;
    for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in sin;
        std::memcpy(&sin, a->ifa_addr, sizeof sin);
        list.push_back({a->ifa_name != nullptr ? a->ifa_name : "", sin.sin_addr.s_addr});
    }
    freeifaddrs(all);
    return 0;
}

std::optional<std::string> InterfaceCarrying(IPv4 address)
{
    std::vector<InterfaceAddress> list;
    if (ListInterfaceAddresses(list) != 0)
        return std::nullopt;
    for (const auto& a : list) {
        if (a.address == address)
            return a.interfaceName;
    }
    return std::nullopt;
}

bool InterfaceAddress6::loopback() const
{
    static const std::uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(address, kLoopback, 16) == 0;
}

bool InterfaceAddress6::global() const
{
    return !loopback() && !(address[0] == 0xFE && (address[1] & 0xC0) == 0x80);
}

int ListInterfaceAddresses6(std::vector<InterfaceAddress6>& list)
{
    list.clear();
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return errno != 0 ? errno : EIO;
    for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6)
            continue;
        sockaddr_in6 sin6;
        std::memcpy(&sin6, a->ifa_addr, sizeof sin6);
        InterfaceAddress6 entry;
        entry.interfaceName = a->ifa_name != nullptr ? a->ifa_name : "";
        std::memcpy(entry.address, &sin6.sin6_addr, 16);
        list.push_back(entry);
    }
    freeifaddrs(all);
    return 0;
}

std::optional<std::string> InterfaceCarrying6(const std::uint8_t* address)
{
    std::vector<InterfaceAddress6> list;
    if (ListInterfaceAddresses6(list) != 0)
        return std::nullopt;
    for (const auto& a : list)
        if (std::memcmp(a.address, address, 16) == 0)
            return a.interfaceName;
    return std::nullopt;
}

}  // namespace quillet
