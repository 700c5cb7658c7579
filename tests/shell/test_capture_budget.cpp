// A capture that reaches its budget, or fails to store, stops by itself as
// button 3 stops it: one message with the count kept, every stored packet
// still there and viewable, nothing aborted.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/frmMain.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::FakeOpener;
using quillet::test::Ipv4Udp;

namespace {

class CaptureBudgetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        quillet::test::WriteEmptyPortFiles(dir.path());
        options.portDir = dir.path();
        options.kernelMajor = [] { return std::optional<int>(6); };
        options.openCapture = fake.opener();
        options.message = [this](const QString& text) { messages << text; };
        options.captureDir = dir.path();
    }
    std::unique_ptr<frmMain> Start()
    {
        auto w = std::make_unique<frmMain>(options);
        w->Combo1()->addItem(QStringLiteral("10.9.0.1"));
        w->Combo1()->setCurrentIndex(w->Combo1()->count() - 1);
        w->StartCapture();
        EXPECT_TRUE(w->CaptureOpen());
        return w;
    }
    // Bursts of 1,400-byte datagrams until the capture stops (bounded).
    int FeedUntilStopped(frmMain& w, int maxBursts)
    {
        int bursts = 0;
        const std::string payload(1400, 'p');
        while (w.CaptureOpen() && bursts < maxBursts) {
            std::vector<std::vector<std::uint8_t>> burst;
            for (int i = 0; i < 16; ++i)
                burst.push_back(Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, static_cast<std::uint16_t>(i), payload));
            w.ReceiveDatagrams(burst, 1700000000000000 + bursts);
            QCoreApplication::processEvents();
            ++bursts;
        }
        return bursts;
    }
    // Every stored packet is a row with its payload.
    void ExpectAllViewable(frmMain& w)
    {
        QAbstractItemModel* m = w.lv()->model();
        ASSERT_EQ(m->rowCount(), w.Views().lSeq());
        for (int r = 0; r < m->rowCount(); ++r)
            ASSERT_EQ(m->index(r, 0).data(kRowTagRole).toByteArray().size(), 1400) << r;
    }
    void ExpectOneStopMessage(frmMain& w, const QString& why)
    {
        ASSERT_EQ(messages.size(), 1) << messages.join("|").toStdString();
        EXPECT_TRUE(messages[0].contains(why)) << messages[0].toStdString();
        EXPECT_TRUE(messages[0].contains(QString::number(w.Views().lSeq()) + QString::fromUtf8(" 个数据包")))
            << messages[0].toStdString();
        EXPECT_TRUE(messages[0].contains(QStringLiteral("Ctrl+S"))) << messages[0].toStdString();
    }

    QTemporaryDir dir;
    FakeOpener fake;
    frmMain::Options options;
    QStringList messages;
};

}  // namespace

TEST_F(CaptureBudgetTest, SmallMemoryLimitStopsWithMessage)
{
    options.memoryLimitBytes = 1;  // already passed: the first burst's check stops
    auto w = Start();
    EXPECT_EQ(FeedUntilStopped(*w, 100), 1);
    EXPECT_FALSE(w->CaptureOpen());
    EXPECT_EQ(w->Views().lSeq(), 16);
    ExpectOneStopMessage(*w, QString::fromUtf8("内存"));
    ExpectAllViewable(*w);
    // Stopped means idle: more datagrams are no capture's.
    w->StartCapture();
    EXPECT_TRUE(w->CaptureOpen());
}

TEST_F(CaptureBudgetTest, InjectedAllocationFailureStopsAndKeepsWhatWasStored)
{
    auto w = Start();
    w->Views().failStoreAt = 21;
    FeedUntilStopped(*w, 100);
    EXPECT_FALSE(w->CaptureOpen());
    EXPECT_EQ(w->Views().lSeq(), 20);
    ExpectOneStopMessage(*w, QString::fromUtf8("内存不足"));
    ExpectAllViewable(*w);
}

TEST_F(CaptureBudgetTest, SmallFileSystemStopsWithMessage)
{
    const QString mountPoint = dir.filePath(QStringLiteral("small"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=2m"), 0)
        << "mounting a tmpfs needs root";
    options.captureDir = mountPoint;
    {
        auto w = Start();
        // 2 MiB hold about 1,400 datagrams of this size: it stops well before 400 bursts.
        EXPECT_LT(FeedUntilStopped(*w, 400), 400);
        EXPECT_FALSE(w->CaptureOpen());
        EXPECT_GT(w->Views().lSeq(), 0);
        // The working file's write failed for want of room, in the system's words.
        ExpectOneStopMessage(*w, QString::fromUtf8("工作捕获文件已无法再写入（%1）").arg(QString::fromLocal8Bit(std::strerror(ENOSPC))));
        ExpectAllViewable(*w);
    }
    ::umount(QFile::encodeName(mountPoint).constData());
}

TEST_F(CaptureBudgetTest, AFailedWriteOfTheWorkingFileStopsWithItsError)
{
    // A file size limit fails a write of the spool's own thread, which no free-space check sees coming.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 3 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto w = Start();
    const int bursts = FeedUntilStopped(*w, 2000);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);

    EXPECT_LT(bursts, 2000);
    EXPECT_FALSE(w->CaptureOpen());
    EXPECT_GT(w->Views().lSeq() * 1400, 3 << 20) << "packets past the limit are still in memory";
    ExpectOneStopMessage(*w, "File too large");
    ExpectAllViewable(*w);
}
