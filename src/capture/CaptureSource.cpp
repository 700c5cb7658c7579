// The live capture as the window sees it: the capture program started for
// it, read through the channel (CaptureChannel.h) and the ring of frames it
// shares (FrameRing.h).
#include "capture/CaptureSource.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture/CaptureChannel.h"
#include "capture/FrameRing.h"
#include "capture/LinkLayer.h"

namespace quillet {

namespace ch = channel;
using Clock = std::chrono::steady_clock;

namespace {

// How long the window waits for the program to open the capture.
constexpr auto kOpenWait = std::chrono::seconds(5);
// The window's buffer for the channel's records (frames come through the
// ring): what one read takes, plus room for one record.
constexpr std::size_t kBufferBytes = 64u << 10;
constexpr std::size_t kRoom = sizeof(ch::Head) + ch::kMaxBody;

std::string ProgramPath()
{
    std::string dir = ExecutablePath();
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
    HelperCapture(int fd, pid_t pid, std::string ifName, bool ipv6, std::uint64_t ringBytes)
        : fd_(fd), pid_(pid), ifName_(std::move(ifName)), ifIndex_(if_nametoindex(ifName_.c_str())),
          own_(InterfaceHardwareAddress(ifName_)), ipv6_(ipv6), ringBytes_(ringBytes)
    {
        buf_.resize(kBufferBytes + kRoom);
    }
    ~HelperCapture() override
    {
        Close();
        if (ringFd_ >= 0)
            close(ringFd_);
    }

    // Waits, bounded, for the program's first words: its ring, then opened,
    // or why not.
    bool Opened(MessageSink& sink, const std::string& path)
    {
        const auto until = Clock::now() + kOpenWait;
        for (;;) {
            ch::Head head;
            const std::uint8_t* body = nullptr;
            const Taken taken = TakeRecord(head, body);
            if (taken == Taken::Broken)
                break;
            if (taken == Taken::Record) {
                if (head.kind == ch::kRing && head.length == sizeof(ch::RingBody) && !ring_.mapped() && ringFd_ >= 0) {
                    ch::RingBody ring;
                    std::memcpy(&ring, body, sizeof ring);
                    if (!ring_.Map(std::exchange(ringFd_, -1), ring.dataBytes))
                        break;
                    continue;
                }
                if (head.kind == ch::kOpened && head.length == sizeof(std::int32_t) && ring_.mapped()) {
                    std::memcpy(&linkType_, body, sizeof linkType_);
                    return true;
                }
                if (head.kind == ch::kFailed) {
                    ShowFailed(std::string(reinterpret_cast<const char*>(body), head.length), sink);
                    return false;
                }
                break;
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
        TakeRecords();
        int handed = 0;
        const bool empty = TakeFrames(maxDatagrams, fn, handed);
        // Either the window reads again by itself, or the program wakes it.
        Tell(empty ? static_cast<std::uint32_t>(ch::kWaiting) : 0u);
        if (!empty)
            return handed;
        if (readFailed_) {
            // What came before the failure was handed over all the same.
            readFailed_ = false;
            return -1;
        }
        if (ended_)
            return handed > 0 ? handed : -1;
        return handed;
    }

    int Drain(const DatagramCallback& fn) override
    {
        if (!ended_)
            Tell(ch::kDrain | ch::kWaiting);
        // The program drains for at most kDrainMs; what it sent before
        // comes first, and a little time is left for the last write.
        const auto until = Clock::now() + std::chrono::milliseconds(CaptureHandle::kDrainMs + 300);
        drained_ = false;
        lostAtStop_.reset();
        int handed = 0;
        for (;;) {
            TakeRecords();
            readFailed_ = false;
            // Frames before kDrained were published before it was sent.
            const bool last = drained_ || ended_;
            TakeFrames(std::numeric_limits<int>::max(), fn, handed);
            if (last || ended_)
                break;
            Tell(ch::kWaiting);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
        }
        // A program that does not answer took what the kernel held with it:
        // what its last counts kept, less the frames read from the ring.
        if (!drained_ && !ended_ && SilentMs() >= ch::kSilentMs) {
            const std::uint64_t kept = stats_.received > stats_.dropped ? stats_.received - stats_.dropped : 0;
            lostAtStop_ = kept > framesTaken_ ? kept - framesTaken_ : 0;
        }
        return handed;
    }

    std::int64_t SilentMs() override
    {
        TakeRecords();
        if (ended_)
            return 0;  // not silent: gone, which the window hears otherwise
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - heardAt_).count();
    }

    std::optional<std::uint64_t> LostAtStop() const override { return lostAtStop_; }
    std::uint64_t KernelRingBytes() const override { return ringBytes_; }

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
    std::vector<OwnerNote> TakeOwnerNotes() override { return std::exchange(ownerNotes_, {}); }
    OwnersTold Owners() const override { return owners_; }
    std::uint64_t OwnerEventsLost() const override { return ownersLost_; }

private:
    std::size_t Available() const { return end_ - begin_; }

    // One read of what the channel holds: bytes read, 0 when none waits, -1
    // when the program is gone (its end closed). The ring's memory file
    // comes along once; any other descriptor is closed.
    int Fill()
    {
        if (ended_)
            return -1;
        if (buf_.size() - end_ < kRoom) {
            std::memmove(buf_.data(), buf_.data() + begin_, Available());
            end_ -= begin_;
            begin_ = 0;
        }
        iovec iov{buf_.data() + end_, std::min(kBufferBytes, buf_.size() - end_)};
        alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n >= 0)
            KeepDescriptors(msg);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            heardAt_ = Clock::now();
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

    void KeepDescriptors(msghdr& msg)
    {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                if (ringFd_ < 0 && !ring_.mapped())
                    ringFd_ = fd;
                else
                    close(fd);
            }
        }
    }

