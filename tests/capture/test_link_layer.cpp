#include <gtest/gtest.h>

#include <vector>

#include "capture/LinkLayer.h"

using namespace quillet;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A minimal IPv4 datagram: 20-byte header (total length filled in), payload.
Bytes Datagram(std::size_t payload)
{
    Bytes d(20 + payload, 0xAB);
    d[0] = 0x45;
    d[1] = 0;
    d[2] = static_cast<std::uint8_t>(d.size() >> 8);
    d[3] = static_cast<std::uint8_t>(d.size());
    d[9] = 17;
    return d;
}

Bytes Concat(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes EthernetHeader(std::vector<std::uint16_t> types)
{
    Bytes h(12, 0x11);  // two MAC addresses
    for (auto t : types) {
        h.push_back(static_cast<std::uint8_t>(t >> 8));
        h.push_back(static_cast<std::uint8_t>(t));
        if (t == 0x8100 || t == 0x88A8 || t == 0x9100) {  // TCI
            h.push_back(0x00);
            h.push_back(0x05);
        }
    }
    return h;
}

Bytes Of(std::span<const std::uint8_t> s)
{
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST(LinkLayer, EthernetPlainAndTaggedGiveTheDatagram)
{
    const Bytes d = Datagram(30);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x0800}), d))), d);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x8100, 0x0800}), d))), d);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x88A8, 0x8100, 0x0800}), d))), d);
}

TEST(LinkLayer, NonIPv4FramesGiveNothing)
{
    const Bytes d = Datagram(30);
    EXPECT_TRUE(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x86DD}), d)).empty());  // IPv6
    EXPECT_TRUE(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x0806}), d)).empty());  // ARP
    EXPECT_TRUE(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x8100, 0x86DD}), d)).empty());
    // EtherType says IPv4 but the datagram is version 6.
    Bytes v6 = d;
    v6[0] = 0x65;
    EXPECT_TRUE(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x0800}), v6)).empty());
    EXPECT_TRUE(IPv4DatagramOf(999, Concat(EthernetHeader({0x0800}), d)).empty());
    EXPECT_FALSE(LinkTypeSupported(999));
}

TEST(LinkLayer, TruncatedHeadersGiveNothing)
{
    const Bytes full = Concat(EthernetHeader({0x8100, 0x0800}), Datagram(10));
    for (std::size_t n = 0; n < 18 + 20; ++n)
        EXPECT_TRUE(IPv4DatagramOf(linktype::kEthernet, std::span(full).first(n)).empty()) << n;
    // A run of VLAN tags to the end of the frame never reads past it.
    Bytes tags = EthernetHeader({0x8100, 0x8100, 0x8100});
    EXPECT_TRUE(IPv4DatagramOf(linktype::kEthernet, tags).empty());
}

TEST(LinkLayer, EthernetPaddingIsCutAtTotalLength)
{
    // A 28-byte UDP datagram padded to the 46-byte Ethernet minimum.
    const Bytes d = Datagram(8);
    Bytes frame = Concat(EthernetHeader({0x0800}), d);
    frame.resize(14 + 46, 0);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kEthernet, frame)), d);

    // Total length 0 (segmentation offload) or longer than captured: keep all.
    Bytes zero = Datagram(100);
    zero[2] = zero[3] = 0;
    EXPECT_EQ(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x0800}), zero)).size(), 120u);
    Bytes longer = Datagram(100);
    longer[2] = 0x10;
    EXPECT_EQ(IPv4DatagramOf(linktype::kEthernet, Concat(EthernetHeader({0x0800}), longer)).size(), 120u);
}

TEST(LinkLayer, CookedAndRawCaptures)
{
    const Bytes d = Datagram(12);
    Bytes sll(14, 0x22);
    sll.push_back(0x08);
    sll.push_back(0x00);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kLinuxCooked, Concat(sll, d))), d);
    // Cooked with a VLAN tag re-inserted before the protocol.
    Bytes sllTagged(14, 0x22);
    for (std::uint8_t b : {0x81, 0x00, 0x00, 0x07, 0x08, 0x00})
        sllTagged.push_back(b);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kLinuxCooked, Concat(sllTagged, d))), d);

    Bytes sll2 = {0x08, 0x00};
    sll2.resize(20, 0x33);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kLinuxCooked2, Concat(sll2, d))), d);
    Bytes sll2v6 = {0x86, 0xDD};
    sll2v6.resize(20, 0x33);
    EXPECT_TRUE(IPv4DatagramOf(linktype::kLinuxCooked2, Concat(sll2v6, d)).empty());

    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kRaw, d)), d);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kIPv4, d)), d);
    for (int t : {linktype::kEthernet, linktype::kRaw, linktype::kLinuxCooked, linktype::kIPv4,
                  linktype::kLinuxCooked2})
        EXPECT_TRUE(LinkTypeSupported(t)) << t;
}

