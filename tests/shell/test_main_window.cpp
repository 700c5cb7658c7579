// The main window without root: start-up, toolbar commands and states, and the
// receive path from a readable descriptor through the hook to the list rows.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QTreeView>

#include "WaitFor.h"
#include "filters/frmFiltro.h"
#include "ports/frmConfig.h"
#include "shell/FakeCapture.h"
#include "shell/Datagrams.h"
#include "shell/WindowMessage.h"
#include "shell/frmMain.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::FakeCapture;
using quillet::test::FakeOpener;
using quillet::test::Ipv4Udp;

namespace {

void WritePortFile(const QString& path, const char* text)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

// Processes events until the condition holds or about three seconds passed.
using quillet::test::WaitFor;

std::vector<std::uint8_t> Received(int n)
{
    return Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, static_cast<std::uint16_t>(5000 + n), "payload " + std::to_string(n));
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        WritePortFile(dir.filePath("iana.txt"), "ssh\t22\tSecure Shell\n");
        WritePortFile(dir.filePath("predefs.txt"), "22\tSSH\n");
        WritePortFile(dir.filePath("trojans.txt"), "31\tHackers Paradise\n");
    }

    std::unique_ptr<frmMain> Make()
    {
        frmMain::Options o;
        o.portDir = dir.path();
        o.kernelMajor = [this] { return std::optional<int>(kernelMajor); };
        o.openCapture = fake.opener();
        o.message = [this](const QString& text) { messages << text; };
        auto w = std::make_unique<frmMain>(o);
        w->Combo1()->addItem(QStringLiteral("10.9.0.1"));
        w->Combo1()->setCurrentIndex(w->Combo1()->count() - 1);
        return w;
    }

    static int Rows(frmMain& w) { return w.lv()->model()->rowCount(); }
    static QString Cell(frmMain& w, int row, int column)
    {
        return w.lv()->model()->index(row, column).data().toString();
    }
    static QString Panel(frmMain& w) { return w.stBPanel1()->text(); }

    // Buttons 1..3 and the chooser: idle (start possible) or capturing.
    static void ExpectIdle(frmMain& w)
    {
        EXPECT_TRUE(w.Button(1)->isEnabled());
        EXPECT_FALSE(w.Button(2)->isEnabled());
        EXPECT_FALSE(w.Button(3)->isEnabled());
        EXPECT_TRUE(w.Combo1()->isEnabled());
    }
    static void ExpectCapturing(frmMain& w)
    {
        EXPECT_FALSE(w.Button(1)->isEnabled());
        EXPECT_TRUE(w.Button(2)->isEnabled());
        EXPECT_TRUE(w.Button(3)->isEnabled());
        EXPECT_FALSE(w.Combo1()->isEnabled());
    }

    void Arrive(std::vector<std::vector<std::uint8_t>> d) { FakeCapture::Arrive(*fake.state, std::move(d)); }

    QTemporaryDir dir;
    FakeOpener fake;
    int kernelMajor = 6;
    QStringList messages;
};

TEST_F(MainWindowTest, ControlsAsDesigned)
{
    auto w = Make();
    EXPECT_EQ(w->objectName(), "frmMain");
    EXPECT_EQ(w->windowTitle(), "Quillet");
    for (const char* name : {"tB", "stB", "Combo1", "lv", "tv", "ts2", "ts", "Text1", "txtData", "PopUp"})
        EXPECT_NE(w->findChild<QObject*>(QString::fromLatin1(name)), nullptr) << name;
    EXPECT_EQ(w->Combo1()->parentWidget(), w->tB());

    const char* tips[] = {"开始", "暂停", "停止", "清除", "筛选", "设置", "保存", "打开"};
    for (int i = 1; i <= 8; ++i) {
        EXPECT_EQ(w->Button(i)->toolTip(), QString::fromUtf8(tips[i - 1])) << i;
        EXPECT_FALSE(w->Button(i)->icon().isNull()) << i;
        EXPECT_EQ(w->Button(i)->isCheckable(), i == 2) << i;
        EXPECT_EQ(w->Button(i)->isEnabled(), i <= 6) << i;
    }
    EXPECT_TRUE(w->Button(9)->isSeparator());

    EXPECT_EQ(w->stBPanel1()->width(), 96);
    EXPECT_TRUE(w->stBPanel1()->text().isEmpty());
    EXPECT_EQ(w->txtData()->toPlainText(), "Text1");
    EXPECT_TRUE(w->txtData()->isHidden());
    EXPECT_EQ(w->ts()->count(), 2);
    EXPECT_EQ(w->ts()->tabText(0), "十六进制");
    EXPECT_EQ(w->ts()->tabText(1), "文本");

    // The lower tab strip switches between hex dump and text view.
    w->show();
    w->ts()->setCurrentIndex(1);
    EXPECT_TRUE(w->txtData()->isVisible());
    EXPECT_FALSE(w->Text1()->isVisible());
    w->ts()->setCurrentIndex(0);
    EXPECT_FALSE(w->txtData()->isVisible());
    EXPECT_TRUE(w->Text1()->isVisible());
}

