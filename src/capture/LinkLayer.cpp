#include "capture/LinkLayer.h"

#include <cstring>

#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillet {
namespace {

constexpr std::uint16_t kEtherIPv4 = 0x0800;
constexpr std::uint16_t kEtherIPv6 = 0x86DD;
constexpr std::uint16_t kEtherVlan = 0x8100;   // 802.1Q
constexpr std::uint16_t kEtherQinQ = 0x88A8;   // 802.1ad
constexpr std::uint16_t kEtherQinQOld = 0x9100;
constexpr std::size_t kVlanTag = 4;

std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

bool isVlan(std::uint16_t type)
{
    return type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld;
}

// The IP version a link header names: 4, 6, or -1 for neither.
int VersionOfEtherType(std::uint16_t type)
{
    return type == kEtherIPv4 ? 4 : type == kEtherIPv6 ? 6 : -1;
}

// The frame from `offset` on when the EtherType at typeAt (possibly followed
// by VLAN tags, each four bytes: tag type then TCI) says IP, and which version.
std::span<const std::uint8_t> afterEtherType(std::span<const std::uint8_t> frame, std::size_t typeAt, int& version)
{
    for (;;) {
        if (frame.size() < typeAt + 2)
            return {};
        const std::uint16_t type = be16(frame.data() + typeAt);
        version = VersionOfEtherType(type);
        if (version > 0)
            return frame.subspan(typeAt + 2);
        if (!isVlan(type))
            return {};
        // A tag: its TCI follows, then the next EtherType.
        typeAt += kVlanTag;
    }
}

// Cuts link padding: the datagram ends at its total length when that is
// plausible and shorter than what was captured.
std::span<const std::uint8_t> trimmed(std::span<const std::uint8_t> d, bool ipv6, int version)
{
    if (d.empty() || (version != 0 && (d[0] >> 4) != version))
        return {};  // the link header said otherwise
    if (ipv6 && d.size() >= 40 && (d[0] >> 4) == 6) {
        const std::size_t total = 40 + std::size_t{be16(d.data() + 4)};
        return total > 40 && total < d.size() ? d.first(total) : d;
    }
    if (d.size() < 20 || (d[0] >> 4) != 4)
        return {};
    const std::size_t total = be16(d.data() + 2);
    const std::size_t header = static_cast<std::size_t>(d[0] & 0x0F) * 4;
    if (total >= header && total >= 20 && total < d.size())
        return d.first(total);
    return d;
}

}  // namespace

bool LinkTypeSupported(int linkType)
{
    switch (linkType) {
    case linktype::kNull:
    case linktype::kEthernet:
    case linktype::kRaw:
    case linktype::kRawFile:
    case linktype::kRawAlt:
    case linktype::kLoop:
    case linktype::kLinuxCooked:
    case linktype::kIPv4:
    case linktype::kIPv6:
    case linktype::kLinuxCooked2:
        return true;
    default:
        return false;
    }
}

std::span<const std::uint8_t> IPDatagramOf(int linkType, std::span<const std::uint8_t> frame, bool ipv6)
{
    std::span<const std::uint8_t> d;
    int version = 0;
    switch (linkType) {
    case linktype::kEthernet:
        d = afterEtherType(frame, 12, version);  // two 6-byte MAC addresses
        break;
    case linktype::kLinuxCooked:
        d = afterEtherType(frame, 14, version);  // packet type, ARPHRD, address length, 8-byte address
        break;
    case linktype::kLinuxCooked2:
        // Protocol first, then 2 reserved, ifindex, ARPHRD, packet type,
        // address length and an 8-byte address: 20 bytes in all.
        if (frame.size() < 20 || (version = VersionOfEtherType(be16(frame.data()))) < 0)
            return {};
        d = frame.subspan(20);
        break;
    case linktype::kNull:
    case linktype::kLoop: {
        // AF_INET is 2 on every system, AF_INET6 24, 28 or 30 depending on
        // the BSD; the null header may be in either byte order, the loop
        // header is big-endian.
        if (frame.size() < 4)
            return {};
        std::uint32_t family = (std::uint32_t{frame[0]} << 24) | (std::uint32_t{frame[1]} << 16) |
                               (std::uint32_t{frame[2]} << 8) | frame[3];
        if (linkType == linktype::kNull && family > 0xFFFF)
            family = __builtin_bswap32(family);
        if (family != 2 && family != 24 && family != 28 && family != 30)
            return {};
        version = family == 2 ? 4 : 6;
        d = frame.subspan(4);
        break;
    }
    case linktype::kIPv4:
        version = 4;
        d = frame;
        break;
    case linktype::kIPv6:
        version = 6;
        d = frame;
        break;
    case linktype::kRaw:
    case linktype::kRawFile:
    case linktype::kRawAlt:
        d = frame;  // the version nibble tells
        break;
    default:
        return {};
    }
    return trimmed(d, ipv6, version);
}

std::uint32_t OriginalLengthOf(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> datagram,
                               std::uint32_t wireLength)
{
    const auto size = static_cast<std::uint32_t>(datagram.size());
    if (datagram.empty() || datagram.data() < frame.data() || datagram.data() + datagram.size() != frame.data() + frame.size()
        || wireLength <= frame.size())
        return size;
    const auto head = static_cast<std::uint32_t>(datagram.data() - frame.data());
    return wireLength - head;
}

HardwareAddress InterfaceHardwareAddress(const std::string& interfaceName)
{
    HardwareAddress own;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || interfaceName.empty() || interfaceName.size() >= IF_NAMESIZE) {
        if (s >= 0)
            ::close(s);
        return own;
    }
    ifreq req{};
    std::memcpy(req.ifr_name, interfaceName.data(), interfaceName.size());
    if (::ioctl(s, SIOCGIFHWADDR, &req) == 0 && req.ifr_hwaddr.sa_family == ARPHRD_ETHER) {
        std::memcpy(own.bytes.data(), req.ifr_hwaddr.sa_data, own.bytes.size());
        own.known = true;
    }
    ::close(s);
    return own;
}

CapturedDatagram::Direction DirectionOf(int linkType, std::span<const std::uint8_t> frame,
                                        const HardwareAddress& own)
{
    // The kernel's packet types (linux/if_packet.h).
    constexpr std::uint8_t kHost = 0, kBroadcast = 1, kMulticast = 2, kOutgoing = 4;
    int type = -1;
    if (linkType == linktype::kLinuxCooked && frame.size() >= 16 && frame[0] == 0) {
        type = frame[1];  // big-endian, first
    } else if (linkType == linktype::kLinuxCooked2 && frame.size() >= 20) {
        type = frame[10];
    } else if (linkType == linktype::kEthernet && own.known && frame.size() >= 14) {
        // The destination first, then the source.
        if (std::memcmp(frame.data() + 6, own.bytes.data(), 6) == 0)
            type = kOutgoing;
        else if (std::memcmp(frame.data(), own.bytes.data(), 6) == 0 || (frame[0] & 1) != 0)
            type = kHost;
    }
    switch (type) {
    case kHost:
    case kBroadcast:
    case kMulticast:
        return CapturedDatagram::Direction::Received;
    case kOutgoing:
        return CapturedDatagram::Direction::Sent;
    default:
        return CapturedDatagram::Direction::Unknown;
    }
}

}  // namespace quillet
