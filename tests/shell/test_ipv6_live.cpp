// Both families through the real window (needs root): IPv6 UDP, TCP and
// ICMPv6 both ways on a veth pair become rows beside IPv4 ones, the program
// column names an IPv6 socket's program, a filter tab takes an IPv6 address,
// what was saved reads the same in tshark, and with the switch off no IPv6
// row appears.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QTemporaryDir>

#include "EmptyPortFiles.h"
#include "WaitFor.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::WaitFor;
using quillet::test::WriteEmptyPortFiles;
using quillet::testsupport::Shell;
using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

// protocol|source|destination|ports|size|image of each row.
std::vector<std::string> Rows(frmMain& w)
{
    std::vector<std::string> rows;
    QAbstractItemModel* m = w.lv()->model();
    for (int r = 0; r < m->rowCount(); ++r) {
        std::string line;
        for (int c : {kColProtocol, kColSrcAddr, kColDestAddr, kColSrcPort, kColDestPort, kColSize})
            line += m->index(r, c).data().toString().toStdString() + "|";
        rows.push_back(line + std::to_string(m->index(r, 0).data(kImageRole).toInt()));
    }
    return rows;
}

int RowOf(frmMain& w, const std::string& row)
{
    const auto rows = Rows(w);
    return static_cast<int>(std::find(rows.begin(), rows.end(), row) - rows.begin());
}

sockaddr_in6 Address6(const char* text, std::uint16_t port)
{
    sockaddr_in6 a{AF_INET6, htons(port), 0, {}, 0};
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return a;
}

}  // namespace

