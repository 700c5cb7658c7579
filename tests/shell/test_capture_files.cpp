// Saving the store to capture files and opening capture files into it,
// through the main window's calls, checked against libpcap's reading.
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProgressDialog>
#include <QTimer>
#include <QTemporaryDir>

#include "core/CaptureFile.h"
#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/frmMain.h"

using namespace quillet;
using quillet::test::FakeOpener;
using quillet::test::Ipv4Udp;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Record {
    std::int64_t tsUs;
    Bytes bytes;
};

std::vector<Record> ReadWithLibpcap(const QString& path, int* linkType = nullptr)
{
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(QFile::encodeName(path).constData(), err);
    EXPECT_NE(p, nullptr) << err;
    std::vector<Record> out;
    if (!p)
        return out;
    if (linkType)
        *linkType = pcap_datalink(p);
    pcap_pkthdr* h;
    const u_char* data;
    while (pcap_next_ex(p, &h, &data) == 1) {
        EXPECT_EQ(h->caplen, h->len);
        out.push_back({std::int64_t(h->ts.tv_sec) * 1000000 + h->ts.tv_usec, Bytes(data, data + h->caplen)});
    }
    pcap_close(p);
    return out;
}

Bytes Udp(int n)
{
    return Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, static_cast<std::uint16_t>(5000 + n),
                   std::string(static_cast<std::size_t>(n * 13 % 700), char('a' + n % 26)));
}

Bytes Ethernet(std::uint16_t type, const Bytes& payload)
{
    Bytes f(12, 0x02);
    f.push_back(static_cast<std::uint8_t>(type >> 8));
    f.push_back(static_cast<std::uint8_t>(type));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

class CaptureFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        quillet::test::WriteEmptyPortFiles(dir.path());
    }
    std::unique_ptr<frmMain> Make()
    {
        frmMain::Options o;
        o.portDir = dir.path();
        o.kernelMajor = [] { return std::optional<int>(6); };
        o.openCapture = fake.opener();
        o.message = [this](const QString& text) { messages << text; };
        return std::make_unique<frmMain>(o);
    }
    static int Rows(frmMain& w) { return w.lv()->model()->rowCount(); }
    static QString Cell(frmMain& w, int row, int column) { return w.lv()->model()->index(row, column).data().toString(); }

    // n datagrams stored through the receive path, one timestamp each.
    std::vector<Record> Store(frmMain& w, int first, int n)
    {
        std::vector<Record> sent;
        for (int i = first; i < first + n; ++i) {
            const std::int64_t ts = 1700000000000000 + std::int64_t(i) * 1234567;
            sent.push_back({ts, Udp(i)});
            w.ReceiveDatagrams({sent.back().bytes}, ts);
        }
        return sent;
    }

    // A pcap file of n copies of one datagram, a microsecond apart.
    static ::testing::AssertionResult WriteSameDatagram(const QString& path, int n)
    {
        std::string error;
        auto writer = CaptureFileWriter::Create(QFile::encodeName(path).toStdString(), CaptureFileFormat::Pcap,
                                                CaptureFileWriter::kLinkTypeRaw, error);
        if (!writer)
            return ::testing::AssertionFailure() << error;
        const Bytes d = Udp(1);
        for (int i = 0; i < n; ++i)
            if (!writer->Append(1700000000000000 + i, d, std::uint32_t(d.size())))
                return ::testing::AssertionFailure() << writer->error();
        if (!writer->Close())
            return ::testing::AssertionFailure() << writer->error();
        return ::testing::AssertionSuccess();
    }

    QTemporaryDir dir;
    FakeOpener fake;
    QStringList messages;
};

void ExpectSame(const std::vector<Record>& got, const std::vector<Record>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].tsUs, want[i].tsUs) << i;
        EXPECT_EQ(got[i].bytes, want[i].bytes) << i;
    }
}

}  // namespace

