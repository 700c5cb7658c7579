// Live captures in a private network namespace joined to a peer namespace by
// a veth pair (needs root).
#include <algorithm>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "capture/mdlwinsock.h"
#include "decode/DecodeDatagram.h"
#include "support/Netns.h"

using namespace quillet;
using quillet::testsupport::OpenDescriptorCount;
using quillet::testsupport::Shell;
using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

struct Collect : MessageSink {
    std::vector<std::string> messages;
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
};

struct Captured {
    std::vector<std::uint8_t> bytes;
    std::int64_t timestampUs = 0;
    CapturedDatagram::Direction direction = CapturedDatagram::Direction::Unknown;
    DecodedDatagram decoded;
};

std::int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string FirstLine(const std::string& s)
{
    return s.substr(0, s.find('\n'));
}

// Everything the handle holds: ready datagrams first (through the descriptor's
// readiness, as the main window reads them), then a drain.
std::vector<Captured> ReadEverything(CaptureHandle& h)
{
    std::vector<Captured> out;
    auto keep = [&out](const CapturedDatagram& captured) {
        const std::span<const std::uint8_t> d = captured.bytes;
        const std::int64_t ts = captured.timestampUs;
        // Captured whole: nothing was cut.
        EXPECT_EQ(captured.originalLength, d.size());
        EXPECT_TRUE(captured.live);
        Captured c;
        c.direction = captured.direction;
        c.bytes.assign(d.begin(), d.end());
        c.timestampUs = ts;
        auto decoded = DecodeDatagram(d);
        EXPECT_TRUE(decoded.has_value()) << "a captured datagram did not decode";
        if (decoded)
            c.decoded = std::move(*decoded);
        out.push_back(std::move(c));
    };
    pollfd p{h.selectableFd(), POLLIN, 0};
    if (poll(&p, 1, 1000) > 0) {
        EXPECT_GE(h.Read(1000000, keep), 0);
    }
    EXPECT_GE(h.Drain(keep), 0);
    return out;
}

bool Between(const Captured& c, const char* src, const char* dst)
{
    return c.decoded.srcAddr == src && c.decoded.destAddr == dst;
}

// The payloads, in capture order, of one direction of a TCP connection.
// One direction's TCP payload, put together by sequence number: a segment the
// sender retransmitted (a slow receiver, a loaded machine) lands where its
// first copy did. A gap (a segment the capture missed) comes back as a
// "<gap>" marker, so the stream cannot compare equal.
std::string TcpStream(const std::vector<Captured>& all, const char* src, std::uint16_t srcPort, const char* dst,
                      std::uint16_t dstPort)
{
    struct Segment {
        std::uint32_t seq;
        const std::string* data;
    };
    std::vector<Segment> segments;
    for (const auto& c : all) {
        if (c.decoded.protocol != "TCP" || !Between(c, src, dst) || c.decoded.srcPort != std::to_string(srcPort)
            || c.decoded.destPort != std::to_string(dstPort) || c.decoded.data.empty())
            continue;
        const std::size_t ihl = (c.bytes.at(0) & 0x0F) * 4u;
        const std::uint32_t seq = (std::uint32_t{c.bytes.at(ihl + 4)} << 24) | (std::uint32_t{c.bytes.at(ihl + 5)} << 16)
                                  | (std::uint32_t{c.bytes.at(ihl + 6)} << 8) | c.bytes.at(ihl + 7);
        segments.push_back({seq, &c.decoded.data});
    }
    if (segments.empty())
        return {};
    // Offsets relative to the lowest sequence number, wrap-around aware.
    std::int64_t low = 0;
    for (const Segment& g : segments)
        low = std::min<std::int64_t>(low, static_cast<std::int32_t>(g.seq - segments[0].seq));
    std::string s;
    std::vector<bool> covered;
    for (const Segment& g : segments) {
        const auto at = static_cast<std::size_t>(static_cast<std::int32_t>(g.seq - segments[0].seq) - low);
        if (s.size() < at + g.data->size()) {
            s.resize(at + g.data->size());
            covered.resize(s.size());
        }
        s.replace(at, g.data->size(), *g.data);
        std::fill(covered.begin() + static_cast<std::ptrdiff_t>(at),
                  covered.begin() + static_cast<std::ptrdiff_t>(at + g.data->size()), true);
    }
    if (std::find(covered.begin(), covered.end(), false) != covered.end())
        s += "<gap>";
    return s;
}

