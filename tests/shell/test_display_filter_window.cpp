#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTableView>
#include <QTimer>
#include <QToolBar>

#include <fcntl.h>
#include <unistd.h>

#include <QLocale>

#include "WaitFor.h"
#include "core/CaptureSpool.h"
#include "filters/DisplayFilterBox.h"
#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/frmMain.h"
#include "views/ListRoles.h"
#include "views/Segments.h"
#include "views/frmTotals.h"

using namespace quillet;
using quillet::test::Ipv4Udp;
using quillet::test::WaitFor;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Received(int n) { return Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, std::uint16_t(5000 + n), "in"); }
Bytes Sent(int n) { return Ipv4Udp("10.9.0.1", "10.9.0.3", std::uint16_t(6000 + n), 53, "out"); }

// The destination ports of the datagrams of a capture file, read by libpcap.
std::vector<int> PortsInFile(const QString& path)
{
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(QFile::encodeName(path).constData(), err);
    EXPECT_NE(p, nullptr) << err;
    std::vector<int> ports;
    pcap_pkthdr* h;
    const u_char* data;
    while (p && pcap_next_ex(p, &h, &data) == 1)
        ports.push_back(data[22] << 8 | data[23]);
    if (p)
        pcap_close(p);
    return ports;
}

class FilterWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        quillet::test::WriteEmptyPortFiles(dir.path());
        frmMain::Options o;
        o.portDir = dir.path();
        o.kernelMajor = [] { return std::optional<int>(6); };
        o.openCapture = fake.opener();
        o.captureDir = dir.path();
        o.message = [this](const QString& text) { messages << text; };
        w = std::make_unique<frmMain>(o);
        w->Views().SetLocalAddrs({"10.9.0.1"});
        w->show();
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }
    int Rows() const { return w->lv()->model()->rowCount(); }
    QString Cell(int row, int column) const { return w->lv()->model()->index(row, column).data().toString(); }
    void Type(const QString& text)
    {
        QLineEdit* box = w->txtDisplayFilter();
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
        QTest::keyClicks(box, text);
    }

    QTemporaryDir dir;
    quillet::test::FakeOpener fake;
    QStringList messages;
    std::unique_ptr<frmMain> w;
};

