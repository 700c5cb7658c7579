// The filter and preferences dialogs, the hex dump pane and the info window
// as the main window uses them, with packets handed to its receive path.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTemporaryDir>

#include "WidgetHelpers.h"
#include "inspect/HexDump.h"
#include "inspect/PayloadPane.h"
#include "shell/Datagrams.h"
#include "shell/frmMain.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::Control;
using quillet::test::Ipv4Udp;

namespace {

const char* const kA = "10.9.0.2";
const char* const kB = "10.9.0.1";
const char* const kC = "10.9.0.3";

QWidget* OpenWindow(const char* name)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String(name) && top->isVisible())
            return top;
    return nullptr;
}

class MainInspect : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        Write("iana.txt", "http\t80\tWorld Wide Web HTTP\n");
        Write("predefs.txt", "80\tweb\n");
        Write("trojans.txt", "31337\tBack Orifice\n");
        frmMain::Options o;
        o.portDir = dir.path();
        o.message = [this](const QString& text) { messages << text; };
        w = std::make_unique<frmMain>(o);
        w->resize(746, 459);
        w->show();
    }

    void TearDown() override
    {
        w.reset();
        test::FlushDeletes();
    }

    void Write(const char* name, const char* text)
    {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    void Receive(const char* src, const char* dest, std::uint16_t srcPort = 4000, std::uint16_t destPort = 80,
                 const std::string& payload = "hello")
    {
        w->ReceiveDatagrams({Ipv4Udp(src, dest, srcPort, destPort, payload)}, 1'700'000'000'000'000);
    }

    int Rows() { return w->lv()->model()->rowCount(); }
    QString Cell(int row, int column) { return w->lv()->model()->index(row, column).data().toString(); }

    QTemporaryDir dir;
    QStringList messages;
    std::unique_ptr<frmMain> w;
};

}  // namespace

TEST_F(MainInspect, FilterMadeDuringACaptureAppliesToEarlierPacketsWhenItsTabIsClicked)
{
    Receive(kA, kB);
    Receive(kC, kB);
    Receive(kA, kC);

    w->Button(5)->trigger();
    QWidget* dlg = OpenWindow("frmFiltro");
    ASSERT_NE(dlg, nullptr);
    Control<QLineEdit>(dlg, "txtNombre")->setText("from A");
    Control<QCheckBox>(dlg, "chkFiltroE")->click();
    Control<QLineEdit>(dlg, "txtSrcAddr")->setText(kA);
    Control<QPushButton>(dlg, "Command1")->click();
    test::FlushDeletes();
    EXPECT_EQ(OpenWindow("frmFiltro"), nullptr);
    EXPECT_TRUE(messages.isEmpty());

    // The tab is appended but neither selected nor shown yet.
    QTabBar* ts2 = w->ts2();
    ASSERT_EQ(ts2->count(), 5);
    EXPECT_EQ(ts2->tabText(4), "from A");
    EXPECT_EQ(ts2->currentIndex(), 0);
    EXPECT_EQ(Rows(), 3);
    ASSERT_NE(w->Views().dFiltro.find("from A"), nullptr);

    Receive(kA, kB, 4001);
    EXPECT_EQ(Rows(), 4);

    ts2->setCurrentIndex(4);
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Cell(0, kColDestAddr), kB);
    EXPECT_EQ(Cell(1, kColDestAddr), kC);
    EXPECT_EQ(Cell(2, kColSrcPort), "4001");
    Receive(kC, kA);
    Receive(kA, kA);
    EXPECT_EQ(Rows(), 4);

    // The same name again is refused through the main window's message.
    w->Button(5)->trigger();
    dlg = OpenWindow("frmFiltro");
    ASSERT_NE(dlg, nullptr);
    Control<QLineEdit>(dlg, "txtNombre")->setText("from A");
    Control<QPushButton>(dlg, "Command1")->click();
    EXPECT_EQ(messages, QStringList{"Filter Name already exists!"});
    EXPECT_EQ(ts2->count(), 5);
    EXPECT_EQ(OpenWindow("frmFiltro"), dlg);
}

