// The stream window on a hand-built TCP exchange: ShowStream on one of its
// rows shows the exchange in txtStream, each side alone, and its filter.
#include <memory>

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
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