// Save all and save shown, both formats, read back by libpcap; then the saved
// file opened into a new window shows the same rows.
TEST_F(CaptureFilesTest, SaveAllAndShownThenOpenAgain)
{
    auto w = Make();
    auto first = Store(*w, 1, 40);
    w->tB_ButtonClick(4);  // clear the list: the store keeps all
    auto second = Store(*w, 41, 25);
    ASSERT_EQ(Rows(*w), 25);
    std::vector<Record> all = first;
    all.insert(all.end(), second.begin(), second.end());

    for (const char* name : {"all.pcapng", "all.PCAP"}) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        EXPECT_EQ(w->SaveCaptureFile(path, false), QString());
        int linkType = -1;
        ExpectSame(ReadWithLibpcap(path, &linkType), all);
        EXPECT_EQ(linkType, DLT_RAW);
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray head = f.read(4);
        EXPECT_EQ(head == QByteArray("\x0A\x0D\x0D\x0A", 4), QString::fromLatin1(name).endsWith(".pcapng")) << name;
    }
    const QString shownPath = dir.filePath("shown.pcapng");
    EXPECT_EQ(w->SaveCaptureFile(shownPath, true), QString());
    ExpectSame(ReadWithLibpcap(shownPath), second);
    EXPECT_EQ(w->Views().lSeq(), 65) << "saving changes nothing in the store";
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
    const QStringList left = QDir(dir.path()).entryList({"*.part*"});
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();

    auto w2 = Make();
    EXPECT_EQ(w2->OpenCaptureFile(dir.filePath("all.PCAP")).toStdString(), "");
    ASSERT_EQ(Rows(*w2), 65);
    EXPECT_EQ(w2->stBPanel1()->text(), "65");
    // Rows 40.. of the new window are the first window's rows after its clear.
    for (int row = 40; row < 65; ++row)
        for (int col = 0; col < w->lv()->model()->columnCount(); ++col)
            EXPECT_EQ(Cell(*w2, row, col), Cell(*w, row - 40, col)) << row << "," << col;
    EXPECT_EQ(Cell(*w2, 0, 4), "5001");
    // Saving what was opened gives the same records again.
    const QString again = dir.filePath("again.pcapng");
    EXPECT_EQ(w2->SaveCaptureFile(again, false), QString());
    ExpectSame(ReadWithLibpcap(again), all);
}

// Ethernet files with frames that are not IPv4, a truncated file, a text
// file, and opening refused during a capture.
TEST_F(CaptureFilesTest, OpenSkipsTruncatedAndRefuses)
{
    const QString eth = dir.filePath("eth.pcap");
    std::string error;
    auto writer = CaptureFileWriter::Create(QFile::encodeName(eth).toStdString(), CaptureFileFormat::Pcap, 1, error);
    ASSERT_TRUE(writer) << error;
    std::vector<Record> ipv4;
    for (int i = 0; i < 10; ++i) {
        const Bytes d = Udp(i);
        const std::int64_t ts = 1600000000000000 + i * 1000;
        Bytes frame = Ethernet(0x0800, d);
        if (i == 3)
            frame.resize(frame.size() + 20, 0);  // link padding is not part of the datagram
        ASSERT_TRUE(writer->Append(ts, frame, std::uint32_t(frame.size())));
        ipv4.push_back({ts, d});
        if (i % 4 == 0) {
            const Bytes arp = Ethernet(0x0806, Bytes(28, 1));
            ASSERT_TRUE(writer->Append(ts, arp, std::uint32_t(arp.size())));
        }
    }
    ASSERT_TRUE(writer->Close());

    auto w = Make();
    const QString m = w->OpenCaptureFile(eth);
    EXPECT_TRUE(m.contains("13 个包中有 3 个")) << m.toStdString();
    ASSERT_EQ(Rows(*w), 10);
    EXPECT_EQ(w->stBPanel1()->text(), "10");
    const QString saved = dir.filePath("eth-saved.pcapng");
    EXPECT_EQ(w->SaveCaptureFile(saved, false), QString());
    ExpectSame(ReadWithLibpcap(saved), ipv4);

    // Cut in the middle of the 8th record: the 7 before are kept.
    QFile in(eth);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray bytes = in.readAll();
    std::int64_t cut = 24;
    for (int rec = 0; rec < 9; ++rec) {  // 7 IPv4 and 2 ARP records, then half of the next
        std::uint32_t caplen;
        std::memcpy(&caplen, bytes.constData() + cut + 8, 4);
        cut += 16 + caplen;
    }
    const QString truncated = dir.filePath("truncated.pcap");
    QFile out(truncated);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(bytes.left(cut + 30));
    out.close();
    auto w2 = Make();
    const QString mt = w2->OpenCaptureFile(truncated);
    EXPECT_TRUE(mt.contains(QString::fromUtf8("在第 9 个数据包后停止"))) << mt.toStdString();
    EXPECT_TRUE(mt.contains(QString::fromUtf8("7 个数据报"))) << mt.toStdString();
    EXPECT_EQ(Rows(*w2), 7);

    // Not a capture file: a clear message, nothing changes.
    const QString text = dir.filePath("notes.txt");
    QFile t(text);
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.write("these are not packets\n");
    t.close();
    const QString mx = w2->OpenCaptureFile(text);
    EXPECT_TRUE(mx.contains(QString::fromUtf8("作为捕获文件打开"))) << mx.toStdString();
    EXPECT_EQ(Rows(*w2), 7);
    EXPECT_EQ(w2->Views().lSeq(), 7);
    EXPECT_FALSE(w2->OpenCaptureFile(dir.filePath("missing.pcap")).isEmpty());
    EXPECT_FALSE(w2->OpenCaptureFile(dir.path()).isEmpty());

    // Refused while a capture runs.
    w2->Combo1()->addItem(QStringLiteral("10.9.0.1"));
    w2->Combo1()->setCurrentIndex(w2->Combo1()->count() - 1);
    w2->StartCapture();
    ASSERT_TRUE(w2->CaptureOpen());
    const QString mr = w2->OpenCaptureFile(eth);
    EXPECT_TRUE(mr.contains(QString::fromUtf8("请先停止捕获"))) << mr.toStdString();
    EXPECT_EQ(w2->Views().lSeq(), 7);
    w2->StopCapture();
}

