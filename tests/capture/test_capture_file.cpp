#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/CaptureFile.h"

using namespace quillet;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Packet {
    std::int64_t tsUs;
    Bytes bytes;
    std::uint32_t origLen;
};

Bytes Pattern(std::size_t n, std::uint8_t seed)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

std::vector<Packet> Sample()
{
    return {
        {1700000000123456, Pattern(20, 1), 20},
        {1700000000999999, Pattern(1, 2), 1},         // needs padding in pcapng
        {1700000001000000, Pattern(1499, 3), 1499},
        {1700000002000007, Pattern(64, 4), 9000},     // cut short: original longer
        {2100000000000001, Pattern(65535, 5), 65535}, // high word of the pcapng timestamp set
    };
}

std::string TempDir()
{
    std::string pattern = ::testing::TempDir() + "capfileXXXXXX";
    char* d = ::mkdtemp(pattern.data());
    EXPECT_NE(d, nullptr);
    return pattern;
}

Bytes FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every record of a file as libpcap reads it.
std::vector<Packet> ReadWithLibpcap(const std::string& path, int& linkType)
{
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    EXPECT_NE(p, nullptr) << err;
    std::vector<Packet> out;
    if (!p)
        return out;
    linkType = pcap_datalink(p);
    pcap_pkthdr* h;
    const u_char* data;
    int rc;
    while ((rc = pcap_next_ex(p, &h, &data)) == 1)
        out.push_back({std::int64_t(h->ts.tv_sec) * 1000000 + h->ts.tv_usec, Bytes(data, data + h->caplen), h->len});
    EXPECT_EQ(rc, PCAP_ERROR_BREAK) << pcap_geterr(p);
    pcap_close(p);
    return out;
}

void ExpectSame(const std::vector<Packet>& got, const std::vector<Packet>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].tsUs, want[i].tsUs) << "packet " << i;
        EXPECT_EQ(got[i].origLen, want[i].origLen) << "packet " << i;
        EXPECT_EQ(got[i].bytes, want[i].bytes) << "packet " << i;
    }
}

}  // namespace

TEST(CaptureFile, FormatChosenByName)
{
    EXPECT_EQ(CaptureFileFormatForName("a.pcap"), CaptureFileFormat::Pcap);
    EXPECT_EQ(CaptureFileFormatForName("/x/y/A.PCAP"), CaptureFileFormat::Pcap);
    EXPECT_EQ(CaptureFileFormatForName(".Pcap"), CaptureFileFormat::Pcap);
    EXPECT_EQ(CaptureFileFormatForName("a.pcapng"), CaptureFileFormat::Pcapng);
    EXPECT_EQ(CaptureFileFormatForName("a.pcap.gz"), CaptureFileFormat::Pcapng);
    EXPECT_EQ(CaptureFileFormatForName("pcap"), CaptureFileFormat::Pcapng);
    EXPECT_EQ(CaptureFileFormatForName(""), CaptureFileFormat::Pcapng);
}

// Both formats read back by libpcap with exact bytes, timestamps and original
// lengths, and every reported offset points at the packet's first byte.
TEST(CaptureFile, WriterOutputReadByLibpcap)
{
    const std::string dir = TempDir();
    for (auto format : {CaptureFileFormat::Pcapng, CaptureFileFormat::Pcap}) {
        SCOPED_TRACE(format == CaptureFileFormat::Pcap ? "pcap" : "pcapng");
        const std::string path = dir + (format == CaptureFileFormat::Pcap ? "/out.pcap" : "/out.pcapng");
        std::string error;
        auto w = CaptureFileWriter::Create(path, format, CaptureFileWriter::kLinkTypeRaw, error);
        ASSERT_TRUE(w) << error;
        const auto packets = Sample();
        std::vector<std::uint64_t> offsets;
        for (const auto& p : packets) {
            std::uint64_t off = 0;
            ASSERT_TRUE(w->Append(p.tsUs, p.bytes, p.origLen, &off)) << w->error();
            offsets.push_back(off);
        }
        const auto size = w->bytesWritten();
        ASSERT_TRUE(w->Close()) << w->error();

        const Bytes file = FileBytes(path);
        EXPECT_EQ(file.size(), size);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            ASSERT_LE(offsets[i] + packets[i].bytes.size(), file.size());
            EXPECT_TRUE(std::equal(packets[i].bytes.begin(), packets[i].bytes.end(), file.begin() + offsets[i]))
                << "offset of packet " << i;
        }
        int linkType = -1;
        ExpectSame(ReadWithLibpcap(path, linkType), packets);
        EXPECT_EQ(linkType, DLT_RAW);  // libpcap reports LINKTYPE_RAW as DLT_RAW
    }
    // An empty file still has its headers and is read as zero packets.
    std::string error;
    auto w = CaptureFileWriter::Create(dir + "/empty.pcapng", CaptureFileFormat::Pcapng, 1, error);
    ASSERT_TRUE(w && w->Close());
    int linkType = -1;
    EXPECT_TRUE(ReadWithLibpcap(dir + "/empty.pcapng", linkType).empty());
    EXPECT_EQ(linkType, 1);
    std::system(("rm -rf " + dir).c_str());
}

