// The live capture as the window sees it: the capture program started for
// it, read through the channel (CaptureChannel.h).
#include "capture/CaptureSource.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture/CaptureChannel.h"
#include "capture/LinkLayer.h"

namespace quillet {

namespace ch = channel;
using Clock = std::chrono::steady_clock;

namespace {

// How long the window waits for the program to open the capture.
constexpr auto kOpenWait = std::chrono::seconds(5);
// The window's buffer: what one read takes, plus room for one frame record.
constexpr std::size_t kBufferBytes = 1u << 20;
constexpr std::size_t kRoom = sizeof(ch::Head) + ch::kMaxBody;

std::string ProgramPath()
{
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    return (dir.empty() ? std::string("./") : dir) + ch::kProgramName;
}

std::string StatusText(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const char* name = strsignal(WTERMSIG(status));
        return "killed by signal " + std::to_string(WTERMSIG(status)) + (name ? std::string(" (") + name + ")" : "");
    }
    return "status " + std::to_string(status);
}

// A failure the capture program reported: its first line the system's own
// word, then the reason, passed on to be shown in the window's language.
void ShowFailed(const std::string& message, MessageSink& sink)
{
    const std::size_t cut = message.find('\n');
    Reason why;
    if (cut != std::string::npos && DecodeReason(message.substr(cut + 1), why))
        sink.ShowFailure(message.substr(0, cut), why);
    else
        sink.ShowMessage(message);
}

class HelperCapture : public CaptureSource {
public:
    HelperCapture(int fd, pid_t pid, std::string ifName, bool ipv6)
        : fd_(fd), pid_(pid), ifName_(std::move(ifName)), ifIndex_(if_nametoindex(ifName_.c_str())), ipv6_(ipv6)
    {
        buf_.resize(kBufferBytes + kRoom);
    }
    ~HelperCapture() override { Close(); }

    // Waits, bounded, for the program's first word: opened, or why not.
    bool Opened(MessageSink& sink, const std::string& path)
    {
        const auto until = Clock::now() + kOpenWait;
        for (;;) {
            if (Available() >= sizeof(ch::Head)) {
                ch::Head head;
                std::memcpy(&head, &buf_[begin_], sizeof head);
                if (head.length > ch::kMaxBody)
                    break;
                if (Available() >= sizeof head + head.length) {
                    const char* body = reinterpret_cast<const char*>(&buf_[begin_ + sizeof head]);
                    begin_ += sizeof head + head.length;
                    if (head.kind == ch::kOpened && head.length == sizeof(std::int32_t)) {
                        std::memcpy(&linkType_, body, sizeof linkType_);
                        return true;
                    }
                    if (head.kind == ch::kFailed) {
                        ShowFailed(std::string(body, head.length), sink);
                        return false;
                    }
                    break;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                sink.ShowFailure("INVALID_SOCKET",
                                 {QT_TRANSLATE_NOOP("CaptureReason", "捕获程序 %1 未在 %2 秒内打开捕获。"), {path, std::to_string(kOpenWait.count())}});
                return false;
            }
            if (Fill() < 0) {
                Reap();
                sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "捕获程序 %1 在打开捕获之前已结束（%2）。"), {path, why_}});
                return false;
            }
        }
        sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "捕获程序 %1 的回答不是捕获程序会说的话。"), {path}});
        return false;
    }

    int selectableFd() const override { return fd_; }

    int Read(int maxDatagrams, const DatagramCallback& fn) override
    {
        int handed = 0;
        for (;;) {
            while (handed < maxDatagrams && !readFailed_ && Next(fn, handed)) {
            }
            if (readFailed_) {
                // What came before the failure was handed over all the same.
                readFailed_ = false;
                return -1;
            }
            if (handed >= maxDatagrams)
                return handed;
            if (ended_)
                return handed > 0 ? handed : -1;
            const int got = Fill();
            if (got == 0)
                return handed;
        }
    }

    int Drain(const DatagramCallback& fn) override
    {
        if (!ended_) {
            const char ask = ch::kDrainRequest;
            (void)send(fd_, &ask, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        // The program drains for at most kDrainMs; what it sent before
        // comes first, and a little time is left for the last write.
        const auto until = Clock::now() + std::chrono::milliseconds(CaptureHandle::kDrainMs + 300);
        drained_ = false;
        int handed = 0;
        while (!drained_) {
            while (!drained_ && Next(fn, handed))
                readFailed_ = false;
            if (drained_ || ended_)
                break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 || Fill() < 0)
                break;
        }
        return handed;
    }

    CaptureHandle::Stats stats() const override { return stats_; }

    void Close() override
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
    }

    std::string LastError() const override { return lastError_; }
    std::string InterfaceName() const override { return ifName_; }
    LinkState Link() const override { return InterfaceLinkState(ifIndex_); }
    std::string EndedWhy() const override { return ended_ ? why_ : std::string(); }