// Compares long byte strings without printing them whole.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at byte " << at;
}

std::string Pattern(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    return s;
}

}  // namespace

TEST(CaptureLive, EveryDatagramBothWaysArrivesOnceWholeAndDecodes)
{
    VethNamespace net;
    const char* local = VethNamespace::kLocalAddr;
    const char* peer = VethNamespace::kPeerAddr;

    Collect sink;
    const std::int64_t before = NowUs();
    CaptureHandle h = OpenCaptureSocket(local, 7000, sink);
    ASSERT_TRUE(h.valid()) << (sink.messages.empty() ? "" : sink.messages[0]);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_GE(h.selectableFd(), 0);

    const std::string udpIn("from the peer\0\x01\xFF\x80 end", 22);
    const std::string udpOut = "from here";
    const std::string fragmented = Pattern(3000, 1);
    const std::string pingIn = "ping payload \x7F\xFE";
    const std::string pingOut("pong\0payload", 12);
    const std::string request = "GET /index HTTP/1.0\r\n\r\n";
    const std::string reply = Pattern(5000, 2);
    const std::string bulk = Pattern(300000, 3);
    std::uint16_t inClient = 0, outClient = 0;

    ASSERT_TRUE(net.Udp(Side::Peer, 4001, 5001, udpIn));
    ASSERT_TRUE(net.Udp(Side::Local, 4002, 5002, udpOut));
    ASSERT_TRUE(net.Udp(Side::Peer, 4003, 5003, fragmented));
    ASSERT_TRUE(net.Ping(Side::Peer, 0x1234, 1, pingIn));
    ASSERT_TRUE(net.Ping(Side::Local, 0x4321, 2, pingOut));
    ASSERT_TRUE(net.Tcp(Side::Peer, 6001, request, reply, &inClient));
    ASSERT_TRUE(net.Tcp(Side::Local, 6002, bulk, "ok", &outClient));

    const auto all = ReadEverything(h);
    const std::int64_t after = NowUs();

    std::map<std::string, int> seen;
    for (const auto& c : all) {
        // Exactly one IPv4 datagram each, no link header, no padding.
        ASSERT_GE(c.bytes.size(), 20u);
        EXPECT_EQ(c.bytes[0] >> 4, 4);
        EXPECT_EQ((c.bytes[2] << 8) | c.bytes[3], static_cast<int>(c.bytes.size()));
        EXPECT_GE(c.timestampUs, before);
        EXPECT_LE(c.timestampUs, after);
        const auto& d = c.decoded;
        EXPECT_EQ(d.size, static_cast<std::int32_t>(d.data.size()));
        if (d.protocol == "UDP" && d.srcPort == "4001") {
            EXPECT_TRUE(Between(c, peer, local));
            EXPECT_EQ(d.destPort, "5001");
            EXPECT_EQ(c.direction, CapturedDatagram::Direction::Received);
            EXPECT_EQ(d.data, udpIn);
            EXPECT_EQ(d.size, 22);
            ++seen["udp in"];
        } else if (d.protocol == "UDP" && d.srcPort == "4002") {
            EXPECT_TRUE(Between(c, local, peer));
            EXPECT_EQ(d.destPort, "5002");
            EXPECT_EQ(c.direction, CapturedDatagram::Direction::Sent);
            EXPECT_EQ(d.data, udpOut);
            ++seen["udp out"];
        } else if (d.protocol == "UDP" && d.srcPort == "4003") {
            // First fragment: the UDP header, then the first 1472 payload bytes.
            EXPECT_EQ(d.destPort, "5003");
            EXPECT_EQ(d.data, fragmented.substr(0, 1472));
            ++seen["first fragment"];
        } else if (d.protocol == "UDP" && d.srcPort.empty()) {
            // Later fragments: no ports, payload straight after the IPv4 header.
            EXPECT_TRUE(Between(c, peer, local));
            const std::size_t at = 1472 + 1480 * static_cast<std::size_t>(seen["later fragment"]);
            EXPECT_EQ(d.data, fragmented.substr(at, 1480));
            ++seen["later fragment"];
        } else if (d.protocol == "ICMP") {
            EXPECT_TRUE(d.srcPort.empty() && d.destPort.empty());
            ASSERT_GE(d.data.size(), 8u);
            const std::string body = d.data.substr(8);
            const bool request = d.data[0] == 8, echoReply = d.data[0] == 0;
            if (Between(c, peer, local) && request && body == pingIn)
                ++seen["ping in"];
            else if (Between(c, local, peer) && echoReply && body == pingIn)
                ++seen["pong in"];
            else if (Between(c, local, peer) && request && body == pingOut)
                ++seen["ping out"];
            else if (Between(c, peer, local) && echoReply && body == pingOut)
                ++seen["pong out"];
            else
                ADD_FAILURE() << "unexpected ICMP datagram";
        } else if (d.protocol == "TCP") {
            ++seen["tcp"];
        }
    }
    for (const char* once : {"udp in", "udp out", "first fragment", "ping in", "pong in", "ping out", "pong out"})
        EXPECT_EQ(seen[once], 1) << once;
    EXPECT_EQ(seen["later fragment"], 2);

    // TCP both ways: each direction's payloads, in capture order, are exactly
    // what was sent: nothing lost, cut or repeated.
    EXPECT_TRUE(SameBytes(TcpStream(all, peer, inClient, local, 6001), request));
    EXPECT_TRUE(SameBytes(TcpStream(all, local, 6001, peer, inClient), reply));
    EXPECT_TRUE(SameBytes(TcpStream(all, local, outClient, peer, 6002), bulk));
    EXPECT_TRUE(SameBytes(TcpStream(all, peer, 6002, local, outClient), "ok"));

    // The machine's own segments are captured before segmentation: larger than
    // the link's 1500-byte MTU.
    std::size_t largest = 0;
    for (const auto& c : all)
        largest = std::max(largest, c.bytes.size());
    EXPECT_GT(largest, 1500u);

    const auto st = h.stats();
    EXPECT_GE(st.received, all.size());
    EXPECT_EQ(st.dropped, 0u);
}

