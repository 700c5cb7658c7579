// Needs root: a live capture through quillet-capture in a private network namespace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "session/CaptureSession.h"
#include "support/Netns.h"

using namespace quillet;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;
using Clock = std::chrono::steady_clock;

namespace {

QCoreApplication* App()
{
    static int argc = 1;
    static char name[] = "test_capture_stall";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);
    return app;
}
[[maybe_unused]] QCoreApplication* const kApp = App();

// Serves events until condition holds or the time is up; how long it took.
std::chrono::milliseconds WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds most)
{
    const auto start = Clock::now();
    while (!condition() && Clock::now() - start < most)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// The number in a message ("... 还有 1,234 个数据包 ..."), digits only; -1 if none.
long long NumberBefore(const QString& text, const QString& word)
{
    const auto m = QRegularExpression("([\\d,]+) ?" + QRegularExpression::escape(word)).match(text);
    return m.hasMatch() ? m.captured(1).remove(',').toLongLong() : -1;
}

}  // namespace

// Through the capture program, a datagram this machine sent reaches the log
// as sent and one it received as received.
TEST(CaptureStall, ASentAndAReceivedDatagramCarryTheirDirectionToTheLog)
{
    VethNamespace net;
    QTemporaryDir dir;
    PacketViews views;
    struct Directions : PacketConsumer {
        std::map<std::string, CapturedDatagram::Direction> byPort;  // destination port
        void Stored(const StoredPacket& p) override
        {
            if (p.captured && p.captured->live)
                byPort[std::string(p.record.mDestPort.text().view())] = p.captured->direction;
        }
    } seen;
    views.Log().Subscribe(seen);
    QStringList messages;
    CaptureOpener live = [](const std::string& a, int port, MessageSink& sink, bool v6) {
        return OpenLiveCapture(a, port, sink, v6);
    };
    CaptureSession session(views, {live, {}, dir.path(), 0, 0, false},
                           {[&](const QString& t) { messages << t; }, {}, {}, {}});
    session.Start(VethNamespace::kLocalAddr);
    ASSERT_TRUE(session.CaptureOpen()) << messages.join("|").toStdString();
    ASSERT_TRUE(net.Udp(Side::Peer, 4001, 5001, "in"));
    ASSERT_TRUE(net.Udp(Side::Local, 4002, 5002, "out"));
    WaitFor([&] { return seen.byPort.count("5001") && seen.byPort.count("5002"); }, std::chrono::milliseconds(5000));
    session.Stop();
    EXPECT_EQ(seen.byPort["5001"], CapturedDatagram::Direction::Received);
    EXPECT_EQ(seen.byPort["5002"], CapturedDatagram::Direction::Sent);
}

TEST(CaptureStall, AStoppedCaptureProgramIsReportedAndItsLossToldAtTheStop)
{
    VethNamespace net;
    // Large datagrams, one frame each, fill the rings quickly.
    testsupport::ShellOrThrow(std::string("ip link set ") + VethNamespace::kLocalIf + " mtu 65535");
    ASSERT_EQ(net.RunInPeer(std::string("ip link set ") + VethNamespace::kPeerIf + " mtu 65535"), 0);

    QTemporaryDir dir;
    PacketViews views;
    QStringList messages;
    std::map<StatusPanel, QString> panels;
    CaptureOpener live = [](const std::string& a, int port, MessageSink& sink, bool v6) {
        return OpenLiveCapture(a, port, sink, v6);
    };
    CaptureSession session(views, {live, {}, dir.path(), 0, 0, false},
                           {[&](const QString& t) { messages << t; }, {},
                            [&](StatusPanel p, const QString& t) { panels[p] = t; }, {}});
    session.Start(VethNamespace::kLocalAddr);
    ASSERT_TRUE(session.CaptureOpen()) << messages.join("|").toStdString();
    const pid_t helper = quillet::testsupport::ChildNamed(getpid(), "quillet-capture");
    ASSERT_GT(helper, 0);
    const QString capturing = QString("捕获中 %1 (%2)").arg(VethNamespace::kLocalAddr, VethNamespace::kLocalIf);
    const QString silent = capturing + ": 捕获程序没有回应";

    // Idle, it keeps answering: its counters come on their own.
    EXPECT_GE(WaitFor([&] { return panels[StatusPanel::State] != capturing; }, std::chrono::milliseconds(3000)),
              std::chrono::milliseconds(3000))
        << panels[StatusPanel::State].toStdString();

    // Stopped: reported within three seconds; continued: answering again.
    ASSERT_EQ(kill(helper, SIGSTOP), 0);
    const auto took = WaitFor([&] { return panels[StatusPanel::State] == silent; }, std::chrono::milliseconds(5000));
    EXPECT_EQ(panels[StatusPanel::State], silent);
    EXPECT_LE(took, std::chrono::milliseconds(3000));
    ASSERT_EQ(kill(helper, SIGCONT), 0);
    WaitFor([&] { return panels[StatusPanel::State] == capturing; }, std::chrono::milliseconds(2000));
    EXPECT_EQ(panels[StatusPanel::State], capturing);

    // A burst the window does not take: the shared ring fills, the kernel keeps the rest and counts it;
    // then the program stops. A receiver counts what went through the interface.
    auto rx = net.SocketIn(Side::Local, AF_INET, SOCK_DGRAM);
    int big = 256 << 20;
    setsockopt(rx.get(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(7777);
    inet_pton(AF_INET, VethNamespace::kLocalAddr, &at.sin_addr);
    ASSERT_EQ(bind(rx.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    auto tx = net.SocketIn(Side::Peer, AF_INET, SOCK_DGRAM);
    ASSERT_EQ(connect(tx.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const std::string payload(60000, 'p');
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(send(tx.get(), payload.data(), payload.size(), 0), static_cast<ssize_t>(payload.size()));
        if (i % 20 == 19)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // no drop before the capture
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the counters after the burst go out
    long long arrived = 0;
    char buf[65536];
    while (recv(rx.get(), buf, sizeof buf, MSG_DONTWAIT) == static_cast<ssize_t>(payload.size()))
        ++arrived;
    ASSERT_GT(arrived, 1500) << "the burst did not go through";
    ASSERT_EQ(kill(helper, SIGSTOP), 0);
    WaitFor([&] { return panels[StatusPanel::State] == silent; }, std::chrono::milliseconds(10000));
    ASSERT_EQ(panels[StatusPanel::State], silent);

    session.Stop();
    EXPECT_FALSE(session.CaptureOpen());
    long long stored = 0;
    for (std::int64_t seq = 1; seq <= views.lSeq(); ++seq)
        stored += views.dPackets().at(seq).mDestPort == std::string_view("7777") ? 1 : 0;
    ASSERT_EQ(messages.size(), 1) << messages.join("|").toStdString();
    const long long lost = NumberBefore(messages[0], "个数据包");
    EXPECT_TRUE(messages[0].startsWith("捕获程序 quillet-capture 没有回应")) << messages[0].toStdString();
    // Every datagram of the burst was either stored or is counted lost.
    EXPECT_GT(lost, 100) << messages[0].toStdString();
    EXPECT_EQ(lost + stored, arrived) << "stored " << stored << ", " << messages[0].toStdString();
    std::printf("stopped program reported after %lld ms; of %lld datagrams %lld stored, %lld told lost\n",
                static_cast<long long>(took.count()), arrived, stored, lost);
}
