// Finding this process's own sockets in the kernel's tables and its
// descriptors in /proc.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <string>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/CaptureFile.h"
#include "core/ReverseResolver.h"
#include "programs/ProgramLookup.h"
#include "programs/SocketEndpoint.h"
#include "programs/SocketOwners.h"
#include "programs/SocketTable.h"

using namespace quillet;

namespace {

// A bound socket of this process, closed at the end.
struct Bound {
    int fd = -1;
    std::uint16_t port = 0;
    std::uint64_t inode = 0;

    Bound(int family, int type, const char* addr, bool listen = false, int v6only = -1, std::uint16_t at = 0)
    {
        fd = socket(family, type, 0);
        EXPECT_GE(fd, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (v6only >= 0)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        sockaddr_storage ss{};
        socklen_t len = 0;
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&ss);
            in->sin_family = AF_INET;
            in->sin_port = htons(at);
            inet_pton(AF_INET, addr, &in->sin_addr);
            len = sizeof *in;
        } else {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
            in6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, addr, &in6->sin6_addr);
            len = sizeof *in6;
        }
        ok = bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0;
        if (ok && listen)
            ok = ::listen(fd, 4) == 0;
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
        struct stat st{};
        fstat(fd, &st);
        inode = st.st_ino;
    }
    ~Bound() { close(fd); }
    bool ok = false;
};

std::uint64_t Key(std::uint8_t protocol, const char* addr, std::uint16_t port)
{
    in_addr a{};
    inet_pton(AF_INET, addr, &a);
    return SocketEndpoint{protocol, a.s_addr, port}.Key();
}

std::string OwnName()
{
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

class SocketTableTest : public ::testing::TestWithParam<SocketTable::Source> {};

TEST_P(SocketTableTest, FindsOwnSocketsByExactAndWildcardAddress)
{
    Bound udp(AF_INET, SOCK_DGRAM, "127.0.0.1");
    Bound tcp(AF_INET, SOCK_STREAM, "0.0.0.0", true);
    ASSERT_TRUE(udp.ok && tcp.ok);
    // A port that was free a moment ago: no socket holds it now.
    std::uint16_t freePort = 0;
    {
        Bound gone(AF_INET, SOCK_DGRAM, "127.0.0.1");
        freePort = gone.port;
    }
    const std::uint64_t udpKey = Key(SocketEndpoint::kUdp, "127.0.0.1", udp.port);
    const std::uint64_t udpOtherAddr = Key(SocketEndpoint::kUdp, "127.0.0.2", udp.port);
    const std::uint64_t tcpKey = Key(SocketEndpoint::kTcp, "127.0.0.3", tcp.port);  // the wildcard takes it
    const std::uint64_t udpOnTcpPort = Key(SocketEndpoint::kUdp, "127.0.0.1", tcp.port);
    const std::uint64_t freeKey = Key(SocketEndpoint::kUdp, "127.0.0.1", freePort);

    std::string error;
    const auto found = SocketTable::Find({udpKey, udpOtherAddr, tcpKey, udpOnTcpPort, freeKey}, GetParam(), &error);
    ASSERT_EQ(found.count(udpKey), 1u) << error;
    EXPECT_EQ(found.at(udpKey), udp.inode);
    ASSERT_EQ(found.count(tcpKey), 1u) << error;
    EXPECT_EQ(found.at(tcpKey), tcp.inode);
    EXPECT_EQ(found.count(udpOtherAddr), 0u) << "bound to another address";
    EXPECT_EQ(found.count(udpOnTcpPort), tcp.port == udp.port ? 1u : 0u) << "the protocols are apart";
    EXPECT_EQ(found.count(freeKey), 0u);

    // Bound to the address beats the wildcard on the same port, whichever
    // the table lists first.
    Bound wildcard(AF_INET, SOCK_DGRAM, "0.0.0.0");
    ASSERT_TRUE(wildcard.ok);
    Bound exact(AF_INET, SOCK_DGRAM, "127.0.0.1", false, -1, wildcard.port);
    ASSERT_TRUE(exact.ok);
    const std::uint64_t exactKey = Key(SocketEndpoint::kUdp, "127.0.0.1", wildcard.port);
    const std::uint64_t otherKey = Key(SocketEndpoint::kUdp, "127.0.0.9", wildcard.port);
    const auto both = SocketTable::Find({exactKey, otherKey}, GetParam());
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both.at(exactKey), exact.inode);
    EXPECT_EQ(both.at(otherKey), wildcard.inode);
}