TEST(CaptureLive, LargestDatagramsArriveWhole)
{
    VethNamespace net;
    // With a 65535-byte MTU, the largest IPv4 datagram goes unfragmented: the
    // capture must keep it whole behind its Ethernet header. (TCP segments
    // come near that size too, but how near depends on timing.)
    testsupport::ShellOrThrow(std::string("ip link set ") + VethNamespace::kLocalIf + " mtu 65535");
    ASSERT_EQ(net.RunInPeer(std::string("ip link set ") + VethNamespace::kPeerIf + " mtu 65535"), 0);

    Collect sink;
    CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
    ASSERT_TRUE(h.valid()) << (sink.messages.empty() ? "" : sink.messages[0]);
    const std::string largestUdp = Pattern(65535 - 20 - 8, 5);
    ASSERT_TRUE(net.Udp(Side::Local, 6004, 6005, largestUdp));
    const std::string bulk = Pattern(1000000, 4);
    std::uint16_t client = 0;
    ASSERT_TRUE(net.Tcp(Side::Local, 6003, bulk, "done", &client));
    const auto all = ReadEverything(h);
    std::size_t largest = 0;
    for (const auto& c : all)
        largest = std::max(largest, c.bytes.size());
    EXPECT_EQ(largest, 65535u);
    EXPECT_GT(std::count_if(all.begin(), all.end(), [](const auto& c) { return c.bytes.size() > 1500; }), 0);
    EXPECT_TRUE(SameBytes(TcpStream(all, VethNamespace::kLocalAddr, client, VethNamespace::kPeerAddr, 6003), bulk));
}

