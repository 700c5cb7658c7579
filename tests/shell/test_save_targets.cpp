// What a save may put its file in place of, and what a file's packets keep
// through the window: their programs, shown as live ones are, and their
// original lengths (needs root: files of another user are made with chown).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QAbstractItemModel>
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

// (original length, captured length) of every record, as tshark reads them.
std::vector<std::pair<int, int>> LengthsByTshark(const QString& path)
{
    std::vector<std::pair<int, int>> out;
    const std::string command = "tshark -r '" + Native(path) + "' -T fields -e frame.len -e frame.cap_len 2>/dev/null";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    int len = 0, cap = 0;
    while (std::fscanf(p, "%d %d", &len, &cap) == 2)
        out.emplace_back(len, cap);
    ::pclose(p);
    return out;
}

// The same as libpcap reads them.
std::vector<std::pair<int, int>> LengthsByLibpcap(const std::string& path)
{
    std::vector<std::pair<int, int>> out;
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    EXPECT_NE(p, nullptr) << err;
    if (!p)
        return out;
    pcap_pkthdr* h;
    const u_char* data;
    while (pcap_next_ex(p, &h, &data) == 1)
        out.emplace_back(int(h->len), int(h->caplen));
    pcap_close(p);
    return out;
}

class SaveTargets : public ::testing::Test {
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
        o.captureDir = dir.filePath("spool");
        QDir().mkpath(o.captureDir);
        o.kernelMajor = [] { return std::optional<int>(6); };
        o.openCapture = fake.opener();
        o.message = [](const QString&) {};
        o.hostNames = false;
        return std::make_unique<frmMain>(o);
    }
    // Five datagrams stored through the receive path.
    static void Store(frmMain& w)
    {
        for (int i = 0; i < 5; ++i)
            w.ReceiveDatagrams({Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, std::uint16_t(5000 + i), "secret cookie")},
                               1700000000000000 + i);
    }
    // Names in the folder other than those given: what a save left behind.
    QStringList Others(const QStringList& expected) const
    {
        QStringList left = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString& name : expected)
            left.removeAll(name);
        return left;
    }

    QTemporaryDir dir;
    quillet::test::FakeOpener fake;
};

