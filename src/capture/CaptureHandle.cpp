// The capture handle and OpenCaptureSocket over libpcap.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <exception>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "capture/LinkLayer.h"
#include "capture/LocalInterfaces.h"
#include "capture/mdlwinsock.h"
#include "core/IPv6Text.h"

namespace quillet {
namespace {

// The kernel hands a partly filled ring block over when this expires: rows
// appear within about a tenth of a second without waking up per packet.
constexpr int kReadTimeoutMs = 50;
// The kernel ring must hold what arrives while the window is away from
// reading. The highest rate measured on a veth pair is about 475,000
// full-size datagrams/s, some 1,500 bytes each in the ring with its frame
// header (~710 MB/s); the longest event-loop stall measured under it is
// 160 ms (~114 MB). 128 MiB holds about 180 ms of that, over three times the
// 50 ms a stall may last. The ring is locked kernel memory: never more than
// 1/32 of the machine's memory, never less than 32 MiB.
constexpr long long kKernelBufferBytes = 128LL * 1024 * 1024;
constexpr long long kKernelBufferFloor = 32LL * 1024 * 1024;
constexpr const char* kFilterTaggedToo = "ip or (vlan and ip)";
constexpr const char* kFilterUntagged = "ip";
constexpr const char* kFilterBothTaggedToo = "ip or ip6 or (vlan and (ip or ip6))";
constexpr const char* kFilterBothUntagged = "ip or ip6";

// Why the right is missing, with the command that grants it to this program.
Reason NeedsRights(const std::string& detail)
{
    std::string path = ExecutablePath();
    if (path.empty())
        path = "quillet-capture";
    return {QT_TRANSLATE_NOOP("CaptureReason", "捕获需要 root 权限，或授予本程序 CAP_NET_RAW：sudo setcap cap_net_raw+ep %1（make run 会完成此步）。（%2）"), {path, detail}};
}

}  // namespace

std::string ExecutablePath()
{
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

long long PhysicalMemoryBytes()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<long long>(pages) * size : 0;
}

int CaptureBufferBytes(long long physicalBytes)
{
    long long bytes = kKernelBufferBytes;
    if (physicalBytes > 0)
        bytes = std::min(bytes, physicalBytes / 32);
    return static_cast<int>(std::max(bytes, kKernelBufferFloor));
}

struct CaptureHandle::Impl {
    pcap_t* pcap = nullptr;
    int linkType = 0;
    bool ipv6 = false;  // IPv6 datagrams are handed on too
    int fd = -1;
    std::string ifName;
    unsigned ifIndex = 0;  // names can be reused; the index identifies it
    std::string lastError;
    // Packets libpcap handed to us since the open, IPv4 or not: compared with
    // the kernel's count to tell whether anything is still in the ring.
    std::uint64_t delivered = 0;
    Stats last;
    // Tells the frames this interface sent and received apart.
    HardwareAddress own;
    // The interface's own drop counters, opened with the capture so that
    // reading them later opens nothing; -1 where the interface has none.
    int missedFd = -1;
    int fifoFd = -1;
    std::uint64_t ifDropsAtOpen = 0;

