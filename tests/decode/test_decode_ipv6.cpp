#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/DecodeDatagram.h"

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

// 2001:db8::1 to fd77::2, first header `next`, then `rest`, then `padding`
// bytes the payload length does not count.
Bytes IPv6(std::uint8_t next, const Bytes& rest, std::size_t padding = 0)
{
    Bytes d = {0x60, 0, 0, 0, 0, static_cast<std::uint8_t>(rest.size()), next, 64,
               0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
               0xfd, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    d.insert(d.end(), rest.begin(), rest.end());
    d.resize(d.size() + padding, 0xEE);
    return d;
}

// Hop-by-hop, routing and destination options: 8 bytes; a fragment header
// at an offset in 8-byte units; AH of 16 bytes (its length counts 4-byte
// words less 2).
Bytes Options(std::uint8_t next) { return {next, 0, 1, 4, 0, 0, 0, 0}; }
Bytes Fragment(std::uint8_t next, std::uint8_t offset) { return {next, 0, 0, static_cast<std::uint8_t>(offset << 3 | 1), 0, 0, 0, 7}; }
Bytes Ah(std::uint8_t next) { return {next, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 9, 0xA, 0xB, 0xC, 0xD}; }
Bytes Udp(std::uint8_t s, std::uint8_t d) { return {0, s, 0, d, 0, 0, 0, 0}; }
Bytes Tcp(std::uint8_t s, std::uint8_t d) { return Cat({Udp(s, d), {0, 0, 0, 0, 5 << 4, 0x18}, Bytes(6, 0)}); }

}  // namespace

TEST(DecodeIPv6, ExtensionHeadersFragmentsAndUpperProtocols)
{
    const Bytes data = {'d', 'a', 't', 'a'}, udp = Udp(1, 2), tcp = Tcp(1, 2);
    const std::string text = "data", icmp = std::string("\x80\0\x12\x34", 4);
    const struct {
        const char* what;
        Bytes datagram;
        const char* protocol;  // nullptr: no record
        const char* srcPort;
        const char* destPort;
        std::string payload;
    } cases[] = {
        {"udp", IPv6(17, Cat({Udp(53, 99), data})), "UDP", "53", "99", text},
        {"tcp", IPv6(6, Cat({Tcp(80, 99), data})), "TCP", "80", "99", text},
        {"every extension header", IPv6(0, Cat({Options(43), Options(60), Options(51), Ah(17), udp, data})), "UDP",
         "1", "2", text},
        {"first fragment", IPv6(44, Cat({Fragment(6, 0), tcp, data})), "TCP", "1", "2", text},
        {"later fragment", IPv6(44, Cat({Fragment(17, 3), udp})), "UDP", "", "", std::string(udp.begin(), udp.end())},
        {"ICMPv6 after options", IPv6(60, Cat({Options(58), {0x80, 0, 0x12, 0x34}, data})), "ICMPv6", "", "",
         icmp + text},
        {"no next header", IPv6(59, data), "59", "", "", text},
        {"ESP", IPv6(0, Cat({Options(50), data})), "50", "", "", text},
        {"link padding", IPv6(17, Cat({Udp(7, 9), data}), 6), "UDP", "7", "9", text},
        {"truncated chain", IPv6(0, Cat({Options(43), {60, 4, 0, 0}})), nullptr, "", "", ""},
        {"cut TCP header", IPv6(6, Bytes(tcp.begin(), tcp.begin() + 12)), nullptr, "", "", ""},
        {"short fixed header", Bytes(39, 0x60), nullptr, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto d = DecodeDatagram(c.datagram);
        ASSERT_EQ(d.has_value(), c.protocol != nullptr);
        if (!d)
            continue;
        EXPECT_EQ(d->protocol, c.protocol);
        EXPECT_EQ(d->srcAddr, "2001:db8::1");
        EXPECT_EQ(d->destAddr, "fd77::2");
        EXPECT_EQ(d->srcPort, c.srcPort);
        EXPECT_EQ(d->destPort, c.destPort);
        EXPECT_EQ(d->data, c.payload);
        EXPECT_EQ(d->size, static_cast<std::int32_t>(c.payload.size()));
        EXPECT_FALSE(DecodeDatagram(c.datagram, true, false)) << "the switch off";
    }
}

TEST(DecodeIPv6, AddressTextsAreCanonicalAndOneFieldPerAddress)
{
    const std::pair<const char*, const char*> texts[] = {
        {"2001:DB8:0::1", "2001:db8::1"},
        {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},  // the first of two equal runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},                  // a single zero group stays
        {"::", "::"},
        {"fe80::", "fe80::"},
        {"0:0:0:0:0:FFFF:0A4D:0002", "::ffff:10.77.0.2"},
    };
    for (const auto& [in, canonical] : texts) {
        SCOPED_TRACE(in);
        const AddressText field(in);
        EXPECT_EQ(field, canonical);
        EXPECT_EQ(field.bits(), AddressText(canonical).bits());
        std::uint8_t bytes[16];
        ASSERT_EQ(field.bytes(bytes), 16u);
        EXPECT_EQ(IPv6BytesToText(bytes), canonical);
    }
    for (const char* bad : {"1::2::3", "12345::", "1:2:3:4:5:6:7", ":1::", "1::2:", "g::1"})
        EXPECT_FALSE(AddressText(bad).ipv6()) << bad;
    EXPECT_EQ(AddressText("10.77.0.2"), "10.77.0.2");
    EXPECT_FALSE(AddressText("10.77.0.2").ipv6());
}