TEST_F(MainWindowTest, StartUpLoadsFillsAndHooks)
{
    auto w = Make();
    w->show();
    QApplication::processEvents();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_TRUE(w->StartupProblems().isEmpty());
    EXPECT_EQ(w->Views().Ports().dIana.count(), 1u);

    // The chooser holds the machine's addresses without the loopback, the
    // first selected (the test added one more at the end): IPv4, then the
    // global IPv6 ones.
    std::vector<std::string> list, list6, own6;
    ListLocalAddresses(list);
    ListLocalIPv6Addresses(list6, own6);
    QStringList expected;
    for (const std::string& a : list)
        if (a != "127.0.0.1")
            expected << QString::fromStdString(a);
    for (const std::string& a : list6)
        expected << QString::fromStdString(a);
    QStringList shown;
    for (int i = 0; i < w->Combo1()->count() - 1; ++i)
        shown << w->Combo1()->itemText(i);
    EXPECT_EQ(shown, expected);
    for (const QString& a : expected)
        EXPECT_TRUE(w->Views().IsLocal(a.toStdString()));
    EXPECT_FALSE(w->Views().IsLocal("127.0.0.1"));

    // Tree roots, in order.
    QAbstractItemModel* tree = w->tv()->model();
    ASSERT_EQ(tree->rowCount(), 2);
    EXPECT_EQ(tree->index(0, 0).data().toString(), "来源");
    EXPECT_EQ(tree->index(1, 0).data().toString(), "目标");

    ASSERT_NE(w->oSubCls(), nullptr);
    EXPECT_TRUE(w->oSubCls()->Subclassed());
    EXPECT_FALSE(w->oSubCls()->AllMsgs());
    EXPECT_EQ(w->oSubCls()->MessageCount(), 1);
    EXPECT_EQ(w->oSubCls()->HookedObject(), w.get());
}

TEST_F(MainWindowTest, MissingPortFileIsToldOnceAndCaptureStillWorks)
{
    QFile::remove(dir.filePath("iana.txt"));
    QFile::remove(dir.filePath("trojans.txt"));
    auto w = Make();
    EXPECT_TRUE(messages.isEmpty()) << "told after the window shows, not before";
    w->show();
    ASSERT_TRUE(WaitFor([&] { return !messages.isEmpty(); }));
    QApplication::processEvents();
    ASSERT_EQ(messages.size(), 1) << "one message for every load problem";
    EXPECT_TRUE(messages[0].contains("iana.txt"));
    EXPECT_TRUE(messages[0].contains("trojans.txt"));
    EXPECT_EQ(w->Views().Ports().dPredefs.count(), 1u) << "the file that is there still loads";

    // The later steps ran all the same.
    EXPECT_EQ(w->tv()->model()->rowCount(), 2);
    ASSERT_NE(w->oSubCls(), nullptr);
    EXPECT_TRUE(w->oSubCls()->Subclassed());

    w->tB_ButtonClick(1);
    Arrive({Received(1)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 1; }));
    EXPECT_EQ(Panel(*w), "1");
    EXPECT_EQ(messages.size(), 1);
}

