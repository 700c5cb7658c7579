// The stream window on a hand-built TCP exchange: ShowStream on one of its
// rows shows the exchange in txtStream, each side alone, and its filter.
#include <memory>

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "WaitFor.h"
#include "inspect/frmStream.h"
#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/frmMain.h"
#include "views/frmTotals.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// The main window over empty port files and a capture that is never started.
struct Shown {
    Shown()
    {
        WriteEmptyPortFiles(dir.path());
        frmMain::Options o;
        o.portDir = dir.path();
        o.kernelMajor = [] { return std::optional<int>(6); };
        o.openCapture = fake.opener();
        o.captureDir = dir.path();
        o.message = [](const QString&) {};
        w = std::make_unique<frmMain>(o);
        w->show();
    }
    QTemporaryDir dir;
    FakeOpener fake;
    std::unique_ptr<frmMain> w;
};

}  // namespace

TEST(StreamWindow, ShowsTheExchangeBothWaysAndEachSideAlone)
{
    Shown shown;
    frmMain& w = *shown.w;
    const char *c = "10.9.0.1", *s = "10.9.0.2";
    // Another conversation first, a retransmission and an out-of-order pair in this one.
    w.ReceiveDatagrams({Ipv4Udp(c, s, 999, 53, "x"), TcpDatagram(c, s, 41000, 80, 10, kSyn, ""),
                        TcpDatagram(s, c, 80, 41000, 500, kSyn | kAck, ""), TcpDatagram(c, s, 41000, 80, 11, kAck, ""),
                        TcpDatagram(c, s, 41000, 80, 11, kAck, "GET / HTTP/1.1\r\n"),
                        TcpDatagram(c, s, 41000, 80, 11, kAck, "GET / HTTP/1.1\r\n"),
                        TcpDatagram(s, c, 80, 41000, 509, kAck, "OK\r\n\r\nbody\x01"),
                        TcpDatagram(s, c, 80, 41000, 501, kAck, "HTTP/1.1"),
                        TcpDatagram(c, s, 41000, 80, 27, kAck | kFin, "\r\n")},
                       1700000000000000);
    ASSERT_EQ(w.lv()->model()->rowCount(), 9);
    frmStream* stream = w.ShowStream(6);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->objectName(), "frmStream");
    auto* text = stream->findChild<QPlainTextEdit*>("txtStream");
    auto* side = stream->findChild<QComboBox*>("cboStreamSide");
    ASSERT_TRUE(text && side);
    EXPECT_TRUE(text->isReadOnly());
    const struct {
        int side;
        QString shown;
    } cases[] = {
        {0, "GET / HTTP/1.1\nHTTP/1.1OK\n\nbody.\n"},
        {1, "GET / HTTP/1.1\n\n"},
        {2, "HTTP/1.1OK\n\nbody."},
    };
    for (const auto& c : cases) {
        side->setCurrentIndex(c.side);
        ASSERT_TRUE(WaitFor([&] { return stream->Loaded(); })) << c.side;
        EXPECT_EQ(text->toPlainText(), c.shown) << c.side;
    }
    // The server's side as the hex pane dumps it, 16 bytes a line.
    stream->ChooseShow(StreamShow::Hex);
    ASSERT_TRUE(WaitFor([&] { return stream->Loaded(); }));
    EXPECT_EQ(text->toPlainText(), "  48 54 54 50 2F 31 2E 31 4F 4B 0D 0A 0D 0A 62 6F | HTTP/1.1OK....bo\n  64 79 01"
                                       + QString(39, ' ') + " | dy.\n");
    stream->ChooseShow(StreamShow::Text);
    ASSERT_TRUE(WaitFor([&] { return stream->Loaded(); }));
    EXPECT_TRUE(stream->Find("body", false));
    EXPECT_EQ(text->textCursor().selectedText(), "body");
    EXPECT_FALSE(stream->Find("GET", true));
    EXPECT_EQ(stream->StreamFilter(), "tcp.stream == 0");
    EXPECT_EQ(w.ShowStream(9), nullptr);
}

// The endpoints of an ended conversation open a new one, which counts in the
// numbers of those after it: a double-click on a conversation in the totals
// window follows just that one, by its own number.
TEST(StreamWindow, FollowsTheConversationChosenInTheTotals)
{
    Shown shown;
    frmMain& w = *shown.w;
    const char *c = "10.9.0.1", *s = "10.9.0.2";
    w.ReceiveDatagrams({TcpDatagram(c, s, 41000, 80, 10, kSyn, ""), TcpDatagram(c, s, 41000, 80, 11, kAck, "first"),
                        TcpDatagram(c, s, 41000, 80, 16, kAck | kFin, ""),
                        TcpDatagram(c, s, 41000, 80, 90, kSyn, ""), TcpDatagram(c, s, 41000, 80, 91, kAck, "again"),
                        TcpDatagram(c, s, 42000, 80, 70, kSyn, ""), TcpDatagram(s, c, 80, 42000, 300, kSyn | kAck, ""),
                        TcpDatagram(c, s, 42000, 80, 71, kAck, "second"),
                        TcpDatagram(s, c, 80, 42000, 301, kAck, "reply")},
                       1700000000000000);
    frmTotals* totals = w.ShowTotals();
    auto* table = totals->findChild<QTableView*>("lvConversations");
    ASSERT_NE(table, nullptr);
    QModelIndex chosen;
    for (int r = 0; r < table->model()->rowCount(); ++r)
        if (table->model()->index(r, 1).data().toString() == "2")
            chosen = table->model()->index(r, 1);
    ASSERT_TRUE(chosen.isValid());
    table->scrollTo(chosen);
    // A view takes a double-click on the row it was pressed on.
    const QPoint at = table->visualRect(chosen).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
    auto* stream = w.findChild<frmStream*>("frmStream");
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(WaitFor([&] { return stream->Loaded(); }));
    EXPECT_EQ(stream->findChild<QPlainTextEdit*>("txtStream")->toPlainText(), "secondreply");
    EXPECT_EQ(stream->StreamFilter(), "tcp.stream == 2");
}