// A cooked header says which way its frame went, as an Ethernet frame's
// addresses do against the interface's own; nothing else tells.
TEST(LinkLayer, TheDirectionIsTheCookedPacketTypeOrTheEthernetAddresses)
{
    const HardwareAddress own{{2, 0, 0, 0, 0, 1}, true};
    const auto ethernet = [](Bytes destination, Bytes source) {
        return Concat(Concat(Concat(destination, source), {0x08, 0x00}), Datagram(4));
    };
    const Bytes mine = {2, 0, 0, 0, 0, 1}, peer = {2, 0, 0, 0, 0, 2}, third = {2, 0, 0, 0, 0, 3};
    using Direction = CapturedDatagram::Direction;
    const auto cooked = [](std::uint8_t type) {
        Bytes h = {0, type, 0, 1, 0, 6};
        h.resize(14, 0x22);
        return Concat(Concat(h, {0x08, 0x00}), Datagram(4));
    };
    const auto cooked2 = [](std::uint8_t type) {
        Bytes h = {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, type, 6};
        h.resize(20, 0x33);
        return Concat(h, Datagram(4));
    };
    const auto cut = [](Bytes frame, std::size_t n) {
        frame.resize(n);
        return frame;
    };
    struct Case {
        int linkType;
        Bytes frame;
        Direction direction;
    };
    const Case cases[] = {
        {linktype::kLinuxCooked, cooked(0), Direction::Received},   // to this host
        {linktype::kLinuxCooked, cooked(1), Direction::Received},   // broadcast
        {linktype::kLinuxCooked, cooked(2), Direction::Received},   // multicast
        {linktype::kLinuxCooked, cooked(3), Direction::Unknown},    // between other hosts
        {linktype::kLinuxCooked, cooked(4), Direction::Sent},       // outgoing
        {linktype::kLinuxCooked2, cooked2(0), Direction::Received},
        {linktype::kLinuxCooked2, cooked2(3), Direction::Unknown},
        {linktype::kLinuxCooked2, cooked2(4), Direction::Sent},
        {linktype::kLinuxCooked2, cut(cooked2(4), 19), Direction::Unknown},
        {linktype::kLinuxCooked, cut(cooked(4), 15), Direction::Unknown},
        {linktype::kRaw, Datagram(4), Direction::Unknown},
        {linktype::kEthernet, ethernet(peer, mine), Direction::Sent},
        {linktype::kEthernet, ethernet({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, mine), Direction::Sent},
        {linktype::kEthernet, ethernet(mine, peer), Direction::Received},
        {linktype::kEthernet, ethernet({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, peer), Direction::Received},
        {linktype::kEthernet, ethernet({0x01, 0x00, 0x5E, 0, 0, 1}, peer), Direction::Received},  // multicast
        {linktype::kEthernet, ethernet(third, peer), Direction::Unknown},  // seen in promiscuous mode
        {linktype::kEthernet, cut(ethernet(peer, mine), 13), Direction::Unknown},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DirectionOf(c.linkType, c.frame, own), c.direction) << c.linkType << " of " << c.frame.size();
    // Without the interface's address an Ethernet frame tells nothing.
    EXPECT_EQ(DirectionOf(linktype::kEthernet, ethernet(peer, mine)), Direction::Unknown);
}

TEST(LinkLayer, LoopbackHeadersOfOtherSystems)
{
    const Bytes d = Datagram(16);
    const Bytes inetLittle = {2, 0, 0, 0}, inetBig = {0, 0, 0, 2}, inet6 = {24, 0, 0, 0};
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kNull, Concat(inetLittle, d))), d);
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kNull, Concat(inetBig, d))), d);
    EXPECT_TRUE(IPv4DatagramOf(linktype::kNull, Concat(inet6, d)).empty());
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kLoop, Concat(inetBig, d))), d);
    EXPECT_TRUE(IPv4DatagramOf(linktype::kLoop, Concat(inetLittle, d)).empty());
    EXPECT_TRUE(IPv4DatagramOf(linktype::kNull, Bytes{2, 0, 0}).empty());
    EXPECT_EQ(Of(IPv4DatagramOf(linktype::kRawAlt, d)), d);
    for (int t : {linktype::kNull, linktype::kLoop, linktype::kRawAlt})
        EXPECT_TRUE(LinkTypeSupported(t)) << t;
}

TEST(LinkLayer, IPv6DatagramsOfEveryLinkTypeOnlyWithTheSwitch)
{
    // 40-byte header and 8 bytes of payload, then 4 bytes of frame padding.
    Bytes v6(48, 0x5A);
    v6[0] = 0x60, v6[4] = 0, v6[5] = 8;
    const Bytes padded = Concat(v6, Bytes(4, 0));
    const Bytes cooked2 = Concat({0x86, 0xDD}, Bytes(18, 0));
    const std::pair<int, Bytes> frames[] = {
        {linktype::kEthernet, Concat(EthernetHeader({0x86DD}), padded)},
        {linktype::kEthernet, Concat(EthernetHeader({0x8100, 0x86DD}), padded)},
        {linktype::kRaw, padded}, {linktype::kRawAlt, padded}, {linktype::kRawFile, padded}, {linktype::kIPv6, padded},
        {linktype::kLinuxCooked, Concat({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD}, padded)},
        {linktype::kLinuxCooked2, Concat(cooked2, padded)},
        {linktype::kNull, Concat({24, 0, 0, 0}, padded)},  // in the sender's byte order
        {linktype::kNull, Concat({0, 0, 0, 28}, padded)},
        {linktype::kLoop, Concat({0, 0, 0, 30}, padded)},
    };
    for (const auto& [linkType, frame] : frames) {
        EXPECT_EQ(Of(IPDatagramOf(linkType, frame, true)), v6) << linkType;
        EXPECT_TRUE(IPv4DatagramOf(linkType, frame).empty()) << linkType;
    }
    const Bytes d = Datagram(10);  // raw IP gives IPv4 by its version nibble too
    EXPECT_EQ(Of(IPDatagramOf(linktype::kRawFile, d, true)), d);
}
