// The local address list and host name look-up in private namespaces (root).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/mdlwinsock.h"
#include "support/Netns.h"

using namespace quillet;
using quillet::testsupport::PrivateNetns;
using quillet::testsupport::ShellOrThrow;

TEST(ListLocalAddresses, LoopbackOnly)
{
    PrivateNetns ns;
    std::vector<std::string> list = {"stale"};
    EXPECT_EQ(ListLocalAddresses(list), 0);
    EXPECT_EQ(list, std::vector<std::string>{"127.0.0.1"});
}

TEST(ListLocalAddresses, InterfacesInTheSystemsOrder)
{
    PrivateNetns ns;
    // Created in this order, with addresses that do not sort the same way.
    ShellOrThrow("ip link add qa type bridge");
    ShellOrThrow("ip link add qb type bridge");
    ShellOrThrow("ip addr add 10.77.3.1/24 dev qb");
    ShellOrThrow("ip addr add 10.77.9.1/24 dev qa");
    std::vector<std::string> list;
    EXPECT_EQ(ListLocalAddresses(list), 0);
    EXPECT_EQ(list, (std::vector<std::string>{"127.0.0.1", "10.77.9.1", "10.77.3.1"}));
}

TEST(ListLocalAddresses, AtMostEight)
{
    PrivateNetns ns;
    for (int i = 0; i < 9; ++i) {
        const std::string name = "qc" + std::to_string(i);
        ShellOrThrow("ip link add " + name + " type bridge");
        ShellOrThrow("ip addr add 10.77." + std::to_string(10 + i) + ".1/24 dev " + name);
    }
    std::vector<std::string> list;
    EXPECT_EQ(ListLocalAddresses(list), 0);
    EXPECT_EQ(list, (std::vector<std::string>{"127.0.0.1", "10.77.10.1", "10.77.11.1", "10.77.12.1", "10.77.13.1",
                                              "10.77.14.1", "10.77.15.1", "10.77.16.1"}));
}
