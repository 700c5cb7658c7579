#include "support/Netns.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillet::testsupport {
namespace {

constexpr const char* kPeerPrefix = "quillet-peer-";
constexpr int kWaitSeconds = 3;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
}

void SetTimeouts(int fd)
{
    timeval tv{kWaitSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// An IPv4 or IPv6 socket address (the text tells).
struct SocketAddr {
    sockaddr_storage ss{};
    socklen_t len = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&ss); }
};

SocketAddr SocketAddress(const char* ip, std::uint16_t port)
{
    SocketAddr a;
    if (std::strchr(ip, ':') != nullptr) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, ip, &in6->sin6_addr);
        a.len = sizeof(sockaddr_in6);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&a.ss);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        inet_pton(AF_INET, ip, &in->sin_addr);
        a.len = sizeof(sockaddr_in);
    }
    return a;
}

bool Bind(int fd, const char* ip, std::uint16_t port)
{
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const SocketAddr a = SocketAddress(ip, port);
    return bind(fd, a.get(), a.len) == 0;
}

bool SendAll(int fd, const std::string& data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the other side closes (or the time-out). False on a time-out or error.
bool ReadAll(int fd, std::string& out)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

std::uint16_t InternetChecksum(const std::uint8_t* p, std::size_t n)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<std::uint32_t>((p[i] << 8) | p[i + 1]);
    if (n % 2 != 0)
        sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Removes peer namespaces whose creating process no longer exists.
void RemoveStalePeers()
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kPeerPrefix, 0) != 0)
            continue;
        const long pid = std::strtol(name.c_str() + std::strlen(kPeerPrefix), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            Shell("ip netns del " + name);
    }
}

}  // namespace

pid_t ChildNamed(pid_t parent, const std::string& name)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, comm, state;
        pid_t ppid = 0;
        if (stat >> pid >> comm >> state >> ppid && ppid == parent && comm == "(" + name + ")")
            return static_cast<pid_t>(std::stol(pid));
    }
    return -1;
}

int Shell(const std::string& command, std::string* output)
{
    FILE* f = popen(("exec 2>&1; " + command).c_str(), "r");
    if (f == nullptr)
        return -1;
    std::string out;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0)
        out.append(buf.data(), n);
    const int status = pclose(f);
    if (output != nullptr)
        *output = std::move(out);
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

