// Shows the main window on a real display and takes a screenshot of the
// screen (ImageMagick's import) after each step: start size, a resize, a drag
// of each splitter, the text tab. Usage:
//   xvfb-run -s "-screen 0 1280x800x24" layout_shots <output directory>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

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
    const int rc = QProcess::execute(QStringLiteral("import"), {"-window", "root", path});
    std::printf("%s %s\n", rc == 0 ? "wrote" : "FAILED", qPrintable(path));
    return rc == 0;
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
