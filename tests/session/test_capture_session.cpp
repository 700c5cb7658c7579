// The capture session without a window: datagrams read through its own
// notifications, what the kernel still holds kept at a stop, and a capture
// that ends by itself at its budget or when its interface goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include "core/CaptureFileWriter.h"
#include "core/PcapngFormat.h"
#include "session/CaptureSession.h"
#include "shell/Datagrams.h"
#include "shell/FakeCapture.h"

using namespace quillet;
using quillet::test::FakeCapture;
using quillet::test::FakeOpener;

namespace {

QCoreApplication* App()
{
    static int argc = 1;
    static char name[] = "test_capture_session";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);
    return app;
}
[[maybe_unused]] QCoreApplication* const kApp = App();

bool WaitFor(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return condition();
}

std::vector<std::uint8_t> Datagram(int n)
{
    return quillet::test::Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, static_cast<std::uint16_t>(5000 + n), "payload");
}

class CaptureSessionTest : public ::testing::Test {
protected:
    std::unique_ptr<CaptureSession> Make(std::uint64_t memoryLimit = 0)
    {
        CaptureSession::Options options{fake.opener(), {}, dir.path(), memoryLimit, 0};
        CaptureSession::Reports reports{[this](const QString& text) { messages << text; },
                                        [this](bool on) { capturing = on; },
                                        [this](StatusPanel p, const QString& text) { panels[p] = text; },
                                        {}};
        return std::make_unique<CaptureSession>(views, std::move(options), std::move(reports));
    }
    void Arrive(int from, int count)
    {
        std::vector<std::vector<std::uint8_t>> d;
        for (int i = from; i < from + count; ++i)
            d.push_back(Datagram(i));
        FakeCapture::Arrive(*fake.state, std::move(d));
    }

    QTemporaryDir dir;
    FakeOpener fake;
    PacketViews views;
    QStringList messages;
    bool capturing = false;
    std::map<StatusPanel, QString> panels;
};

TEST_F(CaptureSessionTest, ReadsWhatArrivesAndKeepsWhatIsHeldAtAStop)
{
    auto session = Make();
    session->Start(QStringLiteral("10.9.0.1"));
    ASSERT_TRUE(session->CaptureOpen());
    EXPECT_TRUE(capturing);
    EXPECT_EQ(panels[StatusPanel::State], "捕获中 10.9.0.1 (fake0)");

    Arrive(1, 3);
    ASSERT_TRUE(WaitFor([&] { return session->lRecvCount() == 3 && panels[StatusPanel::Count] == "3"; }));
    EXPECT_EQ(views.lSeq(), 3);
    EXPECT_EQ(session->BytesReceived(), 3 * Datagram(1).size());

    fake.state->held = {Datagram(4), Datagram(5)};
    session->Stop();
    EXPECT_TRUE(fake.state->closed);
    EXPECT_FALSE(session->CaptureOpen());
    EXPECT_FALSE(capturing);
    EXPECT_EQ(views.lSeq(), 5) << "the stop keeps what the kernel still held";
    EXPECT_EQ(panels[StatusPanel::Count], "5");
    EXPECT_EQ(panels[StatusPanel::State], "已停止");
    EXPECT_TRUE(panels[StatusPanel::Rate].isEmpty());
    EXPECT_TRUE(messages.isEmpty());
}

// What travels with a datagram from the capture or from a file reaches the
// log's consumers: its direction, whether it is live, its program.
TEST_F(CaptureSessionTest, WhatTravelsWithADatagramReachesTheLog)
{
    using Direction = CapturedDatagram::Direction;
    using Told = std::tuple<Direction, bool, std::string>;
    struct Seen : PacketConsumer {
        std::vector<Told> told;
        void Stored(const StoredPacket& p) override
        {
            if (p.captured)
                told.emplace_back(p.captured->direction, p.captured->live, std::string(p.captured->program));
        }
    } seen;
    views.Log().Subscribe(seen);
    auto session = Make();
    session->Start(QStringLiteral("10.9.0.1"));
    ASSERT_TRUE(session->CaptureOpen());
    for (const Direction d : {Direction::Sent, Direction::Received}) {
        fake.state->direction = d;
        Arrive(static_cast<int>(d), 1);
        ASSERT_TRUE(WaitFor([&] { return seen.told.size() == static_cast<std::size_t>(d); }));
    }
    session->Stop();

    std::vector<std::uint8_t> file;
    pcapng::PutSectionHeader(file);
    pcapng::PutInterface(file, CaptureFileWriter::kLinkTypeRaw, 65535);
    const std::vector<std::uint8_t> d = Datagram(9);
    for (const auto& [flags, comment] : {std::pair<std::uint32_t, std::string_view>{pcapng::kFlagsOutbound, ""},
                                         {pcapng::kFlagsInbound, "program: dig (77)"}}) {
        pcapng::Packet packet;
        packet.data = d;
        packet.comment = comment;
        packet.flags = flags;
        const std::size_t at = file.size();
        file.resize(at + pcapng::PacketBytes(d.size(), comment, flags));
        pcapng::PutPacket(file.data() + at, packet);
    }
    QFile out(dir.filePath(QStringLiteral("directions.pcapng")));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<qint64>(file.size()));
    out.close();
    EXPECT_TRUE(session->ReadFile(out.fileName(), {}).isEmpty());
    const std::vector<Told> want = {{Direction::Sent, true, ""},
                                    {Direction::Received, true, ""},
                                    {Direction::Sent, false, ""},
                                    {Direction::Received, false, "dig (77)"}};
    EXPECT_EQ(seen.told, want);
}

