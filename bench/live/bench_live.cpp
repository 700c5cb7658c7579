// Live capture through the real main window (offscreen) in network
// namespaces, with tcpdump capturing the same traffic as a peer.
//
// A sender in the peer namespace sends UDP datagrams (32-byte payloads unless
// --payload says otherwise) to the window's address at fixed rates, each for
// a fixed time; rate 0 sends as fast as the sender can. Per rate it prints
// what was sent, what reached the interface, what the window read and
// stored, what the kernel dropped for the window's capture, the window's
// longest event-loop stall, what tcpdump captured and what the kernel
// dropped for it, the share of the arrived datagrams each kept, the CPU
// time of the window's thread (and its share of the run's wall time), and
// the sender's CPU time per datagram (its own costs and the kernel's on the
// way out, whatever else keeps the machine busy).
//
// Per rate it also times opening the preferences dialog (toolbar button 6)
// once while the sender runs and once 300 ms after it stopped: from the
// click's event being queued to the event loop's return after the dialog
// was shown and painted.
//
// With --rows N each rate runs until the list holds N rows instead of for a
// fixed time, and every million rows a line gives the longest stall since
// the last such line: the stall must not grow with the rows in the list.
//
// With --stop RATE it measures instead how long button 3 and closing the
// window take while a sender keeps sending 1,400-byte datagrams at that rate
// (one the window cannot keep up with), and how many datagrams each read
// after it was asked to stop.
//
// With --family 6 the datagrams are UDP over IPv6 between the pair's IPv6
// addresses, and the window captures on its IPv6 address.
//
// After the rates, --once N starts N processes that each send one datagram
// and end at once, and says what share of their rows the window names with
// the process's own name and pid (100 unless told; 0 skips it).
//
// With --without-programs the capture program may not load its kernel
// programs (the rights to are dropped before it starts), so programs come
// from look-ups alone: run it in turns with a run without it to see what
// the kernel programs cost the sender.
//
// Needs root. Usage: bench_live [--seconds S | --rows N] [--payload BYTES] [--family 4|6] [--once N]
//                               [--without-programs] [rate ...]
//                    bench_live --stop RATE
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/capability.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include "UdpSender.h"
#include "core/CaptureFile.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::bench::UdpSender;
using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

constexpr std::uint16_t kPort = 9999;

// CPU time of the calling thread, in seconds.
double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A share in percent, or -1 when there is nothing to share.
double Percent(double part, double whole)
{
    return whole > 0 ? 100.0 * part / whole : -1;
}

// Packets received by an interface of this process's network namespace.
std::uint64_t RxPackets(const std::string& interface)
{
    std::ifstream in("/proc/self/net/dev");
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name != interface)
            continue;
        std::istringstream fields(line.substr(colon + 1));
        std::uint64_t bytes = 0, packets = 0;
        fields >> bytes >> packets;
        return packets;
    }
    return 0;
}

// --family 6: the traffic is IPv6.
bool gIPv6 = false;

// tcpdump on the local side of the veth pair, writing nothing.
class Tcpdump {
public:
    explicit Tcpdump(const char* interface)
    {
        char name[] = "/tmp/quillet-bench-tcpdump-XXXXXX";
        const int fd = mkstemp(name);
        log_ = name;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fd, 2);
            dup2(fd, 1);
            execlp("tcpdump", "tcpdump", "-i", interface, "-n", "-w", "/dev/null", gIPv6 ? "ip6" : "ip",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fd);
        // Wait until it listens.
        for (int i = 0; i < 300 && Log().find("listening on") == std::string::npos; ++i)
            usleep(10000);
    }

    // Stops it and reads its closing figures.
    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGINT);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        const std::string text = Log();
        unlink(log_.c_str());
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            unsigned long long n = 0;
            if (std::sscanf(line.c_str(), "%llu packets captured", &n) == 1 && line.find("captured") != std::string::npos)
                captured = n;
            else if (line.find("dropped by kernel") != std::string::npos && std::sscanf(line.c_str(), "%llu", &n) == 1)
                dropped = n;
            else if (line.find("received by filter") != std::string::npos && std::sscanf(line.c_str(), "%llu", &n) == 1)
                received = n;
        }
        ok = text.find("packets captured") != std::string::npos;
    }

    ~Tcpdump() { Stop(); }

    bool ok = false;
    std::uint64_t captured = 0;
    std::uint64_t received = 0;
    std::uint64_t dropped = 0;

