#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/DecodeDatagram.h"
#include "decode/clV.h"

using namespace quillet;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Builds an IPv4 datagram by hand, field by field.
struct Datagram {
    std::uint8_t protocol = 17;
    Bytes ipOptions;          // padded by the caller to a multiple of 4
    Bytes transport;          // transport header (including TCP options)
    Bytes payload;
    std::uint16_t fragmentOffset = 0;  // in 8-byte units
    bool moreFragments = false;
    int totalLength = -1;     // -1: the true length
    std::size_t padding = 0;  // zero bytes after the datagram
    std::uint8_t version = 4;
    int ihlWords = -1;        // -1: from the options

    Bytes bytes() const
    {
        Bytes d(20, 0);
        const int ihl = ihlWords >= 0 ? ihlWords : static_cast<int>(5 + ipOptions.size() / 4);
        d[0] = static_cast<std::uint8_t>((version << 4) | (ihl & 0x0F));
        d[6] = static_cast<std::uint8_t>((moreFragments ? 0x20 : 0) | ((fragmentOffset >> 8) & 0x1F));
        d[7] = static_cast<std::uint8_t>(fragmentOffset);
        d[8] = 64;
        d[9] = protocol;
        const std::uint8_t addrs[8] = {10, 77, 0, 2, 192, 168, 200, 255};
        std::copy(addrs, addrs + 8, d.begin() + 12);
        d.insert(d.end(), ipOptions.begin(), ipOptions.end());
        d.insert(d.end(), transport.begin(), transport.end());
        d.insert(d.end(), payload.begin(), payload.end());
        const std::size_t total = totalLength >= 0 ? static_cast<std::size_t>(totalLength) : d.size();
        d[2] = static_cast<std::uint8_t>(total >> 8);
        d[3] = static_cast<std::uint8_t>(total);
        d.resize(d.size() + padding, 0);
        return d;
    }
};

Bytes Ports(std::uint16_t src, std::uint16_t dst)
{
    return {static_cast<std::uint8_t>(src >> 8), static_cast<std::uint8_t>(src),
            static_cast<std::uint8_t>(dst >> 8), static_cast<std::uint8_t>(dst)};
}

Bytes UdpHeader(std::uint16_t src, std::uint16_t dst)
{
    Bytes h = Ports(src, dst);
    h.resize(8, 0);
    return h;
}

// A TCP header with `optionBytes` bytes of options (a multiple of 4).
Bytes TcpHeader(std::uint16_t src, std::uint16_t dst, std::size_t optionBytes = 0)
{
    Bytes h = Ports(src, dst);
    h.resize(20, 0);
    h[12] = static_cast<std::uint8_t>(((20 + optionBytes) / 4) << 4);
    h[13] = 0x18;  // PSH, ACK
    // NOP, NOP, timestamps (kind 8, length 10) and so on.
    for (std::size_t i = 0; i < optionBytes; ++i)
        h.push_back(i < 2 ? 1 : static_cast<std::uint8_t>(8 + i));
    return h;
}

std::string Text(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

std::optional<DecodedDatagram> Decode(const Bytes& b)
{
    return DecodeDatagram(b);
}

}  // namespace

TEST(DecodeDatagram, UdpGivesAddressesPortsAndPayload)
{
    Datagram g;
    g.transport = UdpHeader(53, 50000);
    g.payload = {'h', 'i', 0, 0xFF, 0x80};
    auto d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->protocol, "UDP");
    EXPECT_EQ(d->srcAddr, "10.77.0.2");
    EXPECT_EQ(d->destAddr, "192.168.200.255");
    EXPECT_EQ(d->srcPort, "53");
    EXPECT_EQ(d->destPort, "50000");
    EXPECT_EQ(d->size, 5);
    EXPECT_EQ(d->data, Text(g.payload));
}

TEST(DecodeDatagram, TcpPortsAtBothEndsOfTheirRange)
{
    Datagram g;
    g.protocol = 6;
    g.transport = TcpHeader(0, 65535);
    g.payload = {'x'};
    auto d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->protocol, "TCP");
    EXPECT_EQ(d->srcPort, "0");
    EXPECT_EQ(d->destPort, "65535");
    EXPECT_EQ(d->data, "x");
}

