// Owners the kernel tells of while the window captures (needs root): processes
// that live for one datagram, a socket bound after the capture began, another
// user's process; the saved file names them too.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <sstream>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SockAddr.h"
#include "WaitFor.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::WaitFor;
using quillet::testsupport::Shell;
using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

constexpr int kSenders = 20;
constexpr int kFirstSenderPort = 7100;
constexpr int kBoundPort = 7300;
constexpr int kOtherUserPort = 7400;

QString Cell(frmMain& w, int row, int column)
{
    return w.lv()->model()->index(row, column).data().toString();
}

std::vector<int> RowsWhere(frmMain& w, int column, int port)
{
    std::vector<int> rows;
    for (int r = 0; r < w.lv()->model()->rowCount(); ++r)
        if (Cell(w, r, kColProtocol) == "UDP" && Cell(w, r, column) == QString::number(port))
            rows.push_back(r);
    return rows;
}

// A python3 that sends one datagram to the peer's port and ends; started as
// given (a program that runs it under another user by exec).
void SendOne(QProcess& p, int port, const QStringList& before = {})
{
    const QString code = QStringLiteral("import socket\n"
                                        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                        "s.sendto(b'one', ('%1', %2))\n")
                             .arg(VethNamespace::kPeerAddr)
                             .arg(port);
    QStringList args = before;
    args << "/usr/bin/python3" << "-c" << code;
    p.start(args.takeFirst(), args);
    p.waitForStarted(5000);
}

// The capability sets of this process's capture program, from its status.
std::string HelperCapabilities()
{
    const pid_t helper = quillet::testsupport::ChildNamed(getpid(), "quillet-capture");
    std::ifstream status("/proc/" + std::to_string(helper) + "/status");
    std::string line, caps;
    while (helper > 0 && std::getline(status, line))
        if (line.rfind("CapPrm:", 0) == 0 || line.rfind("CapEff:", 0) == 0 || line.rfind("CapAmb:", 0) == 0)
            caps += line + "\n";
    return caps;
}

QString Owner(qint64 pid)
{
    return QStringLiteral("python3 (%1)").arg(pid);
}