    ~Impl()
    {
        if (pcap != nullptr)
            pcap_close(pcap);
        for (int fd : {missedFd, fifoFd})
            if (fd >= 0)
                close(fd);
    }
};

namespace {

using Clock = std::chrono::steady_clock;

struct DispatchContext {
    CaptureHandle::Impl* impl;
    const DatagramCallback* fn;
    // Whole frames instead of their datagrams, when set.
    const FrameCallback* frames = nullptr;
    int handed = 0;
    std::exception_ptr error;
    // When set, the pass ends at this time even while packets keep coming.
    const Clock::time_point* deadline = nullptr;
    bool late = false;
};

void OnPacket(u_char* user, const pcap_pkthdr* h, const u_char* bytes)
{
    auto* ctx = reinterpret_cast<DispatchContext*>(user);
    ++ctx->impl->delivered;
    if (ctx->error || ctx->late)
        return;
    // The clock is read without a system call; every 64 packets is enough.
    if (ctx->deadline != nullptr && (ctx->impl->delivered & 63) == 0 && Clock::now() >= *ctx->deadline) {
        ctx->late = true;
        pcap_breakloop(ctx->impl->pcap);
    }
    const std::int64_t us = static_cast<std::int64_t>(h->ts.tv_sec) * 1000000 + h->ts.tv_usec;
    try {
        if (ctx->frames != nullptr) {
            ++ctx->handed;
            (*ctx->frames)({bytes, h->caplen}, h->len, us);
            return;
        }
        const std::span<const std::uint8_t> frame(bytes, h->caplen);
        CapturedDatagram captured;
        captured.bytes = IPDatagramOf(ctx->impl->linkType, frame, ctx->impl->ipv6);
        if (captured.bytes.empty())
            return;
        ++ctx->handed;
        captured.timestampUs = us;
        captured.originalLength = OriginalLengthOf(frame, captured.bytes, h->len);
        captured.direction = DirectionOf(ctx->impl->linkType, frame, ctx->impl->own);
        captured.live = true;
        (*ctx->fn)(captured);
    } catch (...) {
        // Never unwind through libpcap: stop the loop and rethrow outside.
        ctx->error = std::current_exception();
        pcap_breakloop(ctx->impl->pcap);
    }
}

// One pass over what the ring holds now. Returns datagrams handed over or -1.
int DispatchReady(CaptureHandle::Impl* impl, int maxDatagrams, const DatagramCallback* fn, const FrameCallback* frames,
                  const Clock::time_point* deadline = nullptr)
{
    DispatchContext ctx{impl, fn, frames, 0, nullptr, deadline};
    const int rc = pcap_dispatch(impl->pcap, maxDatagrams, OnPacket, reinterpret_cast<u_char*>(&ctx));
    if (ctx.error)
        std::rethrow_exception(ctx.error);
    if (rc < 0 && rc != PCAP_ERROR_BREAK) {
        impl->lastError = pcap_geterr(impl->pcap);
        if (impl->lastError.empty())
            impl->lastError = pcap_statustostr(rc);
        return -1;
    }
    return ctx.handed;  // also after a break (PCAP_ERROR_BREAK)
}

// A decimal counter of the interface, read again from its start; 0 when
// there is none.
std::uint64_t ReadCounter(int fd)
{
    char text[32] = {};
    if (fd < 0 || pread(fd, text, sizeof text - 1, 0) <= 0)
        return 0;
    return std::strtoull(text, nullptr, 10);
}

std::uint64_t InterfaceDrops(const CaptureHandle::Impl* impl)
{
    return ReadCounter(impl->missedFd) + ReadCounter(impl->fifoFd);
}

// The kernel's counts since the open, added up here (the kernel hands each
// count over once), and the interface's drops since then. Read from the
// descriptors held, not through the capture library's figures, which open
// the interface's counter files anew each time.
bool ReadKernelStats(CaptureHandle::Impl* impl)
{
    tpacket_stats_v3 st{};
    socklen_t len = sizeof st;
    if (getsockopt(impl->fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) != 0)
        return false;
    impl->last.received += st.tp_packets;  // includes the drops
    impl->last.dropped += st.tp_drops;
    const std::uint64_t ifDrops = InterfaceDrops(impl);
    impl->last.ifDropped = ifDrops > impl->ifDropsAtOpen ? ifDrops - impl->ifDropsAtOpen : 0;
    return true;
}

// Packets the kernel has counted into the ring since the open (dropped ones
// not included), or nothing when it cannot say.
std::optional<std::uint64_t> KeptByKernel(CaptureHandle::Impl* impl)
{
    if (!ReadKernelStats(impl))
        return std::nullopt;
    const CaptureHandle::Stats& st = impl->last;
    return st.received >= st.dropped ? st.received - st.dropped : 0;
}

// At most this many packets per drain when the kernel gives no count.
constexpr std::uint64_t kDrainCap = 1'000'000;

}  // namespace

CaptureHandle::CaptureHandle(Impl* impl) : impl_(impl) {}

CaptureHandle::CaptureHandle(CaptureHandle&& other) noexcept : impl_(std::exchange(other.impl_, nullptr)) {}

CaptureHandle& CaptureHandle::operator=(CaptureHandle&& other) noexcept
{
    if (this != &other) {
        Close();
        impl_ = std::exchange(other.impl_, nullptr);
    }
    return *this;
}

CaptureHandle::~CaptureHandle()
{
    Close();
}

bool CaptureHandle::valid() const
{
    return impl_ != nullptr;
}

int CaptureHandle::selectableFd() const
{
    return impl_ != nullptr ? impl_->fd : -1;
}

int CaptureHandle::Read(int maxDatagrams, const DatagramCallback& fn)
{
    return Read(maxDatagrams, &fn, nullptr);
}

int CaptureHandle::ReadFrames(int maxFrames, const FrameCallback& fn)
{
    return Read(maxFrames, nullptr, &fn);
}

int CaptureHandle::Drain(const DatagramCallback& fn)
{
    return Drain(&fn, nullptr);
}

int CaptureHandle::DrainFrames(const FrameCallback& fn)
{
    return Drain(nullptr, &fn);
}

int CaptureHandle::linkType() const
{
    return impl_ != nullptr ? impl_->linkType : -1;
}

int CaptureHandle::Read(int maxDatagrams, const DatagramCallback* fn, const FrameCallback* frames)
{
    if (impl_ == nullptr)
        return -1;
    if (maxDatagrams <= 0)
        return 0;
    return DispatchReady(impl_, maxDatagrams, fn, frames);
}

int CaptureHandle::Drain(const DatagramCallback* fn, const FrameCallback* frames)
{
    if (impl_ == nullptr)
        return 0;
    // A partly filled block is released when the kernel's block timer fires
    // twice without the block changing: up to two timeouts, plus a margin,
    // within the drain's limit.
    static_assert(2 * kReadTimeoutMs + 50 <= kDrainMs);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
    // What the kernel counted into the ring up to now is what was captured
    // before the stop; what comes later is not read. The ring is read in
    // order, so that count bounds the packets to take.
    const std::optional<std::uint64_t> kept = KeptByKernel(impl_);
    const std::uint64_t target = kept ? *kept : impl_->delivered + kDrainCap;
    int total = 0;
    while (impl_->delivered < target) {
        const std::uint64_t left = std::min<std::uint64_t>(target - impl_->delivered, kDrainCap);
        const std::uint64_t before = impl_->delivered;
        const int n = DispatchReady(impl_, static_cast<int>(left), fn, frames, &deadline);
        if (n < 0)
            break;
        total += n;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (ms <= 0)
            break;
        if (impl_->delivered == before) {
            // Nothing released yet: wait for the block timer.
            pollfd p{impl_->fd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(ms));
        }
    }
    return total;
}

std::string CaptureHandle::lastError() const
{
    return impl_ != nullptr ? impl_->lastError : std::string();
}

std::string CaptureHandle::interfaceName() const
{
    return impl_ != nullptr ? impl_->ifName : std::string();
}

LinkState CaptureHandle::linkState() const
{
    return impl_ != nullptr ? InterfaceLinkState(impl_->ifIndex) : LinkState::Gone;
}

CaptureHandle::Stats CaptureHandle::stats() const
{
    if (impl_ == nullptr)
        return {};
    ReadKernelStats(impl_);
    return impl_->last;
}

void CaptureHandle::Close()
{
    delete std::exchange(impl_, nullptr);
}

std::optional<std::string> CaptureInterfaceOf(const std::string& address, MessageSink& sink)
{
    // An IPv6 address names its interface as an IPv4 one does; either
    // captures both families of it.
    std::uint8_t ip6[16];
    if (address.find(':') != std::string::npos && IPv6FromText(address, ip6)) {
        auto ifName = InterfaceCarrying6(ip6);
        if (!ifName)
            sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "没有网络接口带有地址 %1。"),
                                                {IPv6BytesToText(ip6).str()}});
        return ifName;
    }
    const IPv4 ip = ResolveIPv4(address);
    if (ip == kNoAddress) {
        sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "“%1”既不是 IPv4 地址，也不是已知的主机名。"), {address}});
        return std::nullopt;
    }
    auto ifName = InterfaceCarrying(ip);
    if (!ifName)
        sink.ShowFailure("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "没有网络接口带有地址 %1。"), {IPv4ToText(ip).str()}});
    return ifName;
}

