#pragma once

// The main window run as nobody through its line-by-line driver, for tests
// of a window without rights (needs root).
#include <chrono>
#include <csignal>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>

#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillet::test {

inline constexpr uid_t kNobody = 65534;

// The window driver (quillet_window_driver) installed in dir as "driver",
// started as nobody with the port files and spool of dir, and the probe
// dir/probe.so preloaded when asked.
class Driver {
public:
    Driver(const std::string& dir, const std::string& address, bool probe = true)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("pipe");
        const std::string preload = probe ? "LD_PRELOAD=" + dir + "/probe.so" : "LD_PRELOAD=";
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
inline std::string Capabilities(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line, caps;
    while (std::getline(in, line))
        if (line.rfind("CapPrm", 0) == 0 || line.rfind("CapEff", 0) == 0 || line.rfind("CapAmb", 0) == 0)
            caps += line + " ";
    return caps;
}

}  // namespace quillet::test
