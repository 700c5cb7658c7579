// quillet-capture: the only program that holds the right to capture. The
// window starts it for one capture:
//
//     quillet-capture INTERFACE RING_MIB 4|46     (the channel on descriptor 3)
//
// where 4 captures IPv4 alone and 46 IPv6 beside it.
//
// It opens the interface as the window once did itself, gives up every right
// it holds, confines its loop to the system calls it needs
// (HelperConfinement.h), and forwards every captured frame, untouched, with
// its timestamp and length on the wire, through a ring shared with the
// window (written here, read-only there), and the kernel's counters through
// the channel. It
// trusts nothing from the window but the three arguments and how far it read
// the ring, all checked. Its counters go out at a steady pace, also when
// nothing is captured, so that the window can tell a program that no longer
// answers. It ends when the window closes the channel or goes away.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <linux/capability.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "capture/CaptureChannel.h"
#include "capture/FrameRing.h"
#include "capture/HelperConfinement.h"
#include "capture/helper/OwnerEvents.h"
#include "capture/mdlwinsock.h"

using namespace quillet;
namespace ch = quillet::channel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kMiB = 1024 * 1024;
// What waits here for the window, in the ring shared with it, before the
// kernel ring is left to hold the rest; about 80 ms of full-size datagrams at
// the fastest rates measured.
constexpr std::size_t kRingBytes = 64 * kMiB;
constexpr int kFramesPerRead = 256;
constexpr auto kStatsEvery = std::chrono::milliseconds(ch::kStatsEveryMs);
constexpr auto kRetryAfterError = std::chrono::milliseconds(100);

// Records other than frames waiting for the window: a few small ones a
// second, written as the channel takes them.
class OutQueue {
public:
    bool empty() const { return sent_ == bytes_.size(); }

    void Add(std::uint32_t kind, const void* body, std::size_t length)
    {
        const ch::Head head{kind, static_cast<std::uint32_t>(length)};
        const auto* h = reinterpret_cast<const std::uint8_t*>(&head);
        bytes_.insert(bytes_.end(), h, h + sizeof head);
        if (length > 0)
            bytes_.insert(bytes_.end(), static_cast<const std::uint8_t*>(body),
                          static_cast<const std::uint8_t*>(body) + length);
    }

    // Writes what the channel takes now; false when the window is gone.
    bool Flush(int fd)
    {
        while (!empty()) {
            const ssize_t n = send(fd, bytes_.data() + sent_, bytes_.size() - sent_, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            sent_ += static_cast<std::size_t>(n);
        }
        bytes_.clear();
        sent_ = 0;
        return true;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t sent_ = 0;
};

// Tells the window (and whoever started the program by hand) why not, and ends.
[[noreturn]] void Refuse(const std::string& first, const Reason& why, int status = 2)
{
    std::fprintf(stderr, "%s: %s\n%s\n", ch::kProgramName, first.c_str(), FilledReason(why).c_str());
    const std::string message = first + "\n" + EncodedReason(why);
    const ch::Head head{ch::kFailed, static_cast<std::uint32_t>(message.size())};
    std::string record(reinterpret_cast<const char*>(&head), sizeof head);
    record += message;
    (void)send(ch::kFd, record.data(), record.size(), MSG_NOSIGNAL);
    std::exit(status);
}

struct ChannelSink : MessageSink {
    void ShowMessage(const std::string& text) override
    {
        const std::size_t cut = text.find('\n');
        Refuse(text.substr(0, cut), {"%1", {cut == std::string::npos ? std::string() : text.substr(cut + 1)}}, 1);
    }
    void ShowFailure(const std::string& first, const Reason& why) override { Refuse(first, why, 1); }
};

// The interface name: 1 to IFNAMSIZ-1 characters of an existing interface.
std::string CheckedInterface(const char* arg)
{
    const std::size_t n = strnlen(arg, IFNAMSIZ);
    if (n == 0 || n >= IFNAMSIZ)
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "网络接口名称应有 1 到 %1 个字符。"), {std::to_string(IFNAMSIZ - 1)}});
    if (if_nametoindex(arg) == 0)
        Refuse("bind err", {QT_TRANSLATE_NOOP("CaptureReason", "没有名为“%1”的网络接口。"), {arg}});
    return arg;
}