TEST_F(MainWindowTest, StartStopAndStartAgain)
{
    auto w = Make();
    w->show();
    // Before the first capture, buttons 1 to 6 are all enabled.
    for (int i = 1; i <= 6; ++i)
        EXPECT_TRUE(w->Button(i)->isEnabled()) << i;

    w->Button(1)->trigger();
    ExpectCapturing(*w);
    EXPECT_EQ(fake.state->openedOn, std::vector<std::string>{"10.9.0.1"});
    EXPECT_TRUE(w->CaptureOpen());

    Arrive({Received(1), Received(2), Received(3)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 3; }));
    EXPECT_EQ(Panel(*w), "3");
    EXPECT_EQ(w->lRecvCount(), 3);
    EXPECT_EQ(Cell(*w, 0, kColProtocol), "UDP");
    EXPECT_EQ(Cell(*w, 0, kColSrcAddr), "10.9.0.2");
    EXPECT_EQ(Cell(*w, 2, kColDestPort), "5003");

    w->Button(3)->trigger();
    ExpectIdle(*w);
    EXPECT_TRUE(fake.state->closed);
    EXPECT_FALSE(w->CaptureOpen());

    w->Button(1)->trigger();
    ExpectCapturing(*w);
    EXPECT_EQ(w->lRecvCount(), 0);
    EXPECT_EQ(Panel(*w), "3") << "the panel keeps the old count until a datagram comes";
    Arrive({Received(4)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 4; }));
    EXPECT_EQ(Panel(*w), "1");
    EXPECT_EQ(w->Views().dPackets().count(), 4) << "the store keeps the earlier capture";
    EXPECT_EQ(Cell(*w, 3, kColDestPort), "5004");
}

TEST_F(MainWindowTest, FailedStartLeavesTheWindowIdle)
{
    auto w = Make();
    fake.fail = true;
    w->Button(1)->trigger();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("bind err"));
    ExpectIdle(*w);
    EXPECT_FALSE(w->CaptureOpen());

    // Start works once the address can be opened.
    fake.fail = false;
    w->Button(1)->trigger();
    ExpectCapturing(*w);
    w->Button(3)->trigger();
    ExpectIdle(*w);
}

TEST_F(MainWindowTest, OldKernelRefusesToStart)
{
    kernelMajor = 2;
    auto w = Make();
    w->Button(1)->trigger();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], QString(QChar(0xE4D4)) + "T5 or Higher!");
    EXPECT_EQ(messages[0].size(), 14);
    EXPECT_EQ(fake.opens, 0);
    // The toolbar stays as it was: all of 1 to 3 enabled before any capture.
    EXPECT_TRUE(w->Button(1)->isEnabled());
    EXPECT_TRUE(w->Button(2)->isEnabled());
    EXPECT_TRUE(w->Button(3)->isEnabled());
    EXPECT_TRUE(w->Combo1()->isEnabled());
}

TEST_F(MainWindowTest, StopBeforeAnyStartIsHarmless)
{
    auto w = Make();
    w->Button(3)->trigger();
    ExpectIdle(*w);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWindowTest, ClearDuringACapture)
{
    auto w = Make();
    w->show();
    w->tB_ButtonClick(1);
    Arrive({Received(1), Received(2)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 2; }));
    const int treeNodes = w->tv()->model()->rowCount(w->tv()->model()->index(0, 0));

    w->Button(4)->trigger();
    EXPECT_EQ(Rows(*w), 0);
    EXPECT_EQ(w->Views().dPackets().count(), 2);
    EXPECT_EQ(Panel(*w), "2");
    EXPECT_EQ(w->tv()->model()->rowCount(w->tv()->model()->index(0, 0)), treeNodes);
    ExpectCapturing(*w);

    Arrive({Received(3)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 1; }));
    EXPECT_EQ(Cell(*w, 0, kColDestPort), "5003");
    EXPECT_EQ(Panel(*w), "3");
}

