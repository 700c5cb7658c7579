// The payload panes follow the current row of the list, the keyboard reaches
// every control, and the toolbar has its designed pixel sizes.
#include <gtest/gtest.h>

#include <functional>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTreeView>

#include "WaitFor.h"
#include "inspect/PayloadPane.h"
#include "inspect/WidgetHelpers.h"
#include "shell/Datagrams.h"
#include "shell/frmMain.h"

using namespace quillet;
using quillet::test::Ipv4Udp;

namespace {

QWidget* OpenWindow(const char* name)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String(name) && top->isVisible())
            return top;
    return nullptr;
}

std::string Payload(int n)
{
    return "payload " + std::to_string(n);
}

// Processes events until the condition holds or about three seconds passed.
using quillet::test::WaitFor;

class MainPanes : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QFile f(dir.filePath("iana.txt"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("echo\t7\tEcho\n");
        f.close();
        for (const char* name : {"predefs.txt", "trojans.txt"}) {
            QFile g(dir.filePath(name));
            ASSERT_TRUE(g.open(QIODevice::WriteOnly));
        }
        frmMain::Options o;
        o.portDir = dir.path();
        o.message = [](const QString&) {};
        w = std::make_unique<frmMain>(o);
        w->show();
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }

    void TearDown() override
    {
        if (QWidget* info = OpenWindow("frmInfo"))
            info->close();
        w.reset();
        test::FlushDeletes();
    }

    // Rows 0..n-1, each one burst, destination port 5000 + row.
    void Rows(int n, int first = 0)
    {
        for (int i = first; i < first + n; ++i)
            w->ReceiveDatagrams({Ipv4Udp("10.9.0.2", "10.9.0.1", 7, static_cast<std::uint16_t>(5000 + i), Payload(i))},
                                1'700'000'000'000'000);
    }

    int Current() const { return w->lv()->currentIndex().row(); }
    QString Text1() const { return BoxText(w->Text1()); }
    QString Data() const { return BoxText(w->txtData()); }

    // The panes as a click on the row makes them.
    std::pair<QString, QString> AsClicked(int row)
    {
        const std::pair<QString, QString> now{Text1(), Data()};
        emit w->lv()->clicked(w->lv()->model()->index(row, 0));
        std::pair<QString, QString> clicked{Text1(), Data()};
        emit w->lv()->clicked(w->lv()->currentIndex());  // back to the current row
        EXPECT_EQ(now, std::make_pair(Text1(), Data()));
        return clicked;
    }

    void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget(), key, mods);
    }

    QTemporaryDir dir;
    std::unique_ptr<frmMain> w;
};

}  // namespace

TEST_F(MainPanes, KeyboardMovesFillThePanesAsAClickDoes)
{
    w->Button(2)->trigger();  // no follow: the keyboard alone moves
    Rows(60);
    ASSERT_EQ(w->lv()->model()->rowCount(), 60);
    w->lv()->setFocus();
    w->lv()->setCurrentIndex(w->lv()->model()->index(0, 0));
    ASSERT_EQ(Current(), 0);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(0)));

    int last = 0;
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Up, Qt::Key_PageDown, Qt::Key_End, Qt::Key_PageUp,
                        Qt::Key_Home}) {
        const int fills = w->PaneFills();
        Key(key);
        const int row = Current();
        ASSERT_NE(row, last) << "key " << key;
        EXPECT_EQ(w->PaneFills(), fills + 1) << "key " << key;
        EXPECT_EQ(Data(), QString::fromStdString(Payload(row))) << "key " << key;
        EXPECT_TRUE(Text1().contains(" | payload " + QString::number(row))) << Text1().toStdString();
        EXPECT_EQ(AsClicked(row), std::make_pair(Text1(), Data())) << "key " << key;
        last = row;
    }
    EXPECT_EQ(last, 0);
    // Home and End go to the list's first and last row, as in a list view.
    Key(Qt::Key_End);
    EXPECT_EQ(Current(), 59);
    Key(Qt::Key_Home);
    EXPECT_EQ(Current(), 0);

    // Along the row from cell to cell: the same packet, no new fill.
    const int fills = w->PaneFills();
    Key(Qt::Key_Right);
    EXPECT_EQ(Current(), 0);
    EXPECT_EQ(w->PaneFills(), fills);
}

