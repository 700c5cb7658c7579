// The capture program and a window without rights, end to end: the window
// runs as the unprivileged user nobody, the capture program beside it is
// granted cap_net_raw alone (needs root, in private network namespaces).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "WindowDriver.h"
#include "capture/CaptureChannel.h"
#include "support/Netns.h"

using quillet::testsupport::ChildNamed;
using quillet::testsupport::Shell;
using quillet::testsupport::ShellOrThrow;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

using quillet::test::Capabilities;
using quillet::test::Driver;
using quillet::test::kNobody;

// A capture program started by hand: a socket pair of that type on descriptor 3, run as uid.
class Started {
public:
    Started(const std::string& program, uid_t uid, int type, const char* ifName)
    {
        int sv[2], err[2];
        if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("socketpair");
        pid_ = fork();
        if (pid_ == 0) {
            if (dup2(sv[1], 3) != 3 || dup2(err[1], 2) != 2)
                _exit(126);
            if (uid != 0
                && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
                _exit(126);
            execl(program.c_str(), program.c_str(), ifName, "1", "4", nullptr);
            _exit(127);
        }
        close(sv[1]);
        close(err[1]);
        channel_ = sv[0];
        err_ = err[0];
        fcntl(err_, F_SETFL, O_NONBLOCK);  // what it printed so far, never a wait
    }
    ~Started()
    {
        close(channel_);
        close(err_);
        if (pid_ > 0) {  // never -1: that would signal every process
            kill(pid_, SIGKILL);
            Status(1000);
        }
    }
    pid_t pid() const { return pid_; }

    // The first record after the ring: its kind and body (kind 0 after 5 s without one).
    std::pair<std::uint32_t, std::string> FirstWord()
    {
        std::string got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            while (got.size() >= sizeof(quillet::channel::Head)) {
                quillet::channel::Head head;
                std::memcpy(&head, got.data(), sizeof head);
                if (got.size() < sizeof head + head.length)
                    break;
                std::string body = got.substr(sizeof head, head.length);
                got.erase(0, sizeof head + head.length);
                if (head.kind != quillet::channel::kRing)
                    return {head.kind, body};
            }
            pollfd p{channel_, POLLIN, 0};
            char buf[4096];
            ssize_t n = 0;
            if (std::chrono::steady_clock::now() >= until || poll(&p, 1, 100) < 0
                || ((p.revents & POLLIN) != 0 && (n = recv(channel_, buf, sizeof buf, MSG_DONTWAIT)) == 0))
                return {0, got};
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
        }
    }
    // Its exit status once it ended within ms, else -1.
    int Status(int ms)
    {
        for (int i = 0; i < ms / 10; ++i) {
            int status = 0;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (pid_ < 0)
                return status_;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    std::string Stderr()
    {
        std::string out;
        char buf[1024];
        ssize_t n;
        while ((n = read(err_, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<std::size_t>(n));
        return out;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int channel_ = -1;
    int err_ = -1;
};

std::string StatusLine(pid_t pid, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return line;
    return {};
}

}  // namespace

TEST(CaptureHelper, ADatagramChannelIsRefusedAtStart)
{
    VethNamespace net;
    for (int type : {SOCK_DGRAM, SOCK_SEQPACKET}) {
        Started helper(QUILLET_HELPER, 0, type, VethNamespace::kLocalIf);
        const auto [kind, body] = helper.FirstWord();
        EXPECT_EQ(kind, quillet::channel::kFailed) << "type " << type;
        EXPECT_NE(body.find("SOCK_STREAM"), std::string::npos) << body;
        EXPECT_EQ(helper.Status(2000), 2) << "type " << type << " ran on";
        EXPECT_NE(helper.Stderr().find("Unix 流套接字"), std::string::npos);
    }
    // A stream pair captures, confined: its filter is in place.
    Started helper(QUILLET_HELPER, 0, SOCK_STREAM, VethNamespace::kLocalIf);
    EXPECT_EQ(helper.FirstWord().first, quillet::channel::kOpened);
    EXPECT_EQ(StatusLine(helper.pid(), "Seccomp"), "Seccomp:\t2");
    EXPECT_EQ(StatusLine(helper.pid(), "NoNewPrivs"), "NoNewPrivs:\t1");
}

TEST(CaptureHelper, TheFifthCaptureProgramOfAUserIsRefused)
{
    VethNamespace net;
    char dirName[] = "/tmp/quillet-helper-limit-XXXXXX";
    ASSERT_NE(mkdtemp(dirName), nullptr);
    const std::string dir = dirName;
    const std::string program = dir + "/quillet-capture";
    ShellOrThrow("chmod 0755 " + dir + " && install -m 0755 " + QUILLET_HELPER + " " + program
                 + " && setcap cap_net_raw+ep " + program);
    // A user of its own, so that no other test's programs count.
    const uid_t user = 61000 + static_cast<uid_t>(getpid() % 4000);
    {
        std::vector<std::unique_ptr<Started>> running;
        for (int i = 0; i < 4; ++i) {
            running.push_back(std::make_unique<Started>(program, user, SOCK_STREAM, VethNamespace::kLocalIf));
            const auto [kind, body] = running.back()->FirstWord();
            ASSERT_EQ(kind, quillet::channel::kOpened) << "program " << i + 1 << ": " << body;
        }
        Started fifth(program, user, SOCK_STREAM, VethNamespace::kLocalIf);
        const auto [kind, body] = fifth.FirstWord();
        EXPECT_EQ(kind, quillet::channel::kFailed);
        EXPECT_NE(body.find("个捕获程序在运行，这是上限"), std::string::npos) << body;
        EXPECT_EQ(fifth.Status(2000), 2);

        // Another user is not held by this one's programs.
        Started other(program, user + 1, SOCK_STREAM, VethNamespace::kLocalIf);
        EXPECT_EQ(other.FirstWord().first, quillet::channel::kOpened);

        running.pop_back();  // ended and reaped
        Started again(program, user, SOCK_STREAM, VethNamespace::kLocalIf);
        EXPECT_EQ(again.FirstWord().first, quillet::channel::kOpened);
    }
    ShellOrThrow("rm -rf " + dir);
}

TEST(CaptureHelper, UnprivilegedWindowCapturesThroughTheHelperAndEndsWhenItDies)
{
    VethNamespace net;
    // The program refuses what it does not know, with a message.
    std::string said;
    EXPECT_NE(Shell(std::string(QUILLET_HELPER) + " nosuch0 64 4 2>&1", &said), 0);
    EXPECT_NE(said.find("没有名为“nosuch0”的网络接口"), std::string::npos) << said;
    EXPECT_NE(Shell(std::string(QUILLET_HELPER) + " " + VethNamespace::kLocalIf + " 64 46 more 2>&1", &said), 0);
    EXPECT_NE(said.find("别无其他参数"), std::string::npos) << said;
    EXPECT_NE(Shell(std::string(QUILLET_HELPER) + " " + VethNamespace::kLocalIf + " 64 6 2>&1", &said), 0);
    EXPECT_NE(said.find("而不是“6”"), std::string::npos) << said;

    // Copies nobody can run, the capture program alone granted the right.
    char dirName[] = "/tmp/quillet-helper-test-XXXXXX";
    ASSERT_NE(mkdtemp(dirName), nullptr);
    const std::string dir = dirName;
    ShellOrThrow("chmod 0755 " + dir + " && install -m 0755 " + QUILLET_DRIVER + " " + dir + "/driver && install -m 0755 "
                 + QUILLET_HELPER + " " + dir + "/quillet-capture && install -m 0755 " + QUILLET_PROBE + " " + dir
                 + "/probe.so && setcap cap_net_raw+ep " + dir + "/quillet-capture && touch " + dir + "/iana.txt "
                 + dir + "/predefs.txt " + dir + "/trojans.txt && install -d -m 0700 -o nobody " + dir + "/spool");
    {
        Driver window(dir, VethNamespace::kLocalAddr);
        EXPECT_NE(window.AskUntil("state", {"open=1"}).find("messages=0"), std::string::npos);
        const pid_t helper = ChildNamed(window.pid(), "quillet-capture");
        ASSERT_GT(helper, 0);
        const std::string none = "CapPrm:\t0000000000000000 CapEff:\t0000000000000000 CapAmb:\t0000000000000000 ";
        EXPECT_EQ(Capabilities(window.pid()), none);
        EXPECT_EQ(Capabilities(helper), none) << "the capture program keeps no right once it captures";
        EXPECT_EQ(window.Ask("probe").rfind("probe: refused", 0), 0u) << window.Ask("probe");

        ASSERT_TRUE(net.Udp(Side::Peer, 4001, 5001, "in"));
        ASSERT_TRUE(net.Udp(Side::Local, 4002, 5002, "out"));
        const std::string rows = window.AskUntil("rows", {"10.77.0.2:4001>10.77.0.1:5001", "10.77.0.1:4002>10.77.0.2:5002"});
        EXPECT_NE(rows.find("10.77.0.2:4001>10.77.0.1:5001"), std::string::npos) << rows;
        EXPECT_NE(rows.find("10.77.0.1:4002>10.77.0.2:5002"), std::string::npos) << rows;
        auto count = [](const std::string& answer) { return std::atoi(answer.c_str() + answer.find("rows=") + 5); };
        const int kept = count(rows);

        ASSERT_EQ(kill(helper, SIGKILL), 0);
        const std::string state = window.AskUntil("state", {"open=0"});
        EXPECT_NE(state.find("open=0 start=1 messages=1 last=捕获已结束：捕获程序 quillet-capture 已退出。|killed by signal 9"),
                  std::string::npos)
            << state;
        EXPECT_GE(count(window.Ask("rows")), kept) << "every row stays";
    }
    ShellOrThrow("rm -rf " + dir);
}