private:
    std::string Log() const
    {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    pid_t pid_ = -1;
    std::string log_;
};

// Queues a click on toolbar button 6 behind what the event loop has to do,
// and calls done with the milliseconds until the preferences dialog was
// shown and the loop came back after painting it; then closes the dialog.
void TimeDialogOpen(frmMain& w, std::function<void(double)> done)
{
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QTimer::singleShot(0, &w, [&w, clock, done] {
        w.Button(6)->trigger();
        QTimer::singleShot(0, &w, [clock, done] {
            const double ms = static_cast<double>(clock->nsecsElapsed()) / 1e6;
            bool shown = false;
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (top->inherits("quillet::frmConfig") && top->isVisible()) {
                    shown = true;
                    top->close();
                }
            }
            done(shown ? ms : -1);
        });
    });
}

struct Result {
    std::uint64_t rate = 0;
    std::uint64_t sent = 0;
    std::uint64_t arrived = 0;
    std::int64_t read = 0;
    std::int64_t stored = 0;
    std::uint64_t kernelDropped = 0;
    double stallMs = 0;
    std::uint64_t tcpdumpCaptured = 0;
    std::uint64_t tcpdumpDropped = 0;
    bool tcpdumpOk = false;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    double dialogDuringMs = -1;  // -1: not measured
    double dialogAfterMs = -1;
    double senderNsPerDatagram = 0;

    bool WindowLossFree() const
    {
        return kernelDropped == 0 && static_cast<std::uint64_t>(stored) >= sent;
    }
    bool TcpdumpLossFree() const { return tcpdumpOk && tcpdumpDropped == 0 && tcpdumpCaptured >= sent; }
};

// Starts a capture in a fresh window, lets the sender run for a while, then
// stops it either with button 3 or by closing the window, timed.
void MeasureStop(QApplication& app, const frmMain::Options& options, int out, std::uint64_t rate, bool byClose)
{
    auto window = std::make_unique<frmMain>(options);
    frmMain& w = *window;
    w.show();
    w.Combo1()->setCurrentIndex(w.Combo1()->findText(VethNamespace::kLocalAddr));
    w.Button(1)->trigger();
    if (!w.CaptureOpen()) {
        std::fprintf(stderr, "the capture did not open\n");
        return;
    }
    constexpr double kSendSeconds = 8;
    UdpSender sender(out, rate, kSendSeconds, 1400);
    sender.Start();
    QElapsedTimer running;
    running.start();
    while (running.elapsed() < 2000)
        app.processEvents(QEventLoop::AllEvents, 10);

    const std::int64_t readBefore = w.lRecvCount();
    const std::int64_t storedBefore = w.Views().dPackets().count();
    const std::uint64_t sentBefore = sender.sent();
    QElapsedTimer took;
    took.start();
    if (byClose)
        w.close();
    else
        w.Button(3)->trigger();
    const double ms = static_cast<double>(took.nsecsElapsed()) / 1e6;
    const std::uint64_t sentDuring = sender.sent() - sentBefore;
    const std::int64_t readAfter = w.lRecvCount() - readBefore;
    const std::int64_t storedAfter = w.Views().dPackets().count() - storedBefore;
    const bool stillSending = sender.sent() < static_cast<std::uint64_t>(rate * kSendSeconds);
    sender.Join();
    std::printf("%-8s %9llu %10.1f %12lld %12lld %12llu %s\n", byClose ? "close" : "button 3",
                static_cast<unsigned long long>(rate), ms, static_cast<long long>(readAfter),
                static_cast<long long>(storedAfter), static_cast<unsigned long long>(sentDuring),
                stillSending ? "returned while the sender ran" : "returned after the sender stopped");
    std::fflush(stdout);
    window.reset();
}