// A pipe, a device, a socket or a folder at the chosen name (or a link to one) is refused with a
// message before anything is written: a pipe another user planted and reads receives nothing.
TEST_F(SaveTargets, OnlyRegularFilesAreReplacedAndNothingReachesAPlantedPipe)
{
    auto w = Make();
    Store(*w);
    const std::string planted = Native(dir.filePath("planted.fifo"));
    ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(planted.c_str(), 0666), 0);
    ASSERT_EQ(::chown(planted.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::mkdir(Native(dir.filePath("folder")).c_str(), 0700), 0);
    struct Case {
        const char* name;
        std::function<int(const std::string&)> make;
        const char* says;
        bool pipe;  // leads to the planted pipe
    };
    const std::vector<Case> cases = {
        {"cap.pcapng", [](const std::string& p) { return ::mkfifo(p.c_str(), 0666) || ::chown(p.c_str(), kNobody, kNobody); },
         "不是普通文件", false},
        {"link-to-pipe.pcapng", [&](const std::string& p) { return ::symlink(planted.c_str(), p.c_str()); }, "不是普通文件", true},
        {"link-to-device.pcap", [](const std::string& p) { return ::symlink("/dev/null", p.c_str()); }, "不是普通文件", false},
        {"folder", [](const std::string&) { return 0; }, "文件夹", false},
        {"link-to-folder.pcapng", [&](const std::string& p) { return ::symlink(Native(dir.filePath("folder")).c_str(), p.c_str()); },
         "文件夹", false},
    };
    QStringList names = {"planted.fifo", "folder", "spool", "iana.txt", "predefs.txt", "trojans.txt"};
    for (const Case& c : cases) {
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        const std::string target = Native(path);
        ASSERT_EQ(c.make(target), 0) << c.name;
        names << QString::fromLatin1(c.name);
        struct stat before {};
        ASSERT_EQ(::lstat(target.c_str(), &before), 0);
        // The other user reads the pipe all along.
        const bool pipe = c.pipe || S_ISFIFO(before.st_mode);
        const int reader = pipe ? ::open(c.pipe ? planted.c_str() : target.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        if (pipe) {
            ASSERT_GE(reader, 0) << c.name;
        }
        const QString message = w->SaveCaptureFile(path, false);
        EXPECT_TRUE(message.contains(QString::fromUtf8(c.says))) << c.name << ": " << message.toStdString();
        EXPECT_TRUE(message.contains(QDir::toNativeSeparators(path))) << message.toStdString();
        if (reader >= 0) {
            char buffer[4096];
            const ssize_t got = ::read(reader, buffer, sizeof buffer);
            EXPECT_LE(got, 0) << c.name << ": the pipe received " << got << " bytes";
            ::close(reader);
        }
        struct stat after {};
        ASSERT_EQ(::lstat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << c.name << ": the name still holds what was there";
        EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
        EXPECT_EQ(Others(names), QStringList()) << c.name;
    }
    EXPECT_EQ(w->Views().lSeq(), 5);
}

// A replaced file of another user (0666 in a shared folder) does not pass its mode on: the new
// file is the user's own and 0600. The user's own file keeps its mode.
TEST_F(SaveTargets, AnotherUsersFileReplacedBecomesPrivate)
{
    auto w = Make();
    Store(*w);
    struct Case {
        const char* name;
        uid_t owner;
        mode_t mode;
        mode_t expect;
    };
    for (const Case& c : {Case{"theirs.pcapng", kNobody, 0666, 0600}, Case{"theirs.pcap", kNobody, 0644, 0600},
                          Case{"mine.pcapng", ::geteuid(), 0640, 0640}}) {
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        const std::string target = Native(path);
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old contents");
        old.close();
        ASSERT_EQ(::chown(target.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        ASSERT_EQ(w->SaveCaptureFile(path, false), QString()) << c.name;
        struct stat st {};
        ASSERT_EQ(::lstat(target.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.expect) << c.name;
        EXPECT_EQ(st.st_uid, ::geteuid()) << c.name;
        EXPECT_EQ(LengthsByLibpcap(target).size(), 5u) << c.name;
    }
}

// Programs named by a file's comments go through the escaping of live names, in the program
// column, ProgramOfRow and both totals tables; a comment that is no "NAME (PID)" of at most 64
// characters names none; a save writes what is shown.
TEST_F(SaveTargets, ProgramsFromAFileShowEscapedAndAreSavedSo)
{
    const std::string long64(64, 'n');
    struct Case {
        std::string comment;
        QString shown;  // empty: no program
    };
    const std::vector<Case> cases = {
        {"program: \u202Egpj.exe (1337)", QStringLiteral("\\u202egpj.exe (1337)")},
        {"program: bell\a\x1b[31mred (7)", QStringLiteral("bell\\x07\\x1b[31mred (7)")},
        {"program: two\nlines (8)", QStringLiteral("two\\x0alines (8)")},
        {"program: " + std::string(65000, 'a') + " (9)", QString()},
        {"program: " + long64 + "n (10)", QString()},
        {"program: " + long64 + " (11)", QString::fromStdString(long64 + " (11)")},
        {"program: curl (12) and more", QString()},
        {"program: curl", QString()},
        {"program: " + std::string("\u2067") + "x (13)", QStringLiteral("\\u2067x (13)")},
    };
    const QString in = dir.filePath("programs.pcapng");
    {
        std::string error;
        auto writer = CaptureFileWriter::Create(Native(in), CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw, error);
        ASSERT_TRUE(writer) << error;
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Bytes d = Ipv4Udp("10.9.0.2", "10.9.0.1", std::uint16_t(4000 + i), 53, "x");
            ASSERT_TRUE(writer->Append(1700000000000000 + std::int64_t(i), d, std::uint32_t(d.size()), cases[i].comment));
        }
        ASSERT_TRUE(writer->Close());
    }
    auto w = Make();
    ASSERT_EQ(w->OpenCaptureFile(in), QString());
    QAbstractItemModel* list = w->lv()->model();
    ASSERT_EQ(list->rowCount(), int(cases.size()));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(list->index(int(i), kColProgram).data().toString(), cases[i].shown) << i;
        EXPECT_EQ(w->ProgramOfRow(int(i)), cases[i].shown) << i;
    }
    // Both totals tables: the programs' rows, and the programs column of the host.
    frmTotals* totals = w->ShowTotals();
    totals->Refresh();
    QStringList programs;
    for (int r = 0; r < totals->lvPrograms()->model()->rowCount(); ++r)
        programs << totals->lvPrograms()->model()->index(r, 0).data().toString();
    QString hostPrograms;
    const QAbstractItemModel* hosts = totals->lvHosts()->model();
    for (int r = 0; r < hosts->rowCount(); ++r)
        if (hosts->index(r, 0).data().toString() == "10.9.0.2")
            hostPrograms = hosts->index(r, 6).data().toString();
    const QStringList onHost = hostPrograms.split(QStringLiteral(", "), Qt::SkipEmptyParts);
    for (const Case& c : cases) {
        if (c.shown.isEmpty())
            continue;
        EXPECT_TRUE(programs.contains(c.shown)) << c.shown.toStdString();
        EXPECT_TRUE(onHost.contains(c.shown)) << c.shown.toStdString() << " in " << hostPrograms.toStdString();
    }
    for (const QString& text : programs + onHost)
        for (const QChar ch : text)
            EXPECT_TRUE(ch.isPrint() && ch.direction() != QChar::DirRLO && ch.direction() != QChar::DirRLI)
                << text.toStdString();
    // Saved: the comments hold the escaped names, and nothing for the rest.
    const QString out = dir.filePath("saved.pcapng");
    ASSERT_EQ(w->SaveCaptureFile(out, false), QString());
    auto notes = PcapngNotes::Open(Native(out));
    ASSERT_TRUE(notes);
    std::string comment;
    for (const Case& c : cases) {
        ASSERT_TRUE(notes->NextPacket(comment));
        EXPECT_EQ(comment, c.shown.isEmpty() ? std::string() : "program: " + c.shown.toStdString());
    }
}

// Datagrams a file kept only the first part of keep their original length: in the working file,
// and in both formats saved (frame.len as tshark reads it, against frame.cap_len).
TEST_F(SaveTargets, SavedFilesKeepOriginalLengths)
{
    const Bytes big = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5000, std::string(1472, 'b'));  // 1500 bytes
    const Bytes jumbo = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5001, std::string(8972, 'j'));  // 9000 bytes
    const Bytes small = Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5002, "");                      // 28 bytes
    auto ethernet = [](const Bytes& d) {
        Bytes f(12, 0x02);
        f.push_back(0x08);
        f.push_back(0x00);
        f.insert(f.end(), d.begin(), d.end());
        return f;
    };
    const QString eth = dir.filePath("cut.pcap");
    const QString raw = dir.filePath("cut.pcapng");
    {
        std::string error;
        auto w = CaptureFileWriter::Create(Native(eth), CaptureFileFormat::Pcap, 1, error);
        ASSERT_TRUE(w) << error;
        const Bytes frame = ethernet(big);
        ASSERT_TRUE(w->Append(1, std::span(frame).first(110), std::uint32_t(frame.size())));  // cut at 110 of 1514
        Bytes padded = ethernet(small);
        padded.resize(60, 0);  // padded to the least frame: the padding is no part of the datagram
        ASSERT_TRUE(w->Append(2, padded, 60));
        ASSERT_TRUE(w->Append(3, frame, std::uint32_t(frame.size())));  // whole
        ASSERT_TRUE(w->Close());
        auto r = CaptureFileWriter::Create(Native(raw), CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw, error);
        ASSERT_TRUE(r) << error;
        ASSERT_TRUE(r->Append(4, std::span(jumbo).first(200), 9000));
        ASSERT_TRUE(r->Close());
    }
    const std::vector<std::pair<int, int>> expect = {{1500, 96}, {28, 28}, {1500, 1500}, {9000, 200}};
    auto w = Make();
    ASSERT_EQ(w->OpenCaptureFile(eth), QString());
    ASSERT_EQ(w->OpenCaptureFile(raw), QString());
    ASSERT_EQ(w->Views().lSeq(), 4);
    ASSERT_TRUE(w->Views().Spool()->Flush());
    EXPECT_EQ(LengthsByLibpcap(w->Views().Spool()->directory() + "/capture.pcapng"), expect) << "the working file";
    for (const char* name : {"saved.pcapng", "saved.pcap"}) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        ASSERT_EQ(w->SaveCaptureFile(path, false), QString());
        EXPECT_EQ(LengthsByTshark(path), expect) << name;
    }
    // Opened again and saved again, the lengths stay.
    auto again = Make();
    ASSERT_EQ(again->OpenCaptureFile(dir.filePath("saved.pcap")), QString());
    const QString twice = dir.filePath("twice.pcapng");
    ASSERT_EQ(again->SaveCaptureFile(twice, false), QString());
    EXPECT_EQ(LengthsByLibpcap(Native(twice)), expect);
}

}  // namespace
