#include "decode/DecodeDatagram.h"

#include <charconv>

#include "core/IPv4Text.h"

namespace quillet {
namespace {

constexpr std::uint8_t kICMP = 1;
constexpr std::uint8_t kTCP = 6;
constexpr std::uint8_t kUDP = 17;

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

std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram, bool copyPayload)
{
    const std::uint8_t* b = datagram.data();
    const std::size_t read = datagram.size();
    if (read < 20 || (b[0] >> 4) != 4)
        return std::nullopt;

    const std::size_t ipHeader = static_cast<std::size_t>(b[0] & 0x0F) * 4;
    if (ipHeader < 20 || ipHeader > read)
        return std::nullopt;

    // Where the datagram ends: its total length, unless that is 0 (the
    // machine's own segments before segmentation offload) or longer than what
    // was read.
    const std::size_t totalLength = be16(b + 2);
    std::size_t end = read;
    if (totalLength != 0 && totalLength <= read) {
        if (totalLength < ipHeader)
            return std::nullopt;
        end = totalLength;
    }

    const std::uint8_t protocol = b[9];
    const bool laterFragment = (be16(b + 6) & 0x1FFF) != 0;

    DecodedDatagram d;
    d.protocol = ProtocolText(protocol);
    d.srcAddr = IPv4BytesToText(b + 12);
    d.destAddr = IPv4BytesToText(b + 16);

    std::size_t payloadStart = ipHeader;
    if (!laterFragment && (protocol == kTCP || protocol == kUDP)) {
        const std::uint8_t* t = b + ipHeader;
        std::size_t transportHeader = 8;
        if (protocol == kTCP) {
            if (ipHeader + 20 > end)
                return std::nullopt;
            transportHeader = static_cast<std::size_t>(t[12] >> 4) * 4;
            if (transportHeader < 20)
                return std::nullopt;
        }
        if (ipHeader + transportHeader > end)
            return std::nullopt;
        d.srcPort = decimal<5>(be16(t));
        d.destPort = decimal<5>(be16(t + 2));
        payloadStart = ipHeader + transportHeader;
    }

    d.size = static_cast<std::int32_t>(end - payloadStart);
    d.payloadAt = payloadStart;
    if (copyPayload && d.size > 0)
        d.data.assign(reinterpret_cast<const char*>(b + payloadStart), static_cast<std::size_t>(d.size));
    return d;
}

}  // namespace quillet