    // Takes the channel's records (all but frames) that have come; a bounded
    // number of reads, each of what waits now.
    void TakeRecords()
    {
        for (int i = 0; i < 8; ++i) {
            while (NextRecord()) {
            }
            if (ended_ || Fill() <= 0)
                break;
        }
        while (NextRecord()) {
        }
    }

    // Hands over at most max more datagrams from the ring's frames; true when
    // it is read to the end published so far.
    bool TakeFrames(int max, const DatagramCallback& fn, int& handed)
    {
        if (!ring_.mapped())
            return true;
        for (const int start = handed; handed - start < max;) {
            std::uint32_t kind = 0;
            std::span<const std::uint8_t> body;
            const auto r = ring_.Next(kind, body);
            if (r == FrameRingReader::Result::Empty)
                return true;
            if (r == FrameRingReader::Result::Broken) {
                Broken();
                return true;
            }
            if (kind != ch::kFrame || body.size() < sizeof(ch::FrameHead))
                continue;
            ++framesTaken_;
            ch::FrameHead frame;
            std::memcpy(&frame, body.data(), sizeof frame);
            // A view of the ring's bytes: nothing is copied or allocated.
            const std::span<const std::uint8_t> bytes = body.subspan(sizeof frame);
            CapturedDatagram captured;
            captured.bytes = IPDatagramOf(linkType_, bytes, ipv6_);
            if (!captured.bytes.empty()) {
                ++handed;
                captured.timestampUs = frame.timestampUs;
                captured.originalLength = OriginalLengthOf(bytes, captured.bytes, frame.wireLength);
                captured.direction = DirectionOf(linkType_, bytes, own_);
                captured.live = true;
                captured.next = NextDatagram();
                fn(captured);
            }
        }
        return false;
    }

    // The datagram of the ring's next frame, when it holds one already.
    std::span<const std::uint8_t> NextDatagram()
    {
        std::uint32_t kind = 0;
        std::span<const std::uint8_t> body;
        if (ring_.Peek(kind, body) != FrameRingReader::Result::Record || kind != ch::kFrame
            || body.size() < sizeof(ch::FrameHead))
            return {};
        return IPDatagramOf(linkType_, body.subspan(sizeof(ch::FrameHead)), ipv6_);
    }

    // Tells the program how far the ring was read (which frees it) and
    // whether to wake the window for more; once per change.
    void Tell(std::uint32_t what)
    {
        if (fd_ < 0 || ended_ || (ring_.position() == told_ && what == toldWhat_ && (what & ch::kDrain) == 0))
            return;
        const ch::WindowWord word{ring_.position(), what, 0};
        if (send(fd_, &word, sizeof word, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof word)) {
            told_ = word.position;
            toldWhat_ = what;
        }
    }

