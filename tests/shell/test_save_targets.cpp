// Needs root: another user's files are made with chown.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>

#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>

#include "core/CaptureFile.h"
#include "core/PcapngNotes.h"
#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/frmMain.h"
#include "views/ListRoles.h"
#include "views/frmTotals.h"

using namespace quillet;
using quillet::test::Ipv4Udp;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr uid_t kNobody = 65534;

std::string Native(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// (frame.len, frame.cap_len) of every record, as tshark reads them.
std::vector<std::pair<int, int>> Lengths(const std::string& path)
{
    std::vector<std::pair<int, int>> out;
    FILE* p = ::popen(("tshark -r '" + path + "' -T fields -e frame.len -e frame.cap_len 2>/dev/null").c_str(), "r");
    int len = 0, cap = 0;
    while (p && std::fscanf(p, "%d %d", &len, &cap) == 2)
        out.emplace_back(len, cap);
    if (p)
        ::pclose(p);
    return out;
}

class SaveTargets : public ::testing::Test {
protected:
    void SetUp() override { quillet::test::WriteEmptyPortFiles(dir.path()); }
    std::unique_ptr<frmMain> Make()
    {
        frmMain::Options o;
        o.portDir = dir.path();
        o.kernelMajor = [] { return std::optional<int>(6); };
        o.openCapture = fake.opener();
        o.message = [](const QString&) {};
        o.hostNames = false;
        return std::make_unique<frmMain>(o);
    }
    QString Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir dir;
    quillet::test::FakeOpener fake;
};

TEST_F(SaveTargets, OnlyRegularFilesAreReplacedAndAnotherUsersModeIsNotKept)
{
    auto w = Make();
    w->ReceiveDatagrams({Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5000, "secret cookie")}, 1700000000000000);
    const std::string fifo = Native(Path("cap.pcapng"));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(::chown(fifo.c_str(), kNobody, kNobody), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::symlink(fifo.c_str(), Native(Path("link.pcapng")).c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", Native(Path("null.pcap")).c_str()), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    const std::pair<const char*, const char*> refused[] = {
        {"cap.pcapng", "不是普通文件"}, {"link.pcapng", "不是普通文件"}, {"null.pcap", "不是普通文件"}, {"folder", "文件夹"}};
    for (const auto& [name, says] : refused) {
        struct stat before {}, after {};
        ASSERT_EQ(::lstat(Native(Path(name)).c_str(), &before), 0);
        const QString message = w->SaveCaptureFile(Path(name), false);
        EXPECT_TRUE(message.contains(QString::fromUtf8(says))) << name << ": " << message.toStdString();
        char buffer[512];
        EXPECT_LE(::read(reader, buffer, sizeof buffer), 0) << name << ": the pipe received bytes";
        ASSERT_EQ(::lstat(Native(Path(name)).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << name << ": still what was there";
    }
    ::close(reader);
    EXPECT_EQ(QDir(dir.path()).entryList({".cap*", ".link*", ".null*"}, QDir::Files | QDir::Hidden), QStringList());

    const std::tuple<const char*, uid_t, mode_t, mode_t> replaced[] = {{"theirs.pcapng", kNobody, 0666, 0600},
                                                                       {"mine.pcapng", ::geteuid(), 0640, 0640}};
    for (const auto& [name, owner, mode, expect] : replaced) {
        const std::string target = Native(Path(name));
        ASSERT_TRUE(QFile(Path(name)).open(QIODevice::WriteOnly));
        ASSERT_EQ(::chown(target.c_str(), owner, owner), 0);
        ASSERT_EQ(::chmod(target.c_str(), mode), 0);
        ASSERT_EQ(w->SaveCaptureFile(Path(name), false), QString()) << name;
        struct stat st {};
        ASSERT_EQ(::lstat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, expect) << name;
        EXPECT_EQ(st.st_uid, ::geteuid()) << name;
    }
}

TEST_F(SaveTargets, ProgramsFromAFileShowEscapedAndAreSavedSo)
{
    const std::string n64(64, 'n');
    const std::vector<std::pair<std::string, QString>> cases = {
        {"program: \u202Egpj.exe (1337)", QStringLiteral("\\u202egpj.exe (1337)")},
        {"program: bell\a\x1b[31m\nred (7)", QStringLiteral("bell\\x07\\x1b[31m\\x0ared (7)")},
        {"program: " + n64 + " (11)", QString::fromStdString(n64 + " (11)")},
        {"program: " + std::string(65000, 'a') + " (9)", QString()},
        {"program: " + n64 + "n (10)", QString()},
        {"program: curl (12) more", QString()},
        {"program: curl (4294967296)", QString()},
    };
    const QString in = Path("programs.pcapng");
    std::string error;
    auto writer = CaptureFileWriter::Create(Native(in), CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw, error);
    ASSERT_TRUE(writer) << error;
    const Bytes d = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 53, "x");
    for (const auto& [comment, shown] : cases)
        ASSERT_TRUE(writer->Append(1700000000000000, d, std::uint32_t(d.size()), comment));
    ASSERT_TRUE(writer->Close());
    auto w = Make();
    ASSERT_EQ(w->OpenCaptureFile(in), QString());
    frmTotals* totals = w->ShowTotals();
    totals->Refresh();
    QStringList programs;
    for (int r = 0; r < totals->lvPrograms()->model()->rowCount(); ++r)
        programs << totals->lvPrograms()->model()->index(r, 0).data().toString();
    QStringList onHost;
    const QAbstractItemModel* hosts = totals->lvHosts()->model();
    for (int r = 0; r < hosts->rowCount(); ++r)
        if (hosts->index(r, 0).data().toString() == "10.9.0.2")
            onHost = hosts->index(r, 6).data().toString().split(", ", Qt::SkipEmptyParts);
    ASSERT_EQ(w->lv()->model()->rowCount(), int(cases.size()));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const QString& shown = cases[i].second;
        EXPECT_EQ(w->lv()->model()->index(int(i), kColProgram).data().toString(), shown) << i;
        EXPECT_EQ(w->ProgramOfRow(int(i)), shown) << i;
        EXPECT_EQ(programs.contains(shown), true) << i;
        EXPECT_EQ(onHost.contains(shown), !shown.isEmpty()) << i;
    }
    EXPECT_EQ(programs.size(), 4);  // three programs and "none"
    const QString out = Path("saved.pcapng");
    ASSERT_EQ(w->SaveCaptureFile(out, false), QString());
    auto notes = PcapngNotes::Open(Native(out));
    ASSERT_TRUE(notes);
    std::string comment;
    for (const auto& [given, shown] : cases) {
        ASSERT_TRUE(notes->NextPacket(comment));
        EXPECT_EQ(comment, shown.isEmpty() ? std::string() : "program: " + shown.toStdString());
    }
}

TEST_F(SaveTargets, SavedFilesKeepOriginalLengths)
{
    Bytes frame(12, 0x02);
    frame.push_back(0x08);
    frame.push_back(0x00);
    Bytes padded = frame;
    const Bytes big = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5000, std::string(1472, 'b'));  // 1500 bytes
    const Bytes small = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5001, "");                    // 28 bytes
    frame.insert(frame.end(), big.begin(), big.end());
    padded.insert(padded.end(), small.begin(), small.end());
    padded.resize(60, 0);
    std::string error;
    auto eth = CaptureFileWriter::Create(Native(Path("cut.pcap")), CaptureFileFormat::Pcap, 1, error);
    ASSERT_TRUE(eth && eth->Append(1, std::span(frame).first(110), 1514) && eth->Append(2, padded, 60)
                && eth->Append(3, frame, 1514) && eth->Close());
    auto raw = CaptureFileWriter::Create(Native(Path("cut.pcapng")), CaptureFileFormat::Pcapng, 101, error);
    ASSERT_TRUE(raw && raw->Append(4, std::span(big).first(200), 9000) && raw->Close());
    const std::vector<std::pair<int, int>> expect = {{1500, 96}, {28, 28}, {1500, 1500}, {9000, 200}};

    auto w = Make();
    ASSERT_EQ(w->OpenCaptureFile(Path("cut.pcap")), QString());
    ASSERT_EQ(w->OpenCaptureFile(Path("cut.pcapng")), QString());
    ASSERT_TRUE(w->Views().Spool()->Flush());
    EXPECT_EQ(Lengths(w->Views().Spool()->directory() + "/capture.pcapng"), expect) << "the working file";
    for (const char* name : {"saved.pcapng", "saved.pcap"}) {
        ASSERT_EQ(w->SaveCaptureFile(Path(name), false), QString());
        EXPECT_EQ(Lengths(Native(Path(name))), expect) << name;
    }
}

}  // namespace