// Rows of UDP datagrams to port, in the window's list.
std::vector<int> RowsToPort(frmMain& w, int port)
{
    std::vector<int> rows;
    QAbstractItemModel* m = w.lv()->model();
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->index(r, kColProtocol).data().toString() == "UDP"
            && m->index(r, kColDestPort).data().toString() == QString::number(port))
            rows.push_back(r);
    return rows;
}

// Starts count processes that each send one datagram to the peer (each to a
// port of its own) and end, in a fresh window's capture; prints how many of
// their rows name the process that sent them.
void MeasureOnce(QApplication& app, const frmMain::Options& options, const char* localAddr, int count)
{
    constexpr int kFirstPort = 20000;
    auto window = std::make_unique<frmMain>(options);
    frmMain& w = *window;
    w.show();
    w.Combo1()->setCurrentIndex(w.Combo1()->findText(localAddr));
    w.Button(1)->trigger();
    if (!w.CaptureOpen()) {
        std::fprintf(stderr, "the capture did not open\n");
        return;
    }
    sockaddr_storage to{};
    socklen_t toLength = 0;
    if (gIPv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&to);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, VethNamespace::kPeerAddr6, &in6->sin6_addr);
        toLength = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&to);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, VethNamespace::kPeerAddr, &in->sin_addr);
        toLength = sizeof *in;
    }
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const std::uint16_t port = htons(static_cast<std::uint16_t>(kFirstPort + i));
        if (gIPv6)
            reinterpret_cast<sockaddr_in6*>(&to)->sin6_port = port;
        else
            reinterpret_cast<sockaddr_in*>(&to)->sin_port = port;
        const pid_t pid = fork();
        if (pid == 0) {
            const int s = socket(gIPv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
            _exit(s >= 0 && sendto(s, "one", 3, 0, reinterpret_cast<const sockaddr*>(&to), toLength) == 3 ? 0 : 1);
        }
        waitpid(pid, nullptr, 0);
        pids.push_back(pid);
        app.processEvents(QEventLoop::AllEvents, 1);
    }
    // Until every row is in and its program answered, for at most 10 s.
    QElapsedTimer waited;
    waited.start();
    int rows = 0, named = 0;
    while (waited.elapsed() < 10000) {
        app.processEvents(QEventLoop::AllEvents, 50);
        rows = named = 0;
        for (int i = 0; i < count; ++i) {
            const std::vector<int> at = RowsToPort(w, kFirstPort + i);
            rows += at.size() == 1 ? 1 : 0;
            if (at.size() == 1 && w.ProgramOfRow(at[0]) == QStringLiteral("bench_live (%1)").arg(pids[static_cast<std::size_t>(i)]))
                ++named;
        }
        if (rows == count && (named == count || waited.elapsed() > 3000))
            break;
    }
    w.Button(3)->trigger();
    std::printf("one-datagram processes: %d sent, %d rows, %d named with their own pid: %.1f %% named, miss rate %.1f %%\n",
                count, rows, named, Percent(named, count), 100.0 - Percent(named, count));
    std::fflush(stdout);
}