TEST(CaptureLive, DrainHandsOverWhatTheRingStillHolds)
{
    VethNamespace net;
    Collect sink;
    CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
    ASSERT_TRUE(h.valid());
    for (std::uint16_t i = 0; i < 5; ++i)
        ASSERT_TRUE(net.Udp(Side::Peer, static_cast<std::uint16_t>(4100 + i), 5100, "x"));
    // Stop at once: the datagrams sit in a block the kernel has not released.
    int udp = 0;
    h.Drain([&udp](const CapturedDatagram& captured) {
        auto r = DecodeDatagram(captured.bytes);
        if (r && r->protocol == "UDP" && r->destPort == "5100")
            ++udp;
    });
    EXPECT_EQ(udp, 5);
}

// A sender that never pauses: Drain still returns within its limit, and it
// takes no more than the kernel had counted into the ring when it was asked.
TEST(CaptureLive, DrainIsBoundedWhileASenderGoesOn)
{
    VethNamespace net;
    Collect sink;
    CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
    ASSERT_TRUE(h.valid());
    UniqueFd out = net.SocketIn(Side::Peer, AF_INET, SOCK_DGRAM);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);  // discard: nobody listens, nothing comes back but ICMP
    inet_pton(AF_INET, VethNamespace::kLocalAddr, &to.sin_addr);
    ASSERT_EQ(connect(out.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sent{0};
    std::thread sender([&] {
        const std::string payload(1000, 'd');
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
        while (!stop && std::chrono::steady_clock::now() < until)
            if (send(out.get(), payload.data(), payload.size(), MSG_DONTWAIT) > 0)
                ++sent;
    });
    // Let the ring fill for a while without reading it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const CaptureHandle::Stats atRequest = h.stats();
    const std::uint64_t sentAtRequest = sent;

    std::uint64_t handed = 0;
    const auto start = std::chrono::steady_clock::now();
    h.Drain([&handed](const CapturedDatagram&) {
        ++handed;
        // A slow reader: the sender outpaces it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(2);
        while (std::chrono::steady_clock::now() < until) {
        }
    });
    const auto took = std::chrono::steady_clock::now() - start;
    const std::uint64_t sentAfter = sent;
    stop = true;
    sender.join();

    ASSERT_GT(sentAfter, sentAtRequest) << "the sender went on during the drain";
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_GT(handed, 0u);
    // ICMP port unreachable replies are counted in the ring too; a little
    // slack for what the kernel counted between the two stats calls.
    const std::uint64_t keptAtRequest = atRequest.received - atRequest.dropped;
    EXPECT_LE(handed, keptAtRequest + 2000) << "read what arrived after the request";
}

// What the capture sees of its interface: down and up again leave reads
// working; a deleted interface fails the read in the library's words.
TEST(CaptureLive, InterfaceDownUpAndDeleted)
{
    VethNamespace net;
    Collect sink;
    CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(h.interfaceName(), VethNamespace::kLocalIf);
    EXPECT_EQ(h.linkState(), LinkState::Up);
    const std::string link = std::string("ip link set ") + VethNamespace::kLocalIf;
    auto none = [](const CapturedDatagram&) {};

    ASSERT_EQ(Shell(link + " down"), 0);
    EXPECT_EQ(h.linkState(), LinkState::Down);
    pollfd p{h.selectableFd(), POLLIN, 0};
    poll(&p, 1, 200);
    EXPECT_GE(h.Read(100, none), 0) << "a down interface is no read error: " << h.lastError();
    ASSERT_EQ(Shell(link + " up"), 0);
    // The carrier follows a moment after the flag.
    for (int i = 0; i < 200 && h.linkState() != LinkState::Up; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(h.linkState(), LinkState::Up);

    ASSERT_EQ(Shell(std::string("ip link del ") + VethNamespace::kLocalIf), 0);
    EXPECT_EQ(h.linkState(), LinkState::Gone);
    ASSERT_GT(poll(&p, 1, 1000), 0) << "the deletion is signalled";
    // The wake-up may still bring datagrams of before; the error follows them.
    int read = 0;
    for (int i = 0; i < 20 && (read = h.Read(100, none)) >= 0; ++i)
        poll(&p, 1, 50);
    EXPECT_EQ(read, -1);
    EXPECT_TRUE(SaysInterfaceGone(h.lastError())) << h.lastError();
}

TEST(CaptureLive, FailuresNameTheCauseAndLeaveNoDescriptorOpen)
{
    VethNamespace net;
    const int fdsBefore = OpenDescriptorCount();
    {
        Collect sink;
        CaptureHandle h = OpenCaptureSocket("10.77.0.99", 7000, sink);
        EXPECT_FALSE(h.valid());
        EXPECT_EQ(h.selectableFd(), -1);
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_EQ(FirstLine(sink.messages[0]), "INVALID_SOCKET");
        EXPECT_NE(sink.messages[0].find("10.77.0.99"), std::string::npos) << sink.messages[0];
    }
    {
        Collect sink;
        CaptureHandle h = OpenCaptureSocket("255.255.255.255", 7000, sink);
        EXPECT_FALSE(h.valid());
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_EQ(FirstLine(sink.messages[0]), "INVALID_SOCKET");
    }
    {
        // A failure after the capture was created: its interface is down.
        testsupport::ShellOrThrow("ip link add qd0 type veth peer name qd1 && ip addr add 10.77.1.1/24 dev qd0");
        Collect sink;
        CaptureHandle h = OpenCaptureSocket("10.77.1.1", 7000, sink);
        EXPECT_FALSE(h.valid());
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_EQ(FirstLine(sink.messages[0]), "bind err");
        EXPECT_NE(sink.messages[0].find("qd0"), std::string::npos) << sink.messages[0];
    }
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);

    // Opened and closed again: nothing stays open; reading a closed handle fails.
    {
        Collect sink;
        CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
        ASSERT_TRUE(h.valid());
        EXPECT_GT(OpenDescriptorCount(), fdsBefore);
        CaptureHandle moved = std::move(h);
        EXPECT_FALSE(h.valid());
        EXPECT_TRUE(moved.valid());
        moved.Close();
        EXPECT_FALSE(moved.valid());
        EXPECT_EQ(moved.Read(10, [](const CapturedDatagram&) {}), -1);
    }
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
}

TEST(CaptureLive, HostNameAddressIsResolved)
{
    VethNamespace net;
    Collect sink;
    // "localhost" names 127.0.0.1, which the namespace's loopback carries.
    CaptureHandle h = OpenCaptureSocket("localhost", 7000, sink);
    EXPECT_TRUE(h.valid()) << (sink.messages.empty() ? "" : sink.messages[0]);
}

TEST(CaptureLive, WithoutCaptureRightsTheMessageSaysWhatIsNeeded)
{
    VethNamespace net;
    const std::string text = testsupport::InChildProcess([] {
        // Drop every capability, as an ordinary user would run the program.
        __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        if (syscall(SYS_capset, &hdr, data) != 0)
            return std::string("the child could not drop its rights");
        Collect sink;
        CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
        return h.valid() ? std::string("opened") : (sink.messages.empty() ? std::string() : sink.messages[0]);
    });
    EXPECT_EQ(FirstLine(text), "INVALID_SOCKET") << text;
    EXPECT_NE(text.find("CAP_NET_RAW"), std::string::npos) << text;
}

// The program is granted CAP_NET_RAW only: that right alone opens the capture,
// promiscuous mode included, and datagrams arrive.
TEST(CaptureLive, CapNetRawAloneIsEnoughToCapture)
{
    VethNamespace net;
    const std::string text = testsupport::InChildProcess([&net] {
        __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct all[2] = {};
        if (syscall(SYS_capget, &hdr, all) != 0)
            return std::string("the child could not read its rights");
        // Only CAP_NET_RAW in effect while opening; the others stay permitted
        // so the child can raise them again to send through the peer.
        __user_cap_data_struct rawOnly[2] = {all[0], all[1]};
        rawOnly[0].effective = 1u << CAP_NET_RAW;
        rawOnly[1].effective = 0;
        if (syscall(SYS_capset, &hdr, rawOnly) != 0)
            return std::string("the child could not drop its rights");
        Collect sink;
        CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
        if (syscall(SYS_capset, &hdr, all) != 0)
            return std::string("the child could not raise its rights again");
        if (!h.valid())
            return "not opened: " + (sink.messages.empty() ? std::string() : sink.messages[0]);
        if (!sink.messages.empty())
            return "opened with a message: " + sink.messages[0];
        if (!net.Udp(VethNamespace::Side::Peer, 41000, 41001, "raw only"))
            return std::string("the datagram was not delivered");
        for (const Captured& c : ReadEverything(h)) {
            if (c.decoded.protocol == "UDP" && c.decoded.srcPort == "41000" && c.decoded.data == "raw only")
                return std::string("captured");
        }
        return std::string("opened, but the datagram was not captured");
    });
    EXPECT_EQ(text, "captured");
}

TEST(CaptureLive, VlanTaggedDatagramsArriveWithoutTheirTag)
{
    VethNamespace net;
    Collect sink;
    CaptureHandle h = OpenCaptureSocket(VethNamespace::kLocalAddr, 7000, sink);
    ASSERT_TRUE(h.valid()) << (sink.messages.empty() ? "" : sink.messages[0]);

    // The peer sends an 802.1Q-tagged frame (VLAN 5) carrying a UDP datagram.
    std::string index;
    ASSERT_EQ(net.RunInPeer(std::string("cat /sys/class/net/") + VethNamespace::kPeerIf + "/ifindex", &index), 0);
    auto tx = net.SocketIn(Side::Peer, AF_PACKET, SOCK_RAW, 0);
    const std::vector<std::uint8_t> datagram = {
        0x45, 0, 0, 34, 0, 1, 0, 0, 64, 17, 0, 0, 10, 77, 5, 2, 10, 77, 5, 1,  // IPv4
        0x0F, 0xA5, 0x13, 0x8D, 0, 14, 0, 0,                                  // UDP 4005 -> 5005
        't', 'a', 'g', 'g', 'e', 'd'};
    std::vector<std::uint8_t> frame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 5,
                                       0x81, 0x00, 0x00, 0x05, 0x08, 0x00};
    frame.resize(18 + datagram.size());
    std::copy(datagram.begin(), datagram.end(), frame.begin() + 18);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = std::stoi(index);
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xFF, 6);
    ASSERT_EQ(sendto(tx.get(), frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(frame.size()));

    int tagged = 0;
    for (const auto& c : ReadEverything(h)) {
        if (c.decoded.protocol == "UDP" && c.decoded.srcPort == "4005") {
            EXPECT_EQ(c.bytes, datagram);
            EXPECT_TRUE(Between(c, "10.77.5.2", "10.77.5.1"));
            EXPECT_EQ(c.decoded.destPort, "5005");
            EXPECT_EQ(c.decoded.data, "tagged");
            ++tagged;
        }
    }
    EXPECT_EQ(tagged, 1);
}

TEST(CaptureLive, RingSizeFollowsTheMachinesMemoryWithinBounds)
{
    constexpr long long MiB = 1024LL * 1024;
    EXPECT_EQ(CaptureBufferBytes(24 * 1024 * MiB), 128 * MiB);
    EXPECT_EQ(CaptureBufferBytes(0), 128 * MiB);  // unknown memory: the usual size
    EXPECT_EQ(CaptureBufferBytes(2 * 1024 * MiB), 64 * MiB);
    EXPECT_EQ(CaptureBufferBytes(512 * MiB), 32 * MiB);  // a small machine keeps the floor
}
