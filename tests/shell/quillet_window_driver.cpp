// The main window driven line by line, for tests that run it as another user
// (no access to the test's memory): it starts a capture on the address given
// as its argument, then answers each command read from stdin with one line:
//   "state"  open=<capture open> start=<button 1 enabled> messages=<count> last=<last message>
//   "rows"   rows=<count> then each UDP row as src:port>dst:port
//   "probe"  what a packet-socket probe loaded into it (LD_PRELOAD) says
//   "panel"  the status bar's state panel
//   "programs" each UDP row as dst-port=program, each TCP row as tcpdst-port=program
// Port files are read from its own directory.
#include <dlfcn.h>

#include <iostream>
#include <string>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QSocketNotifier>

#include "shell/frmMain.h"
#include "views/ListRoles.h"

using namespace quillet;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2)
        return 2;
    QStringList messages;
    frmMain::Options o;
    o.portDir = QCoreApplication::applicationDirPath();
    o.message = [&messages](const QString& text) { messages << text; };
    frmMain w(o);
    w.show();
    w.Combo1()->setCurrentIndex(w.Combo1()->findText(QString::fromLocal8Bit(argv[1])));
    w.Button(1)->trigger();

    QSocketNotifier in(0, QSocketNotifier::Read);
    QObject::connect(&in, &QSocketNotifier::activated, [&] {
        std::string command;
        if (!std::getline(std::cin, command)) {
            QApplication::quit();
            return;
        }
        std::string answer = command + ":";
        if (command == "state") {
            QString last = messages.isEmpty() ? QString() : messages.back();
            last.replace(QLatin1Char('\n'), QLatin1Char('|'));
            answer += " open=" + std::to_string(w.CaptureOpen()) + " start=" + std::to_string(w.Button(1)->isEnabled())
                      + " messages=" + std::to_string(messages.size()) + " last=" + last.toStdString();
        } else if (command == "rows") {
            QAbstractItemModel* m = w.lv()->model();
            answer += " rows=" + std::to_string(m->rowCount());
            for (int r = 0; r < m->rowCount(); ++r) {
                auto cell = [&](int c) { return m->index(r, c).data().toString().toStdString(); };
                if (cell(kColProtocol) == "UDP")
                    answer += " " + cell(kColSrcAddr) + ":" + cell(kColSrcPort) + ">" + cell(kColDestAddr) + ":"
                              + cell(kColDestPort);
            }
        } else if (command == "panel") {
            answer += " " + w.stBState()->text().toStdString();
        } else if (command == "programs") {
            QAbstractItemModel* m = w.lv()->model();
            for (int r = 0; r < m->rowCount(); ++r)
                if (const QString protocol = m->index(r, kColProtocol).data().toString();
                    protocol == "UDP" || protocol == "TCP")
                    answer += std::string(protocol == "TCP" ? " tcp" : " ")
                              + m->index(r, kColDestPort).data().toString().toStdString() + "="
                              + w.ProgramOfRow(r).toStdString();
        } else if (command == "probe") {
            auto* probe = reinterpret_cast<const char* (*)()>(dlsym(RTLD_DEFAULT, "quillet_probe_packet_socket"));
            answer += std::string(" ") + (probe != nullptr ? probe() : "no probe loaded");
        }
        std::cout << answer << std::endl;
    });
    return QApplication::exec();
}