// Keeps the processes started from here from holding the rights to load
// kernel programs (CAP_SYS_ADMIN also allows it), for a run without them.
void WithoutKernelPrograms()
{
    for (const int cap : {CAP_BPF, CAP_PERFMON, CAP_SYS_ADMIN})
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            std::perror("PR_CAPBSET_DROP");
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 10;
    std::vector<std::uint64_t> rates;
    std::uint64_t stopRate = 0;
    std::size_t payload = 32;
    std::int64_t rowsWanted = 0;
    int once = 100;
    bool withoutPrograms = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--without-programs") == 0) {
            withoutPrograms = true;
            continue;
        }
        if (std::strcmp(argv[i], "--family") == 0 && i + 1 < argc) {
            gIPv6 = std::strcmp(argv[++i], "6") == 0;
            continue;
        }
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--payload") == 0 && i + 1 < argc)
            payload = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--rows") == 0 && i + 1 < argc)
            rowsWanted = std::strtoll(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--once") == 0 && i + 1 < argc)
            once = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--stop") == 0 && i + 1 < argc)
            stopRate = std::strtoull(argv[++i], nullptr, 10);
        else
            rates.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    if (rates.empty())
        rates = {50000, 100000, 200000, 300000, 500000, 700000, 1000000};
    const std::size_t maxPayload = gIPv6 ? 1452 : 1472;
    if (payload < 1 || payload > maxPayload) {
        std::fprintf(stderr, "--payload takes 1 to %zu bytes (one unfragmented datagram)\n", maxPayload);
        return 1;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_live needs root: it makes network namespaces and captures in them.\n");
        return 1;
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    VethNamespace net;
    if (gIPv6)
        net.AddIPv6();
    // Without the rights the namespaces could not be removed: the run goes
    // on in a child, and this process removes them after it.
    if (withoutPrograms) {
        std::fflush(stdout);
        const pid_t run = fork();
        if (run < 0) {
            std::perror("fork");
            return 1;
        }
        if (run > 0) {
            int status = 0;
            waitpid(run, &status, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        }
        WithoutKernelPrograms();
    }
    // The child's end leaves the namespaces to its parent.
    const auto finish = [withoutPrograms](int status) {
        std::fflush(stdout);
        if (withoutPrograms)
            _exit(status);
        return status;
    };
    const char* const localAddr = gIPv6 ? VethNamespace::kLocalAddr6 : VethNamespace::kLocalAddr;
    QApplication app(argc, argv);
    frmMain::Options options;
    options.message = [](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); };

    // A socket that takes the datagrams and never reads them (no ICMP
    // unreachable comes back), and the sender's socket in the peer namespace.
    const int family = gIPv6 ? AF_INET6 : AF_INET;
    UniqueFd sink = net.SocketIn(Side::Local, family, SOCK_DGRAM);
    sockaddr_storage local{};
    socklen_t localLength = 0;
    if (gIPv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(kPort);
        inet_pton(AF_INET6, localAddr, &in6->sin6_addr);
        localLength = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&local);
        in->sin_family = AF_INET;
        in->sin_port = htons(kPort);
        inet_pton(AF_INET, localAddr, &in->sin_addr);
        localLength = sizeof *in;
    }
    if (bind(sink.get(), reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
        std::perror("bind");
        return 1;
    }
    UniqueFd out = net.SocketIn(Side::Peer, family, SOCK_DGRAM);
    if (connect(out.get(), reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
        std::perror("connect");
        return 1;
    }

    if (stopRate > 0) {
        std::printf("Stopping a capture at a rate the window cannot keep up with (1,400-byte UDP payloads)\n");
        std::printf("%-8s %9s %10s %12s %12s %12s\n", "how", "rate/s", "took ms", "read after", "stored after",
                    "sent during");
        MeasureStop(app, options, out.get(), stopRate, false);
        MeasureStop(app, options, out.get(), stopRate, true);
        return finish(0);
    }

    // The event loop's longest stall: the largest gap between ticks of a
    // 5 ms timer, less the 5 ms.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    qint64 worstGap = 0;
    qint64 segmentGap = 0;  // since the last progress line of a long run
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick > 0) {
            worstGap = std::max(worstGap, now - lastTick);
            segmentGap = std::max(segmentGap, now - lastTick);
        }
        lastTick = now;
    });

    auto stallOf = [](qint64 gap) { return gap > 0 ? std::max(0.0, static_cast<double>(gap - 5'000'000) / 1e6) : 0.0; };
    if (rowsWanted > 0)
        std::printf("Live capture through the main window, until %lld rows per rate, %zu-byte UDP payloads, veth pair\n",
                    static_cast<long long>(rowsWanted), payload);
    else
        std::printf("Live capture through the main window, %g s per rate, %zu-byte UDP payloads, veth pair\n",
                    seconds, payload);
    std::printf("IP version %d, kernel programs %s\n", gIPv6 ? 6 : 4, withoutPrograms ? "not allowed" : "allowed");
    std::printf("%9s %10s %10s | %10s %10s %9s %9s | %10s %9s | %6s %6s %7s %5s | %7s %7s | %7s\n", "rate/s", "sent",
                "arrived", "read", "stored", "kdropped", "stall ms", "tcpdump", "kdropped", "win%", "tcpd%", "cpu s",
                "cpu%", "dlg run", "dlg aft", "snd ns");
    std::fflush(stdout);

    std::vector<Result> results;
    for (std::uint64_t rate : rates) {
        Result r;
        r.rate = rate;
        // A fresh window per rate: the store of the last one is freed.
        auto window = std::make_unique<frmMain>(options);
        frmMain& w = *window;
        w.show();
        const int at = w.Combo1()->findText(localAddr);
        if (at < 0) {
            std::fprintf(stderr, "the window does not offer %s\n", localAddr);
            return 1;
        }
        w.Combo1()->setCurrentIndex(at);
        Tcpdump tcpdump(VethNamespace::kLocalIf);
        const std::uint64_t rx0 = RxPackets(VethNamespace::kLocalIf);
        const std::int64_t stored0 = w.Views().dPackets().count();
        w.Button(1)->trigger();
        if (!w.CaptureOpen()) {
            std::fprintf(stderr, "the capture did not open\n");
            return 1;
        }

        const double cpu0 = ThreadCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        UdpSender sender(out.get(), rate, rowsWanted > 0 ? 0 : seconds, payload);
        lastTick = 0;
        worstGap = 0;
        segmentGap = 0;
        ticker.start();
        sender.Start();
        QEventLoop loop;
        QTimer poll;
        bool senderDone = false;
        bool dialogDuring = false;
        bool dialogAfter = false;
        bool dialogAfterDone = false;
        QElapsedTimer afterSend;
        std::int64_t nextProgress = 1'000'000;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (rowsWanted > 0) {
                const std::int64_t rows = w.Views().ListModel().visibleRows();
                while (rows >= nextProgress) {
                    std::printf("  %10lld rows after %6.1f s, longest stall since the last line %7.1f ms\n",
                                static_cast<long long>(nextProgress), static_cast<double>(wall.elapsed()) / 1000,
                                stallOf(segmentGap));
                    std::fflush(stdout);
                    segmentGap = 0;
                    nextProgress += 1'000'000;
                }
                if (!senderDone && rows >= rowsWanted)
                    sender.Stop();
            }
            if (!dialogDuring && !senderDone && wall.elapsed() > 1500) {
                dialogDuring = true;
                TimeDialogOpen(w, [&r](double ms) { r.dialogDuringMs = ms; });
            }
            if (!senderDone && sender.finished()) {
                senderDone = true;
                afterSend.start();
            }
            if (senderDone && !dialogAfter && afterSend.elapsed() > 300) {
                dialogAfter = true;
                TimeDialogOpen(w, [&r, &dialogAfterDone](double ms) {
                    r.dialogAfterMs = ms;
                    dialogAfterDone = true;
                });
            }
            if (senderDone && afterSend.elapsed() > 500 && dialogAfterDone)
                loop.quit();
        });
        poll.start(50);
        if (rowsWanted <= 0)
            QTimer::singleShot(static_cast<int>((seconds + 2.5) * 1000), &loop, &QEventLoop::quit);
        loop.exec();
        poll.stop();
        sender.Join();
        // Let the last notifications run before stopping.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            app.processEvents(QEventLoop::AllEvents, 10);
        ticker.stop();
        r.cpuSeconds = ThreadCpuSeconds() - cpu0;
        r.wallSeconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;

        r.kernelDropped = w.CaptureStats().dropped;
        w.Button(3)->trigger();
        r.read = w.lRecvCount();
        r.stored = w.Views().dPackets().count() - stored0;
        r.sent = sender.sent();
        r.senderNsPerDatagram = r.sent > 0 ? static_cast<double>(sender.cpuNs()) / static_cast<double>(r.sent) : 0;
        r.arrived = RxPackets(VethNamespace::kLocalIf) - rx0;
        r.stallMs = stallOf(worstGap);
        // tcpdump hands over a partly filled ring block only when its one-second
        // read timeout expires; give it that before stopping it.
        QElapsedTimer grace;
        grace.start();
        while (grace.elapsed() < 1500)
            app.processEvents(QEventLoop::AllEvents, 10);
        tcpdump.Stop();
        r.tcpdumpOk = tcpdump.ok;
        r.tcpdumpCaptured = tcpdump.captured;
        r.tcpdumpDropped = tcpdump.dropped;
        results.push_back(r);
        const CaptureSpool::Waits waits = w.Views().Spool() ? w.Views().Spool()->waits() : CaptureSpool::Waits();
        window->close();
        window.reset();

        const std::string rateText = r.rate > 0 ? std::to_string(r.rate) : std::string("flat");
        std::printf("%9s %10llu %10llu | %10lld %10lld %9llu %9.1f | %10llu %9llu | %6.1f %6.1f %7.2f %5.0f | %7.1f "
                    "%7.1f | %7.0f%s\n",
                    rateText.c_str(), static_cast<unsigned long long>(r.sent),
                    static_cast<unsigned long long>(r.arrived), static_cast<long long>(r.read),
                    static_cast<long long>(r.stored), static_cast<unsigned long long>(r.kernelDropped), r.stallMs,
                    static_cast<unsigned long long>(r.tcpdumpCaptured), static_cast<unsigned long long>(r.tcpdumpDropped),
                    Percent(static_cast<double>(r.stored), static_cast<double>(r.arrived)),
                    Percent(static_cast<double>(r.tcpdumpCaptured), static_cast<double>(r.arrived)), r.cpuSeconds,
                    Percent(r.cpuSeconds, r.wallSeconds), r.dialogDuringMs, r.dialogAfterMs, r.senderNsPerDatagram,
                    r.tcpdumpOk ? "" : " (tcpdump figures missing)");
        if (waits.count > 0)
            std::printf("%9s storing waited for the disk %llu times, %.1f ms in all\n", "",
                        static_cast<unsigned long long>(waits.count), static_cast<double>(waits.nanoseconds) / 1e6);
        std::fflush(stdout);
    }

    std::uint64_t bestWindow = 0;
    std::uint64_t bestTcpdump = 0;
    for (const Result& r : results) {
        // A run until a row count is full whatever it sent; flat out has no rate to name.
        const bool full = rowsWanted > 0 || r.sent >= static_cast<std::uint64_t>(r.rate * seconds);
        if (r.WindowLossFree() && full)
            bestWindow = std::max(bestWindow, r.rate);
        if (r.TcpdumpLossFree() && full)
            bestTcpdump = std::max(bestTcpdump, r.rate);
    }
    std::printf("highest loss-free rate: window %llu/s, tcpdump %llu/s", static_cast<unsigned long long>(bestWindow),
                static_cast<unsigned long long>(bestTcpdump));
    if (bestTcpdump > 0)
        std::printf(", ratio %.2f", static_cast<double>(bestWindow) / static_cast<double>(bestTcpdump));
    std::printf("\n");
    if (once > 0)
        MeasureOnce(app, options, localAddr, once);
    return finish(0);
}