TEST_F(MainPanes, AMouseClickFillsOnceAndAClickOnTheCurrentRowFillsAgain)
{
    w->Button(2)->trigger();
    Rows(5);
    QAbstractItemView* table = w->lv();
    const QPoint at = table->visualRect(table->model()->index(3, 1)).center();

    const int fills = w->PaneFills();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(Current(), 3);
    EXPECT_EQ(w->PaneFills(), fills + 1);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(3)));

    // The line length follows Text1's width at the moment of the click.
    w->Text1()->setPlainText(QString());
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(w->PaneFills(), fills + 2);
    EXPECT_TRUE(Text1().contains(" | payload 3"));
}

TEST_F(MainPanes, FollowingFillsAtMostOncePerBurstWithTheNewestRow)
{
    auto burst = [this](int first, int count) {
        std::vector<std::vector<std::uint8_t>> d;
        for (int i = first; i < first + count; ++i)
            d.push_back(Ipv4Udp("10.9.0.2", "10.9.0.1", 7, 6000, Payload(i)));
        w->ReceiveDatagrams(d, 1'700'000'000'000'000);
    };
    burst(0, 1);
    EXPECT_EQ(w->PaneFills(), 1);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(0)));

    // The next burst right after: its newest row is shown once the interval
    // since the last fill is over, with one fill for all 500.
    burst(1, 500);
    EXPECT_EQ(Current(), 500);
    EXPECT_LE(w->PaneFills(), 2);
    ASSERT_TRUE(WaitFor([&] { return Data() == QString::fromStdString(Payload(500)); }));
    EXPECT_EQ(w->PaneFills(), 2);
    EXPECT_EQ(AsClicked(500), std::make_pair(Text1(), Data()));

    // Bursts one after another: far fewer fills than bursts, and the last
    // row shown in the end.
    int fills = w->PaneFills();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 40; ++i) {
        burst(501 + 10 * i, 10);
        QApplication::processEvents();
    }
    const qint64 ms = t.elapsed();
    ASSERT_TRUE(WaitFor([&] { return Data() == QString::fromStdString(Payload(900)); }));
    EXPECT_LE(w->PaneFills() - fills, 2 + ms / frmMain::kFollowFillIntervalMs) << ms << " ms";
    EXPECT_EQ(Current(), 900);
    QTest::qWait(2 * frmMain::kFollowFillIntervalMs);
    fills = w->PaneFills();

    // A burst with nothing shown (not decodable) leaves the panes alone.
    w->ReceiveDatagrams({std::vector<std::uint8_t>{0x45, 0x00}}, 1'700'000'000'000'000);
    QTest::qWait(2 * frmMain::kFollowFillIntervalMs);
    EXPECT_EQ(w->PaneFills(), fills);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(900)));

    // Paused: new rows neither move the current row nor refill.
    w->Button(2)->trigger();
    Rows(3, 901);
    QTest::qWait(2 * frmMain::kFollowFillIntervalMs);
    EXPECT_EQ(w->PaneFills(), fills);
    EXPECT_EQ(Current(), 900);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(900)));

    // A keyboard move while a follow fill waits shows the row moved to, and
    // the waiting fill does not come after it.
    w->Button(2)->trigger();
    burst(2000, 1);
    burst(2001, 1);
    w->lv()->setFocus();
    Key(Qt::Key_Up);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(2000)));
    QTest::qWait(2 * frmMain::kFollowFillIntervalMs);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(2000)));
}

TEST_F(MainPanes, ClearAndRebuildEmptyOrRefillThePanes)
{
    Rows(4);
    ASSERT_TRUE(WaitFor([&] { return Data() == QString::fromStdString(Payload(3)); }));
    int fills = w->PaneFills();

    // Button 4 empties the list: no row is current, the panes are empty.
    w->Button(4)->trigger();
    EXPECT_EQ(w->lv()->model()->rowCount(), 0);
    EXPECT_FALSE(w->lv()->currentIndex().isValid());
    EXPECT_TRUE(Text1().isEmpty());
    EXPECT_TRUE(Data().isEmpty());
    EXPECT_EQ(w->PaneFills(), fills);

    // A rebuild while following makes the newest row current and shows it, once.
    w->ts2()->setCurrentIndex(3);  // "IP": one row per address pair
    ASSERT_EQ(w->lv()->model()->rowCount(), 1);
    EXPECT_EQ(Current(), 0);
    EXPECT_EQ(Data(), QString::fromStdString(Payload(0)));
    EXPECT_EQ(w->PaneFills(), fills + 1);

    // A rebuild without follow leaves no row current: empty panes.
    w->Button(2)->trigger();
    fills = w->PaneFills();
    w->ts2()->setCurrentIndex(0);
    ASSERT_EQ(w->lv()->model()->rowCount(), 4);
    EXPECT_FALSE(w->lv()->currentIndex().isValid());
    EXPECT_TRUE(Text1().isEmpty());
    EXPECT_TRUE(Data().isEmpty());
    EXPECT_EQ(w->PaneFills(), fills);
}

