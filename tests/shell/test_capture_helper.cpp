// The capture program and a window without rights, end to end: the window
// runs as the unprivileged user nobody, the capture program beside it is
// granted cap_net_raw alone (needs root, in private network namespaces).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/Netns.h"

using quillet::testsupport::Shell;
using quillet::testsupport::ShellOrThrow;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

constexpr uid_t kNobody = 65534;

// The window driver, started as nobody with the probe preloaded.
class Driver {
public:
    Driver(const std::string& dir, const std::string& address)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("pipe");
        const std::string preload = "LD_PRELOAD=" + dir + "/probe.so";
        const std::string spool = "QUILLET_CAPTURE_DIR=" + dir + "/spool";
        const std::string exe = dir + "/driver";
        const char* env[] = {"QT_QPA_PLATFORM=offscreen", "QT_LOGGING_RULES=qt.qpa.*=false", "HOME=/tmp",
                             preload.c_str(), spool.c_str(), nullptr};
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0
                || setresuid(kNobody, kNobody, kNobody) != 0)
                _exit(126);
            execle(exe.c_str(), exe.c_str(), address.c_str(), nullptr, const_cast<char**>(env));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Driver()
    {
        close(to_);
        close(from_);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

    // The answer to one command (empty after 10 s without one).
    std::string Ask(const std::string& command)
    {
        const std::string line = command + "\n";
        if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return {};
        std::string answer;
        char c = 0;
        pollfd p{from_, POLLIN, 0};
        while (poll(&p, 1, 10000) > 0 && read(from_, &c, 1) == 1 && c != '\n')
            answer += c;
        return answer;
    }

    // Asks until the answer holds every one of the texts, for at most 10 s.
    std::string AskUntil(const std::string& command, std::initializer_list<std::string> texts)
    {
        std::string answer;
        for (int i = 0; i < 100; ++i) {
            answer = Ask(command);
            bool all = true;
            for (const auto& t : texts)
                all = all && answer.find(t) != std::string::npos;
            if (all)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return answer;
    }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
};

// The capability lines of a process's status.
std::string Capabilities(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line, caps;
    while (std::getline(in, line))
        if (line.rfind("CapPrm", 0) == 0 || line.rfind("CapEff", 0) == 0 || line.rfind("CapAmb", 0) == 0)
            caps += line + " ";
    return caps;
}

pid_t ChildNamed(pid_t parent, const std::string& name)
{
    DIR* d = opendir("/proc");
    pid_t found = -1;
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string pid, comm, state;
        pid_t ppid = 0;
        if (stat >> pid >> comm >> state >> ppid && ppid == parent && comm == "(" + name + ")")
            found = std::stoi(pid);
    }
    if (d != nullptr)
        closedir(d);
    return found;
}

}  // namespace

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