// An open window follows its conversation: what is stored of it later is
// shown in order, with the byte counts, and the round trip once the
// handshake is whole, as lvConversations shows it; other conversations'
// packets stay out.
TEST(StreamWindow, FollowsALiveConversation)
{
    Shown shown;
    frmMain& w = *shown.w;
    const char *c = "10.9.0.1", *s = "10.9.0.2";
    constexpr std::int64_t kT0 = 1700000000000000;
    w.ReceiveDatagrams({Ipv4Udp(c, s, 999, 53, "x"), TcpDatagram(c, s, 41000, 80, 10, kSyn, "")}, kT0);
    w.ReceiveDatagrams({TcpDatagram(s, c, 80, 41000, 500, kSyn | kAck, "")}, kT0 + 2'000);
    frmStream* stream = w.ShowStream(2);
    ASSERT_NE(stream, nullptr);
    auto* text = stream->findChild<QPlainTextEdit*>("txtStream");
    auto* header = stream->findChild<QLabel*>("lblStreamHeader");
    auto* bytes = stream->findChild<QLabel*>("lblStreamBytes");
    ASSERT_TRUE(text && header && bytes);
    ASSERT_TRUE(WaitFor([&] { return stream->Loaded(); }));
    EXPECT_EQ(text->toPlainText(), "");
    EXPECT_FALSE(header->text().contains("往返"));
    EXPECT_EQ(header->toolTip(), "");

    const QString client = "10.9.0.1:41000", server = "10.9.0.2:80";
    const auto counts = [&](int up, int down) {
        return QString("%1 → %2：%3 字节\n%2 → %1：%4 字节").arg(client, server).arg(up).arg(down);
    };
    const struct {
        std::vector<std::vector<std::uint8_t>> stored;
        QString shown, bytes;
    } turns[] = {
        {{TcpDatagram(c, s, 41000, 80, 11, kAck, "GET / HTTP/1.1\r\n"), TcpDatagram(c, s, 41001, 80, 11, kAck, "no"),
          Ipv4Udp(c, s, 41000, 80, "no")},
         "GET / HTTP/1.1\n", counts(16, 0)},
        // Out of order within a burst, and another conversation between.
        {{TcpDatagram(s, c, 80, 41000, 509, kAck, "OK\r\n\r\nbody\x01"), TcpDatagram(s, c, 80, 41001, 9, kAck, "no"),
          TcpDatagram(s, c, 80, 41000, 501, kAck, "HTTP/1.1"), TcpDatagram(c, s, 41000, 80, 27, kAck | kFin, "\r\n")},
         "GET / HTTP/1.1\nHTTP/1.1OK\n\nbody.\n", counts(18, 19)},
    };
    // Counts that grow do not widen the window: that would lay out all the
    // text shown again, once for each digit they gain.
    const int width = stream->minimumSizeHint().width();
    std::int64_t at = kT0 + 2'500;
    for (const auto& t : turns) {
        w.ReceiveDatagrams(t.stored, at);
        at += 10'000;
        EXPECT_TRUE(WaitFor([&] { return text->toPlainText() == t.shown && stream->Loaded(); }))
            << text->toPlainText().toStdString();
        EXPECT_EQ(bytes->text(), t.bytes);
        EXPECT_EQ(stream->minimumSizeHint().width(), width);
    }

    // The header's round trip is the table's, text and tool tip.
    frmTotals* totals = w.ShowTotals();
    const QAbstractItemModel* table = totals->findChild<QTableView*>("lvConversations")->model();
    constexpr int kRoundTrip = 13;
    QModelIndex trip;
    for (int r = 0; r < table->rowCount(); ++r)
        if (table->index(r, 0).data().toString() == "TCP" && table->index(r, 1).data().toString() == "0")
            trip = table->index(r, kRoundTrip);
    ASSERT_TRUE(trip.isValid());
    EXPECT_EQ(trip.data().toString(), "2.5 ms");
    EXPECT_TRUE(header->text().endsWith("往返 " + trip.data().toString())) << header->text().toStdString();
    EXPECT_EQ(header->toolTip(), trip.data(Qt::ToolTipRole).toString());
    EXPECT_TRUE(header->toolTip().contains("SYN/ACK 到 ACK")) << header->toolTip().toStdString();
}
