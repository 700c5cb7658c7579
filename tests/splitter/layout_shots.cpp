// Shows the main window on a real display and takes a screenshot of the
// screen (ImageMagick's import) after each step: start size, a resize, a drag
// of each splitter, the text tab. Usage:
//   xvfb-run -s "-screen 0 1280x800x24" layout_shots <output directory>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QStatusBar>
#include <QToolBar>
#include <QComboBox>
#include <QAction>

#include <cstdio>

#include "shell/frmMain.h"
#include "splitter/TP_WinSplit.h"

using quillet::TP_WinSplit;
using quillet::frmMain;

namespace {

void Settle()
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 500)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
}

bool Shot(const QString& dir, const QString& name)
{
    Settle();
    const QString path = QDir(dir).filePath(name + QStringLiteral(".png"));
    bool ok = false;
    if (!QStandardPaths::findExecutable(QStringLiteral("import")).isEmpty()) {
        ok = QProcess::execute(QStringLiteral("import"), {"-window", "root", path}) == 0;
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        // Without ImageMagick: the whole screen as the display server has it.
        ok = screen->grabWindow(0).save(path);
    }
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

void Drag(frmMain& w, TP_WinSplit* s, int dx, int dy)
{
    QWidget* bar = s->senseBar();
    const QPoint from = bar->mapTo(&w, bar->rect().center());
    QWindow* win = w.windowHandle();
    QTest::mousePress(win, Qt::LeftButton, {}, from);
    QTest::mouseMove(win, from + QPoint(dx, dy));
    QTest::mouseRelease(win, Qt::LeftButton, {}, from + QPoint(dx, dy));
}

// The measured pixels of the toolbar, its buttons, the chooser and the panes.
void PrintToolBar(frmMain& w)
{
    auto rect = [](const QWidget* c) {
        const QRect r = c->geometry();
        return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    };
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("tB %s\n", qPrintable(rect(w.tB())));
    for (int i = 1; i <= 9; ++i)
        if (const QWidget* b = w.tB()->widgetForAction(w.Button(i)))
            std::printf("button %d %s\n", i, qPrintable(rect(b)));
    std::printf("Combo1 %s\n", qPrintable(rect(w.Combo1())));
    std::printf("sp %s\n", qPrintable(rect(w.findChild<QWidget*>("sp"))));
    std::printf("stB %s\n", qPrintable(rect(w.stB())));
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: layout_shots <output directory>\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    QTemporaryDir ports;
    frmMain::Options o;
    o.portDir = ports.path();
    o.message = [](const QString&) {};
    frmMain w(o);
    w.move(0, 0);
    w.show();
    Settle();
    PrintToolBar(w);
    bool ok = Shot(dir, QStringLiteral("1-start"));
    w.resize(620, 400);
    ok &= Shot(dir, QStringLiteral("2-resized"));
    Drag(w, w.findChild<TP_WinSplit*>("sp"), 0, 70);
    ok &= Shot(dir, QStringLiteral("3-sp-dragged"));
    Drag(w, w.findChild<TP_WinSplit*>("spBottom"), -150, 0);
    ok &= Shot(dir, QStringLiteral("4-spBottom-dragged"));
    w.ts()->setCurrentIndex(1);
    ok &= Shot(dir, QStringLiteral("5-text-tab"));
    return ok ? 0 : 1;
}