TEST_F(MainInspect, PreferencesNameNewRowsButTheInfoWindowLooksUpNumbers)
{
    Receive(kA, kB);
    w->Button(6)->trigger();
    QWidget* dlg = OpenWindow("frmConfig");
    ASSERT_NE(dlg, nullptr);
    Control<QCheckBox>(dlg, "chkports")->click();
    Control<QRadioButton>(dlg, "Option2")->click();
    Control<QPushButton>(dlg, "Command1")->click();
    test::FlushDeletes();
    EXPECT_EQ(OpenWindow("frmConfig"), nullptr);
    EXPECT_TRUE(w->Views().Prefs().bPorts);
    EXPECT_EQ(w->Views().Prefs().Prefs, kPredefs);

    Receive(kA, kB);
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(0, kColDestPort), "80");  // made before
    EXPECT_EQ(Cell(1, kColDestPort), "web");

    // The newest row is the selected one.
    w->lv()->setCurrentIndex(w->lv()->model()->index(1, 0));
    emit w->lv()->doubleClicked(w->lv()->model()->index(1, 0));
    QWidget* info = OpenWindow("frmInfo");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(Control<QLabel>(info, "Label1")->text(), "   4000\r\n"
                                                        " [IANA]: \r\n"
                                                        " [PREDEF]: \r\n"
                                                        " [TROJAN]: \r\n"
                                                        "   80\r\n"
                                                        " [IANA]: http     World Wide Web HTTP\r\n"
                                                        " [PREDEF]: web\r\n"
                                                        " [TROJAN]: ");
    Control<QPushButton>(info, "Command1")->click();
    test::FlushDeletes();
    EXPECT_EQ(OpenWindow("frmInfo"), nullptr);

    // An empty list has no selected row: a double-click does nothing.
    w->Button(4)->trigger();
    ASSERT_EQ(Rows(), 0);
    emit w->lv()->doubleClicked(QModelIndex());
    EXPECT_EQ(OpenWindow("frmInfo"), nullptr);
}

TEST_F(MainInspect, RowClickDumpsWithTheLineLengthOfText1AtThatMoment)
{
    std::string payload(100, 'x');
    payload[0] = '\x01';
    Receive(kA, kB, 4000, 80, payload);
    const QModelIndex row = w->lv()->model()->index(0, 3);

    for (int width : {746, 500}) {
        w->resize(width, 459);
        QApplication::processEvents();
        const int n = BytesPerLine(static_cast<float>(w->Text1()->width() * 15));
        ASSERT_GE(n, 1);
        emit w->lv()->clicked(row);
        const QStringList lines = BoxText(w->Text1()).split('\n');
        ASSERT_EQ(lines.size(), (100 + n - 1) / n + 1) << "width " << width << " n " << n;
        EXPECT_EQ(lines[0].indexOf(" | "), 1 + 3 * n);
        EXPECT_TRUE(lines[0].startsWith("  01 78"));
        EXPECT_EQ(BoxText(w->txtData()), "." + QString(99, 'x'));
    }
}

TEST_F(MainInspect, SecondaryWindowsGoWithTheMainWindow)
{
    w->Button(5)->trigger();
    w->Button(6)->trigger();
    Receive(kA, kB);
    w->lv()->setCurrentIndex(w->lv()->model()->index(0, 0));
    emit w->lv()->doubleClicked(w->lv()->model()->index(0, 0));
    QPointer<QWidget> filter = OpenWindow("frmFiltro");
    QPointer<QWidget> config = OpenWindow("frmConfig");
    QPointer<QWidget> info = OpenWindow("frmInfo");
    ASSERT_TRUE(filter && config && info);
    w.reset();
    test::FlushDeletes();
    // Their handlers worked on the main window's state: none may outlive it.
    EXPECT_FALSE(filter);
    EXPECT_FALSE(config);
    EXPECT_FALSE(info);
}