TEST_F(MainWindowTest, FollowOnAndOff)
{
    auto w = Make();
    w->show();
    w->tB_ButtonClick(1);
    Arrive({Received(1)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 1; }));
    EXPECT_EQ(w->lv()->currentIndex().row(), 0) << "followed";

    w->Button(2)->trigger();
    EXPECT_TRUE(w->bNoFollow());
    EXPECT_TRUE(w->Button(2)->isChecked());
    Arrive({Received(2), Received(3)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 3; }));
    EXPECT_EQ(w->lv()->currentIndex().row(), 0) << "not followed while paused";

    // Survives a stop and a start.
    w->Button(3)->trigger();
    w->Button(1)->trigger();
    EXPECT_TRUE(w->bNoFollow());

    w->Button(2)->trigger();
    EXPECT_FALSE(w->bNoFollow());
    EXPECT_FALSE(w->Button(2)->isChecked());
    Arrive({Received(4)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 4; }));
    EXPECT_EQ(w->lv()->currentIndex().row(), 3);
}

TEST_F(MainWindowTest, StopKeepsWhatTheKernelStillHeld)
{
    auto w = Make();
    w->tB_ButtonClick(1);
    fake.state->held.push_back(Received(1));
    fake.state->held.push_back(Received(2));
    w->tB_ButtonClick(3);
    EXPECT_EQ(fake.state->drainCalls, 1);
    EXPECT_EQ(Rows(*w), 2);
    EXPECT_EQ(w->lRecvCount(), 2);
    EXPECT_EQ(Panel(*w), "2");
    EXPECT_TRUE(fake.state->closed);
}

TEST_F(MainWindowTest, ClosingTheWindowDrainsAndUnhooks)
{
    auto w = Make();
    w->show();
    w->tB_ButtonClick(1);
    fake.state->held.push_back(Received(1));
    w->close();
    EXPECT_EQ(fake.state->drainCalls, 1);
    EXPECT_EQ(w->Views().dPackets().count(), 1);
    EXPECT_TRUE(fake.state->closed);
    ASSERT_NE(w->oSubCls(), nullptr);
    EXPECT_FALSE(w->oSubCls()->Subclassed());
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWindowTest, NotificationQueuedBeforeAStopIsHarmless)
{
    auto w = Make();
    w->tB_ButtonClick(1);
    const std::intptr_t handle = w->lSocket();
    Arrive({Received(1)});
    QCoreApplication::postEvent(w.get(), new WindowMessage(kCaptureNotification, handle, FD_READ));
    w->tB_ButtonClick(3);  // drains the datagram
    EXPECT_EQ(w->lRecvCount(), 1);
    const int reads = fake.state->readCalls;
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(fake.state->readCalls, reads) << "nothing is read from a closed capture";
    EXPECT_EQ(w->lRecvCount(), 1);
    EXPECT_EQ(Rows(*w), 1);

    // Nor does an old capture's notification read the new one's datagrams.
    w->tB_ButtonClick(1);
    ASSERT_NE(w->lSocket(), handle);
    fake.state->ready.push_back(Received(2));  // queued, not yet signalled
    WindowMessage old(kCaptureNotification, handle, FD_READ);
    QCoreApplication::sendEvent(w.get(), &old);
    EXPECT_EQ(w->lRecvCount(), 0);
    WindowMessage current(kCaptureNotification, w->lSocket(), FD_READ);
    QCoreApplication::sendEvent(w.get(), &current);
    EXPECT_EQ(w->lRecvCount(), 1);
}

TEST_F(MainWindowTest, ErrorNotificationsAndFailedReadsCountNothing)
{
    auto w = Make();
    w->tB_ButtonClick(1);
    fake.state->ready.push_back(Received(1));
    WindowMessage withError(kCaptureNotification, w->lSocket(), MakeSelectLParam(1, 10053));
    QCoreApplication::sendEvent(w.get(), &withError);
    EXPECT_EQ(fake.state->readCalls, 0);
    EXPECT_EQ(w->lRecvCount(), 0);

    fake.state->failReads = true;
    WindowMessage read(kCaptureNotification, w->lSocket(), FD_READ);
    QCoreApplication::sendEvent(w.get(), &read);
    EXPECT_EQ(fake.state->readCalls, 1);
    EXPECT_EQ(w->lRecvCount(), 0);
    EXPECT_EQ(Rows(*w), 0);

    // A descriptor that keeps signalling while reads fail is not read in a
    // tight loop.
    Arrive({});
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_LE(fake.state->readCalls, 10);

    // The capture goes on after both.
    fake.state->failReads = false;
    Arrive({Received(2)});
    ASSERT_TRUE(WaitFor([&] { return w->lRecvCount() == 2 && Rows(*w) == 2; }));
}

