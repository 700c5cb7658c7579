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

}  // namespace quillet
