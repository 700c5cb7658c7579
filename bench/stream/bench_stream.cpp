// Opens the stream window (offscreen) on a large TCP conversation among many
// other stored packets and prints the time to its first screen, to the whole
// conversation read and shown, and the longest the event loop was held
// meanwhile.
//
// Usage: bench_stream [rows] [conversation MiB]   (defaults 10000000 and 1024)
// The packets go through the receive path's store into the working capture
// file under CaptureSpool::DefaultDirectory().

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>

#include "decode/DecodeDatagram.h"
#include "inspect/frmStream.h"
#include "shell/Datagrams.h"
#include "views/PacketViews.h"

using namespace quillet;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::int64_t rows = argc > 1 ? std::atoll(argv[1]) : 10'000'000;
    const std::int64_t mib = argc > 2 ? std::atoll(argv[2]) : 1024;
    const std::size_t segment = 1448;
    const std::int64_t segments = mib * 1024 * 1024 / static_cast<std::int64_t>(segment);
    const std::int64_t every = std::max<std::int64_t>(1, rows / std::max<std::int64_t>(1, segments));

    PacketViews views;
    if (!views.OpenSpool({})) {
        std::fprintf(stderr, "no working file: %s\n", views.DatagramError().c_str());
        return 1;
    }
    std::string text(segment, 'a');
    for (std::size_t i = 0; i < text.size(); i += 80)
        text[i] = '\n';
    const auto other = test::Ipv4Udp("10.1.0.1", "10.1.0.2", 4000, 5000, "other");
    const auto otherDecoded = *DecodeDatagram(other, false);
    std::uint32_t seq = 1;
    std::int64_t first = 0, sent = 0;
    QElapsedTimer storing;
    storing.start();
    for (std::int64_t n = 0; n < rows; ++n) {
        if (n % every == 0 && sent < segments) {
            const auto d = test::TcpDatagram("10.0.0.1", "10.0.0.2", 40000, 80, seq, test::kAck, text);
            const std::int64_t s = views.StorePacket(*DecodeDatagram(d, false), d, 1700000000000000 + n);
            first = first ? first : s;
            seq += static_cast<std::uint32_t>(segment);
            ++sent;
        } else {
            views.StorePacket(otherDecoded, other, 1700000000000000 + n);
        }
        if ((n & 4095) == 4095)
            views.EndBurst();
    }
    views.EndBurst();
    views.Spool()->Flush();
    std::printf("stored %lld rows (%lld of the conversation, %.0f MiB) in %.1f s\n", static_cast<long long>(rows),
                static_cast<long long>(sent), sent * segment / 1048576.0, storing.elapsed() / 1000.0);

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0, longestAt = 0, firstScreen = -1;
    QTimer beat;
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed() / 1000;
        if (now - last > longest) {
            longest = now - last;
            longestAt = now;
        }
        last = now;
    });
    beat.start();
    auto* window = new frmStream(views, first);
    window->resize(760, 520);
    window->show();
    auto* pane = window->findChild<QPlainTextEdit*>(QStringLiteral("txtStream"));
    // The longest turn of the event loop, by the clock and by this thread's
    // own CPU time (the difference: the machine gave the time to others).
    const auto cpuUs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
    };
    qint64 longestTurn = 0, longestTurnCpu = 0;
    while (!window->Loaded()) {
        const qint64 wall0 = clock.nsecsElapsed() / 1000, cpu0 = cpuUs();
        app.processEvents();
        const qint64 wall = clock.nsecsElapsed() / 1000 - wall0;
        if (wall > longestTurn) {
            longestTurn = wall;
            longestTurnCpu = cpuUs() - cpu0;
        }
        if (firstScreen < 0 && pane->document()->characterCount() > 4000)
            firstScreen = clock.nsecsElapsed() / 1000;
    }
    std::printf("first screen %.1f ms, all read and shown %.1f ms, longest stall %.1f ms (ending at %.1f ms), shown %lld characters\n",
                firstScreen / 1000.0, clock.nsecsElapsed() / 1e6, longest / 1000.0, longestAt / 1000.0,
                static_cast<long long>(pane->document()->characterCount()));
    std::printf("longest turn of the event loop %.1f ms, of it %.1f ms on this thread's CPU\n", longestTurn / 1000.0,
                longestTurnCpu / 1000.0);
    delete window;
    return 0;
}