// A save that cannot be written says why and leaves no file behind.
TEST_F(CaptureFilesTest, SaveFailuresLeaveNoFile)
{
    auto w = Make();
    Store(*w, 1, 5);
    const QString m1 = w->SaveCaptureFile(dir.filePath("no/such/dir/x.pcapng"), false);
    EXPECT_TRUE(m1.contains("No such file or directory")) << m1.toStdString();
    // A device is no file a save replaces.
    const QString m2 = w->SaveCaptureFile(QStringLiteral("/dev/full"), false);
    EXPECT_TRUE(m2.contains(QString::fromUtf8("不是普通文件"))) << m2.toStdString();
    // An earlier file of that name survives a failed save.
    const QString keep = dir.filePath("keep.pcapng");
    ASSERT_EQ(w->SaveCaptureFile(keep, false), QString());
    const auto before = ReadWithLibpcap(keep);
    ASSERT_EQ(before.size(), 5u);
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0500), 0);
    const QString m3 = w->SaveCaptureFile(keep, false);
    ::chmod(QFile::encodeName(dir.path()).constData(), 0700);
    // Root may still write in a read-only folder; either way the file is whole.
    if (!m3.isEmpty()) {
        EXPECT_TRUE(m3.contains("denied")) << m3.toStdString();
    }
    EXPECT_EQ(ReadWithLibpcap(keep).size(), 5u);
    EXPECT_EQ(QDir(dir.path()).entryList({".keep.pcapng.*"}, QDir::Files | QDir::Hidden | QDir::System), QStringList());
    EXPECT_EQ(w->Views().lSeq(), 5);
}

