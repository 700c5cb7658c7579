// A killed window loses at most its last second and the next start gives it
// back; SIGTERM removes the working directory; a small memory group stops the
// capture instead of killing it. Windows run in forked children (root).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include "WaitFor.h"
#include "core/CaptureFile.h"
#include "shell/Datagrams.h"
#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "shell/SignalClose.h"
#include "shell/frmMain.h"
#include "support/Netns.h"

using namespace quillet;
using namespace std::chrono_literals;
using quillet::testsupport::Shell;
using quillet::testsupport::VethNamespace;

namespace {

int gArgc = 1;
char gName[] = "quillet";
char* gArgv[] = {gName, nullptr};

QStringList WorkingDirs(const QString& base)
{
    return QDir(base).entryList({QStringLiteral("quillet-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
}

// A window in a forked child capturing on address once `go` (if any) gives a
// byte; it then writes to ready, and run (or the event loop) gives its status.
pid_t WindowChild(const QString& portDir, const QString& captureDir, CaptureOpener opener, const char* address,
                  int ready[2], int go, const std::function<int(frmMain&, const QStringList&)>& run = {})
{
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(ready[1]);
        return pid;
    }
    char byte = 0;
    if (go >= 0 && ::read(go, &byte, 1) != 1)
        ::_exit(10);
    int code = 0;
    {
        QApplication app(gArgc, gArgv);
        frmMainOptions o;
        o.portDir = portDir;
        o.captureDir = captureDir;
        if (opener)
            o.openCapture = opener;
        QStringList messages;
        o.message = [&messages](const QString& text) { messages << text; };
        frmMain w(o);
        SignalClose closeOnSignal(&w);
        w.show();
        if (w.Combo1()->findText(address) < 0)
            w.Combo1()->addItem(address);
        w.Combo1()->setCurrentIndex(w.Combo1()->findText(address));
        w.StartCapture();
        if (!w.CaptureOpen())
            ::_exit(11);
        (void)!::write(ready[1], "r", 1);
        code = run ? run(w, messages) : app.exec();
    }
    ::_exit(code);
}

std::uint64_t Count(const std::string& command, std::string out = {})
{
    return Shell(command + " 2>/dev/null | wc -l", &out), std::stoull(out);
}

}  // namespace

TEST(DurableCapture, AKilledWindowLosesNothingAndTheNextStartGivesItBack)
{
    VethNamespace net;
    QTemporaryDir dir;
    quillet::test::WriteEmptyPortFiles(dir.path());
    int ready[2], ready2[2];
    ASSERT_TRUE(::pipe(ready) == 0 && ::pipe(ready2) == 0);
    const pid_t child = WindowChild(dir.path(), dir.path(), nullptr, VethNamespace::kLocalAddr, ready, -1);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the child's window captures";

    QStringList left;
    for (int i = 0; i < 200 && left.isEmpty(); ++i, std::this_thread::sleep_for(10ms))
        left = WorkingDirs(dir.path());
    ASSERT_EQ(left.size(), 1) << left.join(' ').toStdString();
    const std::string file = QFile::encodeName(dir.filePath(left[0] + "/capture.pcapng")).toStdString();

    // 3,000 datagrams at 1,000 a second from the peer, the working file
    // looked at every 10 ms meanwhile: it grows every half second.
    const auto tx = net.SocketIn(VethNamespace::Side::Peer, AF_INET, SOCK_DGRAM);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5000);
    ::inet_pton(AF_INET, VethNamespace::kLocalAddr, &to.sin_addr);
    auto next = std::chrono::steady_clock::now();
    auto grew = next;
    std::chrono::steady_clock::duration longestStill{};
    off_t size = -1;
    for (int i = 0; i < 3000; ++i) {
        const std::string payload = "datagram " + std::to_string(i);
        ASSERT_GT(::sendto(tx.get(), payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        std::this_thread::sleep_until(next += 1ms);
        struct stat st{};
        if (i % 10 == 0 && ::stat(file.c_str(), &st) == 0 && st.st_size != size) {
            if (size >= 0 && i > 500)  // the first written half second on
                longestStill = std::max(longestStill, next - grew);
            size = st.st_size;
            grew = next;
        }
    }
    EXPECT_LT(longestStill, 750ms) << "the working file took "
                                   << std::chrono::duration_cast<std::chrono::milliseconds>(longestStill).count()
                                   << " ms to take new datagrams";
    // Killed within the half second (and the moment a datagram takes to come).
    std::this_thread::sleep_until(next + 600ms);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(Count("tcpdump -n -r '" + file + "' 'udp and dst port 5000'"), 3000u);
    const std::uint64_t all = Count("tcpdump -n -r '" + file + "'");

    // SIGTERM closes a window as its close button does.
    QTemporaryDir dir2;
    const pid_t child2 = WindowChild(dir.path(), dir2.path(), nullptr, VethNamespace::kLocalAddr, ready2, -1);
    ASSERT_EQ(::read(ready2[0], &byte, 1), 1);
    ASSERT_EQ(WorkingDirs(dir2.path()).size(), 1);
    QElapsedTimer gone;
    gone.start();
    ::kill(child2, SIGTERM);
    while (!WorkingDirs(dir2.path()).isEmpty() && gone.elapsed() < 3000)
        std::this_thread::sleep_for(10ms);
    EXPECT_LT(gone.elapsed(), 1000);
    ASSERT_EQ(::waitpid(child2, &status, 0), child2);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // The next start offers the killed run's packets, not a live run's; Yes shows them.
    std::string error;
    const auto live = CaptureSpool::Create(QFile::encodeName(dir.path()).toStdString(), error);
    QApplication app(gArgc, gArgv);
    frmMainOptions o;
    o.portDir = dir.path();
    o.captureDir = dir.path();
    QStringList questions, messages;
    o.askRecover = [&questions](const QString& q) { questions << q; return true; };
    o.message = [&messages](const QString& text) { messages << text; };
    frmMain w(o);
    w.show();
    EXPECT_TRUE(quillet::test::WaitFor([&] { return w.lv()->model()->rowCount() >= int(all); }, 10s));
    EXPECT_EQ(w.lv()->model()->rowCount(), int(all));
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].contains(QString::number(all))) << questions[0].toStdString();
    EXPECT_FALSE(QDir(dir.filePath(left[0])).exists());
    EXPECT_TRUE(QDir(QString::fromStdString(live->directory())).exists());
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST(DurableCapture, ACaptureInASmallMemoryGroupStopsByItself)
{
    // A group below this process's memory group: the v1 controller's where it is mounted, else the unified one.
    std::ifstream cgroups("/proc/self/cgroup");
    std::string group;
    const bool v1 = QDir("/sys/fs/cgroup/memory").exists();
    for (std::string line; std::getline(cgroups, line);)
        if (line.find(v1 ? ":memory:" : "0::") != std::string::npos)
            group = (v1 ? "/sys/fs/cgroup/memory" : "/sys/fs/cgroup") + line.substr(line.rfind(':') + 1);
    group += "/quillet-test-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(group.c_str(), 0755), 0) << group;
    const auto put = [&group](const char* file, const std::string& value) {
        return bool(std::ofstream(group + "/" + file) << value << std::flush);
    };
    ASSERT_TRUE(put(v1 ? "memory.limit_in_bytes" : "memory.max", std::to_string(160 << 20)))
        << "a memory limit for " << group;

    // The working file on a tmpfs: what the capture keeps is the group's memory.
    QTemporaryDir dir, spoolDir;
    quillet::test::WriteEmptyPortFiles(dir.path());
    const QString spool = spoolDir.path();
    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(spool).constData(), "tmpfs", 0, "size=1g"), 0);
    quillet::test::FakeOpener fake;
    int ready[2], go[2];
    ASSERT_TRUE(::pipe(ready) == 0 && ::pipe(go) == 0);
    const pid_t child = WindowChild(dir.path(), spool, fake.opener(), "10.9.0.1", ready, go[0],
                                    [](frmMain& w, const QStringList& messages) {
        const std::vector<std::vector<std::uint8_t>> burst(
            16, quillet::test::Ipv4Udp("10.9.0.2", "10.9.0.1", 4000, 5000, std::string(1400, 'p')));
        for (int i = 0; i < 100000 && w.CaptureOpen(); ++i) {
            w.ReceiveDatagrams(burst, 1700000000000000 + i);
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(1ms);
        }
        return messages.filter(QStringLiteral("控制组")).size() == 1 ? 0 : 2;
    });
    EXPECT_TRUE(put("cgroup.procs", std::to_string(child)));
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ::umount(QFile::encodeName(spool).constData());
    for (int i = 0; i < 100 && ::rmdir(group.c_str()) != 0; ++i)
        std::this_thread::sleep_for(10ms);
}