TEST_F(CaptureSessionTest, EndsByItselfAtItsBudgetAndWhenTheInterfaceIsGone)
{
    // A memory limit already passed: the first burst is kept, then the
    // capture stops with one message and nothing more is stored.
    auto session = Make(1);
    session->Start(QStringLiteral("10.9.0.1"));
    fake.state->held = {Datagram(9)};
    Arrive(1, 2);
    ASSERT_TRUE(WaitFor([&] { return !session->CaptureOpen(); }));
    EXPECT_FALSE(capturing);
    EXPECT_EQ(views.lSeq(), 2);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("内存用量已达上限")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains(QString::fromUtf8("2 个数据包"))) << messages[0].toStdString();

    // An interface that goes away ends the capture from the status timer.
    session = Make();
    messages.clear();
    session->Start(QStringLiteral("10.9.0.1"));
    Arrive(3, 1);
    ASSERT_TRUE(WaitFor([&] { return views.lSeq() == 3; }));
    fake.state->link = LinkState::Gone;
    ASSERT_TRUE(WaitFor([&] { return !session->CaptureOpen(); }));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("fake0"));
    EXPECT_EQ(panels[StatusPanel::State], "已停止");
    EXPECT_EQ(views.lSeq(), 3);
}

// A capture program that sends nothing for two seconds does not answer: the
// state says so while it lasts, and the stop says what the kernel held.
TEST_F(CaptureSessionTest, ACaptureProgramThatDoesNotAnswerIsShownAndItsLossTold)
{
    auto session = Make();
    session->Start(QStringLiteral("10.9.0.1"));
    const QString capturing = "捕获中 10.9.0.1 (fake0)";
    const QString silent = capturing + ": 捕获程序没有回应";
    struct Step {
        std::int64_t silentMs;
        LinkState link;
        QString state;
    };
    const Step steps[] = {
        {1999, LinkState::Up, capturing},
        {2000, LinkState::Up, silent},
        {2000, LinkState::Down, silent},  // not answering says more than a down link
        {0, LinkState::Down, capturing + ": 接口已断开，等待中"},
        {0, LinkState::Up, capturing},
    };
    for (const Step& step : steps) {
        fake.state->silentMs = step.silentMs;
        fake.state->link = step.link;
        EXPECT_TRUE(WaitFor([&] { return panels[StatusPanel::State] == step.state; }))
            << step.silentMs << " ms: " << panels[StatusPanel::State].toStdString();
    }
    EXPECT_TRUE(messages.isEmpty());

    fake.state->lostAtStop = 12345;
    session->Stop();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], "捕获程序 quillet-capture 没有回应，已将它结束：内核中还有 12,345 个数据包未交出，已丢失。");
    // A program that answered loses nothing worth a word.
    fake.state->lostAtStop.reset();
    session->Start(QStringLiteral("10.9.0.1"));
    session->Stop();
    EXPECT_EQ(messages.size(), 1);
}

// The capture program's kernel ring counts against the memory limit.
TEST_F(CaptureSessionTest, TheKernelRingCountsInTheMemoryBudget)
{
    constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
    fake.state->kernelRingBytes = 8 * kGiB;
    auto session = Make(StoreBudget::ReadResidentBytes() + 4 * kGiB);
    session->Start(QStringLiteral("10.9.0.1"));
    Arrive(1, 2);
    ASSERT_TRUE(WaitFor([&] { return !session->CaptureOpen(); }));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("内存用量已达上限")) << messages[0].toStdString();

}

}  // namespace
