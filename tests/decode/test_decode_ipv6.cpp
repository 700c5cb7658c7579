#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/DecodeDatagram.h"
#include "decode/clV.h"

using namespace quillet;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// 2001:db8::1 to fd77::2, the first header `next`, then `rest` (extension
// headers, transport, payload), then `padding` bytes the payload length does
// not count.
Bytes IPv6(std::uint8_t next, const Bytes& rest, std::size_t padding = 0)
{
    Bytes d = {0x60, 0, 0, 0, static_cast<std::uint8_t>(rest.size() >> 8), static_cast<std::uint8_t>(rest.size()),
               next, 64,
               0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
               0xfd, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    d.insert(d.end(), rest.begin(), rest.end());
    d.resize(d.size() + padding, 0xEE);
    return d;
}

// An 8-byte option header (hop-by-hop, routing, destination options).
Bytes Options(std::uint8_t next) { return {next, 0, 1, 4, 0, 0, 0, 0}; }
Bytes Fragment(std::uint8_t next, std::uint16_t offsetUnits, bool more)
{
    const auto v = static_cast<std::uint16_t>(offsetUnits << 3 | (more ? 1 : 0));
    return {next, 0, static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v), 0, 0, 0, 7};
}
// AH with 4 bytes of ICV: its length field counts 32-bit words less 2.
Bytes Ah(std::uint8_t next) { return {next, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 9, 0xA, 0xB, 0xC, 0xD}; }
Bytes Udp(std::uint16_t s, std::uint16_t d) { return {static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(d >> 8), static_cast<std::uint8_t>(d), 0, 0, 0, 0}; }
Bytes Tcp(std::uint16_t s, std::uint16_t d)
{
    Bytes h = Udp(s, d);
    h.resize(20, 0);
    h[12] = 5 << 4;
    return h;
}
const Bytes kData = {'d', 'a', 't', 'a'};

}  // namespace

TEST(DecodeIPv6, ExtensionHeadersFragmentsAndUpperProtocols)
{
    struct Case {
        const char* what;
        Bytes datagram;
        bool decodes;
        const char* protocol;
        const char* srcPort;
        const char* destPort;
        std::string payload;
    };
    const std::string data(kData.begin(), kData.end());
    const Bytes udp12 = Udp(1, 2), tcp12 = Tcp(1, 2), bare = IPv6(59, {});
    const Case cases[] = {
        {"udp", IPv6(17, Cat({Udp(5353, 53), kData})), true, "UDP", "5353", "53", data},
        {"tcp", IPv6(6, Cat({Tcp(443, 50000), kData})), true, "TCP", "443", "50000", data},
        {"hop-by-hop, routing, destination options, AH",
         IPv6(0, Cat({Options(43), Options(60), Options(51), Ah(17), Udp(1, 2), kData})), true, "UDP", "1", "2",
         data},
        {"first fragment", IPv6(44, Cat({Fragment(6, 0, true), Tcp(80, 8080), kData})), true, "TCP", "80", "8080",
         data},
        {"later fragment: no ports, all after the fragment header",
         IPv6(44, Cat({Fragment(17, 3, false), Udp(1, 2)})), true, "UDP", "", "", std::string(udp12.begin(), udp12.end())},
        {"ICMPv6: everything after the last extension header",
         IPv6(60, Cat({Options(58), {128, 0, 0x12, 0x34}, kData})), true, "ICMPv6", "", "",
         std::string("\x80\x00\x12\x34", 4) + data},
        {"no next header ends the walk", IPv6(59, kData), true, "59", "", "", data},
        {"ESP ends the walk", IPv6(0, Cat({Options(50), kData})), true, "50", "", "", data},
        {"padding after the payload length is not payload", IPv6(17, Cat({Udp(7, 9), kData}), 6), true, "UDP", "7",
         "9", data},
        {"truncated chain", IPv6(0, Cat({Options(43), {60, 4, 0, 0}})), false, "", "", "", ""},
        {"header cut by the payload length", IPv6(6, Bytes(tcp12.begin(), tcp12.begin() + 12)), false, "",
         "", "", ""},
        {"shorter than the fixed header", Bytes(bare.begin(), bare.begin() + 39), false, "", "", "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto d = DecodeDatagram(c.datagram);
        ASSERT_EQ(d.has_value(), c.decodes);
        if (!d)
            continue;
        EXPECT_EQ(d->protocol, c.protocol);
        EXPECT_EQ(d->srcAddr, "2001:db8::1");
        EXPECT_EQ(d->destAddr, "fd77::2");
        EXPECT_EQ(d->srcPort, c.srcPort);
        EXPECT_EQ(d->destPort, c.destPort);
        EXPECT_EQ(d->data, c.payload);
        EXPECT_EQ(d->size, static_cast<std::int32_t>(c.payload.size()));
        // With the switch off an IPv6 datagram makes no record.
        EXPECT_FALSE(DecodeDatagram(c.datagram, true, false));
    }
}

TEST(DecodeIPv6, AddressTextsAreCanonicalAndOneFieldPerAddress)
{
    const struct {
        const char* in;
        const char* canonical;
    } texts[] = {
        {"2001:DB8:0::1", "2001:db8::1"},
        {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},  // the first of two equal runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},                  // a single zero group stays
        {"::", "::"},
        {"::1", "::1"},
        {"fe80::", "fe80::"},
        {"::ffff:10.77.0.2", "::ffff:10.77.0.2"},
        {"0:0:0:0:0:FFFF:0A4D:0002", "::ffff:10.77.0.2"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& t : texts) {
        SCOPED_TRACE(t.in);
        AddressText field(t.in);
        EXPECT_TRUE(field.ipv6());
        EXPECT_EQ(field, t.canonical);
        EXPECT_EQ(field.bits(), AddressText(t.canonical).bits());
        std::uint8_t bytes[16];
        ASSERT_EQ(field.bytes(bytes), 16u);
        EXPECT_EQ(IPv6BytesToText(bytes), t.canonical);
    }
    for (const char* bad : {"1::2::3", "12345::", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", ":1::", "1::2:", "g::1"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(AddressText(bad).ipv6());
    }
    // IPv4 fields stay as they were.
    AddressText v4("10.77.0.2");
    EXPECT_FALSE(v4.ipv6());
    EXPECT_EQ(v4, "10.77.0.2");
    EXPECT_TRUE(SameAddressText("2001:DB8:0::1", "2001:db8::1"));
    EXPECT_FALSE(SameAddressText("10.77.0.2", "10.77.0.02"));
}
