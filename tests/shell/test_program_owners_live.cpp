// Owners the kernel tells of while the window captures (needs root): processes
// that live for one datagram (over IPv4 and IPv6), a socket bound after the
// capture began, another user's process; the saved file names them too; a
// window without rights gets them through its capture program.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <set>
#include <sstream>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SockAddr.h"
#include "WaitFor.h"
#include "WindowDriver.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::WaitFor;
using quillet::test::Capabilities;
using quillet::test::Driver;
using quillet::testsupport::ChildNamed;
using quillet::testsupport::Shell;
using quillet::testsupport::ShellOrThrow;
using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

constexpr int kSenders = 20;
constexpr int kFirstSenderPort = 7100;
constexpr int kBoundPort = 7300;
constexpr int kOtherUserPort = 7400;
constexpr int kUnprivilegedPort = 7500;
constexpr int kIPv6Port = 7600;
constexpr int kHandedOnPort = 7700;
constexpr int kConnectedPort = 7800;
constexpr int kTcpPort = 7900;

// How a process that lives for one exchange sends: each tells its socket's
// endpoint to the kernel programs at another moment.
enum class Way {
    SendTo,     // an unconnected UDP socket: at the send
    Connected,  // a connected UDP socket: at its release, here well after its datagram was answered for
    Tcp,        // a TCP connection: when it picks its port
};

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