TEST(CaptureFile, WriteFailuresAreReported)
{
    std::string error;
    // /dev/full accepts the open and refuses every write.
    auto w = CaptureFileWriter::Create("/dev/full", CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw,
                                       error);
    ASSERT_TRUE(w) << error;
    const Bytes d = Pattern(100, 9);
    EXPECT_TRUE(w->Append(1, d, 100));  // still in the buffer
    EXPECT_FALSE(w->Flush());
    EXPECT_EQ(w->error(), "No space left on device");
    EXPECT_FALSE(w->Append(2, d, 100));
    EXPECT_FALSE(w->Close());
    EXPECT_EQ(w->error(), "No space left on device");

    // Filling the buffer past 1 MiB writes it out, so the failure shows in Append.
    auto w2 = CaptureFileWriter::Create("/dev/full", CaptureFileFormat::Pcap, CaptureFileWriter::kLinkTypeRaw,
                                        error);
    ASSERT_TRUE(w2);
    const Bytes big = Pattern(60000, 1);
    bool failed = false;
    for (int i = 0; i < 40 && !failed; ++i)
        failed = !w2->Append(i, big, 60000);
    EXPECT_TRUE(failed);
    EXPECT_EQ(w2->error(), "No space left on device");

    EXPECT_FALSE(CaptureFileWriter::Create("/nonexistent-dir/x.pcapng", CaptureFileFormat::Pcapng, 101, error));
    EXPECT_EQ(error, "No such file or directory");

    std::string spoolError;
    EXPECT_FALSE(CaptureSpool::Create("/nonexistent-dir", spoolError));
    EXPECT_NE(spoolError.find("No such file or directory"), std::string::npos) << spoolError;

    // An oversized record is refused, not written half.
    const std::string dir = TempDir();
    auto w3 = CaptureFileWriter::Create(dir + "/big.pcapng", CaptureFileFormat::Pcapng, 101, error);
    ASSERT_TRUE(w3);
    EXPECT_FALSE(w3->Append(0, Bytes(CaptureFileWriter::kMaxPacketBytes + 1), 0));
    EXPECT_FALSE(w3->error().empty());
    std::system(("rm -rf " + dir).c_str());
}