TEST(DecodeDatagram, IcmpAndOtherProtocolsHaveNoPortsAndPayloadAfterTheIPv4Header)
{
    Datagram icmp;
    icmp.protocol = 1;
    icmp.payload = {8, 0, 0xF7, 0xFF, 0, 1, 0, 1, 'a', 'b'};  // echo request and data
    auto d = Decode(icmp.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->protocol, "ICMP");
    EXPECT_TRUE(d->srcPort.empty());
    EXPECT_TRUE(d->destPort.empty());
    EXPECT_EQ(d->size, 10);
    EXPECT_EQ(d->data, Text(icmp.payload));

    for (std::uint8_t proto : {0, 2, 47, 89, 255}) {
        Datagram other;
        other.protocol = proto;
        other.payload = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        auto o = Decode(other.bytes());
        ASSERT_TRUE(o) << int(proto);
        EXPECT_EQ(o->protocol, std::to_string(proto));
        EXPECT_TRUE(o->srcPort.empty() && o->destPort.empty());
        EXPECT_EQ(o->size, 9);
        EXPECT_EQ(o->data, Text(other.payload));
    }
}

TEST(DecodeDatagram, HeadersOnlyGiveAnEmptyPayload)
{
    Datagram tcp;
    tcp.protocol = 6;
    tcp.transport = TcpHeader(80, 1234);
    Datagram udp;
    udp.transport = UdpHeader(1, 2);
    Datagram icmp;
    icmp.protocol = 1;
    for (const auto& [g, length] : {std::pair{tcp, 40u}, {udp, 28u}, {icmp, 20u}}) {
        const Bytes b = g.bytes();
        ASSERT_EQ(b.size(), length);
        auto d = Decode(b);
        ASSERT_TRUE(d) << length;
        EXPECT_EQ(d->size, 0);
        EXPECT_TRUE(d->data.empty());
    }
}

TEST(DecodeDatagram, IPv4OptionsAreNeitherPortsNorPayload)
{
    Datagram g;
    g.ipOptions = {0x94, 0x04, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00};  // router alert, NOPs, end
    g.transport = UdpHeader(1900, 5353);
    g.payload = {'o', 'k'};
    auto d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->srcPort, "1900");
    EXPECT_EQ(d->destPort, "5353");
    EXPECT_EQ(d->size, 2);
    EXPECT_EQ(d->data, "ok");

    // The largest IPv4 header: 40 bytes of options before an ICMP message.
    Datagram big;
    big.protocol = 1;
    big.ipOptions.assign(40, 1);
    big.payload = {0, 0, 1, 2};
    auto b = Decode(big.bytes());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->data, Text(big.payload));
}

TEST(DecodeDatagram, TcpOptionsAreNotPayload)
{
    Datagram g;
    g.protocol = 6;
    g.transport = TcpHeader(443, 40000, 12);  // the usual timestamps
    auto d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 0);
    EXPECT_TRUE(d->data.empty());

    g.transport = TcpHeader(443, 40000, 40);  // the largest TCP header, with data
    g.payload = {'G', 'E', 'T'};
    d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->srcPort, "443");
    EXPECT_EQ(d->data, "GET");
    EXPECT_EQ(d->size, 3);
}

TEST(DecodeDatagram, PaddingAfterTheTotalLengthIsCut)
{
    Datagram udp;
    udp.transport = UdpHeader(67, 68);
    udp.padding = 18;  // a 28-byte datagram in a minimum-size Ethernet frame
    auto d = Decode(udp.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 0);

    Datagram tcp;
    tcp.protocol = 6;
    tcp.transport = TcpHeader(22, 50000);
    tcp.payload = {'a', 'b', 'c', 'd', 'e', 'f'};
    tcp.padding = 1;
    d = Decode(tcp.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->data, "abcdef");
}

TEST(DecodeDatagram, TotalLengthZeroOrBeyondWhatWasReadFallsBackToTheBytesRead)
{
    Datagram g;
    g.protocol = 6;
    g.transport = TcpHeader(5000, 5001, 12);
    g.payload.assign(3000, 'z');  // a segment captured before segmentation offload
    g.totalLength = 0;
    auto d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 3000);

    g.totalLength = 65535;  // claims more than was captured
    d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 3000);
}

TEST(DecodeDatagram, LargestDatagramIsDecodedWhole)
{
    Datagram g;
    g.protocol = 6;
    g.transport = TcpHeader(1, 2);
    g.payload.assign(65535 - 40, 0xEE);
    auto d = Decode(g.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 65495);
    EXPECT_EQ(d->data.size(), 65495u);
}