CaptureHandle OpenCaptureSocket(const std::string& address, int port, MessageSink& sink, bool ipv6)
{
    (void)port;  // a capture sees the whole interface; the port changes nothing
    const auto ifName = CaptureInterfaceOf(address, sink);
    if (!ifName)
        return CaptureHandle();
    return OpenCaptureInterface(*ifName, CaptureBufferBytes(PhysicalMemoryBytes()), sink, ipv6);
}

CaptureHandle OpenCaptureInterface(const std::string& interfaceName, int ringBytes, MessageSink& sink, bool ipv6)
{
    auto fail = [&sink](const char* first, Reason why) {
        sink.ShowFailure(first, why);
        return CaptureHandle();
    };
    // The system's or the capture library's own words.
    auto said = [](const std::string& words) { return Reason{"%1", {words}}; };

    char err[PCAP_ERRBUF_SIZE] = {};
    auto impl = std::make_unique<CaptureHandle::Impl>();
    impl->ifName = interfaceName;
    impl->ifIndex = if_nametoindex(interfaceName.c_str());
    impl->own = InterfaceHardwareAddress(interfaceName);
    impl->pcap = pcap_create(interfaceName.c_str(), err);
    if (impl->pcap == nullptr)
        return fail("INVALID_SOCKET", said(err));
    pcap_t* p = impl->pcap;

    if (pcap_set_snaplen(p, CaptureHandle::kSnapLength) != 0 || pcap_set_promisc(p, 1) != 0
        || pcap_set_timeout(p, kReadTimeoutMs) != 0 || pcap_set_buffer_size(p, ringBytes) != 0)
        return fail("setsockopt err", said(pcap_geterr(p)));

    const int activated = pcap_activate(p);
    if (activated < 0) {
        const std::string said = pcap_geterr(p);
        const std::string detail = !said.empty() ? said : pcap_statustostr(activated);
        switch (activated) {
        case PCAP_ERROR_PERM_DENIED:
            return fail("INVALID_SOCKET", NeedsRights(detail));
        case PCAP_ERROR_PROMISC_PERM_DENIED:
            return fail("WSAIoctl err", {QT_TRANSLATE_NOOP("CaptureReason", "网络接口 %1 拒绝了混杂模式：%2"), {interfaceName, detail}});
        default:
            return fail("bind err", {QT_TRANSLATE_NOOP("CaptureReason", "无法在 %1 上捕获：%2"), {interfaceName, detail}});
        }
    }

    impl->linkType = pcap_datalink(p);
    impl->ipv6 = ipv6;
    if (!LinkTypeSupported(impl->linkType)) {
        const char* name = pcap_datalink_val_to_name(impl->linkType);
        return fail("bind err", {QT_TRANSLATE_NOOP("CaptureReason", "网络接口 %1 的链路类型本程序无法读取（%2）。"),
                                 {interfaceName, name != nullptr ? name : std::to_string(impl->linkType)}});
    }

    bpf_program prog{};
    if (pcap_compile(p, &prog, ipv6 ? kFilterBothTaggedToo : kFilterTaggedToo, 1, PCAP_NETMASK_UNKNOWN) != 0
        && pcap_compile(p, &prog, ipv6 ? kFilterBothUntagged : kFilterUntagged, 1, PCAP_NETMASK_UNKNOWN) != 0)
        return fail("setsockopt err", {QT_TRANSLATE_NOOP("CaptureReason", "无法建立 IPv4 过滤器：%1"), {pcap_geterr(p)}});
    const int filtered = pcap_setfilter(p, &prog);
    pcap_freecode(&prog);
    if (filtered != 0)
        return fail("setsockopt err", {QT_TRANSLATE_NOOP("CaptureReason", "无法设置 IPv4 过滤器：%1"), {pcap_geterr(p)}});

    if (pcap_setnonblock(p, 1, err) != 0)
        return fail("INVALID_SOCKET", said(err));
    impl->fd = pcap_get_selectable_fd(p);
    if (impl->fd < 0)
        return fail("INVALID_SOCKET", {QT_TRANSLATE_NOOP("CaptureReason", "该捕获没有可监视的描述符。"), {}});
    const std::string counters = "/sys/class/net/" + interfaceName + "/statistics/";
    impl->missedFd = open((counters + "rx_missed_errors").c_str(), O_RDONLY | O_CLOEXEC);
    impl->fifoFd = open((counters + "rx_fifo_errors").c_str(), O_RDONLY | O_CLOEXEC);
    impl->ifDropsAtOpen = InterfaceDrops(impl.get());

    return CaptureHandle(impl.release());
}

}  // namespace quillet
