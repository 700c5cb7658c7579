// Stores and shows a million packets through the real list, tree and tab
// widgets (offscreen), then rebuilds the views for every built-in tab and for
// a filter tab, then applies display filters. Prints packets per second,
// the longest a burst took to store, rebuild times, the resident memory
// each stored and shown packet costs beyond its payload, and for each
// display filter the time to its rows, to the host tree complete, and the
// longest the event loop was held.
//
// Usage: bench_views [packets] [burst]   (defaults 1000000 and 4096)
// BENCH_PAYLOAD sets the payload size (default 64 bytes). Whole datagrams go
// through the receive path's store (decoded, appended to the working capture
// file under CaptureSpool::DefaultDirectory()); BENCH_MEMORY=1 keeps payloads
// in memory instead, as decoded texts. BENCH_FAMILY=6 makes the traffic IPv6
// (ICMPv6 for ICMP). BENCH_FLOWS=N draws each TCP or UDP packet from N
// conversations instead of nearly every packet opening a new one.
// BENCH_KEEP=PATH copies the working file to PATH (a new file) at the end.
// BENCH_CONVERSATIONS=0 stores the packets without numbering their
// conversations, to compare what numbering them costs. BENCH_STORE_ONLY=1
// ends after storing, for a profile of the receive path alone.
// BENCH_NOAHEAD=1 stores each datagram without fetching ahead for the next.

#include <arpa/inet.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QAbstractItemView>
#include <QTabBar>
#include <QTreeView>
#include <QWidget>

#include "core/CaptureFile.h"
#include "filters/DisplayFilter.h"
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

