// Opens a generated capture file into the main window (offscreen) and saves
// the store again, in both formats. Prints packets per second for each and
// the longest gap between two turns of the event loop while opening.
//
// Usage: bench_files [packets] [payload bytes] [ethernet|raw] [pcap|pcapng|commented]
// (defaults 1000000, 64, raw IPv4, pcap). "commented" is a pcapng file as this program saves one:
// a name block and a program comment on every packet.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include "core/CaptureFile.h"
#include "shell/frmMain.h"

using namespace quillet;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// UDP datagrams between 500 remote hosts and two local ones.
std::vector<std::uint8_t> Datagram(long n, std::size_t payload, bool ethernet)
{
    std::vector<std::uint8_t> f;
    if (ethernet) {
        f.assign(12, 0x02);
        f.push_back(0x08);
        f.push_back(0x00);
    }
    const std::size_t total = 28 + payload;
    const std::size_t at = f.size();
    f.resize(at + total, 'x');
    std::uint8_t* d = f.data() + at;
    d[0] = 0x45;
    d[1] = 0;
    d[2] = static_cast<std::uint8_t>(total >> 8);
    d[3] = static_cast<std::uint8_t>(total);
    d[8] = 64;
    d[9] = 17;
    const std::uint8_t remote[4] = {172, static_cast<std::uint8_t>(16 + (n % 500) / 250),
                                    static_cast<std::uint8_t>(n % 250), static_cast<std::uint8_t>(1 + n % 200)};
    const std::uint8_t local[4] = {10, 77, 0, static_cast<std::uint8_t>(1 + (n & 1))};
    const bool sent = (n % 4) == 0;
    std::copy(sent ? local : remote, (sent ? local : remote) + 4, d + 12);
    std::copy(sent ? remote : local, (sent ? remote : local) + 4, d + 16);
    const std::uint16_t sport = static_cast<std::uint16_t>(1024 + (n * 17) % 3000), dport = 53;
    d[20] = static_cast<std::uint8_t>(sport >> 8);
    d[21] = static_cast<std::uint8_t>(sport);
    d[22] = static_cast<std::uint8_t>(dport >> 8);
    d[23] = static_cast<std::uint8_t>(dport);
    d[24] = static_cast<std::uint8_t>((8 + payload) >> 8);
    d[25] = static_cast<std::uint8_t>(8 + payload);
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    const long packets = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::size_t payload = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64;
    const bool ethernet = argc > 3 && std::string(argv[3]) == "ethernet";
    const std::string kind = argc > 4 ? argv[4] : "pcap";
    const bool commented = kind == "commented";
    const CaptureFileFormat format = kind == "pcap" ? CaptureFileFormat::Pcap : CaptureFileFormat::Pcapng;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QTemporaryDir dir(QDir(QString::fromLocal8Bit(CaptureSpool::DefaultDirectory().c_str())).filePath("bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const std::string input =
        dir.filePath(format == CaptureFileFormat::Pcap ? "input.pcap" : "input.pcapng").toStdString();
    {
        std::string error;
        auto w = CaptureFileWriter::Create(input, format, ethernet ? 1 : CaptureFileWriter::kLinkTypeRaw, error);
        if (!w) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        if (commented)
            w->AppendNames({{"172.16.0.1", "one.example"}, {"10.77.0.1", "here.example"}});
        const std::int64_t t0 = 1700000000000000;
        for (long n = 0; n < packets; ++n) {
            const auto f = Datagram(n, payload, ethernet);
            const std::string comment = commented ? "program: worker-" + std::to_string(n % 7) + " (" +
                                                        std::to_string(1000 + n % 7) + ")"
                                                  : std::string();
            w->Append(t0 + n * 3, f, static_cast<std::uint32_t>(f.size()), comment);
        }
        if (!w->Close()) {
            std::fprintf(stderr, "%s\n", w->error().c_str());
            return 1;
        }
    }

    frmMain::Options o;
    o.message = [](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); };
    frmMain window(o);
    window.resize(1000, 700);
    window.show();
    QApplication::processEvents();

    // The longest time the event loop was not served while opening.
    double longestGap = 0;
    auto lastTurn = Clock::now();
    QTimer turn;
    QObject::connect(&turn, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, Seconds(lastTurn));
        lastTurn = Clock::now();
    });
    turn.start(0);
    auto start = Clock::now();
    lastTurn = start;
    const QString opened = window.OpenCaptureFile(QString::fromStdString(input));
    const double openSeconds = Seconds(start);
    turn.stop();
    std::printf("open (%s %s, %zu-byte payload): %ld packets in %.3f s: %.0f packets/s read, stored and shown (%d rows)%s%s\n",
                kind.c_str(), ethernet ? "Ethernet" : "raw IPv4", payload, packets, openSeconds, packets / openSeconds,
                window.lv()->model()->rowCount(), opened.isEmpty() ? "" : "; ", qPrintable(opened));
    std::printf("longest event-loop gap while opening: %.1f ms\n", longestGap * 1000);

    for (const char* name : {"saved.pcapng", "saved.pcap"}) {
        start = Clock::now();
        const QString saved = window.SaveCaptureFile(dir.filePath(QString::fromLatin1(name)), false);
        const double s = Seconds(start);
        std::printf("save all to %s: %ld packets in %.3f s: %.0f packets/s%s%s\n", name, packets, s, packets / s,
                    saved.isEmpty() ? "" : "; ", qPrintable(saved));
    }
    return 0;
}