    enum class Taken { None, Record, Broken };
    // The next whole record of the channel's buffer, taken: None while it is
    // not whole yet, Broken when its length cannot be.
    Taken TakeRecord(ch::Head& head, const std::uint8_t*& body)
    {
        if (Available() < sizeof head)
            return Taken::None;
        std::memcpy(&head, &buf_[begin_], sizeof head);
        if (head.length > ch::kMaxBody)
            return Taken::Broken;
        if (Available() < sizeof head + head.length)
            return Taken::None;
        body = &buf_[begin_ + sizeof head];
        begin_ += sizeof head + head.length;
        return Taken::Record;
    }

    // Takes one whole record from the channel's buffer; false when none is
    // whole.
    bool NextRecord()
    {
        ch::Head head;
        const std::uint8_t* body = nullptr;
        const Taken taken = TakeRecord(head, body);
        if (taken == Taken::Broken)
            Broken();
        if (taken != Taken::Record)
            return false;
        switch (head.kind) {
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
        case ch::kOwner:
            if (head.length == sizeof(ch::OwnerBody))
                KeepOwner(body);
            break;
        case ch::kOwners:
            if (head.length == sizeof(ch::OwnersBody)) {
                ch::OwnersBody o;
                std::memcpy(&o, body, sizeof o);
                owners_ = o.state == ch::kOwnersTold ? OwnersTold::Told : OwnersTold::LookUpOnly;
                ownersLost_ = o.lost;
            }
            break;
        default:
            break;  // kWake: its work is done by being read
        }
        return true;
    }

    // An owner the program told of, checked as anything it sends; notes
    // beyond a bound wait for nobody (the look-ups are left for those).
    void KeepOwner(const std::uint8_t* body)
    {
        ch::OwnerBody o;
        std::memcpy(&o, body, sizeof o);
        if ((o.protocol != 6 && o.protocol != 17) || o.v6 > 1 || ownerNotes_.size() >= kMaxOwnerNotes)
            return;
        OwnerNote n;
        n.fromUs = o.fromUs;
        n.pid = static_cast<int>(std::min<std::uint32_t>(o.pid, INT32_MAX));
        n.uid = o.uid;
        n.protocol = o.protocol;
        n.v6 = o.v6 != 0;
        n.port = o.port;
        std::memcpy(n.address.data(), o.address, n.address.size());
        n.name.assign(o.name, strnlen(o.name, sizeof o.name - 1));
        ownerNotes_.push_back(std::move(n));
    }

    // What cannot come from the capture program: it is ended.
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
    HardwareAddress own_;  // tells what the interface sent from what it received
    bool ipv6_;  // IPv6 datagrams are handed on too
    std::uint64_t ringBytes_;  // the program's kernel ring
    Clock::time_point heardAt_ = Clock::now();  // the channel last brought bytes
    std::uint64_t framesTaken_ = 0;  // frame records read from the ring
    std::optional<std::uint64_t> lostAtStop_;
    std::int32_t linkType_ = -1;
    int ringFd_ = -1;  // come, not yet mapped
    static constexpr std::size_t kMaxOwnerNotes = 1u << 16;
    std::vector<OwnerNote> ownerNotes_;
    OwnersTold owners_ = OwnersTold::NotYet;
    std::uint64_t ownersLost_ = 0;
    FrameRingReader ring_;
    std::uint64_t told_ = 0;
    std::uint32_t toldWhat_ = 0;
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
    // Room for many words to the program, so that none is refused.
    int sndbuf = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);

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
    const std::uint64_t ringBytes = static_cast<std::uint64_t>(CaptureBufferBytes(PhysicalMemoryBytes()));
    const std::string ringMiB = std::to_string(ringBytes / (1024 * 1024));
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
            sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "无法启动捕获程序 %1（%2）。由本用户运行 make run 可使它归 root 所有、只由本用户的组运行：sudo chown root:$(id -gn) %1 && sudo chmod 0750 %1 && sudo setcap cap_net_raw+ep %1"), {path, std::strerror(spawned)}});
        return nullptr;
    }
    auto capture = std::make_unique<HelperCapture>(sv[0], pid, *ifName, ipv6, ringBytes);
    if (!capture->Opened(sink, path))
        return nullptr;
    return capture;
}

}  // namespace quillet
