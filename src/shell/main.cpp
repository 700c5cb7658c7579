#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QStringList>
#include <QTimer>

#include "shell/DisplayCheck.h"
#include "shell/SignalClose.h"
#include "shell/frmMain.h"

namespace {

bool HaveDisplay()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;  // the user chose the platform; Qt reports its own problems
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!HaveDisplay()) {
        std::fputs("Quillet is a desktop program and needs a display, but none is set (DISPLAY is empty).\n"
                   "Run it from a desktop session, or on a virtual display, for example:\n"
                   "    xvfb-run -s \"-screen 0 1280x800x24\" quillet\n",
                   stderr);
        return 1;
    }
    // The toolkit aborts when the display refuses it: say why instead.
    auto display = std::make_unique<quillet::DisplayHold>();
    if (const std::string why = display->Wait(std::chrono::seconds(3)); !why.empty()) {
        std::fputs(why.c_str(), stderr);
        return 1;
    }
    QApplication app(argc, argv);
    display.reset();  // the toolkit holds its own connection now
    QApplication::setApplicationName(QStringLiteral("Quillet"));
    // --lang en or QUILLET_LANG=en: every text in English.
    QStringList args = QApplication::arguments();
    const QString language = quillet::LanguageAsked(args);
    if (!quillet::UseLanguage(language))
        std::fprintf(stderr, "Quillet has no texts in the language \"%s\"; it shows its own.\n",
                     language.toLocal8Bit().constData());
    quillet::frmMain window;  // port files from the executable's directory
    quillet::SignalClose signalClose(&window);  // SIGTERM, SIGINT, SIGHUP close it
    window.show();
    // quillet FILE: the capture file is read once the window is up.
    if (args.size() > 1) {
        const QString path = args.at(1);
        QTimer::singleShot(0, &window, [&window, path] { window.OpenAndTell(path); });
    }
    return app.exec();
}
