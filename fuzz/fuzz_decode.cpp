// Feeds arbitrary bytes to the datagram decoder, both as a bare datagram and
// as a captured frame of each link type; any crash, overflow, undefined
// behaviour or broken invariant is a finding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "capture/LinkLayer.h"
#include "decode/DecodeDatagram.h"
#include "FuzzCheck.h"

using quillet::fuzz::Check;

namespace {

void DecodeAndCheck(std::span<const std::uint8_t> in)
{
    auto d = quillet::DecodeDatagram(in);
    if (!d)
        return;
    // A record never claims more payload than was given, and its payload is
    // the run of bytes that ends where the datagram ends.
    Check(d->size >= 0 && static_cast<std::size_t>(d->size) == d->data.size());
    Check(d->payloadAt + d->data.size() <= in.size());
    Check(std::memcmp(in.data() + d->payloadAt, d->data.data(), d->data.size()) == 0);
    if ((in[0] >> 4) == 6) {
        Check(in.size() >= 40 && d->srcAddr.ipv6() && d->destAddr.ipv6());
        const std::size_t length = static_cast<std::size_t>((in[4] << 8) | in[5]);
        const std::size_t end = length != 0 && 40 + length <= in.size() ? 40 + length : in.size();
        Check(d->payloadAt >= 40 && d->payloadAt + d->data.size() == end);
        Check(d->srcPort.empty() == d->destPort.empty());
        return;
    }
    Check(in.size() >= 20 && (in[0] >> 4) == 4);
    const std::size_t total = static_cast<std::size_t>((in[2] << 8) | in[3]);
    const std::size_t end = total != 0 && total <= in.size() ? total : in.size();
    const std::size_t header = static_cast<std::size_t>(in[0] & 0x0F) * 4;
    Check(header + d->data.size() <= end && d->payloadAt + d->data.size() == end);
    // Ports exactly for unfragmented-or-first TCP and UDP.
    const bool later = (((in[6] << 8) | in[7]) & 0x1FFF) != 0;
    const bool ported = !later && (in[9] == 6 || in[9] == 17);
    Check(d->srcPort.empty() == !ported && d->destPort.empty() == !ported);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> in(data, size);
    DecodeAndCheck(in);
    for (int linkType : {quillet::linktype::kEthernet, quillet::linktype::kRaw, quillet::linktype::kLinuxCooked,
                         quillet::linktype::kIPv4, quillet::linktype::kLinuxCooked2, quillet::linktype::kNull}) {
        const auto inner = quillet::IPDatagramOf(linkType, in, true);
        if (inner.empty())
            continue;
        Check(inner.data() >= in.data() && inner.data() + inner.size() <= in.data() + in.size());
        Check((inner.size() >= 20 && (inner[0] >> 4) == 4) || (inner.size() >= 40 && (inner[0] >> 4) == 6));
        DecodeAndCheck(inner);
    }
    return 0;
}