// The working file: private modes, bytes back by offset before and after the
// buffer is written, a file libpcap can read, and nothing left behind.
TEST(CaptureFile, SpoolStoresAndReadsBack)
{
    const std::string base = TempDir();
    std::string error;
    auto spool = CaptureSpool::Create(base, error);
    ASSERT_TRUE(spool) << error;
    const std::string dir = spool->directory();
    const std::string file = dir + "/capture.pcapng";
    EXPECT_EQ(dir.rfind(base + "/", 0), 0u) << dir;

    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    int linkType = -1;
    EXPECT_TRUE(ReadWithLibpcap(file, linkType).empty()) << "a capture file from the start";

    std::vector<Packet> packets;
    std::vector<std::uint64_t> offsets;
    // About 2.5 MiB: the buffer is written out twice on the way.
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) {
        packets.push_back({1700000000000000 + i * 1000, Pattern(20 + (i * 37) % 1400, std::uint8_t(i)),
                           std::uint32_t(20 + (i * 37) % 1400)});
        std::uint64_t off = 0;
        ASSERT_TRUE(spool->Append(packets.back().tsUs, packets.back().bytes, packets.back().origLen, off));
        offsets.push_back(off);
    }
    // The periodic write takes the fill buffer's records once per interval; on a
    // machine too loaded to append them within it, they may be written already.
    const bool quick = std::chrono::steady_clock::now() - started < CaptureSpool::kPublishInterval / 2;
    if (quick)
        EXPECT_LT(FileBytes(file).size(), spool->size()) << "last packets are still buffered";

    // The newest packet is still in the fill buffer: it is read from there.
    std::vector<std::uint8_t> v;
    ASSERT_TRUE(spool->Read(offsets.back(), std::uint32_t(packets.back().bytes.size()), v)) << spool->error();
    EXPECT_EQ(v, packets.back().bytes);
    ASSERT_TRUE(spool->Flush()) << spool->error();
    EXPECT_EQ(FileBytes(file).size(), spool->size());
    for (std::size_t i = 0; i < packets.size(); i += 97) {
        std::string s;
        ASSERT_TRUE(spool->Read(offsets[i], std::uint32_t(packets[i].bytes.size()), s)) << spool->error();
        EXPECT_EQ(Bytes(s.begin(), s.end()), packets[i].bytes) << i;
    }
    // In file order, backwards and scattered: all through the read-ahead window.
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const std::size_t j = i % 3 == 0 ? i : i % 3 == 1 ? packets.size() - 1 - i : (i * 7919) % packets.size();
        ASSERT_TRUE(spool->Read(offsets[j], std::uint32_t(packets[j].bytes.size()), v)) << j;
        ASSERT_EQ(v, packets[j].bytes) << j;
    }
    // Part of a packet.
    ASSERT_TRUE(spool->Read(offsets[5] + 3, 10, v));
    EXPECT_EQ(v, Bytes(packets[5].bytes.begin() + 3, packets[5].bytes.begin() + 13));

    // Appended after a flush, read while buffered again; the window read
    // before ended at the old end of the file and must not serve it.
    ASSERT_TRUE(spool->Read(offsets.back(), 4, v));
    std::uint64_t off = 0;
    const Bytes last = Pattern(333, 77);
    ASSERT_TRUE(spool->Append(1800000000000000, last, 333, off));
    ASSERT_TRUE(spool->Read(off, 333, v));
    EXPECT_EQ(v, last);
    packets.push_back({1800000000000000, last, 333});
    // One read spanning the end of the earlier window.
    ASSERT_TRUE(spool->Read(offsets[1999], std::uint32_t(off + 333 - offsets[1999]), v));
    EXPECT_TRUE(std::equal(last.begin(), last.end(), v.end() - 333));
    EXPECT_TRUE(std::equal(packets[1999].bytes.begin(), packets[1999].bytes.end(), v.begin()));

    // Out of range.
    EXPECT_FALSE(spool->Read(spool->size() - 5, 10, v));
    EXPECT_FALSE(spool->error().empty());
    EXPECT_TRUE(v.empty());

    ASSERT_TRUE(spool->Flush());
    ExpectSame(ReadWithLibpcap(file, linkType), packets);
    EXPECT_EQ(linkType, DLT_RAW);

    spool.reset();
    EXPECT_NE(::access(file.c_str(), F_OK), 0);
    EXPECT_NE(::access(dir.c_str(), F_OK), 0);
    EXPECT_EQ(::access(base.c_str(), F_OK), 0) << "the base directory is not ours";
    ::rmdir(base.c_str());
}

TEST(CaptureFile, DefaultDirectory)
{
    const char* savedDir = std::getenv("QUILLET_CAPTURE_DIR");
    const char* savedTmp = std::getenv("TMPDIR");
    const std::string keepDir = savedDir ? savedDir : "";
    const std::string keepTmp = savedTmp ? savedTmp : "";

    ::setenv("QUILLET_CAPTURE_DIR", "/srv/cap", 1);
    ::setenv("TMPDIR", "/scratch", 1);
    EXPECT_EQ(CaptureSpool::DefaultDirectory(), "/srv/cap");
    ::unsetenv("QUILLET_CAPTURE_DIR");
    EXPECT_EQ(CaptureSpool::DefaultDirectory(), "/scratch");
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(CaptureSpool::DefaultDirectory(), "/var/tmp");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(CaptureSpool::DefaultDirectory(), "/var/tmp");

    if (savedDir)
        ::setenv("QUILLET_CAPTURE_DIR", keepDir.c_str(), 1);
    if (savedTmp)
        ::setenv("TMPDIR", keepTmp.c_str(), 1);
}