private:
    std::size_t Available() const { return end_ - begin_; }

    // One read of what the channel holds: bytes read, 0 when none waits, -1
    // when the program is gone (its end closed).
    int Fill()
    {
        if (ended_)
            return -1;
        if (buf_.size() - end_ < kRoom) {
            std::memmove(buf_.data(), buf_.data() + begin_, Available());
            end_ -= begin_;
            begin_ = 0;
        }
        const ssize_t n = recv(fd_, buf_.data() + end_, std::min(kBufferBytes, buf_.size() - end_), MSG_DONTWAIT);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            return static_cast<int>(n);
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        const std::string error = n < 0 ? std::strerror(errno) : std::string();
        Reap();
        if (!error.empty())
            why_ += "; " + error;
        lastError_ = why_;
        return -1;
    }

    // Takes one whole record from the buffer (false when none is whole),
    // handing a frame's datagram to fn.
    bool Next(const DatagramCallback& fn, int& handed)
    {
        if (Available() < sizeof(ch::Head))
            return false;
        ch::Head head;
        std::memcpy(&head, &buf_[begin_], sizeof head);
        if (head.length > ch::kMaxBody) {
            Broken();
            return false;
        }
        if (Available() < sizeof head + head.length)
            return false;
        const std::uint8_t* body = &buf_[begin_ + sizeof head];
        // Taken before fn runs: an exception it throws loses nothing twice.
        begin_ += sizeof head + head.length;
        switch (head.kind) {
        case ch::kFrame: {
            if (head.length < sizeof(ch::FrameHead))
                break;
            ch::FrameHead frame;
            std::memcpy(&frame, body, sizeof frame);
            const auto datagram = IPDatagramOf(linkType_, {body + sizeof frame, head.length - sizeof frame}, ipv6_);
            if (!datagram.empty()) {
                ++handed;
                fn(datagram, frame.timestampUs);
            }
            break;
        }
        case ch::kStats:
            if (head.length == sizeof(ch::StatsBody)) {
                ch::StatsBody s;
                std::memcpy(&s, body, sizeof s);
                stats_ = {s.received, s.dropped, s.ifDropped};
            }
            break;
        case ch::kReadError:
            lastError_.assign(reinterpret_cast<const char*>(body), head.length);
            readFailed_ = true;
            break;
        case ch::kDrained:
            drained_ = true;
            break;
        default:
            break;
        }
        return true;
    }

    // A stream that cannot come from the capture program: it is ended.
    void Broken()
    {
        begin_ = end_ = 0;
        if (pid_ > 0)
            kill(pid_, SIGKILL);
        Reap();
        why_ = "it sent a broken stream; " + why_;
        lastError_ = why_;
    }

    // Notes how the program ended; waits a moment for its exit to show.
    void Reap()
    {
        ended_ = true;
        why_ = "it closed its channel";
        if (pid_ <= 0)
            return;
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                why_ = StatusText(status);
                return;
            }
            if (r < 0 && errno != EINTR)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    int fd_;
    pid_t pid_;
    std::string ifName_;
    unsigned ifIndex_;
    bool ipv6_;  // IPv6 datagrams are handed on too
    std::int32_t linkType_ = -1;
    std::vector<std::uint8_t> buf_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    CaptureHandle::Stats stats_;
    std::string lastError_;
    bool readFailed_ = false;
    bool drained_ = false;
    bool ended_ = false;
    std::string why_;
};

}  // namespace

std::unique_ptr<CaptureSource> OpenLiveCapture(const std::string& address, int port, MessageSink& sink, bool ipv6)
{
    (void)port;  // a capture sees the whole interface; the port changes nothing
    const auto ifName = CaptureInterfaceOf(address, sink);
    if (!ifName)
        return nullptr;
    const std::string path = ProgramPath();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        sink.ShowFailure("INVALID_SOCKET", {"%1", {std::strerror(errno)}});
        return nullptr;
    }
    int rcvbuf = 4 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

    // Nothing of the window goes along: no environment, no descriptor but the
    // channel (and the standard three), default signal handling.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, sv[1], ch::kFd);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string ringMiB = std::to_string(CaptureBufferBytes(PhysicalMemoryBytes()) / (1024 * 1024));
    std::string arg0 = path, arg1 = *ifName, arg2 = ringMiB, arg3 = ipv6 ? ch::kFamiliesBoth : ch::kFamiliesIPv4;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), arg3.data(), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &files, &attr, argv, envp);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    close(sv[1]);
    if (spawned != 0) {
        close(sv[0]);
        if (spawned == ENOENT)
            sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "捕获程序 %1 不存在。make run 会建立它并授予它捕获权限。"), {path}});
        else
            sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "无法启动捕获程序 %1（%2）。由本用户运行 make run 可使其归本用户所有：sudo chown $USER %1 && sudo chmod 0750 %1 && sudo setcap cap_net_raw+ep %1"), {path, std::strerror(spawned)}});
        return nullptr;
    }
    auto capture = std::make_unique<HelperCapture>(sv[0], pid, *ifName, ipv6);
    if (!capture->Opened(sink, path))
        return nullptr;
    return capture;
}

}  // namespace quillet