// The ring in MiB: decimal digits, from 1 to what the machine's memory allows.
int CheckedRingMiB(const char* arg)
{
    const long long most = CaptureBufferBytes(PhysicalMemoryBytes()) / kMiB;
    long long v = 0;
    const std::size_t n = std::strlen(arg);
    bool digits = n > 0 && n <= 6;
    for (std::size_t i = 0; digits && i < n; ++i) {
        digits = arg[i] >= '0' && arg[i] <= '9';
        v = v * 10 + (arg[i] - '0');
    }
    if (!digits || v < 1 || v > most)
        Refuse("setsockopt err", {QT_TRANSLATE_NOOP("CaptureReason", "内核环形缓冲区可取 1 到 %1 MiB，而不是“%2”。"), {std::to_string(most), arg}});
    return static_cast<int>(v);
}

// The families: IPv6 beside IPv4 (true) or IPv4 alone.
bool CheckedFamilies(const char* arg)
{
    if (std::strcmp(arg, ch::kFamiliesIPv4) != 0 && std::strcmp(arg, ch::kFamiliesBoth) != 0)
        Refuse("setsockopt err", {QT_TRANSLATE_NOOP("CaptureReason", "协议族应为 %1（IPv4）或 %2（IPv4 和 IPv6），而不是“%3”。"),
                                  {ch::kFamiliesIPv4, ch::kFamiliesBoth, arg}});
    return std::strcmp(arg, ch::kFamiliesBoth) == 0;
}

// No capability left in any set, ambient included; verified.
bool DropEveryRight()
{
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (syscall(SYS_capset, &hdr, none) != 0)
        return false;
    __user_cap_data_struct now[2] = {};
    if (syscall(SYS_capget, &hdr, now) != 0)
        return false;
    for (const auto& d : now)
        if (d.effective != 0 || d.permitted != 0 || d.inheritable != 0)
            return false;
    return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_NET_RAW, 0, 0) == 0;
}

// Hands the ring's memory file to the window, before anything else.
bool SendRing(const FrameRingWriter& ring)
{
    const ch::RingBody body{ring.dataBytes()};
    const ch::Head head{ch::kRing, sizeof body};
    std::uint8_t record[sizeof head + sizeof body];
    std::memcpy(record, &head, sizeof head);
    std::memcpy(record + sizeof head, &body, sizeof body);
    iovec iov{record, sizeof record};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int fd = ring.fd();
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return sendmsg(ch::kFd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof record);
}

// What the window says: how far it read the ring, whether it waits to be
// woken, whether it asks for the drain. A word it cannot have sent (a
// position outside what was written) ends this program.
struct WindowWords {
    bool waiting = true;
    bool drainAsked = false;

    // False when the window is gone.
    bool Read(FrameRingWriter& ring)
    {
        for (int i = 0; i < 16; ++i) {
            const ssize_t n = recv(ch::kFd, buf_ + have_, sizeof buf_ - have_, MSG_DONTWAIT);
            if (n == 0)
                return false;
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            have_ += static_cast<std::size_t>(n);
            std::size_t at = 0;
            for (; have_ - at >= sizeof(ch::WindowWord); at += sizeof(ch::WindowWord)) {
                ch::WindowWord w;
                std::memcpy(&w, buf_ + at, sizeof w);
                if (!ring.Consumed(w.position))
                    _exit(1);
                waiting = (w.what & ch::kWaiting) != 0;
                drainAsked = drainAsked || (w.what & ch::kDrain) != 0;
            }
            std::memmove(buf_, buf_ + at, have_ - at);
            have_ -= at;
        }
        return true;
    }

private:
    std::uint8_t buf_[64 * sizeof(ch::WindowWord)];
    std::size_t have_ = 0;
};

// Ends a drain that waited for the window as long as it may.
struct DrainTimeUp {};