namespace {

// Appends packets of 200 to 1,499 bytes until the spool holds about bytes more; each one's
// offset and bytes go to packets/offsets.
void AppendAbout(CaptureSpool& spool, std::uint64_t bytes, std::vector<Packet>& packets,
                 std::vector<std::uint64_t>& offsets)
{
    const std::uint64_t until = spool.size() + bytes;
    while (spool.size() < until) {
        const std::size_t i = packets.size();
        const std::uint32_t n = std::uint32_t(200 + (i * 131) % 1300);
        packets.push_back({1700000000000000 + std::int64_t(i), Pattern(n, std::uint8_t(i * 3)), n});
        std::uint64_t off = 0;
        ASSERT_TRUE(spool.Append(packets.back().tsUs, packets.back().bytes, n, off)) << spool.error();
        offsets.push_back(off);
    }
}

// Every packet read back by its offset, whole and as one read across each pair of neighbours.
void ExpectAllReadBack(CaptureSpool& spool, const std::vector<Packet>& packets,
                       const std::vector<std::uint64_t>& offsets)
{
    std::vector<std::uint8_t> v;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        ASSERT_TRUE(spool.Read(offsets[i], std::uint32_t(packets[i].bytes.size()), v)) << i << spool.error();
        ASSERT_EQ(v, packets[i].bytes) << i;
        if (i == 0)
            continue;
        ASSERT_TRUE(spool.Read(offsets[i - 1], std::uint32_t(offsets[i] + packets[i].bytes.size() - offsets[i - 1]), v));
        ASSERT_TRUE(std::equal(packets[i - 1].bytes.begin(), packets[i - 1].bytes.end(), v.begin())) << i;
        ASSERT_TRUE(std::equal(packets[i].bytes.begin(), packets[i].bytes.end(), v.end() - packets[i].bytes.size()))
            << i;
    }
}

}  // namespace

