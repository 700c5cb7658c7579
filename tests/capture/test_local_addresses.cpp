// The local address list and host name look-up in private namespaces (root).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

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

namespace {

struct Collect : MessageSink {
    std::vector<std::string> messages;
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
};

// Runs `body` in a child process with its own host name, /etc/hosts and
// (empty) network, and returns what the body returned, or the failed step.
std::string InIsolatedHost(const std::string& hostName, const std::string& hostsFile,
                           std::string (*body)())
{
    return quillet::testsupport::InChildProcess([&]() -> std::string {
        if (unshare(CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWNET) != 0)
            return "unshare failed";
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "making mounts private failed";
        char path[] = "/tmp/quillet-hosts-XXXXXX";
        const int f = mkstemp(path);
        if (f < 0)
            return "creating the hosts file failed";
        const bool written = write(f, hostsFile.data(), hostsFile.size()) == static_cast<ssize_t>(hostsFile.size());
        close(f);
        const bool mounted = written && mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
        unlink(path);
        if (!mounted)
            return "bind-mounting /etc/hosts failed";
        if (sethostname(hostName.data(), hostName.size()) != 0)
            return "sethostname failed";
        return body();
    });
}

const char* const kHosts =
    "127.0.0.1 localhost\n"
    "10.77.5.1 quillet-two\n"
    "10.77.5.2 quillet-two\n"
    "10.77.6.9 other-host\n";

}  // namespace

TEST(HostNameToAddress, EmptyNameGivesTheLocalHostsLastAddress)
{
    const std::string got = InIsolatedHost("quillet-two", kHosts, [] {
        Collect sink;
        std::string s = HostNameToAddress("", sink) + "|" + std::to_string(sink.messages.size());
        return s;
    });
    EXPECT_EQ(got, "10.77.5.2|0");
}

TEST(HostNameToAddress, NamedHostsAndUnknownNames)
{
    const std::string got = InIsolatedHost("quillet-two", kHosts, [] {
        Collect sink;
        return HostNameToAddress("quillet-two", sink) + "|" + HostNameToAddress("other-host", sink) + "|"
               + HostNameToAddress("no-such-host.invalid", sink) + "|" + std::to_string(sink.messages.size());
    });
    EXPECT_EQ(got, "10.77.5.2|10.77.6.9|Unknown|0");
}

TEST(ResolveIPv4, HostNameGivesItsFirstAddress)
{
    const std::string got = InIsolatedHost("quillet-two", kHosts, [] {
        return IPv4ToText(ResolveIPv4("quillet-two")).str() + "|" + IPv4ToText(ResolveIPv4("nowhere.invalid")).str();
    });
    EXPECT_EQ(got, "10.77.5.1|255.255.255.255");
}