// As many frames as a read may take: what surely fits in the ring, even of
// the longest frames, up to kFramesPerRead.
int FramesToRead(const FrameRingWriter& ring)
{
    return static_cast<int>(std::min<std::size_t>(kFramesPerRead, ring.FramesThatFit(CaptureHandle::kSnapLength)));
}

void AddStats(OutQueue& out, const CaptureHandle::Stats& st)
{
    const ch::StatsBody body{st.received, st.dropped, st.ifDropped};
    out.Add(ch::kStats, &body, sizeof body);
}

void AddOwnersState(OutQueue& out, const OwnerEvents& owners)
{
    const ch::OwnersBody body{owners.attached() ? ch::kOwnersTold : ch::kOwnersLookUpOnly, 0, owners.Lost()};
    out.Add(ch::kOwners, &body, sizeof body);
}

// What the kernel told about sockets since the last time, before the frames
// it concerns are published.
void TakeOwners(OutQueue& out, OwnerEvents& owners, std::uint64_t& lost)
{
    if (!owners.attached())
        return;
    const OwnerEvents::Send send = [&out](const ch::OwnerBody& b) { out.Add(ch::kOwner, &b, sizeof b); };
    owners.Consume(send);
    if (const std::uint64_t now = owners.Lost(); now != lost) {
        lost = now;
        AddOwnersState(out, owners);
    }
}

// Ends the program once its loop is confined: the kernel closes the capture
// and frees its rings; no tear-down makes a call the filter does not allow.
[[noreturn]] void End(int status)
{
    _exit(status);
}

}  // namespace

