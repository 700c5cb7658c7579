// The whole window in English on request: no Chinese text is left in any
// window, menu, tab, column, tool tip or message box.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTreeView>

#include "inspect/WidgetHelpers.h"
#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/frmMain.h"

using namespace quillet;

namespace {

bool HasCjk(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u >= 0x3000 && u <= 0x303F) || (u >= 0x3400 && u <= 0x9FFF) || (u >= 0xFF00 && u <= 0xFFEF))
            return true;
    }
    return false;
}

QWidget* OpenWindow(const char* name)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String(name) && top->isVisible())
            return top;
    return nullptr;
}

// Every text a person can see in a window and its children, named by where it is.
QStringList VisibleTexts(QWidget* window)
{
    QStringList texts;
    auto add = [&texts](const QObject* o, const QString& what, const QString& text) {
        texts << o->objectName() + QLatin1Char('.') + what + QStringLiteral(": ") + text;
    };
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* w : widgets) {
        add(w, "title", w->windowTitle());
        add(w, "tip", w->toolTip());
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            add(w, "text", b->text());
        if (auto* l = qobject_cast<QLabel*>(w))
            add(w, "text", l->text());
        if (auto* g = qobject_cast<QGroupBox*>(w))
            add(w, "title", g->title());
        if (auto* t = qobject_cast<QTabBar*>(w))
            for (int i = 0; i < t->count(); ++i)
                add(w, "tab", t->tabText(i) + t->tabToolTip(i));
        if (auto* v = qobject_cast<QAbstractItemView*>(w); v && v->model()) {
            QAbstractItemModel* m = v->model();
            for (int c = 0; c < m->columnCount(); ++c)
                add(w, "column", m->headerData(c, Qt::Horizontal).toString());
            for (int r = 0; r < m->rowCount(); ++r)
                add(w, "row", m->index(r, 0).data().toString());
        }
    }
    for (QAction* a : window->findChildren<QAction*>())
        add(a, "action", a->text() + a->toolTip());
    return texts;
}

void ExpectEnglish(const QStringList& texts)
{
    for (const QString& t : texts)
        EXPECT_FALSE(HasCjk(t)) << t.toStdString();
}

}  // namespace

TEST(Language, EnglishOnRequestLeavesNoChineseTextAndTheDefaultKeepsTheDesignedOnes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    test::WriteEmptyPortFiles(dir.path());
    test::FakeOpener fake;
    frmMain::Options o;
    o.portDir = dir.path();
    o.openCapture = fake.opener();
    o.captureDir = dir.path();
    // The state panel says the most it can: owners by look-up, events lost.
    fake.state->owners = OwnersTold::LookUpOnly;
    fake.state->ownerEventsLost = 3;

    ASSERT_TRUE(UseLanguage(QStringLiteral("en")));
    {
        frmMain w(o);
        w.Combo1()->addItem(QStringLiteral("10.9.0.1"));
        w.show();
        w.StartCapture();
        w.ReceiveDatagrams({test::Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 80, "hi")}, 1'700'000'000'000'000);
        QElapsedTimer waited;  // the status panels are set twice a second
        waited.start();
        while (waited.elapsed() < 700)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const QStringList capturing = VisibleTexts(&w);
        EXPECT_TRUE(w.stBState()->text().endsWith("; 3 owner events of the kernel lost (its buffer was full), programs of "
                                                  "those sockets are found by look-up"))
            << w.stBState()->text().toStdString();
        w.StopCapture();
        ExpectEnglish(capturing + VisibleTexts(&w));
        EXPECT_EQ(w.Button(1)->toolTip(), "Start");
        EXPECT_EQ(w.ts2()->tabText(0), "All");

        w.Button(5)->trigger();
        w.Button(6)->trigger();
        emit w.lv()->doubleClicked(w.lv()->model()->index(0, 0));
        w.ShowTotals();
        for (const char* name : {"frmFiltro", "frmConfig", "frmInfo", "frmTotals"}) {
            QWidget* window = OpenWindow(name);
            ASSERT_NE(window, nullptr) << name;
            ExpectEnglish(VisibleTexts(window));
        }

        // A message box: its title, text and buttons.
        test::SeenMessageBox seen;
        test::AnswerNextMessageBox(seen);
        w.OpenAndTell(dir.filePath("missing.pcapng"));
        ASSERT_TRUE(seen.seen);
        ExpectEnglish({seen.title, seen.text});
    }
    test::FlushDeletes();

    // Back to the design's texts: Chinese tool tips and tabs.
    ASSERT_TRUE(UseLanguage(QString()));
    frmMain w(o);
    EXPECT_EQ(w.Button(1)->toolTip(), QString::fromUtf8("开始"));
    EXPECT_EQ(w.ts2()->tabText(0), QString::fromUtf8("全部"));
    EXPECT_TRUE(HasCjk(w.findChild<QAction*>("actOpenFile")->text()));
}
