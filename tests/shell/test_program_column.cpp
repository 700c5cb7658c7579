// The program column over real traffic: a helper program with a known name
// talks to the peer namespace while the window captures (needs root).
#include <gtest/gtest.h>

#include <fstream>

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "SockAddr.h"
#include "TalkerPeer.h"
#include "WaitFor.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::WaitFor;
using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

using quillet::test::Peer;
using quillet::test::Talk;
using quillet::test::kTalkerUdp;
constexpr int kNobody = 7999;

QString Cell(frmMain& w, int row, int column)
{
    return w.lv()->model()->index(row, column).data().toString();
}

// Rows whose protocol and local port match.
std::vector<int> RowsOf(frmMain& w, const QString& protocol, int port)
{
    std::vector<int> rows;
    const QString p = QString::number(port);
    for (int r = 0; r < w.lv()->model()->rowCount(); ++r)
        if (Cell(w, r, kColProtocol) == protocol
            && ((Cell(w, r, kColSrcAddr) == VethNamespace::kLocalAddr && Cell(w, r, kColSrcPort) == p)
                || (Cell(w, r, kColDestAddr) == VethNamespace::kLocalAddr && Cell(w, r, kColDestPort) == p)))
            rows.push_back(r);
    return rows;
}

TEST(ProgramColumn, TalkerRowsShowItsNameAndPidAndAReusedPortItsNewOwner)
{
    VethNamespace net;
    QTemporaryDir portDir;
    frmMain::Options o;
    o.portDir = portDir.path();
    o.message = [](const QString&) {};
    frmMain w(o);
    w.show();
    EXPECT_EQ(w.lv()->model()->headerData(kColProgram, Qt::Horizontal).toString(), "程序");
    w.Combo1()->setCurrentIndex(w.Combo1()->findText(VethNamespace::kLocalAddr));
    w.Button(1)->trigger();
    ASSERT_TRUE(w.CaptureOpen());

    Peer peer(net);
    QProcess first;
    int firstTcp = 0;
    ASSERT_TRUE(Talk(first, peer, &firstTcp)) << first.readAllStandardError().toStdString();
    const QString firstOwner = QStringLiteral("quillet_talker (%1)").arg(first.processId());

    // A datagram to a port no socket holds.
    UniqueFd stray = net.SocketIn(Side::Peer, AF_INET, SOCK_DGRAM);
    sockaddr_in nobody = At(VethNamespace::kLocalAddr, kNobody);
    ASSERT_EQ(sendto(stray.get(), "nobody", 6, 0, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody), 6);

    ASSERT_TRUE(WaitFor([&] {
        return RowsOf(w, "UDP", kTalkerUdp).size() >= 2 && RowsOf(w, "TCP", firstTcp).size() >= 6
               && !RowsOf(w, "UDP", kNobody).empty();
    })) << w.lv()->model()->rowCount();
    const std::vector<int> firstUdp = RowsOf(w, "UDP", kTalkerUdp);
    for (int row : firstUdp)
        EXPECT_EQ(w.ProgramOfRow(row), firstOwner) << row;
    for (int row : RowsOf(w, "TCP", firstTcp))  // sent and received, handshake to answer
        EXPECT_EQ(w.ProgramOfRow(row), firstOwner) << row;
    for (int row : RowsOf(w, "UDP", kNobody))
        EXPECT_EQ(w.ProgramOfRow(row), "") << row;
    for (int r = 0; r < w.lv()->model()->rowCount(); ++r) {
        if (Cell(w, r, kColProtocol) == "ICMP") {
            EXPECT_EQ(w.ProgramOfRow(r), "") << "no ports, no program";
        }
    }
    EXPECT_EQ(Cell(w, firstUdp.front(), kColProgram), firstOwner) << "the column shows what ProgramOfRow says";

    // The talker ends; another one takes its UDP port.
    first.closeWriteChannel();
    ASSERT_TRUE(first.waitForFinished(5000));
    QProcess second;
    int secondTcp = 0;
    ASSERT_TRUE(Talk(second, peer, &secondTcp)) << second.readAllStandardError().toStdString();
    const QString secondOwner = QStringLiteral("quillet_talker (%1)").arg(second.processId());
    ASSERT_NE(secondOwner, firstOwner);
    ASSERT_TRUE(WaitFor([&] { return RowsOf(w, "UDP", kTalkerUdp).size() >= firstUdp.size() + 2; }));
    const std::vector<int> allUdp = RowsOf(w, "UDP", kTalkerUdp);
    for (std::size_t i = 0; i < allUdp.size(); ++i)
        EXPECT_EQ(w.ProgramOfRow(allUdp[i]), i < firstUdp.size() ? firstOwner : secondOwner) << i;
    second.closeWriteChannel();
    EXPECT_TRUE(second.waitForFinished(5000));

    // The rebuilt list and the sent tab show the same owners.
    w.Views().ts2_Click(PacketViews::kTabSent);
    const std::vector<int> sent = RowsOf(w, "UDP", kTalkerUdp);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(w.ProgramOfRow(sent[0]), firstOwner);
    EXPECT_EQ(w.ProgramOfRow(sent[1]), secondOwner);
    w.Button(3)->trigger();
}

}  // namespace