int main(int argc, char** argv)
{
    clearenv();
    // Gone with the window, also when it died before this line: then this
    // program was handed to init, or the window's end of the channel is closed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    pollfd window{ch::kFd, 0, 0};
    if (getppid() == 1 || (poll(&window, 1, 0) == 1 && (window.revents & POLLHUP) != 0))
        return 1;
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    close_range(ch::kFd + 1, ~0U, 0);
    signal(SIGPIPE, SIG_IGN);

    if (argc != 4)
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "用法：%1 INTERFACE RING_MIB %2|%3，窗口的通道在描述符 3 上；别无其他参数。"),
                                  {ch::kProgramName, ch::kFamiliesIPv4, ch::kFamiliesBoth}});
    const std::string ifName = CheckedInterface(argv[1]);
    const int ringMiB = CheckedRingMiB(argv[2]);
    const bool ipv6 = CheckedFamilies(argv[3]);
    struct stat st{};
    if (fstat(ch::kFd, &st) != 0 || !S_ISSOCK(st.st_mode))
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "启动时没有通道（描述符 3 上的套接字）；应由窗口启动。"), {}});
    // A datagram or packet socket would never tell this program that the
    // window went away.
    if (const std::string problem = StreamChannelProblem(ch::kFd); !problem.empty())
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "描述符 3 上的通道应是 Unix 流套接字（SOCK_STREAM），而它是 %1；应由窗口启动。"), {problem}});
    // Root needs no granted right to capture, so no limit of this program
    // holds it; every other user runs a few of it at most.
    if (getuid() != 0 && CountProcessesNamed("/proc", getuid(), ch::kProgramName) > kMostHelpersPerUser)
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "本用户已有 %1 个捕获程序在运行，这是上限；请先停止另一个捕获。"), {std::to_string(kMostHelpersPerUser)}});

    ChannelSink sink;
    CaptureHandle capture = OpenCaptureInterface(ifName, static_cast<int>(ringMiB * kMiB), sink, ipv6);
    OwnerEvents owners;
    if (!owners.Start())
        std::fprintf(stderr, "%s: owners from look-ups only (%s)\n", ch::kProgramName, owners.why().c_str());
    if (!DropEveryRight())
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "捕获程序在打开后未能放弃其权限。"), {}}, 1);

    FrameRingWriter ring(kRingBytes);
    if (!ring.valid())
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "捕获程序无法建立与窗口共享的内存（%1）。"), {std::strerror(ring.error())}}, 1);
    // From here on the loop runs confined.
    if (!InstallHelperFilter(ch::kFd))
        Refuse("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "捕获程序无法限制自己的系统调用（%1）。"), {std::strerror(errno)}}, 1);
    if (!SendRing(ring))
        End(0);

    OutQueue out;
    const std::int32_t linkType = capture.linkType();
    out.Add(ch::kOpened, &linkType, sizeof linkType);
    AddOwnersState(out, owners);
    std::uint64_t ownersLost = 0;
    WindowWords words;
    const FrameCallback keep = [&ring](std::span<const std::uint8_t> frame, std::uint32_t wire, std::int64_t us) {
        // Only called with room for the longest frame.
        (void)ring.PutFrame(us, wire, frame);
    };
    // Makes the frames visible, and wakes a window that waits for them.
    const auto publish = [&] {
        if (ring.Publish() && words.waiting) {
            words.waiting = false;
            out.Add(ch::kWake, nullptr, 0);
        }
    };
    auto statsAt = Clock::now();
    auto readAgainAt = Clock::now();
    bool drained = false;  // nothing more is read after a drain

    for (;;) {
        if (!out.Flush(ch::kFd))
            End(0);
        const auto now = Clock::now();
        const int room = FramesToRead(ring);
        const bool readCapture = !drained && room > 0 && now >= readAgainAt;
        // A capture not read now is not watched at all: a descriptor in error
        // would report it at once, every time.
        pollfd p[3] = {{ch::kFd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0},
                       {readCapture ? capture.selectableFd() : -1, POLLIN, 0},
                       {drained ? -1 : owners.fd(), POLLIN, 0}};
        const int wait = readCapture || drained ? static_cast<int>(kStatsEvery.count()) : 20;
        if (poll(p, 3, wait) < 0 && errno != EINTR)
            End(1);
        if ((p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            End(0);
        if ((p[0].revents & POLLIN) != 0) {
            if (!words.Read(ring))
                End(0);
            publish();
            if (words.drainAsked && !drained) {
                // What the kernel held at the request; when the ring is full,
                // the window is waited for, within the drain's time.
                const auto until = Clock::now() + std::chrono::milliseconds(CaptureHandle::kDrainMs);
                TakeOwners(out, owners, ownersLost);
                try {
                    capture.DrainFrames([&](std::span<const std::uint8_t> f, std::uint32_t wire, std::int64_t us) {
                        while (!ring.PutFrame(us, wire, f)) {
                            if (Clock::now() >= until)
                                throw DrainTimeUp{};
                            publish();
                            if (!out.Flush(ch::kFd))
                                End(0);
                            pollfd w{ch::kFd, POLLIN, 0};
                            if (poll(&w, 1, 10) > 0 && !words.Read(ring))
                                End(0);
                        }
                    });
                } catch (const DrainTimeUp&) {
                }
                publish();
                AddStats(out, capture.stats());
                out.Add(ch::kDrained, nullptr, 0);
                drained = true;
                continue;
            }
        }
        if (!drained) {
            TakeOwners(out, owners, ownersLost);
            if (!out.Flush(ch::kFd))
                End(0);
        }
        if (readCapture && (p[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            int n = 0;
            int asked = room;
            for (int i = 0; i < 64 && asked > 0; ++i) {
                n = capture.ReadFrames(asked, keep);
                publish();
                if (n < asked)
                    break;
                asked = FramesToRead(ring);
            }
            if (!out.Flush(ch::kFd))
                End(0);
            if (n < 0) {
                const std::string why = capture.lastError();
                out.Add(ch::kReadError, why.data(), why.size());
            }
            // A descriptor in error (an interface that went down) stays
            // readable: look again later instead of spinning.
            if (n < 0 || (n == 0 && (p[1].revents & POLLIN) == 0))
                readAgainAt = Clock::now() + kRetryAfterError;
        }
        // The counters, changed or not: silence means this program stalled.
        // While the window has not taken the last ones, newer ones wait.
        if (!drained && Clock::now() - statsAt >= kStatsEvery && out.empty()) {
            statsAt = Clock::now();
            AddStats(out, capture.stats());
        }
    }
}