// A python3 that sends one datagram to the peer's port (over IPv6 when
// asked) and ends; started as given (a program that runs it under another
// user by exec).
void SendOne(QProcess& p, int port, const QStringList& before = {}, bool v6 = false, Way way = Way::SendTo)
{
    const char* send = way == Way::SendTo      ? "s.sendto(b'one', to)\n"
                       : way == Way::Connected ? "s.connect(to)\ns.send(b'one')\nimport time\ntime.sleep(0.5)\n"
                                               : "s.connect(to)\ns.sendall(b'one')\ns.close()\n";
    const QString code = QStringLiteral("import socket\n"
                                        "s = socket.socket(socket.%1, socket.%2)\n"
                                        "to = ('%3', %4)\n")
                             .arg(v6 ? "AF_INET6" : "AF_INET")
                             .arg(way == Way::Tcp ? "SOCK_STREAM" : "SOCK_DGRAM")
                             .arg(v6 ? VethNamespace::kPeerAddr6 : VethNamespace::kPeerAddr)
                             .arg(port)
                         + send;
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
    net.AddIPv6();
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
    // A socket bound by one process and used by the program it starts with
    // it: the datagram is the user's.
    QProcess maker;
    const QString user = QStringLiteral("import os, socket, sys\n"
                                        "s = socket.socket(fileno=int(sys.argv[1]))\n"
                                        "print(os.getpid(), flush=True)\n"
                                        "s.sendto(b'on', ('%1', %2))\n")
                             .arg(VethNamespace::kPeerAddr)
                             .arg(kHandedOnPort);
    maker.start("/usr/bin/python3", {"-c", QStringLiteral("import socket, subprocess, sys\n"
                                                          "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                                          "s.bind(('0.0.0.0', 0))\n"
                                                          "subprocess.run([sys.executable, '-c', sys.argv[1], "
                                                          "str(s.fileno())], pass_fds=[s.fileno()])\n"),
                                     user});
    ASSERT_TRUE(maker.waitForFinished(5000));
    const qint64 userPid = maker.readAllStandardOutput().trimmed().toLongLong();
    ASSERT_GT(userPid, 0) << maker.readAllStandardError().toStdString();
    // One datagram over IPv6.
    QProcess v6;
    SendOne(v6, kIPv6Port, {}, true);
    const qint64 v6Pid = v6.processId();
    ASSERT_TRUE(v6.waitForFinished(5000));
    ASSERT_EQ(v6.exitCode(), 0) << v6.readAllStandardError().toStdString();

    ASSERT_TRUE(WaitFor([&] {
        return RowsWhere(w, kColDestPort, kFirstSenderPort + kSenders - 1).size() == 1
               && RowsWhere(w, kColDestPort, kBoundPort).size() == 1
               && RowsWhere(w, kColDestPort, kOtherUserPort).size() == 1
               && RowsWhere(w, kColDestPort, kIPv6Port).size() == 1
               && RowsWhere(w, kColDestPort, kHandedOnPort).size() == 1;
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
    EXPECT_EQ(w.ProgramOfRow(RowsWhere(w, kColDestPort, kIPv6Port).front()), Owner(v6Pid));
    EXPECT_EQ(w.ProgramOfRow(RowsWhere(w, kColDestPort, kHandedOnPort).front()), Owner(userPid));
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
    // The ids of what is attached to the cgroup root, and the listing; other
    // captures of the machine may have theirs there meanwhile.
    const auto attached = [](std::string* listing = nullptr) {
        std::string text;
        Shell("bpftool cgroup show /sys/fs/cgroup/unified 2>&1 || bpftool cgroup show /sys/fs/cgroup 2>&1", &text);
        std::istringstream lines(text);
        std::set<std::string> ids;
        for (std::string id, rest; lines >> id && std::getline(lines, rest);)
            if (id.find_first_not_of("0123456789") == std::string::npos)
                ids.insert(id);
        if (listing)
            *listing = text;
        return ids;
    };
    const std::set<std::string> before = attached();
    std::set<std::string> ours;
    std::string during;
    {
        frmMain w(o);
        w.Combo1()->setCurrentIndex(w.Combo1()->findText(VethNamespace::kLocalAddr));
        w.Button(1)->trigger();
        ASSERT_TRUE(w.CaptureOpen());
        // The programs are attached, and the capture program holds no right.
        EXPECT_EQ(HelperCapabilities(), "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n");
        for (const std::string& id : attached(&during))
            if (!before.count(id))
                ours.insert(id);
        w.Button(3)->trigger();
    }
    EXPECT_NE(during.find("tcp_connect"), std::string::npos) << during;
    EXPECT_EQ(during.find("egress"), std::string::npos) << "nothing runs per packet: " << during;
    EXPECT_FALSE(ours.empty()) << during;
    const std::set<std::string> after = attached();
    for (const std::string& id : ours)
        EXPECT_EQ(after.count(id), 0u) << id << " stays attached";
}

// The window as nobody, its capture program granted what make run grants: a
// process of another user that sends one datagram and ends is named, over an
// unconnected or a connected UDP socket or a short TCP connection, and
// neither holds a right while it captures. Granted cap_net_raw alone, the
// capture works and the state says programs come from look-ups only.
TEST(ProgramOwnersLive, AWindowWithoutRightsNamesThroughItsCaptureProgramOrSaysLookUpsOnly)
{
    VethNamespace net;
    UniqueFd sink = net.SocketIn(Side::Peer, AF_INET, SOCK_DGRAM);
    UniqueFd listener = net.SocketIn(Side::Peer, AF_INET, SOCK_STREAM);
    const sockaddr_in tcpAt = At(VethNamespace::kPeerAddr, kTcpPort);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&tcpAt), sizeof tcpAt), 0);
    ASSERT_EQ(listen(listener.get(), 8), 0);
    const struct {
        Way way;
        std::string row;  // as the driver names the rows of its port
    } ways[] = {{Way::SendTo, std::to_string(kUnprivilegedPort) + "="},
                {Way::Connected, std::to_string(kConnectedPort) + "="},
                {Way::Tcp, "tcp" + std::to_string(kTcpPort) + "="}};
    const std::string lookUpsOnly = "程序仅靠查找得出";
    for (const std::string grant : {"cap_net_raw,cap_bpf,cap_net_admin,cap_perfmon", "cap_net_raw"}) {
        SCOPED_TRACE(grant);
        const bool told = grant != "cap_net_raw";
        char dirName[] = "/tmp/quillet-owners-nobody-XXXXXX";
        ASSERT_NE(mkdtemp(dirName), nullptr);
        const std::string dir = dirName;
        ShellOrThrow("chmod 0755 " + dir + " && install -m 0755 " QUILLET_DRIVER " " + dir + "/driver && install -m 0755 "
                     QUILLET_HELPER " " + dir + "/quillet-capture && setcap " + grant + "+ep " + dir
                     + "/quillet-capture && touch " + dir + "/iana.txt " + dir + "/predefs.txt " + dir
                     + "/trojans.txt && install -d -m 0700 -o nobody " + dir + "/spool");
        {
            Driver window(dir, VethNamespace::kLocalAddr, false);
            ASSERT_NE(window.AskUntil("state", {"open=1"}).find("open=1"), std::string::npos);
            const std::string none = "CapPrm:\t0000000000000000 CapEff:\t0000000000000000 CapAmb:\t0000000000000000 ";
            EXPECT_EQ(Capabilities(window.pid()), none);
            EXPECT_EQ(Capabilities(ChildNamed(window.pid(), "quillet-capture")), none);

            for (const auto& [way, row] : ways) {
                SCOPED_TRACE(row);
                QProcess once;
                SendOne(once, std::stoi(row.substr(row.find_first_of("0123456789"))), {}, false, way);
                const std::string named = row + Owner(once.processId()).toStdString();
                ASSERT_TRUE(once.waitForFinished(5000));
                ASSERT_EQ(once.exitCode(), 0) << once.readAllStandardError().toStdString();
                const std::string programs = window.AskUntil("programs", {told ? named : row});
                EXPECT_NE(programs.find(row), std::string::npos) << "the capture works: " << programs;
                if (told) {
                    EXPECT_NE(programs.find(named), std::string::npos) << programs;
                }
            }
            // Told before the first frame: attached or refused is known by now.
            const std::string panel = window.Ask("panel");
            EXPECT_EQ(panel.find(lookUpsOnly) != std::string::npos, !told) << panel;
        }
        ShellOrThrow("rm -rf " + dir);
    }
}

}  // namespace
