// Stores and shows a million packets through the real list, tree and tab
// widgets (offscreen), then rebuilds the views for every built-in tab and for
// a filter tab. Prints packets per second, rebuild times and the resident
// memory each stored and shown packet costs beyond its payload.
//
// Usage: bench_views [packets] [burst]   (defaults 1000000 and 4096)
// BENCH_PAYLOAD sets the payload size (default 64 bytes).

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <QApplication>
#include <QAbstractItemView>
#include <QTabBar>
#include <QTreeView>
#include <QWidget>

#include "views/PacketViewWidgets.h"
#include "views/PacketViews.h"

using namespace quillet;
using Clock = std::chrono::steady_clock;

namespace {

long ResidentBytes()
{
    long size = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const long packets = argc > 1 ? std::atol(argv[1]) : 1000000;
    const bool noFollow = std::getenv("BENCH_NOFOLLOW") != nullptr;
    const int burst = argc > 2 ? std::atoi(argv[2]) : 4096;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    PacketViews views;
    views.SetLocalAddrs({"10.77.0.1", "10.77.0.2"});
    const auto problems = LoadPortFiles(QCoreApplication::applicationDirPath().toStdString(), views.Ports());
    views.Prefs().bPorts = true;
    views.bNoFollow = noFollow;  // names from the IANA list, as a user would show them

    QWidget window;
    window.resize(1000, 700);
    PacketViewWidgets widgets(views, &window, &window, &window, &window);
    widgets.lv()->setGeometry(0, 0, 1000, 400);
    widgets.tv()->setGeometry(0, 430, 1000, 270);
    widgets.ts2()->setGeometry(0, 400, 1000, 25);
    window.show();
    QApplication::processEvents();

    // Mixed traffic: 500 remote hosts, two local ones, 3000 ports.
    std::mt19937 rng(7);
    std::vector<std::string> hosts;
    for (int i = 0; i < 500; ++i)
        hosts.push_back("172." + std::to_string(16 + i / 250) + "." + std::to_string(i % 250) + "." +
                        std::to_string(1 + i % 200));
    const std::string locals[2] = {"10.77.0.1", "10.77.0.2"};
    std::vector<std::string> ports;
    for (int i = 0; i < 3000; ++i)
        ports.push_back(std::to_string(i < 100 ? i * 11 + 1 : 1024 + i * 17));
    const char* payloadEnv = std::getenv("BENCH_PAYLOAD");  // payload bytes, 64 unless set
    const std::string payload(payloadEnv ? std::strtoul(payloadEnv, nullptr, 10) : 64, 'x');
    const char* protocols[3] = {"TCP", "UDP", "ICMP"};

    auto makeDatagram = [&](long n) {
        DecodedDatagram d;
        const std::string& remote = hosts[rng() % hosts.size()];
        const std::string& local = locals[n & 1];
        const bool sent = (rng() & 3) == 0;
        d.protocol = protocols[n % 3];
        d.srcAddr.assign(sent ? local : remote);
        d.destAddr.assign(sent ? remote : local);
        if (n % 3 != 2) {
            d.srcPort.assign(ports[rng() % ports.size()]);
            d.destPort.assign(ports[rng() % 40]);
        }
        d.data = payload;
        d.size = static_cast<std::int32_t>(payload.size());
        return d;
    };

    const long rssBefore = ResidentBytes();
    const std::int64_t t0us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    // Rates over the first and the last tenth show whether appending slows
    // down as the list grows.
    const long tenth = std::max(1L, packets / 10);
    double firstRate = 0;
    long lastFrom = 0;
    auto lastStart = Clock::now();
    const auto start = Clock::now();
    double storing = 0, ending = 0, events = 0;
    for (long n = 0; n < packets;) {
        auto t = Clock::now();
        for (int i = 0; i < burst && n < packets; ++i, ++n)
            views.StorePacket(makeDatagram(n), t0us + n * 2);
        storing += Seconds(t);
        t = Clock::now();
        widgets.EndBurst();
        ending += Seconds(t);
        t = Clock::now();
        QApplication::processEvents();
        events += Seconds(t);
        if (firstRate == 0 && n >= tenth)
            firstRate = n / Seconds(start);
        if (n <= packets - tenth) {
            lastFrom = n;
            lastStart = Clock::now();
        }
    }
    const double lastRate = (packets - lastFrom) / Seconds(lastStart);
    const double storeSeconds = Seconds(start);
    const long rssAfter = ResidentBytes();

    std::printf("port file problems: %zu\n", problems.size());
    std::printf("stored and shown: %ld packets (%lld rows, %zu tree nodes) in %.3f s: %.0f packets/s (burst %d)\n",
                packets, static_cast<long long>(views.ListModel().rowCount()), views.TreeModel().nodeCount(),
                storeSeconds, packets / storeSeconds, burst);
    std::printf("of which storing %.3f s, ending bursts %.3f s, event handling and painting %.3f s\n", storing,
                ending, events);
    std::printf("first tenth %.0f packets/s, last tenth %.0f packets/s\n", firstRate, lastRate);
    std::printf("resident: %.1f MiB more, %.1f bytes per packet, %.1f beyond its %zu payload bytes\n",
                (rssAfter - rssBefore) / 1048576.0, double(rssAfter - rssBefore) / packets,
                double(rssAfter - rssBefore) / packets - double(payload.size()), payload.size());

    auto filter = std::make_shared<cFilter>();
    filter->bSrc = true;
    filter->Src = locals[0];
    filter->bDest = true;
    filter->Dest = hosts[3];
    widgets.AppendFilterTab("bench");
    views.dFiltro.assign("bench", filter);

    for (int tab = 1; tab <= views.TabCount(); ++tab) {
        const auto t = Clock::now();
        if (widgets.ts2()->currentIndex() == tab - 1)
            widgets.ts2_Click();  // a click on the selected tab
        else
            widgets.ts2()->setCurrentIndex(tab - 1);  // ts2_Click: rebuild and follow
        const double rebuild = Seconds(t);
        const auto p = Clock::now();
        QApplication::processEvents();
        std::printf("rebuild tab %d (%s): %lld rows in %.3f s, then %.3f s to paint\n", tab,
                    qPrintable(views.TabAt(tab).caption), static_cast<long long>(views.ListModel().rowCount()),
                    rebuild, Seconds(p));
    }
    std::printf("resident after rebuilds: %.1f bytes per packet, %.1f beyond payload\n",
                double(ResidentBytes() - rssBefore) / packets,
                double(ResidentBytes() - rssBefore) / packets - double(payload.size()));
    return 0;
}
