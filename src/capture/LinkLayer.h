#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/CapturedDatagram.h"

namespace quillet {

// Link-layer types a capture can deliver, by their libpcap data-link numbers.
namespace linktype {
inline constexpr int kNull = 0;          // BSD loopback: 4-byte address family, sender's byte order
inline constexpr int kEthernet = 1;      // Ethernet II, possibly 802.1Q/802.1ad tagged
inline constexpr int kRaw = 12;          // bare IP, no link header
inline constexpr int kRawFile = 101;     // bare IP as capture files number it
inline constexpr int kRawAlt = 14;       // bare IP as some systems number it
inline constexpr int kLoop = 108;        // OpenBSD loopback: 4-byte address family, network order
inline constexpr int kLinuxCooked = 113; // Linux cooked capture, 16-byte header
inline constexpr int kIPv4 = 228;        // bare IPv4
inline constexpr int kIPv6 = 229;        // bare IPv6
inline constexpr int kLinuxCooked2 = 276; // Linux cooked capture v2, 20-byte header
}  // namespace linktype

// Whether frames of this link type can be reduced to their IP datagrams.
bool LinkTypeSupported(int linkType);

// The IP datagram inside one captured frame: the link-layer header (and any
// VLAN tags) removed, and anything after the datagram's total length (IPv4)
// or payload length (IPv6) cut off (frame padding). IPv6 datagrams only when
// ipv6 is true. Empty when the frame carries neither or is too short for its
// own link header.
std::span<const std::uint8_t> IPDatagramOf(int linkType, std::span<const std::uint8_t> frame, bool ipv6);

// The original length of datagram, which IPDatagramOf found in frame (captured
// bytes of a frame wireLength long on the wire): its size when the datagram
// ends before the captured bytes do (padding cut) or the frame was captured
// whole; otherwise what the frame had past the link header on the wire.
std::uint32_t OriginalLengthOf(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> datagram,
                               std::uint32_t wireLength);

// The hardware address of the interface a capture is on (an Ethernet one's
// six bytes), when known.
struct HardwareAddress {
    std::array<std::uint8_t, 6> bytes{};
    bool known = false;
};
// The interface's, read once (one socket and one ioctl, no right needed);
// not known when it has none or cannot be read.
HardwareAddress InterfaceHardwareAddress(const std::string& interfaceName);

// Which way the frame went, when its link header tells: the packet type of
// a Linux cooked header (sent by this machine, or received by it as its own,
// broadcast or multicast), or an Ethernet frame's addresses against the
// interface's own (sent from it; received for it, broadcast or multicast),
// as the kernel tells them apart. Unknown for any other frame, for one only
// seen passing between other hosts, and for Ethernet without own.
CapturedDatagram::Direction DirectionOf(int linkType, std::span<const std::uint8_t> frame,
                                        const HardwareAddress& own = {});

// The same for IPv4 datagrams only.
inline std::span<const std::uint8_t> IPv4DatagramOf(int linkType, std::span<const std::uint8_t> frame)
{
    return IPDatagramOf(linkType, frame, false);
}

}  // namespace quillet
