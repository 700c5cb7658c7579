#include "decode/DecodeDatagram.h"

#include <charconv>
#include <cstring>

namespace quillet {
namespace {

constexpr std::uint8_t kICMP = 1;
constexpr std::uint8_t kTCP = 6;
constexpr std::uint8_t kUDP = 17;
constexpr std::uint8_t kICMPv6 = 58;
// IPv6 extension headers the walk steps over.
constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kAuthentication = 51;
constexpr std::uint8_t kDestinationOptions = 60;

std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

template <std::size_t N>
FixedText<N> decimal(unsigned value)
{
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    return FixedText<N>(std::string_view(buf, static_cast<std::size_t>(end - buf)));
}

// Ports and payload from `at` (after the IP headers) to `end`; false when a
// transport header that should be there does not fit.
bool Transport(const std::uint8_t* b, std::size_t at, std::size_t end, std::uint8_t protocol, bool laterFragment,
               DecodedDatagram& d)
{
    std::size_t payloadStart = at;
    if (!laterFragment && (protocol == kTCP || protocol == kUDP)) {
        const std::uint8_t* t = b + at;
        std::size_t transportHeader = 8;
        if (protocol == kTCP) {
            if (at + 20 > end)
                return false;
            transportHeader = static_cast<std::size_t>(t[12] >> 4) * 4;
            if (transportHeader < 20)
                return false;
            d.tcpFlags = t[13];
        }
        if (at + transportHeader > end)
            return false;
        d.srcPort.assignPacked(be16(t));
        d.destPort.assignPacked(be16(t + 2));
        payloadStart = at + transportHeader;
    }
    d.size = static_cast<std::int32_t>(end - payloadStart);
    d.payloadAt = payloadStart;
    return true;
}

bool DecodeIPv4(const std::uint8_t* b, std::size_t read, DecodedDatagram& d)
{
    if (read < 20)
        return false;
    const std::size_t ipHeader = static_cast<std::size_t>(b[0] & 0x0F) * 4;
    if (ipHeader < 20 || ipHeader > read)
        return false;
    // Where the datagram ends: its total length, unless that is 0 (the
    // machine's own segments before segmentation offload) or longer than what
    // was read.
    const std::size_t totalLength = be16(b + 2);
    std::size_t end = read;
    if (totalLength != 0 && totalLength <= read) {
        if (totalLength < ipHeader)
            return false;
        end = totalLength;
    }
    const std::uint8_t protocol = b[9];
    d.protocol.assignPacked(protocol);
    d.srcAddr.assignIPv4(b + 12);
    d.destAddr.assignIPv4(b + 16);
    return Transport(b, ipHeader, end, protocol, (be16(b + 6) & 0x1FFF) != 0, d);
}

// The source and destination of the last IPv6 header decoded on this
// thread, and their IPv6Table numbers: most datagrams repeat the pair
// before them, or answer it.
struct LastPair {
    std::uint8_t bytes[32] = {};
    std::uint32_t numbers[2] = {};
    bool valid = false;
};
thread_local LastPair tLastPair;

[[gnu::noinline]] void InternPair(const std::uint8_t* addresses, DecodedDatagram& d)
{
    const std::uint32_t src = IPv6Table::Intern(addresses);
    const std::uint32_t dest = IPv6Table::Intern(addresses + 16);
    LastPair& last = tLastPair;
    std::memcpy(last.bytes, addresses, 32);
    last.numbers[0] = src;
    last.numbers[1] = dest;
    last.valid = true;
    d.srcAddr.assignIPv6Number(src);
    d.destAddr.assignIPv6Number(dest);
}

// Source and destination from the 32 address bytes of an IPv6 header.
void AddressNumbers(const std::uint8_t* addresses, DecodedDatagram& d)
{
    const LastPair& last = tLastPair;
    if (last.valid && std::memcmp(addresses, last.bytes, 32) == 0) {
        d.srcAddr.assignIPv6Number(last.numbers[0]);
        d.destAddr.assignIPv6Number(last.numbers[1]);
    } else if (last.valid && std::memcmp(addresses, last.bytes + 16, 16) == 0 &&
               std::memcmp(addresses + 16, last.bytes, 16) == 0) {
        d.srcAddr.assignIPv6Number(last.numbers[1]);
        d.destAddr.assignIPv6Number(last.numbers[0]);
    } else {
        InternPair(addresses, d);
    }
}

bool DecodeIPv6(const std::uint8_t* b, std::size_t read, DecodedDatagram& d)
{
    constexpr std::size_t kFixed = 40;
    if (read < kFixed)
        return false;
    // The payload length bounds the datagram as IPv4's total length does (0:
    // a jumbogram or an offloaded segment, what was read).
    const std::size_t payloadLength = be16(b + 4);
    const std::size_t end = payloadLength != 0 && kFixed + payloadLength <= read ? kFixed + payloadLength : read;
    std::uint8_t next = b[6];
    std::size_t at = kFixed;
    bool laterFragment = false;
    for (bool walking = true; walking;) {
        switch (next) {
        case kHopByHop:
        case kRouting:
        case kDestinationOptions:
        case kAuthentication: {
            if (at + 8 > end)
                return false;
            const std::size_t length = next == kAuthentication ? (std::size_t{b[at + 1]} + 2) * 4
                                                               : (std::size_t{b[at + 1]} + 1) * 8;
            if (at + length > end)
                return false;
            next = b[at];
            at += length;
            break;
        }
        case kFragment:
            if (at + 8 > end)
                return false;
            next = b[at];
            // What follows a later fragment's header is the middle of the
            // datagram, not headers.
            laterFragment = (be16(b + at + 2) & 0xFFF8) != 0;
            walking = !laterFragment;
            at += 8;
            break;
        default:
            walking = false;  // the upper protocol, or 59 and 50 (nothing to walk into)
        }
    }
    d.protocol.assignPacked(next == kICMPv6 ? kPackedICMPv6 : next);
    if (!Transport(b, at, end, next, laterFragment, d))
        return false;
    AddressNumbers(b + 8, d);  // only for a datagram that makes a record
    return true;
}

}  // namespace

FixedText<7> ProtocolText(std::uint8_t protocol)
{
    switch (protocol) {
    case kICMP: return "ICMP";
    case kTCP: return "TCP";
    case kUDP: return "UDP";
    default: return decimal<7>(protocol);
    }
}

std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram, bool copyPayload, bool ipv6)
{
    const std::uint8_t* b = datagram.data();
    const std::size_t read = datagram.size();
    if (read == 0)
        return std::nullopt;
    DecodedDatagram d;
    const unsigned version = b[0] >> 4;
    if (version == 4) {
        if (!DecodeIPv4(b, read, d))
            return std::nullopt;
    } else if (version == 6 && ipv6) {
        if (!DecodeIPv6(b, read, d))
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (copyPayload && d.size > 0)
        d.data.assign(reinterpret_cast<const char*>(b + d.payloadAt), static_cast<std::size_t>(d.size));
    return d;
}

}  // namespace quillet