TEST(ProgramOwnersLive, ShortLivedLateBoundAndOtherUsersProcessesAreNamedAndSaved)
{
    VethNamespace net;
    QTemporaryDir dir;
    frmMain::Options o;
    o.portDir = dir.path();
    o.message = [](const QString&) {};
    frmMain w(o);
    w.show();
    w.Combo1()->setCurrentIndex(w.Combo1()->findText(VethNamespace::kLocalAddr));
    w.Button(1)->trigger();
    ASSERT_TRUE(w.CaptureOpen());
    UniqueFd sink = net.SocketIn(Side::Peer, AF_INET, SOCK_DGRAM);

    // Twenty processes of one datagram each, gone before any look-up.
    std::vector<std::unique_ptr<QProcess>> senders;
    std::vector<qint64> pids;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(std::make_unique<QProcess>());
        SendOne(*senders.back(), kFirstSenderPort + i);
        pids.push_back(senders.back()->processId());
        ASSERT_TRUE(senders.back()->waitForFinished(5000)) << i;
        ASSERT_EQ(senders.back()->exitCode(), 0) << senders.back()->readAllStandardError().toStdString();
    }
    // One that binds now, takes one datagram and ends.
    QProcess bound;
    bound.start("/usr/bin/python3", {"-c", QStringLiteral("import socket, sys\n"
                                                 "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                                 "s.bind(('0.0.0.0', %1))\n"
                                                 "print('ready', flush=True)\n"
                                                 "s.recvfrom(100)\n")
                                      .arg(kBoundPort)});
    ASSERT_TRUE(bound.waitForReadyRead(5000));
    const qint64 boundPid = bound.processId();
    UniqueFd peer = net.SocketIn(Side::Peer, AF_INET, SOCK_DGRAM);
    const sockaddr_in to = At(VethNamespace::kLocalAddr, kBoundPort);
    ASSERT_EQ(sendto(peer.get(), "in", 2, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 2);
    ASSERT_TRUE(bound.waitForFinished(5000));
    // Another user's, whose descriptors the look-ups may not read.
    QProcess other;
    SendOne(other, kOtherUserPort, {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    const qint64 otherPid = other.processId();  // setpriv becomes python3
    ASSERT_TRUE(other.waitForFinished(5000));
    ASSERT_EQ(other.exitCode(), 0) << other.readAllStandardError().toStdString();

    ASSERT_TRUE(WaitFor([&] {
        return RowsWhere(w, kColDestPort, kFirstSenderPort + kSenders - 1).size() == 1
               && RowsWhere(w, kColDestPort, kBoundPort).size() == 1
               && RowsWhere(w, kColDestPort, kOtherUserPort).size() == 1;
    })) << w.lv()->model()->rowCount();
    int named = 0;
    std::string missed;
    for (int i = 0; i < kSenders; ++i) {
        const std::vector<int> rows = RowsWhere(w, kColDestPort, kFirstSenderPort + i);
        ASSERT_EQ(rows.size(), 1u) << i;
        const QString shown = w.ProgramOfRow(rows[0]);
        if (shown == Owner(pids[static_cast<std::size_t>(i)]))
            ++named;
        else
            missed += " " + std::to_string(i) + ":'" + shown.toStdString() + "'";
    }
    RecordProperty("named_of_20", named);
    EXPECT_GE(named, kSenders - 1) << missed;
    const int boundRow = RowsWhere(w, kColDestPort, kBoundPort).front();
    EXPECT_EQ(w.ProgramOfRow(boundRow), Owner(boundPid));
    EXPECT_EQ(Cell(w, boundRow, kColProgram), Owner(boundPid)) << "the column shows it too";
    EXPECT_EQ(w.ProgramOfRow(RowsWhere(w, kColDestPort, kOtherUserPort).front()), Owner(otherPid));
    w.Button(3)->trigger();

    // Saved: tshark shows each of those names in its packet's comment.
    const QString path = dir.filePath("owners.pcapng");
    ASSERT_EQ(w.SaveCaptureFile(path, false), "");
    std::string comments;
    ASSERT_EQ(Shell("tshark -r " + path.toStdString() + " -T fields -e frame.comment 2>&1", &comments), 0);
    for (const qint64 pid : {boundPid, otherPid, pids.front(), pids.back()})
        EXPECT_NE(comments.find("program: " + Owner(pid).toStdString()), std::string::npos) << comments;
}

// The programs go with the capture: the cgroup root holds none of ours after,
// and while it runs the capture program holds no right.
TEST(ProgramOwnersLive, NothingStaysAttachedAfterTheCapture)
{
    VethNamespace net;
    QTemporaryDir dir;
    frmMain::Options o;
    o.portDir = dir.path();
    o.message = [](const QString&) {};
    std::string during;
    {
        frmMain w(o);
        w.Combo1()->setCurrentIndex(w.Combo1()->findText(VethNamespace::kLocalAddr));
        w.Button(1)->trigger();
        ASSERT_TRUE(w.CaptureOpen());
        // The programs are attached, and the capture program holds no right.
        EXPECT_EQ(HelperCapabilities(), "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n");
        ASSERT_EQ(Shell("bpftool cgroup show /sys/fs/cgroup/unified 2>&1 || bpftool cgroup show /sys/fs/cgroup 2>&1",
                        &during),
                  0);
        w.Button(3)->trigger();
    }
    EXPECT_NE(during.find("skb_egress"), std::string::npos) << during;
    std::string after;
    Shell("bpftool cgroup show /sys/fs/cgroup/unified 2>&1 || bpftool cgroup show /sys/fs/cgroup 2>&1", &after);
    for (const char* ours : {"sock_create", "skb_egress", "skb_ingress", "post_bind4", "sendmsg4", "recvmsg4"})
        EXPECT_EQ(after.find(ours), std::string::npos) << after;
}

}  // namespace