TEST_F(FilterWindow, TheBoxAppliesOnEnterRefusesFaultsAndNarrowsWhatTheTabShows)
{
    for (int n = 1; n <= 6; ++n)
        w->ReceiveDatagrams({Received(n), Sent(n)}, 1700000000000000 + n);
    ASSERT_EQ(Rows(), 12);
    auto* box = qobject_cast<DisplayFilterBox*>(w->txtDisplayFilter());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->objectName(), "txtDisplayFilter");
    // After the address chooser, to the toolbar's end.
    EXPECT_EQ(box->parentWidget(), w->tB());
    EXPECT_GE(box->x(), w->Combo1()->geometry().right());
    EXPECT_GE(box->geometry().right(), w->tB()->width() - 12);
    EXPECT_FALSE(w->stBShown()->isVisible());

    // Ctrl+F puts the focus in the box.
    w->lv()->setFocus();
    QTest::keyClick(w->lv(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(box->hasFocus());

    Type("udp.dstport == 5003");
    EXPECT_EQ(box->property("filterState").toString(), "valid");
    EXPECT_EQ(Rows(), 12) << "typing applies nothing";
    QTest::keyClick(box, Qt::Key_Return);
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Cell(0, kColDestPort), "5003");
    EXPECT_EQ(w->DisplayFilter(), "udp.dstport == 5003");
    EXPECT_TRUE(w->stBShown()->isVisible());
    EXPECT_EQ(w->stBShown()->text(), QString::fromUtf8("显示 1 / 12"));

    // A fault is shown while typing, with its place, and never applied.
    Type("udp.dstport == 70000");
    EXPECT_EQ(box->property("filterState").toString(), "invalid");
    EXPECT_TRUE(box->toolTip().startsWith(QString::fromUtf8("第 "))) << box->toolTip().toStdString();
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(w->DisplayFilter(), "udp.dstport == 5003");
    const QString why = w->SetDisplayFilter("ip.src == 10.9.0.");
    EXPECT_FALSE(why.isEmpty());
    EXPECT_EQ(box->toolTip(), why);
    EXPECT_EQ(Rows(), 1);

    // The filter narrows the selected tab: sent, then received.
    ASSERT_EQ(w->SetDisplayFilter("udp.port in {5001..5003 53}"), "");
    EXPECT_EQ(Rows(), 9);
    w->ts2()->setCurrentIndex(2);  // "发送"
    ASSERT_EQ(Rows(), 6);
    for (int row = 0; row < Rows(); ++row)
        EXPECT_EQ(Cell(row, kColSrcAddr), "10.9.0.1") << row;
    w->ts2()->setCurrentIndex(1);  // "接收"
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(w->stBShown()->text(), QString::fromUtf8("显示 3 / 12"));

    // New packets are tested as they arrive.
    w->ReceiveDatagrams({Received(2), Received(9), Sent(7)}, 1700000000100000);
    ASSERT_TRUE(WaitFor([&] { return w->Views().lSeq() == 15 && w->stBShown()->text() == QString::fromUtf8("显示 4 / 15"); }));
    EXPECT_EQ(Rows(), 4);
    EXPECT_EQ(Cell(3, kColDestPort), "5002");

    // This run's filters, newest first; an empty box shows the whole tab again.
    EXPECT_EQ(box->History(), (QStringList{"udp.port in {5001..5003 53}", "udp.dstport == 5003"}));
    EXPECT_EQ(w->SetDisplayFilter(""), "");
    EXPECT_EQ(w->DisplayFilter(), "");
    EXPECT_EQ(Rows(), 8);
    EXPECT_FALSE(w->stBShown()->isVisible());
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(FilterWindow, SavingShownPacketsKeepsTheFilteredRowsAndACellFiltersOnItsValue)
{
    for (int n = 1; n <= 30; ++n)
        w->ReceiveDatagrams({Received(n)}, 1700000000000000 + n);
    ASSERT_EQ(w->SetDisplayFilter("udp.dstport in {5010..5019}"), "");
    ASSERT_EQ(Rows(), 10);
    const QString path = dir.filePath("shown.pcapng");
    ASSERT_EQ(w->SaveCaptureFile(path, true), "");
    EXPECT_EQ(PortsInFile(path), (std::vector<int>{5010, 5011, 5012, 5013, 5014, 5015, 5016, 5017, 5018, 5019}));

    // The list's menu on a port cell: "… and not this value".
    QAbstractItemView* lv = w->lv();
    const QPoint at = lv->visualRect(lv->model()->index(0, kColDestPort)).center();
    QString offered;
    QTimer::singleShot(100, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        auto* on = menu->findChild<QAction*>("mnuFilterOn");
        auto* off = menu->findChild<QAction*>("mnuFilterNot");
        ASSERT_TRUE(on && off);
        offered = on->text();
        off->trigger();
        menu->close();
    });
    emit lv->customContextMenuRequested(at);
    EXPECT_TRUE(offered.endsWith("dstport == 5010")) << offered.toStdString();
    EXPECT_EQ(w->DisplayFilter(), "(udp.dstport in {5010..5019}) and !(dstport == 5010)");
    ASSERT_EQ(Rows(), 9);
    EXPECT_EQ(Cell(0, kColDestPort), "5011");
}