TEST(IPv6Live, BothFamiliesBecomeRowsWithProgramsFiltersAndFiles)
{
    VethNamespace net;
    net.AddIPv6();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string d = dir.path().toStdString();
    WriteEmptyPortFiles(dir.path());
    QStringList messages;
    frmMain::Options o;
    o.portDir = dir.path();
    o.message = [&messages](const QString& text) { messages << text; };
    frmMain w(o);
    w.show();

    // The chooser lists the IPv6 address after the IPv4 ones; it captures
    // both families of its interface.
    const int at4 = w.Combo1()->findText(VethNamespace::kLocalAddr);
    const int at6 = w.Combo1()->findText(VethNamespace::kLocalAddr6);
    ASSERT_GE(at4, 0);
    ASSERT_GT(at6, at4);
    w.Combo1()->setCurrentIndex(at6);
    w.Button(1)->trigger();
    ASSERT_TRUE(w.CaptureOpen());

    // A socket of this program that stays open until its rows are looked up.
    UniqueFd owned = net.SocketIn(Side::Local, AF_INET6, SOCK_DGRAM);
    const sockaddr_in6 ownedAt = Address6(VethNamespace::kLocalAddr6, 7601);
    ASSERT_EQ(bind(owned.get(), reinterpret_cast<const sockaddr*>(&ownedAt), sizeof ownedAt), 0);
    UniqueFd peer = net.SocketIn(Side::Peer, AF_INET6, SOCK_DGRAM);
    const sockaddr_in6 peerAt = Address6(VethNamespace::kPeerAddr6, 4700);
    ASSERT_EQ(bind(peer.get(), reinterpret_cast<const sockaddr*>(&peerAt), sizeof peerAt), 0);
    ASSERT_EQ(sendto(peer.get(), "owned", 5, 0, reinterpret_cast<const sockaddr*>(&ownedAt), sizeof ownedAt), 5);

    ASSERT_TRUE(net.Udp(Side::Peer, 4601, 5601, "from the peer", true));
    ASSERT_TRUE(net.Udp(Side::Local, 4602, 5602, "to the peer", true));
    std::uint16_t client = 0;
    ASSERT_TRUE(net.Tcp(Side::Peer, 6601, "GET", "OK", &client, true));
    ASSERT_TRUE(net.Ping6(Side::Peer, 0x1234, 1, "ping"));
    ASSERT_TRUE(net.Ping6(Side::Local, 0x4321, 2, "pong"));
    ASSERT_TRUE(net.Udp(Side::Peer, 4001, 5001, "v4", false));

    const std::string c = std::to_string(client);
    const std::vector<std::string> expected = {
        "UDP|fd77::2|fd77::1|4700|7601|5|12",
        "UDP|fd77::2|fd77::1|4601|5601|13|12",
        "UDP|fd77::1|fd77::2|4602|5602|11|4",
        "TCP|fd77::2|fd77::1|" + c + "|6601|3|12",
        "TCP|fd77::1|fd77::2|6601|" + c + "|2|4",
        "ICMPv6|fd77::2|fd77::1|||12|12",  // echo request and its reply, both ways
        "ICMPv6|fd77::1|fd77::2|||12|4",
        "UDP|10.77.0.2|10.77.0.1|4001|5001|2|12",
    };
    ASSERT_TRUE(WaitFor([&] {
        return std::all_of(expected.begin(), expected.end(), [&](auto& row) { return RowOf(w, row) < int(Rows(w).size()); });
    })) << ::testing::PrintToString(Rows(w));

    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    EXPECT_EQ(w.ProgramOfRow(RowOf(w, expected[0])).toStdString(), comm + " (" + std::to_string(getpid()) + ")");
    w.Button(3)->trigger();
    ASSERT_FALSE(w.CaptureOpen());
    const auto all = Rows(w);
    EXPECT_EQ(std::count(all.begin(), all.end(), "ICMPv6|fd77::2|fd77::1|||12|12"), 2);

    // A filter tab on an IPv6 address, written in another form.
    auto filter = std::make_shared<cFilter>();
    filter->bSrc = true;
    filter->Src = "FD77:0::2";
    ASSERT_EQ(w.Views().AddFilter(QStringLiteral("peer6"), filter), QString());
    w.Views().ts2_Click(PacketViews::kFirstFilterTab);
    std::vector<std::string> fromPeer;
    std::copy_if(all.begin(), all.end(), std::back_inserter(fromPeer),
                 [](const std::string& r) { return r.substr(r.find('|'), 9) == "|fd77::2|"; });
    EXPECT_GE(fromPeer.size(), 6u);
    EXPECT_EQ(Rows(w), fromPeer);
    w.Views().ts2_Click(PacketViews::kTabAll);

    // Saved, then read by tshark: the same datagrams, addresses and ports.
    ASSERT_EQ(w.SaveCaptureFile(dir.filePath("all.pcapng"), false), QString());
    std::string fields;
    ASSERT_EQ(Shell("tshark -n -r " + d + "/all.pcapng -T fields -E 'separator=|' -E occurrence=f -e ip.src -e ipv6.src "
                    "-e ip.dst -e ipv6.dst -e tcp.srcport -e udp.srcport -e tcp.dstport -e udp.dstport 2>/dev/null",
                    &fields),
              0);
    std::string ours;  // each pair of tshark's fields has one value: "a||" or "|b|"
    for (std::int64_t seq = 1; seq <= w.Views().lSeq(); ++seq) {
        const clV& r = w.Views().dPackets().at(seq);
        const bool v6 = r.mSrcAddr.ipv6(), tcp = r.mProtocol == "TCP", udp = r.mProtocol == "UDP";
        for (const std::string& f : {r.mSrcAddr.str(), r.mDestAddr.str()})
            ours += (v6 ? "|" + f : f + "|") + "|";
        for (const std::string& f : {r.mSrcPort.str(), r.mDestPort.str()})
            ours += (tcp ? f + "|" : udp ? "|" + f : "|") + "|";
        ours.back() = '\n';
    }
    EXPECT_EQ(fields, ours);

    // A file tshark wrote opens with the same rows; with the switch off the
    // chooser offers no IPv6 address and the file's IPv6 datagrams stay out.
    ASSERT_EQ(Shell("tshark -r " + d + "/all.pcapng -w " + d + "/tshark.pcapng 2>/dev/null"), 0);
    frmMain again(o);
    ASSERT_EQ(again.OpenCaptureFile(dir.filePath("tshark.pcapng")), QString());
    EXPECT_EQ(Rows(again), all);
    QAction* ipv6 = again.findChild<QAction*>(QStringLiteral("mnuIPv6"));
    ASSERT_TRUE(ipv6 && ipv6->isChecked());
    ipv6->setChecked(false);
    EXPECT_EQ(again.Combo1()->findText(VethNamespace::kLocalAddr6), -1);
    EXPECT_TRUE(again.OpenCaptureFile(dir.filePath("tshark.pcapng")).contains("不是 IPv4 数据报"));
    const auto more = Rows(again);
    EXPECT_EQ(std::vector<std::string>(more.begin() + static_cast<long>(all.size()), more.end()),
              std::vector<std::string>{"UDP|10.77.0.2|10.77.0.1|4001|5001|2|12"});
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}