TEST_F(MainWindowTest, UndecodableDatagramsAreCountedButNotStored)
{
    auto w = Make();
    w->tB_ButtonClick(1);
    Arrive({std::vector<std::uint8_t>{0x45, 0, 0}, Received(1)});
    ASSERT_TRUE(WaitFor([&] { return w->lRecvCount() == 2 && Panel(*w) == "2"; }));
    EXPECT_EQ(w->Views().dPackets().count(), 1);
}

TEST_F(MainWindowTest, ABigBurstIsReadInBoundedSteps)
{
    auto w = Make();
    w->tB_ButtonClick(1);
    fake.state->readDelay = std::chrono::milliseconds(4);
    std::vector<std::vector<std::uint8_t>> burst;
    for (int i = 0; i < 20000; ++i)
        burst.push_back(Received(i % 1000));
    Arrive(std::move(burst));

    // One notification reads part of it and hands the rest to the next.
    WindowMessage first(kCaptureNotification, w->lSocket(), FD_READ);
    QCoreApplication::sendEvent(w.get(), &first);
    EXPECT_GT(w->lRecvCount(), 0);
    EXPECT_LT(w->lRecvCount(), 20000);

    // The rest follows, step by step, within a second (a few hundred ms here).
    ASSERT_TRUE(WaitFor([&] { return w->lRecvCount() == 20000 && Rows(*w) == 20000 && Panel(*w) == "20000"; },
                        std::chrono::seconds(1)));
}

TEST_F(MainWindowTest, DialogButtonsOpenOneWindowEach)
{
    auto w = Make();
    w->Button(5)->trigger();
    w->Button(5)->trigger();
    w->Button(6)->trigger();
    w->Button(6)->trigger();
    int filters = 0;
    int configs = 0;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (!top->isVisible())
            continue;
        filters += top->objectName() == "frmFiltro";
        configs += top->objectName() == "frmConfig";
    }
    EXPECT_EQ(filters, 1);
    EXPECT_EQ(configs, 1);
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == "frmFiltro" || top->objectName() == "frmConfig")
            top->close();

    // Buttons 7 and 8 do nothing.
    w->Button(7)->trigger();
    w->Button(8)->trigger();
    w->tB_ButtonClick(7);
    w->tB_ButtonClick(8);
    EXPECT_FALSE(w->CaptureOpen());
    EXPECT_TRUE(messages.isEmpty());
}

}  // namespace

namespace {

TEST_F(MainWindowTest, RowClickShowsThePayloadAndDoubleClickNamesThePorts)
{
    auto w = Make();
    w->show();
    w->tB_ButtonClick(1);
    Arrive({Ipv4Udp("10.9.0.2", "10.9.0.1", 22, 31, "AB")});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 1; }));
    const QModelIndex row = w->lv()->model()->index(0, 0);
    emit w->lv()->clicked(row);
    EXPECT_TRUE(w->Text1()->toPlainText().contains("41 42")) << w->Text1()->toPlainText().toStdString();
    EXPECT_TRUE(w->txtData()->toPlainText().startsWith("AB"));

    w->lv()->setCurrentIndex(row);
    emit w->lv()->doubleClicked(row);
    QWidget* info = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == "frmInfo" && top->isVisible())
            info = top;
    ASSERT_NE(info, nullptr);
    const QString text = info->findChild<QLabel*>("Label1")->text();
    EXPECT_TRUE(text.contains("Secure Shell")) << text.toStdString();
    EXPECT_TRUE(text.contains("Hackers Paradise")) << text.toStdString();
    info->close();
}

}  // namespace