// Bytes come back by offset wherever they are: in the fill buffer, in buffers
// queued for the writer thread or being written, and in the file; the appending
// thread waits only when too much is queued.
TEST(CaptureFile, SpoolReadsWhileTheWriterThreadRuns)
{
    const std::string base = TempDir();
    std::string error;
    auto spool = CaptureSpool::Create(base, error);
    ASSERT_TRUE(spool) << error;
    const std::string file = spool->directory() + "/capture.pcapng";
    std::vector<Packet> packets;
    std::vector<std::uint64_t> offsets;

    // Held: five buffers queued, one filling, only the file's header in the file yet.
    spool->HoldWrites(true);
    AppendAbout(*spool, 5 * CaptureSpool::kBufferBytes + 1000, packets, offsets);
    EXPECT_EQ(FileBytes(file).size(), 48u);
    ExpectAllReadBack(*spool, packets, offsets);
    EXPECT_EQ(spool->waits().count, 0u);

    // Released: reads race with the writes and with the buffers coming back for reuse.
    spool->HoldWrites(false);
    for (int round = 0; round < 3; ++round) {
        AppendAbout(*spool, 2 * CaptureSpool::kBufferBytes, packets, offsets);
        ExpectAllReadBack(*spool, packets, offsets);
    }
    ASSERT_TRUE(spool->Flush()) << spool->error();
    EXPECT_EQ(FileBytes(file).size(), spool->size());
    ExpectAllReadBack(*spool, packets, offsets);
    int linkType = -1;
    ExpectSame(ReadWithLibpcap(file, linkType), packets);

    // Back-pressure: with writes held, the appending side stops at the bound
    // until the writer thread makes room, and nothing is lost on the way.
    spool->HoldWrites(true);
    std::thread release([&spool] {
        for (int i = 0; i < 3000 && spool->waits().count == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        spool->HoldWrites(false);
    });
    AppendAbout(*spool, CaptureSpool::kMaxInFlight + 2 * CaptureSpool::kBufferBytes, packets, offsets);
    release.join();
    EXPECT_GE(spool->waits().count, 1u);
    EXPECT_GE(spool->waits().nanoseconds, 100'000'000u);
    ASSERT_TRUE(spool->Flush());
    EXPECT_TRUE(spool->Check());
    ExpectSame(ReadWithLibpcap(file, linkType), packets);
    spool.reset();
    EXPECT_NE(::access(file.c_str(), F_OK), 0);
    ::rmdir(base.c_str());
}

// A write of the writer thread that fails (here at a file size limit) reaches
// the appending side with its error, and every packet appended before it,
// including the ones written halfway, still reads back.
TEST(CaptureFile, SpoolWriteFailureReachesTheCaller)
{
    const std::string base = TempDir();
    std::string error;
    auto spool = CaptureSpool::Create(base, error);
    ASSERT_TRUE(spool) << error;

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of the signal
    rlimit small = saved;
    small.rlim_cur = 3 * CaptureSpool::kBufferBytes + 12345;  // in the middle of the fourth buffer
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

    std::vector<Packet> packets;
    std::vector<std::uint64_t> offsets;
    bool failed = false;
    for (int i = 0; i < 200000 && !failed; ++i) {
        const Bytes b = Pattern(1000 + i % 400, std::uint8_t(i));
        std::uint64_t off = 0;
        if (spool->Append(i, b, std::uint32_t(b.size()), off)) {
            packets.push_back({i, b, std::uint32_t(b.size())});
            offsets.push_back(off);
        } else {
            failed = true;
        }
        if (i % 1000 == 999)  // as at a burst's end: the error also shows without a next datagram
            failed = !spool->Check();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);

    ASSERT_TRUE(failed);
    EXPECT_EQ(spool->error(), "File too large");
    EXPECT_GT(spool->size(), small.rlim_cur);
    std::uint64_t off = 0;
    EXPECT_FALSE(spool->Append(1, Pattern(10, 1), 10, off));
    EXPECT_FALSE(spool->Check());
    EXPECT_FALSE(spool->Flush());
    EXPECT_EQ(spool->error(), "File too large");
    ExpectAllReadBack(*spool, packets, offsets);
    spool.reset();
    ::rmdir(base.c_str());
}

// The next buffer is allocated before the full one is handed over: an
// allocation that fails leaves every stored byte readable and the spool usable.
TEST(CaptureFile, AFailedAllocationLeavesTheSpoolWhole)
{
    const std::string base = TempDir();
    std::string error;
    auto spool = CaptureSpool::Create(base, error);
    ASSERT_TRUE(spool) << error;
    int calls = 0;
    spool->allocate = [&calls](std::size_t n) { return ++calls == 3 ? nullptr : std::aligned_alloc(4096, n); };
    spool->HoldWrites(true);  // no buffer comes back for reuse: every hand-over allocates
    std::vector<Packet> packets;
    std::vector<std::uint64_t> offsets;
    bool threw = false;
    for (int i = 0; i < 10000 && !threw; ++i) {
        const Bytes b = Pattern(1000 + i % 400, std::uint8_t(i));
        std::uint64_t off = 0;
        try {
            ASSERT_TRUE(spool->Append(i, b, std::uint32_t(b.size()), off));
            packets.push_back({i, b, std::uint32_t(b.size())});
            offsets.push_back(off);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
    }
    ASSERT_TRUE(threw);
    EXPECT_EQ(calls, 3);
    ExpectAllReadBack(*spool, packets, offsets);
    spool->HoldWrites(false);
    AppendAbout(*spool, 2 * CaptureSpool::kBufferBytes, packets, offsets);
    ASSERT_TRUE(spool->Flush()) << spool->error();
    int linkType = -1;
    ExpectSame(ReadWithLibpcap(spool->directory() + "/capture.pcapng", linkType), packets);
    spool.reset();
    ::rmdir(base.c_str());
}

// A save goes through a private file beside the target: a link planted at
// any name it tries is not followed, a new file is 0600, and a replaced one
// keeps its permission bits and group.
TEST(CaptureFile, SavingFollowsNoLinkAndKeepsPermissions)
{
    const std::string dir = TempDir();
    const std::string target = dir + "/out.pcapng";
    int next = 0;
    const auto names = [&next] { return ".try" + std::to_string(next++); };
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(::symlink((dir + "/victim" + std::to_string(i)).c_str(), (dir + "/.try" + std::to_string(i)).c_str()), 0);
    const auto save = [&] {
        std::string error;
        auto w = CaptureFileWriter::CreateReplacing(target, CaptureFileFormat::Pcapng,
                                                    CaptureFileWriter::kLinkTypeRaw, error, names);
        ASSERT_TRUE(w) << error;
        for (const Packet& p : Sample())
            ASSERT_TRUE(w->Append(p.tsUs, p.bytes, p.origLen));
        ASSERT_TRUE(w->Commit()) << w->error();
    };
    struct stat st {};
    save();
    EXPECT_EQ(next, 6);
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(::access((dir + "/victim" + std::to_string(i)).c_str(), F_OK), 0) << i;
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::chown(target.c_str(), static_cast<uid_t>(-1), 4321), 0);
    save();
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, 4321u);
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    save();
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    int linkType = -1;
    ExpectSame(ReadWithLibpcap(target, linkType), Sample());
    std::system(("rm -rf " + dir).c_str());
}
