#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/IPv4Text.h"
#include "capture/mdlwinsock.h"

using namespace quillet;

namespace {

IPv4 FromBytes(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    IPv4 v;
    std::memcpy(&v, bytes, 4);
    return v;
}

struct Collect : MessageSink {
    std::vector<std::string> messages;
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
};

}  // namespace

TEST(IPv4Text, DottedDecimalFromNetworkOrderBytes)
{
    EXPECT_EQ(IPv4ToText(FromBytes(127, 0, 0, 1)), "127.0.0.1");
    EXPECT_EQ(IPv4ToText(FromBytes(0, 0, 0, 0)), "0.0.0.0");
    EXPECT_EQ(IPv4ToText(FromBytes(255, 255, 255, 255)), "255.255.255.255");
    EXPECT_EQ(IPv4ToText(FromBytes(10, 9, 100, 199)), "10.9.100.199");
    const std::uint8_t header[4] = {192, 168, 0, 10};
    EXPECT_EQ(IPv4BytesToText(header), "192.168.0.10");
}

TEST(ResolveIPv4, DottedTextFollowsInetAddrRules)
{
    EXPECT_EQ(ResolveIPv4("127.0.0.1"), FromBytes(127, 0, 0, 1));
    EXPECT_EQ(ResolveIPv4("10.77.0.2"), FromBytes(10, 77, 0, 2));
    EXPECT_EQ(ResolveIPv4("0.0.0.0"), FromBytes(0, 0, 0, 0));
    // Short forms: the last part fills the remaining bytes.
    EXPECT_EQ(ResolveIPv4("10.1"), FromBytes(10, 0, 0, 1));
    EXPECT_EQ(ResolveIPv4("1.2.3"), FromBytes(1, 2, 0, 3));
    // The broadcast address is the "no address" value itself.
    EXPECT_EQ(ResolveIPv4("255.255.255.255"), kNoAddress);
    EXPECT_EQ(ResolveIPv4(""), kNoAddress);
    EXPECT_EQ(ResolveIPv4("256.1.1.1"), kNoAddress);
    EXPECT_EQ(ResolveIPv4("1.2.3.4.5"), kNoAddress);
}

TEST(ResolveIPv4, HostNamesResolveToTheirFirstAddress)
{
    EXPECT_EQ(ResolveIPv4("localhost"), FromBytes(127, 0, 0, 1));
    EXPECT_EQ(IPv4ToText(ResolveIPv4("localhost")), "127.0.0.1");
}

TEST(HostNameToAddress, KnownNameGivesItsAddress)
{
    Collect sink;
    EXPECT_EQ(HostNameToAddress("localhost", sink), "127.0.0.1");
    EXPECT_TRUE(sink.messages.empty());
}

TEST(Winsock, RegistrationFlagRules)
{
    WinsockStop();  // a stop without a registration leaves the flag down
    EXPECT_FALSE(WinsockStarted());
    WinsockStart();
    EXPECT_TRUE(WinsockStarted());
    WinsockStart();
    EXPECT_TRUE(WinsockStarted());
    WinsockStop();
    EXPECT_FALSE(WinsockStarted());
    // Listing the local addresses registers, as the start-up relies on.
    std::vector<std::string> list;
    EXPECT_EQ(ListLocalAddresses(list), 0);
    EXPECT_TRUE(WinsockStarted());
    WinsockStop();
}
