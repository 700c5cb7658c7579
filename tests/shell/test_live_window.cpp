// The real main window capturing real traffic: a private network namespace
// joined to a peer namespace by a veth pair (needs root).
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "WaitFor.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

using quillet::test::WaitFor;

void Settle(std::chrono::milliseconds span)
{
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

struct Row {
    QString protocol, src, dest, srcPort, destPort, size, time;
    int image = 0;
};

std::vector<Row> Rows(frmMain& w)
{
    std::vector<Row> rows;
    QAbstractItemModel* m = w.lv()->model();
    for (int r = 0; r < m->rowCount(); ++r) {
        auto cell = [&](int c) { return m->index(r, c).data().toString(); };
        rows.push_back({cell(kColProtocol), cell(kColSrcAddr), cell(kColDestAddr), cell(kColSrcPort),
                        cell(kColDestPort), cell(kColSize), cell(kColTime),
                        m->index(r, 0).data(kImageRole).toInt()});
    }
    return rows;
}

int CountRows(const std::vector<Row>& rows, const std::function<bool(const Row&)>& match)
{
    int n = 0;
    for (const Row& r : rows)
        n += match(r) ? 1 : 0;
    return n;
}

TEST(LiveWindow, TrafficBothWaysBecomesRowsUntilStopped)
{
    VethNamespace net;  // before the window: it lists the addresses at start-up
    QTemporaryDir portDir;  // no port files: told, and capture works all the same
    QStringList messages;
    frmMain::Options o;
    o.portDir = portDir.path();
    o.message = [&messages](const QString& text) { messages << text; };
    frmMain w(o);
    w.show();
    ASSERT_TRUE(WaitFor([&] { return !messages.isEmpty(); })) << "the missing port files are told";
    messages.clear();

    const int at = w.Combo1()->findText(VethNamespace::kLocalAddr);
    ASSERT_GE(at, 0) << "the chooser offers the veth address";
    EXPECT_EQ(w.Combo1()->findText("127.0.0.1"), -1);
    w.Combo1()->setCurrentIndex(at);
    w.Button(1)->trigger();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    ASSERT_TRUE(w.CaptureOpen());
    EXPECT_FALSE(w.Button(1)->isEnabled());
    EXPECT_TRUE(w.Button(3)->isEnabled());

    ASSERT_TRUE(net.Udp(Side::Peer, 4001, 5001, "from the peer"));
    ASSERT_TRUE(net.Udp(Side::Local, 4002, 5002, "to the peer, a bit longer"));
    ASSERT_TRUE(net.Ping(Side::Peer, 0x1234, 1, "ping payload"));
    std::uint16_t client = 0;
    ASSERT_TRUE(net.Tcp(Side::Peer, 6001, "GET", "OK", &client));

    // UDP 2, ICMP 2, TCP at least 3 each way.
    ASSERT_TRUE(WaitFor([&] { return Rows(w).size() >= 10; })) << Rows(w).size();
    Settle(std::chrono::milliseconds(300));
    std::vector<Row> rows = Rows(w);

    EXPECT_EQ(CountRows(rows, [](const Row& r) {
                  return r.protocol == "UDP" && r.src == "10.77.0.2" && r.dest == "10.77.0.1" && r.srcPort == "4001"
                         && r.destPort == "5001" && r.size == "13" && r.image == 12;
              }),
              1);
    EXPECT_EQ(CountRows(rows, [](const Row& r) {
                  return r.protocol == "UDP" && r.src == "10.77.0.1" && r.dest == "10.77.0.2" && r.srcPort == "4002"
                         && r.destPort == "5002" && r.size == "25" && r.image == 4;
              }),
              1);
    EXPECT_EQ(CountRows(rows, [](const Row& r) {
                  return r.protocol == "ICMP" && r.src == "10.77.0.2" && r.srcPort.isEmpty() && r.image == 12;
              }),
              1);
    EXPECT_EQ(CountRows(rows, [](const Row& r) { return r.protocol == "ICMP" && r.src == "10.77.0.1" && r.image == 4; }),
              1);
    const QString clientPort = QString::number(client);
    EXPECT_GE(CountRows(rows, [&](const Row& r) {
                  return r.protocol == "TCP" && r.src == "10.77.0.2" && r.srcPort == clientPort && r.destPort == "6001";
              }),
              3);
    EXPECT_GE(CountRows(rows, [&](const Row& r) {
                  return r.protocol == "TCP" && r.src == "10.77.0.1" && r.srcPort == "6001" && r.destPort == clientPort;
              }),
              2);
    const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\D+\\d\\d$"));
    for (const Row& r : rows)
        EXPECT_TRUE(time.match(r.time).hasMatch()) << r.time.toStdString();

    // Every datagram read is a row here (all decode, tab "全部") and counted.
    EXPECT_EQ(w.stBPanel1()->text(), QString::number(rows.size()));
    EXPECT_EQ(w.lRecvCount(), static_cast<std::int64_t>(rows.size()));
    EXPECT_EQ(w.CaptureStats().dropped, 0u);

    // A datagram that arrives right before the stop is kept.
    ASSERT_TRUE(net.Udp(Side::Peer, 4003, 5003, "last one"));
    w.Button(3)->trigger();
    EXPECT_TRUE(w.Button(1)->isEnabled());
    EXPECT_FALSE(w.CaptureOpen());
    rows = Rows(w);
    EXPECT_EQ(CountRows(rows, [](const Row& r) { return r.srcPort == "4003" && r.destPort == "5003"; }), 1);
    const std::size_t atStop = rows.size();
    EXPECT_EQ(w.stBPanel1()->text(), QString::number(atStop));

    // Nothing more arrives once stopped.
    ASSERT_TRUE(net.Udp(Side::Peer, 4004, 5004, "after the stop"));
    ASSERT_TRUE(net.Udp(Side::Local, 4005, 5005, "after the stop"));
    Settle(std::chrono::milliseconds(300));
    EXPECT_EQ(Rows(w).size(), atStop);
    EXPECT_EQ(w.stBPanel1()->text(), QString::number(atStop));
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

}  // namespace

namespace {

// A window without port files (told, and forgotten here) capturing on the
// veth address; the network namespace must exist before it.
struct CapturingWindow {
    QTemporaryDir portDir;
    QStringList messages;
    std::unique_ptr<frmMain> window;

    CapturingWindow()
    {
        frmMain::Options o;
        o.portDir = portDir.path();
        o.message = [this](const QString& text) { messages << text; };
        window = std::make_unique<frmMain>(o);
        window->Combo1()->setCurrentIndex(window->Combo1()->findText(VethNamespace::kLocalAddr));
        messages.clear();
        window->Button(1)->trigger();
    }
};

QString CapturingOnVeth()
{
    return QString("捕获中 10.77.0.1 (%1)").arg(VethNamespace::kLocalIf);
}

// The interface disappears under a running capture: the capture ends by
// itself with one message, the window goes idle without spinning, and what
// was captured stays.
TEST(LiveWindow, InterfaceRemovedWhileCapturingEndsTheCapture)
{
    VethNamespace net;
    CapturingWindow cw;
    frmMain& w = *cw.window;
    QStringList& messages = cw.messages;
    ASSERT_TRUE(w.CaptureOpen());
    EXPECT_EQ(w.stBState()->text(), CapturingOnVeth());
    ASSERT_TRUE(net.Udp(Side::Peer, 4001, 5001, "before"));
    ASSERT_TRUE(net.Udp(Side::Peer, 4002, 5002, "before, too"));
    ASSERT_TRUE(WaitFor([&] { return w.lRecvCount() >= 2 && w.lv()->model()->rowCount() >= 2; }));
    const int rows = w.lv()->model()->rowCount();
    const std::int64_t stored = w.Views().dPackets().count();
    ASSERT_GE(stored, 2);

    ASSERT_EQ(quillet::testsupport::Shell(std::string("ip link del ") + VethNamespace::kLocalIf), 0);
    ASSERT_TRUE(WaitFor([&] { return !w.CaptureOpen(); }, std::chrono::seconds(2)))
        << "the capture goes on on a deleted interface";
    ASSERT_TRUE(WaitFor([&] { return !messages.isEmpty(); }));
    EXPECT_TRUE(w.Button(1)->isEnabled());
    EXPECT_FALSE(w.Button(2)->isEnabled());
    EXPECT_FALSE(w.Button(3)->isEnabled());
    EXPECT_TRUE(w.Combo1()->isEnabled());
    EXPECT_EQ(w.stBState()->text(), "已停止");

    const auto cpu0 = std::clock();
    QEventLoop idle;  // waits for events rather than polling
    QTimer::singleShot(500, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpuSeconds = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuSeconds, 0.25) << "the event loop spins after the capture ended";

    ASSERT_EQ(messages.size(), 1) << messages.join("\n---\n").toStdString();
    EXPECT_TRUE(messages[0].contains(VethNamespace::kLocalIf)) << messages[0].toStdString();
    EXPECT_EQ(w.lv()->model()->rowCount(), rows);
    EXPECT_EQ(w.Views().dPackets().count(), stored);

    // Stop now is a stop while idle: harmless, silent.
    w.Button(3)->trigger();
    EXPECT_EQ(messages.size(), 1);
}

// An interface taken down only makes the capture wait, and says so; when it
// comes back up the same capture goes on.
TEST(LiveWindow, InterfaceDownWaitsAndGoesOnWhenUp)
{
    VethNamespace net;
    CapturingWindow cw;
    frmMain& w = *cw.window;
    QStringList& messages = cw.messages;
    ASSERT_TRUE(w.CaptureOpen());
    const QString capturing = CapturingOnVeth();
    EXPECT_EQ(w.stBState()->text(), capturing);
    const std::intptr_t handle = w.lSocket();

    ASSERT_EQ(quillet::testsupport::Shell(std::string("ip link set ") + VethNamespace::kLocalIf + " down"), 0);
    ASSERT_TRUE(WaitFor([&] { return w.stBState()->text() != capturing; }, std::chrono::seconds(2)));
    EXPECT_TRUE(w.stBState()->text().startsWith(capturing)) << w.stBState()->text().toStdString();
    EXPECT_TRUE(w.stBState()->text().contains("等待")) << w.stBState()->text().toStdString();
    EXPECT_TRUE(w.CaptureOpen());
    EXPECT_FALSE(w.Button(1)->isEnabled());

    ASSERT_EQ(quillet::testsupport::Shell(std::string("ip link set ") + VethNamespace::kLocalIf + " up"), 0);
    ASSERT_TRUE(WaitFor([&] { return w.stBState()->text() == capturing; }, std::chrono::seconds(5)))
        << w.stBState()->text().toStdString();
    const std::int64_t before = w.lRecvCount();
    ASSERT_TRUE(WaitFor([&] { return net.Udp(Side::Peer, 4007, 5007, "after up"); }, std::chrono::seconds(5)));
    ASSERT_TRUE(WaitFor([&] { return w.lRecvCount() > before; }));
    EXPECT_EQ(w.lSocket(), handle) << "the same capture went on";
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

}  // namespace
