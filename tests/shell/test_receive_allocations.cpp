// Datagrams that flow through the window's receive path (readiness, the
// capture notification, reading, decoding, storing, the working file, list
// and host tree) cost no heap allocation each once the path is warm: what
// it allocates comes in blocks, so the count per datagram falls as the
// datagrams grow in number. A datagram decoded ahead, while the one before
// it is stored, is stored as it came.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include <QComboBox>
#include <QCoreApplication>
#include <QTemporaryDir>

#include "decode/DecodeDatagram.h"
#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/frmMain.h"

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

namespace {

// Allocations made by the thread that counts, while it counts.
std::atomic<long long> allocations{0};
thread_local bool counting = false;

void Count()
{
    if (counting)
        allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// Every operator new of this program ends here too.
extern "C" void* malloc(std::size_t n)
{
    Count();
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size)
{
    Count();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n)
{
    Count();
    return __libc_realloc(p, n);
}

using namespace quillet;
using quillet::test::FakeCapture;
using quillet::test::FakeOpener;
using quillet::test::Ipv4Udp;

namespace {

// Runs the event loop until the window has read `until` datagrams; the
// allocations made meanwhile.
long long AllocationsUntil(frmMain& w, std::int64_t until)
{
    const long long before = allocations.load();
    counting = true;
    for (int i = 0; i < 1'000'000 && w.lRecvCount() < until && w.CaptureOpen(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    counting = false;
    return allocations.load() - before;
}

// A window capturing from the fake on 10.9.0.1, its files under dir.
std::unique_ptr<frmMain> StartWindow(FakeOpener& fake, const QTemporaryDir& dir)
{
    quillet::test::WriteEmptyPortFiles(dir.path());
    frmMain::Options options;
    options.portDir = dir.path();
    options.captureDir = dir.path();
    options.kernelMajor = [] { return std::optional<int>(6); };
    options.openCapture = fake.opener();
    options.message = [](const QString& text) { ADD_FAILURE() << text.toStdString(); };
    auto w = std::make_unique<frmMain>(options);
    w->Combo1()->addItem(QStringLiteral("10.9.0.1"));
    w->Combo1()->setCurrentIndex(w->Combo1()->count() - 1);
    w->StartCapture();
    return w;
}

}  // namespace

TEST(ReceiveAllocations, SteadyStateCostsNoAllocationPerDatagram)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    FakeOpener fake;
    fake.state->endless = true;
    fake.state->endlessDatagram = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 53, std::string(1400, 'p'));
    const std::unique_ptr<frmMain> window = StartWindow(fake, dir);
    frmMain& w = *window;
    ASSERT_TRUE(w.CaptureOpen());
    FakeCapture::Arrive(*fake.state, {});  // the descriptor becomes readable

    constexpr std::int64_t kWarm = 20'000;
    constexpr std::int64_t kFew = 50'000;
    constexpr std::int64_t kMany = 250'000;
    AllocationsUntil(w, kWarm);
    const long long few = AllocationsUntil(w, kWarm + kFew);
    const long long many = AllocationsUntil(w, kWarm + kFew + kMany);
    ASSERT_GE(w.lRecvCount(), kWarm + kFew + kMany);
    EXPECT_EQ(w.Views().lSeq(), w.lRecvCount());
    // One allocation per datagram would be 50,000 and 250,000. Blocks, and the
    // few a notification costs (each reads at least a chunk of 512), stay far
    // below one per 64 datagrams.
    EXPECT_LT(few, kFew / 64) << few << " allocations for " << kFew << " datagrams";
    EXPECT_LT(many, kMany / 64) << many << " allocations for " << kMany << " datagrams";
    w.StopCapture();
}

TEST(ReceiveAllocations, ADatagramDecodedAheadIsStoredAsItCame)
{
    using State = quillet::test::FakeCaptureState;
    using quillet::test::TcpDatagram;
    // Distinct datagrams of both families, some the decoder refuses, and
    // more than a read takes at once.
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (int i = 0; i < 1300; ++i) {
        const auto port = static_cast<std::uint16_t>(1000 + i);
        if (i % 97 == 5)
            datagrams.push_back({0x45, 0, 0});  // too short for its header
        else if (i % 3 == 0)
            datagrams.push_back(TcpDatagram("fd00::2", "fd00::1", port, 443, 1, quillet::test::kAck, "x"));
        else
            datagrams.push_back(Ipv4Udp("10.9.0.2", "10.9.0.1", port, static_cast<std::uint16_t>(i % 7), "y"));
    }
    for (const State::Next next : {State::Next::Following, State::Next::Decoy, State::Next::None}) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        FakeOpener fake;
        fake.state->next = next;
        fake.state->decoy = Ipv4Udp("10.9.0.9", "10.9.0.1", 9, 9, "decoy");
        const std::unique_ptr<frmMain> window = StartWindow(fake, dir);
        frmMain& w = *window;
        ASSERT_TRUE(w.CaptureOpen());
        w.Views().lookAheadAlways = true;  // as once the tables are large
        FakeCapture::Arrive(*fake.state, datagrams);
        for (int i = 0; i < 100'000 && !fake.state->ready.empty(); ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ASSERT_TRUE(fake.state->ready.empty());
        std::int64_t seq = 0;
        for (const std::vector<std::uint8_t>& d : datagrams) {
            const auto decoded = quillet::DecodeDatagram(d, false);
            if (!decoded)
                continue;
            ++seq;
            ASSERT_LE(seq, w.Views().lSeq());
            const quillet::clV& r = w.Views().Log().Record(seq);
            EXPECT_EQ(r.mSrcAddr.bits(), decoded->srcAddr.bits()) << "packet " << seq;
            EXPECT_EQ(r.mSrcPort.bits(), decoded->srcPort.bits()) << "packet " << seq;
            EXPECT_EQ(r.mDestPort.bits(), decoded->destPort.bits()) << "packet " << seq;
            EXPECT_EQ(r.mProtocol.bits(), decoded->protocol.bits()) << "packet " << seq;
        }
        EXPECT_EQ(w.Views().lSeq(), seq);
        // Each packet's conversation as its own ends make it.
        const quillet::Conversations& conversations = w.Views().Conversations();
        EXPECT_EQ(conversations.size(), static_cast<std::size_t>(seq));
        w.StopCapture();
    }
}