// CPU time of the whole process (every thread), in seconds.
double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU time of the calling thread, in seconds: what storing costs the
// receive thread, less moved by other work on a busy machine than its rate.
double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv)
{
    const long packets = argc > 1 ? std::atol(argv[1]) : 1000000;
    const bool noFollow = std::getenv("BENCH_NOFOLLOW") != nullptr;
    const int burst = argc > 2 ? std::atoi(argv[2]) : 4096;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    const char* familyEnv = std::getenv("BENCH_FAMILY");
    const bool v6 = familyEnv != nullptr && std::strcmp(familyEnv, "6") == 0;
    const std::string locals[2] = {v6 ? "fd77::1" : "10.77.0.1", v6 ? "fd77::2" : "10.77.0.2"};
    PacketViews views;
    views.SetLocalAddrs({locals[0], locals[1]});
    const auto problems = LoadPortFiles(QCoreApplication::applicationDirPath().toStdString(), views.Ports());
    views.Prefs().bPorts = true;
    views.bNoFollow = noFollow;  // names from the IANA list, as a user would show them
    const char* conversationsEnv = std::getenv("BENCH_CONVERSATIONS");
    const bool conversations = conversationsEnv == nullptr || std::strcmp(conversationsEnv, "0") != 0;
    views.CountConversations(conversations);

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
        hosts.push_back(v6 ? "2001:db8:" + std::to_string(16 + i / 250) + "::" + std::to_string(1 + i % 250)
                           : "172." + std::to_string(16 + i / 250) + "." + std::to_string(i % 250) + "." +
                                 std::to_string(1 + i % 200));
    std::vector<std::string> ports;
    for (int i = 0; i < 3000; ++i)
        ports.push_back(std::to_string(i < 100 ? i * 11 + 1 : 1024 + i * 17));
    const char* payloadEnv = std::getenv("BENCH_PAYLOAD");  // payload bytes, 64 unless set
    const std::string payload(payloadEnv ? std::strtoul(payloadEnv, nullptr, 10) : 64, 'x');
    const char* flowsEnv = std::getenv("BENCH_FLOWS");
    const long flows = flowsEnv ? std::atol(flowsEnv) : 0;
    const char* protocols[3] = {"TCP", "UDP", v6 ? "ICMPv6" : "ICMP"};

    const bool inMemory = std::getenv("BENCH_MEMORY") != nullptr;
    if (!inMemory && !views.OpenSpool(std::string())) {
        std::fprintf(stderr, "no working capture file: %s\n", views.DatagramError().c_str());
        return 1;
    }
    // The same traffic as whole IP datagrams.
    auto makeBytes = [&](long n, std::vector<std::uint8_t>& bytes) {
        const long flow = flows > 0 ? static_cast<long>(rng() % static_cast<unsigned long>(flows)) : -1;
        const std::string& remote = hosts[flow >= 0 ? flow % 500 : rng() % hosts.size()];
        const std::string& local = locals[flow >= 0 ? flow & 1 : n & 1];
        const bool sent = (rng() & 3) == 0;
        const int kind = static_cast<int>(n % 3);  // TCP, UDP, ICMP
        const std::size_t th = kind == 0 ? 20 : kind == 1 ? 8 : 0;
        const std::size_t ih = v6 ? 40 : 20;
        const std::size_t total = ih + th + payload.size();
        bytes.assign(total, 0);
        const auto protocol = static_cast<std::uint8_t>(kind == 0 ? 6 : kind == 1 ? 17 : v6 ? 58 : 1);
        if (v6) {
            bytes[0] = 0x60;
            bytes[4] = static_cast<std::uint8_t>((total - ih) >> 8);
            bytes[5] = static_cast<std::uint8_t>(total - ih);
            bytes[6] = protocol;
            inet_pton(AF_INET6, (sent ? local : remote).c_str(), &bytes[8]);
            inet_pton(AF_INET6, (sent ? remote : local).c_str(), &bytes[24]);
        } else {
            bytes[0] = 0x45;
            bytes[2] = static_cast<std::uint8_t>(total >> 8);
            bytes[3] = static_cast<std::uint8_t>(total);
            bytes[9] = protocol;
            inet_pton(AF_INET, (sent ? local : remote).c_str(), &bytes[12]);
            inet_pton(AF_INET, (sent ? remote : local).c_str(), &bytes[16]);
        }
        if (th) {
            const int sp = std::atoi(ports[flow >= 0 ? (flow / 2) % 3000 : rng() % ports.size()].c_str());
            const int dp = std::atoi(ports[flow >= 0 ? (flow / 7) % 40 : rng() % 40].c_str());
            bytes[ih] = static_cast<std::uint8_t>(sp >> 8), bytes[ih + 1] = static_cast<std::uint8_t>(sp);
            bytes[ih + 2] = static_cast<std::uint8_t>(dp >> 8), bytes[ih + 3] = static_cast<std::uint8_t>(dp);
            if (kind == 0)
                bytes[ih + 12] = 5 << 4;
        }
        std::memcpy(&bytes[ih + th], payload.data(), payload.size());
    };

    auto makeDatagram = [&](long n) {
        DecodedDatagram d;
        const long flow = flows > 0 ? static_cast<long>(rng() % static_cast<unsigned long>(flows)) : -1;
        const std::string& remote = hosts[flow >= 0 ? flow % 500 : rng() % hosts.size()];
        const std::string& local = locals[flow >= 0 ? flow & 1 : n & 1];
        const bool sent = (rng() & 3) == 0;
        d.protocol = protocols[n % 3];
        d.srcAddr.assign(sent ? local : remote);
        d.destAddr.assign(sent ? remote : local);
        if (n % 3 != 2) {
            d.srcPort.assign(ports[flow >= 0 ? (flow / 2) % 3000 : rng() % ports.size()]);
            d.destPort.assign(ports[flow >= 0 ? (flow / 7) % 40 : rng() % 40]);
        }
        d.data = payload;
        d.size = static_cast<std::int32_t>(payload.size());
        return d;
    };

    // BENCH_NOAHEAD=1: each datagram decoded and stored alone, nothing
    // fetched for the next.
    const bool ahead = std::getenv("BENCH_NOAHEAD") == nullptr;
    std::vector<std::uint8_t> ring[2];
    std::optional<DecodedDatagram> decodedRing[2];
    bool decodedAhead = false;  // decodedRing holds the next datagram already
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
    double storing = 0, storingCpu = 0, ending = 0, events = 0;
    double longestBurst = 0;  // the longest a burst took to store: a pause of the receive path
    // Ending a burst and handling its events (follow, insertion, painting),
    // per burst, over the first and the last tenth: flat when the view's
    // per-burst cost does not grow with its rows.
    double firstTenthBurst = 0, lastTenthBurst = 0;
    long firstTenthBursts = 0, lastTenthBursts = 0;
    for (long n = 0; n < packets;) {
        auto t = Clock::now();
        const double cpu = ThreadCpuSeconds();
        for (int i = 0; i < burst && n < packets; ++i, ++n) {
            if (inMemory) {
                views.StorePacket(makeDatagram(n), t0us + n * 2);
            } else {
                // As the receive path: once the tables outgrow the cache,
                // the next datagram is decoded, and what storing it reads
                // fetched, while this one is stored.
                const auto now = static_cast<std::size_t>(n & 1);
                if (!decodedAhead) {
                    makeBytes(n, ring[now]);
                    decodedRing[now] = DecodeDatagram(ring[now], false);
                }
                decodedAhead = ahead && n + 1 < packets && views.GainsFromAhead();
                if (decodedAhead) {
                    makeBytes(n + 1, ring[now ^ 1]);
                    decodedRing[now ^ 1] = DecodeDatagram(ring[now ^ 1], false);
                    views.StoreAhead(*decodedRing[now ^ 1]);
                }
                views.StorePacket(*decodedRing[now], ring[now], t0us + n * 2);
            }
        }
        const double stored = Seconds(t);
        storing += stored;
        longestBurst = std::max(longestBurst, stored);
        storingCpu += ThreadCpuSeconds() - cpu;
        t = Clock::now();
        widgets.EndBurst();
        const double ended = Seconds(t);
        ending += ended;
        t = Clock::now();
        QApplication::processEvents();
        const double painted = Seconds(t);
        events += painted;
        const double handled = ended + painted;
        if (n <= tenth) {
            firstTenthBurst += handled;
            ++firstTenthBursts;
        } else if (n > packets - tenth) {
            lastTenthBurst += handled;
            ++lastTenthBursts;
        }
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
    std::printf("storing %.0f packets/s, %.0f packets per second of the storing thread's cpu\n", packets / storing,
                packets / storingCpu);
    std::printf("longest burst stored in %.1f ms\n", 1000 * longestBurst);
    std::printf("first tenth %.0f packets/s, last tenth %.0f packets/s\n", firstRate, lastRate);
    std::printf("ending a burst and its events: %.3f ms in the first tenth, %.3f ms in the last tenth\n",
                firstTenthBursts ? 1000 * firstTenthBurst / firstTenthBursts : 0.0,
                lastTenthBursts ? 1000 * lastTenthBurst / lastTenthBursts : 0.0);
    std::printf("payloads %s\n", inMemory ? "in memory" : "in the working capture file");
    const std::size_t numbered = views.Conversations().size();
    std::printf("conversations %s: %zu\n", conversations ? "numbered" : "not numbered", numbered);
    if (const CaptureSpool* spool = views.Spool()) {
        const CaptureSpool::Waits waits = spool->waits();
        std::printf("storing waited for the disk %llu times, %.3f s in all\n",
                    static_cast<unsigned long long>(waits.count), static_cast<double>(waits.nanoseconds) / 1e9);
    }
    // Payload bytes count as resident only when they are kept in memory.
    const double heldPayload = inMemory ? double(payload.size()) : 0.0;
    std::printf("resident: %.1f MiB more, %.1f bytes per packet, %.1f beyond its %.0f payload bytes in memory\n",
                (rssAfter - rssBefore) / 1048576.0, double(rssAfter - rssBefore) / packets,
                double(rssAfter - rssBefore) / packets - heldPayload, heldPayload);
    if (std::getenv("BENCH_STORE_ONLY") != nullptr)
        return 0;  // storing alone, as a profiler sees it

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
        views.Presenter().Finish();  // rows and tree complete, as the rebuild was timed before
        const double rebuild = Seconds(t);
        const auto p = Clock::now();
        QApplication::processEvents();
        std::printf("rebuild tab %d (%s): %lld rows in %.3f s, then %.3f s to paint\n", tab,
                    qPrintable(views.TabAt(tab).caption), static_cast<long long>(views.ListModel().rowCount()),
                    rebuild, Seconds(p));
    }
    std::printf("resident after rebuilds: %.1f bytes per packet, %.1f beyond payload in memory\n",
                double(ResidentBytes() - rssBefore) / packets,
                double(ResidentBytes() - rssBefore) / packets - heldPayload);

    // Display filters on tab 1: from applying to the rows shown and to the
    // host tree complete, serving the event loop as the window does, and the
    // longest the event loop was held on the way.
    widgets.ts2()->setCurrentIndex(0);
    views.Presenter().Finish();
    QApplication::processEvents();
    const std::string filters[] = {
        "ip.src == " + locals[0],
        v6 ? "ipv6.addr == 2001:db8:10::/48 and tcp" : "ip.addr == 172.16.0.0/16 and tcp",
        "udp.dstport in {1..100}",
        "len > 100 or sent",
        "not icmp and port != 12",
        "host == nothing.example",
        "program == \"nothing\"",
        "payload contains \"needle\"",
        "payload contains \"needle\"",  // again: the file's bytes in the page cache now
        "payload matches \"NEEDLE\"",
        "payload matches \"ne+dle\"",
        "payload matches \"[a-z]{30}\"",  // no text every match holds: the expression on every payload
    };
    for (const std::string& text : filters) {
        DisplayFilterError error;
        auto filter = DisplayFilter::Compile(QString::fromStdString(text), &error);
        if (!filter) {
            std::printf("filter %s: %s\n", text.c_str(), qPrintable(error.message));
            continue;
        }
        const auto t = Clock::now();
        const double cpu = CpuSeconds();
        double rowsCpu = -1;
        views.ApplyDisplayFilter(filter);
        const double applying = Seconds(t);
        double held = 0;
        double rowsAt = views.Presenter().RowsDone() ? applying : -1;
        while (views.Presenter().Busy()) {
            const auto e = Clock::now();
            QApplication::processEvents();
            held = std::max(held, Seconds(e));
            if (rowsAt < 0 && views.Presenter().RowsDone()) {
                rowsAt = Seconds(t);
                rowsCpu = CpuSeconds() - cpu;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));  // the window's idle time
        }
        const double complete = Seconds(t);
        const double completeCpu = CpuSeconds() - cpu;
        std::printf("filter %-40s %9lld rows: shown in %.3f s (cpu %.3f s), tree complete in %.3f s (cpu %.3f s), "
                    "applying held the event loop %.1f ms, a turn after it at most %.1f ms\n",
                    text.c_str(), static_cast<long long>(views.ListModel().rowCount()), rowsAt < 0 ? complete : rowsAt,
                    rowsCpu < 0 ? completeCpu : rowsCpu, complete, completeCpu, 1000 * applying, 1000 * held);
        if (filter->UsesPayload() && views.Spool())
            std::printf("  the working file's %.3f GB read at %.2f GB/s\n", double(views.Spool()->size()) / 1e9,
                        double(views.Spool()->size()) / 1e9 / (rowsAt < 0 ? complete : rowsAt));
    }
    // BENCH_KEEP=PATH: a copy of the working file there (a new file), for
    // other tools to read the same packets.
    if (const char* keep = std::getenv("BENCH_KEEP"); keep != nullptr && views.Spool() && views.Spool()->Flush()) {
        const int in = open((views.Spool()->directory() + "/" + CaptureSpool::kFileName).c_str(), O_RDONLY);
        const int out = open(keep, O_WRONLY | O_CREAT | O_EXCL, 0600);
        off_t left = in >= 0 && out >= 0 ? lseek(in, 0, SEEK_END) : -1;
        for (lseek(in, 0, SEEK_SET); left > 0;) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<std::size_t>(left), 0);
            if (n <= 0)
                break;
            left -= n;
        }
        std::printf("working file %s to %s\n", left == 0 ? "copied" : "not copied", keep);
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
    }
    return 0;
}
