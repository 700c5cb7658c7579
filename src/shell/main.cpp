#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QCommandLineParser>
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

// The command line: quillet [--lang CODE] [--filter EXPR] [FILE].
void DefineOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QCoreApplication::translate("main", "Quillet 观察本机的 IPv4 和 IPv6 流量。"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("lang"),
                      QCoreApplication::translate("main", "界面语言（en 为英文；也可用 QUILLET_LANG）。"),
                      QStringLiteral("code")});
    parser.addOption({QStringLiteral("filter"),
                      QCoreApplication::translate("main", "启动时应用的显示过滤器。"),
                      QStringLiteral("expr")});
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QCoreApplication::translate("main", "启动后打开的捕获文件（pcapng 或 pcap）。"),
                                 QStringLiteral("[FILE]"));
}

// --help and --version print and end the program before any display is
// needed; an unknown option is told the same way.
void AnswerWithoutDisplay(int argc, char** argv)
{
    bool asked = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        asked |= a == "--help" || a == "-h" || a == "-?" || a == "--help-all" || a == "--version" || a == "-v";
    }
    if (!asked)
        return;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillet"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION));
    QStringList args = QCoreApplication::arguments();
    quillet::UseLanguage(quillet::LanguageAsked(args));
    QCommandLineParser parser;
    DefineOptions(parser);
    parser.process(QCoreApplication::arguments());  // prints and exits
}

}  // namespace

int main(int argc, char** argv)
{
    AnswerWithoutDisplay(argc, argv);
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
    QApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION));
    // --lang en or QUILLET_LANG=en: every text in English.
    QStringList args = QApplication::arguments();
    const QString language = quillet::LanguageAsked(args);
    if (!quillet::UseLanguage(language))
        std::fprintf(stderr, "Quillet has no texts in the language \"%s\"; it shows its own.\n",
                     language.toLocal8Bit().constData());
    QCommandLineParser parser;
    DefineOptions(parser);
    parser.process(args);  // the language is taken already
    quillet::frmMain window;  // port files from the executable's directory
    quillet::SignalClose signalClose(&window);  // SIGTERM, SIGINT, SIGHUP close it
    // quillet --filter EXPR: in force from the first row on; a text that is
    // no filter is told and left in the box, not applied.
    if (parser.isSet(QStringLiteral("filter"))) {
        const QString why = window.SetDisplayFilter(parser.value(QStringLiteral("filter")));
        if (!why.isEmpty())
            std::fprintf(stderr, "%s\n", why.toLocal8Bit().constData());
    }
    window.show();
    // quillet FILE: the capture file is read once the window is up.
    if (const QStringList files = parser.positionalArguments(); !files.isEmpty()) {
        const QString path = files.front();
        QTimer::singleShot(0, &window, [&window, path] { window.OpenAndTell(path); });
    }
    return app.exec();
}