namespace {

// Processes events for a while.
void Spin(std::chrono::milliseconds span)
{
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST_F(MainWindowTest, StatusPanelsAcrossStartDropsAndStop)
{
    auto w = Make();
    w->show();
    EXPECT_TRUE(w->stBState()->text().isEmpty()) << "empty before the first start";
    EXPECT_FALSE(w->stBState()->isVisible()) << "no empty frame before the first start";
    EXPECT_FALSE(w->stBDrops()->isVisible());
    EXPECT_FALSE(w->stBRate()->isVisible());
    // After panel 1, in this order.
    QList<QLabel*> panels = w->stB()->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_GE(panels.size(), 4);
    EXPECT_EQ(panels[0], w->stBPanel1());
    EXPECT_EQ(w->stBPanel1()->width(), 96);

    w->Button(1)->trigger();
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->stBState()->isVisible());
    EXPECT_LT(w->stBPanel1()->x(), w->stBState()->x());
    EXPECT_EQ(w->stBState()->text(), "捕获中 10.9.0.1 (fake0)");
    EXPECT_FALSE(w->stBDrops()->isVisible()) << "hidden while nothing is dropped";
    Arrive({Received(1), Received(2), Received(3)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 3; }));
    const std::uint64_t bytes = 3 * Received(1).size();
    EXPECT_EQ(w->BytesReceived(), bytes);
    // Within a second of the first tick the rate shows the three datagrams.
    ASSERT_TRUE(WaitFor([&] { return w->stBRate()->text().startsWith("3 包/秒") || w->stBRate()->text().startsWith("6 包/秒"); }))
        << w->stBRate()->text().toStdString();
    EXPECT_TRUE(w->stBRate()->isVisible());
    EXPECT_EQ(Panel(*w), "3") << "panel 1 keeps counting as designed";

    fake.state->stats.dropped = 120;
    fake.state->stats.ifDropped = 3;
    ASSERT_TRUE(WaitFor([&] { return w->stBDrops()->isVisible(); }));
    EXPECT_EQ(w->stBDrops()->text(), "丢弃 123");
    EXPECT_TRUE(w->stBDrops()->font().bold() || w->stBDrops()->styleSheet().contains("bold"));

    // The rate falls to zero a second after the traffic stopped.
    ASSERT_TRUE(WaitFor([&] { return w->stBRate()->text().startsWith("0 包/秒"); }))
        << w->stBRate()->text().toStdString();

    w->Button(3)->trigger();
    EXPECT_EQ(w->stBState()->text(), "已停止");
    EXPECT_EQ(w->stBDrops()->text(), "丢弃 123") << "the stopped capture's drops stay shown";
    EXPECT_FALSE(w->stBRate()->isVisible());

    // A new capture starts from zero drops.
    fake.state->stats = {};
    w->Button(1)->trigger();
    EXPECT_FALSE(w->stBDrops()->isVisible());
    EXPECT_EQ(w->BytesReceived(), 0u);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWindowTest, ReadErrorsThatSayTheInterfaceIsGoneEndTheCapture)
{
    for (const char* said : {"The interface disappeared", "recv: No such device", "No such device or address"}) {
        auto w = Make();
        messages.clear();
        w->tB_ButtonClick(1);
        Arrive({Received(1)});
        ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 1; }));
        fake.state->held.push_back(Received(2));
        fake.state->failReads = true;
        fake.state->readError = said;
        Arrive({});
        ASSERT_TRUE(WaitFor([&] { return !w->CaptureOpen(); })) << said;
        Spin(std::chrono::milliseconds(150));
        ASSERT_EQ(messages.size(), 1) << said;
        EXPECT_TRUE(messages[0].contains("fake0")) << messages[0].toStdString();
        EXPECT_TRUE(messages[0].contains(said)) << messages[0].toStdString();
        ExpectIdle(*w);
        EXPECT_EQ(fake.state->drainCalls, 1) << "ended as button 3 does";
        EXPECT_EQ(Rows(*w), 2) << "what was held is kept too";
        EXPECT_EQ(w->stBState()->text(), "已停止");
        fake.state->failReads = false;
        fake.state->drainCalls = 0;
        fake.state->readError.clear();
    }

    // Another read error only waits and tries again.
    auto w = Make();
    messages.clear();
    w->tB_ButtonClick(1);
    fake.state->failReads = true;
    fake.state->readError = "Error condition on packet socket: Resource temporarily unavailable";
    Arrive({});
    Spin(std::chrono::milliseconds(300));
    EXPECT_TRUE(w->CaptureOpen());
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWindowTest, InterfaceStateSeenThroughErrorNotificationsAndTheTimer)
{
    auto w = Make();
    w->tB_ButtonClick(1);
    Arrive({Received(1)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 1; }));

    // Down: an error notification makes the window look; it waits.
    fake.state->link = LinkState::Down;
    WindowMessage down(kCaptureNotification, w->lSocket(), MakeSelectLParam(1, 100));
    QCoreApplication::sendEvent(w.get(), &down);
    EXPECT_EQ(w->stBState()->text(), "捕获中 10.9.0.1 (fake0): 接口已断开，等待中");
    EXPECT_TRUE(w->CaptureOpen());
    ExpectCapturing(*w);

    // Up again: the timer sees it, and datagrams are read again.
    fake.state->link = LinkState::Up;
    ASSERT_TRUE(WaitFor([&] { return w->stBState()->text() == "捕获中 10.9.0.1 (fake0)"; }));
    Arrive({Received(2)});
    ASSERT_TRUE(WaitFor([&] { return Rows(*w) == 2; }));

    // Gone without any read error: the timer alone ends the capture.
    fake.state->link = LinkState::Gone;
    ASSERT_TRUE(WaitFor([&] { return !w->CaptureOpen(); }));
    ExpectIdle(*w);
    Spin(std::chrono::milliseconds(600));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("fake0"));
    EXPECT_EQ(Rows(*w), 2);
}