// What is no regular file is refused at once with a message, never waited on.
TEST_F(CaptureFilesTest, PipesDevicesSocketsAndFoldersAreRefusedAtOnce)
{
    auto w = Make();
    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString sock = dir.filePath("sock");
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, QFile::encodeName(sock).constData(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    for (const QString& path : {fifo, sock, QStringLiteral("/dev/zero"), dir.path()}) {
        messages.clear();
        QElapsedTimer t;
        t.start();
        w->OpenAndTell(path);
        EXPECT_LT(t.elapsed(), 1000) << path.toStdString();
        ASSERT_EQ(messages.size(), 1) << path.toStdString();
        EXPECT_TRUE(messages[0].contains(path == dir.path() ? "文件夹" : "不是普通文件")) << messages[0].toStdString();
    }
    ::close(fd);
    EXPECT_EQ(w->Views().lSeq(), 0);
}

// A long read shows the progress dialog; Cancel there keeps what was read.
TEST_F(CaptureFilesTest, OpenShowsProgressAndCancels)
{
    const QString path = dir.filePath("long.pcap");
    constexpr int kPackets = 3000000;
    ASSERT_TRUE(WriteSameDatagram(path, kPackets));

    auto w = Make();
    w->show();
    bool sawDialog = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dlg = w->findChild<QProgressDialog*>(QStringLiteral("dlgProgress"));
        if (dlg && dlg->isVisible()) {
            sawDialog = true;
            dlg->cancel();
        }
    });
    poll.start(50);
    const QString m = w->OpenCaptureFile(path);
    poll.stop();
    const std::int64_t kept = w->Views().lSeq();
    ASSERT_TRUE(sawDialog) << "reading " << kPackets << " packets showed no progress dialog";
    EXPECT_TRUE(m.contains(QString::fromUtf8("已取消"))) << m.toStdString();
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, kPackets);
    EXPECT_EQ(Rows(*w), kept);
    EXPECT_EQ(w->findChild<QProgressDialog*>(QStringLiteral("dlgProgress")), nullptr);
    // The file can be read again afterwards.
    EXPECT_EQ(w->SaveCaptureFile(dir.filePath("kept.pcapng"), false), QString());
    EXPECT_EQ(static_cast<std::int64_t>(ReadWithLibpcap(dir.filePath("kept.pcapng")).size()), kept);
}

// A working file that cannot be made: the capture and the opening of a file
// are refused with a message naming the directory; the window stays usable.
TEST_F(CaptureFilesTest, NoWorkingFileNoCapture)
{
    frmMain::Options o;
    o.portDir = dir.path();
    o.kernelMajor = [] { return std::optional<int>(6); };
    o.openCapture = fake.opener();
    o.message = [this](const QString& text) { messages << text; };
    o.captureDir = dir.filePath(QStringLiteral("no/such/dir"));
    frmMain w(o);
    w.Combo1()->addItem(QStringLiteral("10.9.0.1"));
    w.Combo1()->setCurrentIndex(w.Combo1()->count() - 1);
    w.StartCapture();
    EXPECT_FALSE(w.CaptureOpen());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(o.captureDir)) << messages[0].toStdString();
    const QString open = w.OpenCaptureFile(dir.filePath(QStringLiteral("iana.txt")));
    EXPECT_TRUE(open.contains(QString::fromUtf8("工作捕获文件"))) << open.toStdString();
    EXPECT_EQ(w.Views().lSeq(), 0);

    // The directory appears: the next start works and packets are kept there.
    ASSERT_TRUE(QDir().mkpath(o.captureDir));
    w.StartCapture();
    EXPECT_TRUE(w.CaptureOpen());
    Store(w, 1, 3);
    EXPECT_EQ(w.Views().lSeq(), 3);
    ASSERT_NE(w.Views().Spool(), nullptr);
    EXPECT_TRUE(QString::fromStdString(w.Views().Spool()->directory()).startsWith(o.captureDir));
    w.StopCapture();
}

namespace quillet {
namespace {

// Opening a file is held to the same budget as a capture: past the memory
// limit reading stops with a message, what was read stays, and the next
// opening starts afresh.
TEST_F(CaptureFilesTest, OpeningStopsAtTheMemoryLimit)
{
    const QString path = dir.filePath("big.pcap");
    constexpr int kPackets = 400000;
    ASSERT_TRUE(WriteSameDatagram(path, kPackets));

    frmMain::Options o;
    o.portDir = dir.path();
    o.kernelMajor = [] { return std::optional<int>(6); };
    o.message = [this](const QString& text) { messages << text; };
    o.memoryLimitBytes = 1;  // already passed: the first check stops
    frmMain w(o);
    const QString m = w.OpenCaptureFile(path);
    EXPECT_TRUE(m.contains(QString::fromUtf8("已停止"))) << m.toStdString();
    EXPECT_TRUE(m.contains(QString::fromUtf8("内存"))) << m.toStdString();
    const std::int64_t kept = w.Views().lSeq();
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, kPackets);
    EXPECT_EQ(Rows(w), kept);
    EXPECT_TRUE(m.contains(QString::number(kept))) << m.toStdString();
    // Still viewable and savable.
    EXPECT_EQ(w.SaveCaptureFile(dir.filePath("kept.pcapng"), false), QString());
    EXPECT_EQ(static_cast<std::int64_t>(ReadWithLibpcap(dir.filePath("kept.pcapng")).size()), kept);
}

}  // namespace
}  // namespace quillet