TEST(DecodeDatagram, LaterFragmentsHaveNoTransportHeader)
{
    // First fragment: ports, and payload after the UDP header.
    Datagram first;
    first.transport = UdpHeader(4000, 5000);
    first.payload.assign(16, 'a');
    first.moreFragments = true;
    auto d = Decode(first.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->srcPort, "4000");
    EXPECT_EQ(d->size, 16);

    // A later one: its first bytes are payload, not ports.
    Datagram later;
    later.fragmentOffset = 185;
    later.payload = {0x0F, 0xA0, 0x13, 0x88, 'b', 'c'};
    d = Decode(later.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->protocol, "UDP");
    EXPECT_TRUE(d->srcPort.empty() && d->destPort.empty());
    EXPECT_EQ(d->data, Text(later.payload));

    // A later TCP fragment shorter than a TCP header still gives a record.
    Datagram tcpLater;
    tcpLater.protocol = 6;
    tcpLater.fragmentOffset = 1;
    tcpLater.payload = {1, 2, 3};
    d = Decode(tcpLater.bytes());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 3);
}

TEST(DecodeDatagram, MalformedOrShortDatagramsGiveNoRecord)
{
    Datagram udp;
    udp.transport = UdpHeader(1, 2);
    const Bytes good = udp.bytes();
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(DecodeDatagram(std::span(good).first(n))) << "length " << n;

    Datagram tcp;
    tcp.protocol = 6;
    tcp.transport = TcpHeader(1, 2, 12);
    const Bytes goodTcp = tcp.bytes();
    for (std::size_t n = 0; n < goodTcp.size(); ++n)
        EXPECT_FALSE(DecodeDatagram(std::span(goodTcp).first(n))) << "length " << n;

    Datagram v6 = udp;
    v6.version = 6;
    EXPECT_FALSE(Decode(v6.bytes()));

    Datagram shortIhl = udp;
    shortIhl.ihlWords = 4;
    EXPECT_FALSE(Decode(shortIhl.bytes()));

    Datagram longIhl;  // claims 60 bytes of header in a 28-byte datagram
    longIhl.protocol = 1;
    longIhl.payload.assign(8, 0);
    longIhl.ihlWords = 15;
    EXPECT_FALSE(Decode(longIhl.bytes()));

    Datagram lengthInsideHeader = udp;
    lengthInsideHeader.totalLength = 12;
    EXPECT_FALSE(Decode(lengthInsideHeader.bytes()));

    // The total length ends the datagram inside the TCP header.
    Datagram cut = tcp;
    cut.payload.assign(20, 'p');
    cut.totalLength = 30;
    EXPECT_FALSE(Decode(cut.bytes()));

    Datagram tinyOffset = tcp;
    tinyOffset.transport[12] = 0x40;  // data offset 4 words: below a TCP header
    EXPECT_FALSE(Decode(tinyOffset.bytes()));

    Datagram pastEnd = tcp;
    pastEnd.transport[12] = 0xF0;  // 60 bytes of TCP header in 32
    EXPECT_FALSE(Decode(pastEnd.bytes()));
}

TEST(DecodeDatagram, EveryByteValueIsOneCharacter)
{
    Datagram g;
    g.protocol = 47;
    for (int v = 0; v < 256; ++v)
        g.payload.push_back(static_cast<std::uint8_t>(v));
    auto d = Decode(g.bytes());
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size, 256);
    ASSERT_EQ(d->data.size(), 256u);
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(static_cast<std::uint8_t>(d->data[static_cast<std::size_t>(v)]), v);
}

TEST(clV, AddTakesEachAddressWithItsPort)
{
    clV r;
    r.add("TCP", "10.77.0.2", "51000", "10.77.0.1", "80", "5", PayloadRef(1234567890123, 5), "14:03:27.45");
    EXPECT_EQ(r.mProtocol, "TCP");
    EXPECT_EQ(r.mSrcAddr, "10.77.0.2");
    EXPECT_EQ(r.mSrcPort, "51000");
    EXPECT_EQ(r.mDestAddr, "10.77.0.1");
    EXPECT_EQ(r.mDestPort, "80");
    EXPECT_EQ(r.mSize, "5");
    EXPECT_EQ(r.mData.offset(), 1234567890123u);
    EXPECT_EQ(r.mData.length(), 5u);
    EXPECT_EQ(r.mHora, "14:03:27.45");
}
