// Datagrams that flow through the window's receive path (readiness, the
// capture notification, reading, decoding, storing, the working file, list
// and host tree) cost no heap allocation each once the path is warm: what
// it allocates comes in blocks, so the count per datagram falls as the
// datagrams grow in number.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include <QComboBox>
#include <QCoreApplication>
#include <QTemporaryDir>

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

}  // namespace

TEST(ReceiveAllocations, SteadyStateCostsNoAllocationPerDatagram)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    quillet::test::WriteEmptyPortFiles(dir.path());
    FakeOpener fake;
    fake.state->endless = true;
    fake.state->endlessDatagram = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 53, std::string(1400, 'p'));
    frmMain::Options options;
    options.portDir = dir.path();
    options.captureDir = dir.path();
    options.kernelMajor = [] { return std::optional<int>(6); };
    options.openCapture = fake.opener();
    options.message = [](const QString& text) { ADD_FAILURE() << text.toStdString(); };
    frmMain w(options);
    w.Combo1()->addItem(QStringLiteral("10.9.0.1"));
    w.Combo1()->setCurrentIndex(w.Combo1()->count() - 1);
    w.StartCapture();
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