// A handshake and its data, a second connection and a DNS exchange: the
// totals' conversations show their round trips, and the stream filter just
// the first connection's rows.
TEST_F(FilterWindow, ConversationsShowTheirRoundTripsAndTheStreamFilterOneOfThem)
{
    using namespace quillet::test;
    constexpr std::int64_t t0 = 1700000000000000;
    const auto out = [](std::uint16_t port, std::uint8_t flags) { return Segment(6, "10.9.0.1", port, "10.9.0.2", 80, flags); };
    const std::pair<Bytes, std::int64_t> packets[] = {
        {out(40000, kSyn), 0},
        {out(40001, kSyn), 100},
        {Segment(6, "10.9.0.2", 80, "10.9.0.1", 40000, kSyn | kAck), 12000},
        {out(40000, kAck), 12500},
        {Segment(17, "10.9.0.1", 5353, "10.9.0.53", 53, 0, DnsMessage(9, "example.com", false)), 20000},
        {Segment(6, "10.9.0.1", 40000, "10.9.0.2", 80, kAck, "GET / HTTP/1.0\r\n\r\n"), 30000},
        {Segment(17, "10.9.0.53", 53, "10.9.0.1", 5353, 0, DnsMessage(9, "example.com", true)), 50000},
    };
    for (const auto& [bytes, us] : packets)
        w->ReceiveDatagrams({bytes}, t0 + us);

    frmTotals* totals = w->ShowTotals();
    auto* lv = totals->findChild<QTableView*>("lvConversations");
    ASSERT_NE(lv, nullptr);
    QAbstractItemModel* m = lv->model();
    ASSERT_EQ(m->rowCount(), 3);
    const auto cell = [&](const char* protocol, int stream, int column, int role = Qt::DisplayRole) {
        for (int r = 0; r < m->rowCount(); ++r)
            if (m->index(r, 0).data() == protocol && m->index(r, 1).data() == QString::number(stream))
                return m->index(r, column).data(role).toString();
        return QString("(no row)");
    };
    constexpr int kRoundTrip = 13;
    EXPECT_EQ(cell("TCP", 0, kRoundTrip), "12.5 ms");
    EXPECT_EQ(cell("TCP", 0, kRoundTrip, Qt::ToolTipRole), "SYN 到 SYN/ACK：12,000 µs\nSYN/ACK 到 ACK：500 µs");
    EXPECT_EQ(cell("TCP", 0, 6), "3");  // packets A to B
    EXPECT_EQ(cell("TCP", 1, kRoundTrip), "");
    EXPECT_EQ(cell("UDP", 0, kRoundTrip), "30.0 ms");
    EXPECT_EQ(cell("UDP", 0, 4), "10.9.0.53");

    ASSERT_EQ(w->SetDisplayFilter("tcp.stream == 0"), "");
    ASSERT_EQ(Rows(), 4);
    for (int row = 0; row < Rows(); ++row)
        EXPECT_TRUE(Cell(row, kColSrcPort) == "40000" || Cell(row, kColDestPort) == "40000") << row;
    ASSERT_EQ(w->SetDisplayFilter("udp.stream == 0 or tcp.stream == 1"), "");
    EXPECT_EQ(Rows(), 3);
}

// The working file lost its end: a payload filter tells beside the count
// shown how many payloads it could not read, and a filter that reads none
// takes the warning away.
TEST_F(FilterWindow, PayloadsTheWorkingFileCannotGiveAreToldInTheStatusBar)
{
    ASSERT_TRUE(w->Views().OpenSpool(dir.path().toStdString()));
    std::vector<Bytes> batch;
    for (int n = 0; n < 3000; ++n)  // some MiB: most of it only in the file
        batch.push_back(Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5000, std::string(1200, n % 10 == 0 ? 'k' : 'y')));
    w->ReceiveDatagrams(batch, 1700000000000000);
    ASSERT_EQ(w->Views().lSeq(), 3000);
    CaptureSpool* spool = w->Views().Spool();
    ASSERT_NE(spool, nullptr);
    ASSERT_TRUE(spool->Flush());
    spool->HoldWrites(true);  // nothing is written again past the cut
    QTest::qWait(100);       // a write under way ends
    const std::string fdPath = "/proc/self/fd/" + std::to_string(spool->ReadDescriptor());
    const int fd = ::open(fdPath.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(w->Views().dPackets().at(1001).mData.offset())), 0);
    ::close(fd);
    std::int64_t lost = 0, found = 0;
    std::string bytes;
    for (std::int64_t seq = 1; seq <= 3000; ++seq) {
        const bool read = w->Views().dPackets().ReadPayload(w->Views().dPackets().at(seq), bytes);
        lost += !read;
        found += read && bytes.front() == 'k';
    }
    ASSERT_GT(lost, 1000);
    auto* unread = w->findChild<QLabel*>("stBUnread");
    ASSERT_NE(unread, nullptr);
    EXPECT_FALSE(unread->isVisible());

    ASSERT_EQ(w->SetDisplayFilter("payload contains \"kkkk\""), "");
    ASSERT_TRUE(WaitFor([&] { return !w->Views().Presenter().Busy(); }));
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(Rows(), found);
    EXPECT_EQ(w->stBShown()->text(), QString::fromUtf8("显示 %1 / 3,000").arg(found));
    EXPECT_TRUE(unread->isVisible());
    EXPECT_EQ(unread->text(), QString::fromUtf8("%1 个数据包的载荷读不出，未计入").arg(english.toString(qlonglong(lost))));

    ASSERT_EQ(w->SetDisplayFilter("udp"), "");
    ASSERT_TRUE(WaitFor([&] { return !w->Views().Presenter().Busy(); }));
    EXPECT_EQ(Rows(), 3000);
    EXPECT_FALSE(unread->isVisible());
}

}  // namespace
