#include <gtest/gtest.h>

#include <vector>

#include "decode/DecodeDatagram.h"

using quillet::DecodeDatagram;

namespace {

std::vector<std::uint8_t> udp(std::vector<std::uint8_t> payload)
{
    std::vector<std::uint8_t> d = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17, 0, 0,
                                   10, 77, 0, 2, 10, 77, 0, 1,
                                   0, 53, 0xC3, 0x50, 0, 0, 0, 0};
    d.insert(d.end(), payload.begin(), payload.end());
    d[2] = static_cast<std::uint8_t>(d.size() >> 8);
    d[3] = static_cast<std::uint8_t>(d.size());
    return d;
}

}  // namespace

TEST(Decode, UdpPortsAddressesAndPayload)
{
    auto bytes = udp({'h', 0, 0xFF});
    auto d = DecodeDatagram(bytes);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->protocol, "UDP");
    EXPECT_EQ(d->srcAddr, "10.77.0.2");
    EXPECT_EQ(d->destAddr, "10.77.0.1");
    EXPECT_EQ(d->srcPort, "53");
    EXPECT_EQ(d->destPort, "50000");
    EXPECT_EQ(d->size, 3);
    EXPECT_EQ(d->data, std::string("h\0\xFF", 3));
}