TEST_P(SocketTableTest, IPv6SocketsTakeIPv4UnlessV6Only)
{
    Bound dual(AF_INET6, SOCK_DGRAM, "::", false, 0);
    Bound only(AF_INET6, SOCK_DGRAM, "::", false, 1);
    Bound mapped(AF_INET6, SOCK_STREAM, "::ffff:127.0.0.1", true, 0);
    if (!dual.ok || !only.ok || !mapped.ok)
        GTEST_SKIP() << "no IPv6 here";
    const std::uint64_t dualKey = Key(SocketEndpoint::kUdp, "127.0.0.1", dual.port);
    const std::uint64_t onlyKey = Key(SocketEndpoint::kUdp, "127.0.0.1", only.port);
    const std::uint64_t mappedKey = Key(SocketEndpoint::kTcp, "127.0.0.1", mapped.port);
    const auto found = SocketTable::Find({dualKey, onlyKey, mappedKey}, GetParam());
    ASSERT_EQ(found.count(dualKey), 1u);
    EXPECT_EQ(found.at(dualKey), dual.inode);
    ASSERT_EQ(found.count(mappedKey), 1u);
    EXPECT_EQ(found.at(mappedKey), mapped.inode);
    if (GetParam() != SocketTable::Source::Proc) {  // /proc does not tell IPV6_V6ONLY
        EXPECT_EQ(found.count(onlyKey), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, SocketTableTest,
                         ::testing::Values(SocketTable::Source::Netlink, SocketTable::Source::Proc));

TEST(SocketTable, ParsesProcTablesAndSkipsMalformedLines)
{
    const std::string v4 =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:0035 00000000:0000 0A 00000000:00000000 00:00000000 00000000   101        0 23456 1 0\n"
        "   1: 0100007G:0035 00000000:0000 0A 00000000:00000000 00:00000000 00000000   101        0 1\n"
        "   2: 0100007F 00000000:0000 0A 00000000:00000000 00:00000000 00000000   101        0 2\n"
        "   3: 00000000:FFFF 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 0\n";
    const auto entries = SocketTable::ParseProcTable(v4, false);
    ASSERT_EQ(entries.size(), 2u);
    in_addr loopback{};
    inet_pton(AF_INET, "127.0.0.1", &loopback);
    EXPECT_EQ(entries[0].words[0], loopback.s_addr);
    EXPECT_EQ(entries[0].port, 53);
    EXPECT_EQ(entries[0].inode, 23456u);
    EXPECT_EQ(entries[1].port, 65535);
    EXPECT_EQ(entries[1].inode, 0u);

    const std::string v6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
        "tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0000000000000000FFFF00000100007F:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 "
        "00:00000000 00000000     0        0 777 1\n";
    const auto six = SocketTable::ParseProcTable(v6, true);
    ASSERT_EQ(six.size(), 1u);
    EXPECT_EQ(six[0].words[2], htonl(0xFFFF));
    EXPECT_EQ(six[0].words[3], loopback.s_addr);
    EXPECT_EQ(six[0].port, 8080);
    EXPECT_EQ(six[0].inode, 777u);
}

TEST(SocketOwners, OwnDescriptorsAndAFakeProcTree)
{
    Bound udp(AF_INET, SOCK_DGRAM, "127.0.0.1");
    ASSERT_TRUE(udp.ok);
    const auto own = FindSocketOwners({udp.inode, 1});  // inode 1 is nobody's socket
    ASSERT_EQ(own.count(udp.inode), 1u);
    EXPECT_EQ(own.at(udp.inode).pid, getpid());
    EXPECT_EQ(own.at(udp.inode).name, OwnName());
    EXPECT_EQ(own.at(udp.inode).Text(), OwnName() + " (" + std::to_string(getpid()) + ")");
    EXPECT_EQ(own.count(1), 0u);

    // Processes without a readable fd folder and entries that are no
    // processes are passed over.
    QTemporaryDir root;
    const QDir dir(root.path());
    dir.mkpath("4711/fd");
    dir.mkpath("4712");  // no fd folder
    dir.mkpath("self/fd");
    QFile comm(dir.filePath("4711/comm"));
    ASSERT_TRUE(comm.open(QIODevice::WriteOnly));
    comm.write("a_long_name_cut\n");
    comm.close();
    ASSERT_EQ(symlink("socket:[99]", dir.filePath("4711/fd/3").toLocal8Bit().constData()), 0);
    ASSERT_EQ(symlink("pipe:[98]", dir.filePath("4711/fd/4").toLocal8Bit().constData()), 0);
    ASSERT_EQ(symlink("socket:[98]", dir.filePath("self/fd/5").toLocal8Bit().constData()), 0);
    const auto fake = FindSocketOwners({99, 98}, root.path().toStdString());
    ASSERT_EQ(fake.size(), 1u);
    EXPECT_EQ(fake.at(99).Text(), "a_long_name_cut (4711)");
}

TEST(ProgramLookup, AnswersOnTheContextThreadFromAThreadOfItsOwn)
{
    int argc = 1;
    char name[] = "test_programs";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    Bound udp(AF_INET, SOCK_DGRAM, "127.0.0.1");
    Bound tcp(AF_INET, SOCK_STREAM, "127.0.0.1", true);
    const std::string own = OwnName() + " (" + std::to_string(getpid()) + ")";
    const std::uint64_t udpKey = Key(SocketEndpoint::kUdp, "127.0.0.1", udp.port);
    const std::uint64_t tcpKey = Key(SocketEndpoint::kTcp, "127.0.0.1", tcp.port);
    const std::uint64_t noneKey = Key(SocketEndpoint::kTcp, "127.0.0.1", udp.port == tcp.port ? 1 : udp.port);

    QObject context;
    std::vector<OwnerAnswer> got;
    bool onContextThread = false;
    ProgramLookup lookup(&context, [&](std::vector<OwnerAnswer> answers) {
        onContextThread = QThread::currentThread() == context.thread();
        got = std::move(answers);
    });
    ASSERT_TRUE(lookup.Request({{udpKey, 5}, {tcpKey, 6}, {noneKey, 7}}));
    EXPECT_TRUE(lookup.Busy());
    EXPECT_FALSE(lookup.Request({{udpKey, 8}})) << "one batch at a time";
    QElapsedTimer t;
    t.start();
    while (lookup.Busy() && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(lookup.Busy());
    EXPECT_TRUE(onContextThread);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, OwnerAnswer::Owner);
    EXPECT_EQ(got[0].text, own);
    EXPECT_EQ(got[0].fromSeq, 5);
    EXPECT_EQ(got[1].text, own);
    EXPECT_EQ(got[2].kind, OwnerAnswer::None);

    // The same through the /proc tables, on the calling thread.
    lookup.source = SocketTable::Source::Proc;
    const std::vector<OwnerAnswer> proc = lookup.Resolve({{udpKey, 9}});
    ASSERT_EQ(proc.size(), 1u);
    EXPECT_EQ(proc[0].text, own);
}

// A name is shown as it is read from the process's own directory, with
// control and reordering characters escaped and "(pid)" for none; an owner
// is looked up again once its process no longer holds the socket.
TEST(ProgramLookup, NamesAreShownSafelyAndOwnersFollowTheirSocket)
{
    QTemporaryDir root;
    QDir dir(root.path());
    const auto process = [&dir](int pid, const QByteArray& comm, std::uint64_t inode) {
        const QString p = QString::number(pid);
        ASSERT_TRUE(dir.mkpath(p + "/fd"));
        QFile f(dir.filePath(p + "/comm"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(comm + "\n");
        f.close();
        const std::string link = "socket:[" + std::to_string(inode) + "]";
        ASSERT_EQ(symlink(link.c_str(), dir.filePath(p + "/fd/3").toLocal8Bit().constData()), 0);
    };
    process(501, "a\x1b[31mb\xe2\x80\xae" "c\xff", 71);
    process(502, "", 72);
    ProgramLookup lookup(nullptr, {});
    lookup.procRoot = root.path().toStdString();
    lookup.findSockets = [](const std::vector<std::uint64_t>&, SocketTable::Source) {
        return std::unordered_map<std::uint64_t, std::uint64_t>{{1, 71}, {2, 72}};
    };
    std::vector<OwnerAnswer> got = lookup.Resolve({{1, 1}, {2, 1}});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "a\\x1b[31mb\\u202ec\\xff (501)");
    EXPECT_EQ(got[1].text, "(502)");

    // The socket passed on through fork and exec: its first holder is gone.
    ASSERT_TRUE(QDir(dir.filePath("501")).removeRecursively());
    process(503, "child", 71);
    std::this_thread::sleep_for(ProgramLookup::kRecheck);
    EXPECT_EQ(lookup.Resolve({{1, 2}}).at(0).text, "child (503)");
}

// Closing never waits long for work stuck outside: a socket table that does
// not answer, a resolver that hangs, a disk that does not take a write.
TEST(ProgramLookup, ShutdownDoesNotWaitForStuckWork)
{
    int argc = 1;
    char name[] = "test_programs";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);  // the resolver's timers
    std::atomic<bool> release{false};
    std::atomic<int> entered{0};
    const auto stuck = [&] {
        for (++entered; !release;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    auto lookup = std::make_unique<ProgramLookup>(nullptr, [](std::vector<OwnerAnswer>) {});
    lookup->findSockets = [&](const std::vector<std::uint64_t>&, SocketTable::Source) {
        stuck();
        return std::unordered_map<std::uint64_t, std::uint64_t>{};
    };
    ASSERT_TRUE(lookup->Request({{1, 1}}));
    auto resolver = std::make_unique<ReverseResolver>([&](IPv4) { stuck(); return std::string(); },
                                                      ReverseResolver::Limits{});
    resolver->Request(0x0100000A);
    QTemporaryDir base;
    std::string error;
    auto spool = CaptureSpool::Create(base.path().toStdString(), error);
    ASSERT_TRUE(spool) << error;
    spool->SetWriteHook(stuck);
    std::uint64_t off = 0;
    for (int i = 0; i < 20; ++i)  // more than one buffer: handed to the writer thread
        ASSERT_TRUE(spool->Append(i, std::vector<std::uint8_t>(60000, 1), 60000, off));
    for (int i = 0; i < 500 && entered < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(entered, 3);
    const auto start = std::chrono::steady_clock::now();
    lookup.reset();
    resolver.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    spool.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, CaptureSpool::kCloseWait + std::chrono::seconds(1));
    release = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the late ones end
}

}  // namespace