TEST_F(MainWindowTest, EndCaptureByItselfWhileReadingAndWhileIdle)
{
    auto w = Make();
    w->EndCaptureByItself("nothing runs");
    EXPECT_TRUE(messages.isEmpty()) << "no capture, nothing to end";

    w->tB_ButtonClick(1);
    int calls = 0;
    fake.state->duringRead = [&] {
        if (++calls == 2)
            w->EndCaptureByItself("the store is full");
    };
    Arrive({Received(1), Received(2), Received(3), Received(4)});
    ASSERT_TRUE(WaitFor([&] { return !w->CaptureOpen(); }));
    Spin(std::chrono::milliseconds(100));
    fake.state->duringRead = nullptr;
    EXPECT_EQ(messages, QStringList{"the store is full"});
    ExpectIdle(*w);
    EXPECT_TRUE(fake.state->closed);
    EXPECT_EQ(w->Views().dPackets().count(), 4) << "the read ends, then the stop drains the rest";
    EXPECT_EQ(w->stBState()->text(), "已停止");

    // Called twice, told once.
    w->tB_ButtonClick(1);
    w->EndCaptureByItself("first");
    w->EndCaptureByItself("second");
    EXPECT_EQ(messages.size(), 2);
    EXPECT_EQ(messages.back(), "first");
    ExpectIdle(*w);
}

// A source that never runs dry: stop, close and every notification return
// within their bounds, and the drain stops at its count or time.
TEST_F(MainWindowTest, StopAndCloseReturnPromptlyFromASourceThatNeverRunsDry)
{
    for (bool byClose : {false, true}) {
        auto w = Make();
        w->show();
        w->tB_ButtonClick(1);
        fake.state->endless = true;
        fake.state->endlessHanded = 0;
        fake.state->endlessDatagram = Received(1);
        Arrive({});
        Spin(std::chrono::milliseconds(100));
        EXPECT_GT(w->lRecvCount(), 0);

        const std::int64_t before = fake.state->endlessHanded;
        const auto start = std::chrono::steady_clock::now();
        if (byClose)
            w->close();
        else
            w->Button(3)->trigger();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(500)) << (byClose ? "close" : "stop");
        EXPECT_FALSE(w->CaptureOpen());
        const std::int64_t drained = fake.state->endlessHanded - before;
        EXPECT_GT(drained, 0);
        EXPECT_LE(drained, 1'000'001);
        if (!byClose)
            ExpectIdle(*w);
        fake.state->endless = false;
    }
}

}  // namespace