void ShellOrThrow(const std::string& command)
{
    std::string out;
    const int rc = Shell(command, &out);
    if (rc != 0)
        throw std::runtime_error("`" + command + "` failed (" + std::to_string(rc) + "): " + out);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept
{
    if (this != &o)
        reset(o.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

std::string InChildProcess(const std::function<std::string()>& body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return "fork failed";
    }
    if (child == 0) {
        close(fds[0]);
        const std::string text = body();
        const bool written = write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child died";
    return out;
}

int OpenDescriptorCount()
{
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n - 1;  // the directory's own descriptor while it is being listed
}

PrivateNetns::PrivateNetns()
{
    errno = 0;
    previous_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (previous_ < 0)
        Fail("cannot open the current network namespace");
    if (unshare(CLONE_NEWNET) != 0) {
        const int saved = errno;
        close(previous_);
        errno = saved;
        Fail("unshare(CLONE_NEWNET) failed (tests with network namespaces need root)");
    }
    try {
        ShellOrThrow("ip link set lo up");
    } catch (...) {
        setns(previous_, CLONE_NEWNET);
        close(previous_);
        throw;
    }
}

PrivateNetns::~PrivateNetns()
{
    setns(previous_, CLONE_NEWNET);
    close(previous_);
}

VethNamespace::VethNamespace() : peer_(kPeerPrefix + std::to_string(getpid()))
{
    RemoveStalePeers();
    try {
        ShellOrThrow("ip netns add " + peer_);
        peerCreated_ = true;
        const std::string local = kLocalIf, peerIf = kPeerIf, n = " -n " + peer_;
        ShellOrThrow("ip link add " + local + " type veth peer name " + peerIf + " netns " + peer_);
        // No IPv6 until a test asks for it (AddIPv6): the pair carries only
        // what the tests send (nothing to turn off in a kernel without IPv6).
        Shell("echo 1 > /proc/sys/net/ipv6/conf/" + local + "/disable_ipv6");
        Shell("ip netns exec " + peer_ + " sh -c 'echo 1 > /proc/sys/net/ipv6/conf/" + peerIf + "/disable_ipv6'");
        ShellOrThrow("ip addr add " + std::string(kLocalAddr) + "/24 dev " + local);
        ShellOrThrow("ip" + n + " addr add " + kPeerAddr + "/24 dev " + peerIf);
        ShellOrThrow("ip link set " + local + " up");
        ShellOrThrow("ip" + n + " link set " + peerIf + " up");
        ShellOrThrow("ip" + n + " link set lo up");
        // Wait until both ends have a carrier.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
        for (;;) {
            std::string a, b;
            Shell("ip -br link show " + local, &a);
            Shell("ip" + n + " -br link show " + peerIf, &b);
            if (a.find("LOWER_UP") != std::string::npos && b.find("LOWER_UP") != std::string::npos)
                break;
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("the veth pair did not come up: " + a + b);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } catch (...) {
        if (peerCreated_)
            Shell("ip netns del " + peer_);
        throw;
    }
}

VethNamespace::~VethNamespace()
{
    if (peerCreated_)
        Shell("ip netns del " + peer_);
}

int VethNamespace::RunInPeer(const std::string& command, std::string* output) const
{
    std::string quoted = "'";
    for (char c : command) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return Shell("ip netns exec " + peer_ + " sh -c " + quoted, output);
}

UniqueFd VethNamespace::SocketIn(Side side, int domain, int type, int protocol) const
{
    errno = 0;
    if (side == Side::Local) {
        UniqueFd fd(socket(domain, type | SOCK_CLOEXEC, protocol));
        if (!fd)
            Fail("socket failed");
        return fd;
    }
    // A network namespace is a property of the thread: a short-lived thread
    // enters the peer namespace and makes the socket there.
    int fd = -1, err = 0;
    std::string step;
    std::thread t([&] {
        const int ns = open(("/run/netns/" + peer_).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) {
            err = errno, step = "open the peer namespace";
            return;
        }
        if (setns(ns, CLONE_NEWNET) != 0) {
            err = errno, step = "enter the peer namespace";
        } else {
            fd = socket(domain, type | SOCK_CLOEXEC, protocol);
            if (fd < 0)
                err = errno, step = "socket in the peer namespace";
        }
        close(ns);
    });
    t.join();
    if (fd < 0) {
        errno = err;
        Fail("cannot " + step);
    }
    return UniqueFd(fd);
}

bool VethNamespace::Udp(Side from, std::uint16_t srcPort, std::uint16_t dstPort, const std::string& payload,
                        bool v6) const
{
    const Side to = Other(from);
    const int family = v6 ? AF_INET6 : AF_INET;
    UniqueFd rx = SocketIn(to, family, SOCK_DGRAM);
    UniqueFd tx = SocketIn(from, family, SOCK_DGRAM);
    SetTimeouts(rx.get());
    SetTimeouts(tx.get());
    if (!Bind(rx.get(), Address(to, v6), dstPort) || !Bind(tx.get(), Address(from, v6), srcPort))
        return false;
    const SocketAddr dst = SocketAddress(Address(to, v6), dstPort);
    if (sendto(tx.get(), payload.data(), payload.size(), 0, dst.get(), dst.len)
        != static_cast<ssize_t>(payload.size()))
        return false;
    std::string got(65536, '\0');
    const ssize_t n = recv(rx.get(), got.data(), got.size(), 0);
    return n >= 0 && got.substr(0, static_cast<std::size_t>(n)) == payload;
}

bool VethNamespace::Tcp(Side client, std::uint16_t port, const std::string& request, const std::string& reply,
                        std::uint16_t* clientPort, bool v6) const
{
    const Side server = Other(client);
    const int family = v6 ? AF_INET6 : AF_INET;
    UniqueFd listener = SocketIn(server, family, SOCK_STREAM);
    UniqueFd conn = SocketIn(client, family, SOCK_STREAM);
    SetTimeouts(listener.get());
    SetTimeouts(conn.get());
    if (!Bind(listener.get(), Address(server, v6), port) || listen(listener.get(), 1) != 0
        || !Bind(conn.get(), Address(client, v6), 0))
        return false;

    bool serverOk = false;
    std::string serverGot;
    std::thread serverThread([&] {
        UniqueFd s(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!s)
            return;
        SetTimeouts(s.get());
        serverOk = ReadAll(s.get(), serverGot) && SendAll(s.get(), reply);
    });

    const SocketAddr dst = SocketAddress(Address(server, v6), port);
    bool clientOk = connect(conn.get(), dst.get(), dst.len) == 0;
    if (clientOk && clientPort != nullptr) {
        SocketAddr me;
        me.len = sizeof me.ss;
        getsockname(conn.get(), reinterpret_cast<sockaddr*>(&me.ss), &me.len);
        *clientPort = ntohs(reinterpret_cast<const sockaddr_in*>(&me.ss)->sin_port);  // the same place in both
    }
    std::string clientGot;
    clientOk = clientOk && SendAll(conn.get(), request) && shutdown(conn.get(), SHUT_WR) == 0
               && ReadAll(conn.get(), clientGot);
    if (!clientOk)
        shutdown(listener.get(), SHUT_RDWR);  // wakes a pending accept
    serverThread.join();
    return clientOk && serverOk && serverGot == request && clientGot == reply;
}

// An ICMP or ICMPv6 echo request, checksum 0.
static std::string EchoRequest(std::uint8_t type, std::uint16_t id, std::uint16_t seq, const std::string& payload)
{
    const char head[8] = {static_cast<char>(type), 0, 0, 0, static_cast<char>(id >> 8), static_cast<char>(id),
                          static_cast<char>(seq >> 8), static_cast<char>(seq)};
    return std::string(head, 8) + payload;
}

// Waits for the echo reply of that type, id and sequence on a raw socket,
// which sees every datagram of its protocol in its namespace (an IPv4 one
// with its IP header); true when its payload is the one sent.
static bool AwaitEchoReply(int fd, std::uint8_t type, std::uint16_t id, std::uint16_t seq, const std::string& payload,
                           bool withIPv4Header)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
    std::uint8_t buf[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0)
            return false;
        const std::size_t at = withIPv4Header ? static_cast<std::size_t>(buf[0] & 0x0F) * 4 : 0;
        if (static_cast<std::size_t>(n) < at + 8)
            continue;
        const std::uint8_t* icmp = buf + at;
        if (icmp[0] == type && ((icmp[4] << 8) | icmp[5]) == id && ((icmp[6] << 8) | icmp[7]) == seq)
            return std::string(reinterpret_cast<const char*>(icmp + 8), static_cast<std::size_t>(n) - at - 8) == payload;
    }
    return false;
}

bool VethNamespace::Ping(Side from, std::uint16_t id, std::uint16_t seq, const std::string& payload) const
{
    UniqueFd s = SocketIn(from, AF_INET, SOCK_RAW, IPPROTO_ICMP);
    SetTimeouts(s.get());
    std::string packet = EchoRequest(ICMP_ECHO, id, seq, payload);
    const std::uint16_t sum = InternetChecksum(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
    packet[2] = static_cast<char>(sum >> 8);
    packet[3] = static_cast<char>(sum);
    const SocketAddr dst = SocketAddress(Address(Other(from)), 0);
    if (sendto(s.get(), packet.data(), packet.size(), 0, dst.get(), dst.len)
        != static_cast<ssize_t>(packet.size()))
        return false;
    return AwaitEchoReply(s.get(), ICMP_ECHOREPLY, id, seq, payload, true);
}

bool VethNamespace::Ping6(Side from, std::uint16_t id, std::uint16_t seq, const std::string& payload) const
{
    // The kernel fills in an ICMPv6 checksum and hands replies without the
    // IPv6 header.
    UniqueFd s = SocketIn(from, AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
    SetTimeouts(s.get());
    const std::string packet = EchoRequest(128, id, seq, payload);
    const SocketAddr dst = SocketAddress(Address(Other(from), true), 0);
    if (sendto(s.get(), packet.data(), packet.size(), 0, dst.get(), dst.len) != static_cast<ssize_t>(packet.size()))
        return false;
    return AwaitEchoReply(s.get(), 129, id, seq, payload, false);
}

void VethNamespace::AddIPv6() const
{
    const std::string n = " -n " + peer_;
    ShellOrThrow(std::string("echo 0 > /proc/sys/net/ipv6/conf/") + kLocalIf + "/disable_ipv6");
    ShellOrThrow("ip netns exec " + peer_ + " sh -c 'echo 0 > /proc/sys/net/ipv6/conf/" + kPeerIf + "/disable_ipv6'");
    ShellOrThrow("ip addr add " + std::string(kLocalAddr6) + "/64 dev " + kLocalIf + " nodad");
    ShellOrThrow("ip" + n + " addr add " + kPeerAddr6 + "/64 dev " + kPeerIf + " nodad");
}

}  // namespace quillet::testsupport