TEST_F(MainPanes, ReturnAndEnterOpenTheInfoWindowForTheCurrentRow)
{
    w->Button(2)->trigger();
    Rows(3);
    w->lv()->setFocus();
    ASSERT_TRUE(w->lv()->hasFocus());

    // An empty selection: nothing opens.
    Key(Qt::Key_Return);
    EXPECT_EQ(OpenWindow("frmInfo"), nullptr);

    w->lv()->setCurrentIndex(w->lv()->model()->index(0, 0));
    Key(Qt::Key_Down);
    Key(Qt::Key_Return);
    QWidget* info = OpenWindow("frmInfo");
    ASSERT_NE(info, nullptr);
    const QString text = test::Control<QLabel>(info, "Label1")->text();
    EXPECT_TRUE(text.startsWith("   7\r\n [IANA]: echo")) << text.toStdString();
    EXPECT_TRUE(text.contains("   5001\r\n")) << text.toStdString();
    info->close();
    test::FlushDeletes();

    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->lv()->setFocus();
    Key(Qt::Key_Down);
    Key(Qt::Key_Enter, Qt::KeypadModifier);
    info = OpenWindow("frmInfo");
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(test::Control<QLabel>(info, "Label1")->text().contains("   5002\r\n"));

    // With Ctrl the key is the list's own again.
    info->close();
    test::FlushDeletes();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->lv()->setFocus();
    Key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(OpenWindow("frmInfo"), nullptr);
}

TEST_F(MainPanes, TabGoesThroughEveryControlAndReachesTheTextTab)
{
    Rows(2);
    auto walk = [this](Qt::KeyboardModifiers mods) {
        QStringList names;
        w->Combo1()->setFocus();
        for (int i = 0; i < 8; ++i) {
            names << QApplication::focusWidget()->objectName();
            Key(Qt::Key_Tab, mods);
        }
        return names;
    };
    EXPECT_EQ(walk(Qt::NoModifier),
              (QStringList{"Combo1", "lv", "ts2", "tv", "ts", "Text1", "Combo1", "lv"}));
    EXPECT_EQ(walk(Qt::ShiftModifier),
              (QStringList{"Combo1", "Text1", "ts", "tv", "ts2", "lv", "Combo1", "Text1"}));

    // Tab inside the list leaves it instead of moving cell to cell.
    w->lv()->setFocus();
    const QModelIndex before = w->lv()->currentIndex();
    Key(Qt::Key_Tab);
    EXPECT_FALSE(w->lv()->hasFocus());
    EXPECT_EQ(w->lv()->currentIndex(), before);

    // A keyboard-only user selects "文本" on the lower strip.
    w->ts()->setFocus();
    ASSERT_TRUE(w->ts()->hasFocus());
    Key(Qt::Key_Right);
    EXPECT_EQ(w->ts()->currentIndex(), 1);
    EXPECT_TRUE(w->txtData()->isVisible());
    EXPECT_TRUE(WaitFor([&] { return Data() == QString::fromStdString(Payload(1)); }));
    Key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w->txtData());
    Key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w->Combo1());
}

TEST_F(MainPanes, ToolbarAndChooserHaveTheirDesignedPixelSizes)
{
    for (QSize size : {QSize(746, 459), QSize(500, 300), QSize(1000, 700)}) {
        w->resize(size);
        QApplication::processEvents();
        QToolBar* tB = w->tB();
        EXPECT_EQ(tB->geometry(), QRect(0, 0, w->width(), 22));  // 330 twips
        int x = 0;
        for (int i = 1; i <= 8; ++i) {
            const QWidget* button = tB->widgetForAction(w->Button(i));
            ASSERT_NE(button, nullptr) << i;
            EXPECT_EQ(button->geometry(), QRect(x, 0, 23, 22)) << "button " << i;  // 345 x 330 twips
            x += 23;
        }
        EXPECT_EQ(w->Combo1()->height(), 21);  // 315 twips
        EXPECT_EQ(w->Combo1()->y(), 0);
        EXPECT_GE(w->Combo1()->width(), 169);  // 2535 twips
        // The panes start right under the toolbar and end at the status bar.
        const QWidget* sp = w->findChild<QWidget*>("sp");
        ASSERT_NE(sp, nullptr);
        EXPECT_EQ(sp->y(), 22);
        EXPECT_EQ(w->stB()->height(), 21);
        EXPECT_EQ(sp->y() + sp->height(), w->stB()->y());
    }
}
