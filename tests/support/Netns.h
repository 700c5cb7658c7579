#pragma once

// Network namespaces for tests that need real traffic (run as root).
//
// PrivateNetns moves the calling thread into a fresh network namespace of its
// own for the object's lifetime, so nothing it does can collide with other
// tests or programs running at the same time, and restores the thread's
// previous namespace on destruction. Create it on the thread that will use
// it (usually the test's main thread), before starting other threads: threads
// and child processes started afterwards inherit the private namespace.
//
// VethNamespace builds on it: a veth pair joins the private namespace to a
// peer namespace named "quillet-peer-<pid>" (visible to `ip netns`):
//
//     local side (this process)          peer side (ip netns quillet-peer-<pid>)
//     qv0  10.77.0.1/24  <------ veth ------>  qv1  10.77.0.2/24
//
// Both links and both loopbacks are up when the constructor returns. Traffic
// helpers send UDP, TCP and ICMP echo in either direction, only between those
// two addresses, bounded in count and time (each waits at most a few seconds),
// and tell whether it arrived. Destruction deletes the peer namespace (and
// with it the veth pair) and restores the previous namespace. Peer namespaces
// left behind by a crashed test process are removed by the next set-up.
//
// Constructors throw std::runtime_error naming the step that failed: a test
// that needs the namespace fails loudly rather than skipping.
//
// Typical use:
//
//     quillet::testsupport::VethNamespace net;
//     // open a capture on VethNamespace::kLocalAddr ...
//     ASSERT_TRUE(net.Udp(Side::Peer, 4000, 5000, "hello"));
//     net.RunInPeer("ip addr");  // any command, inside the peer namespace

#include <cstdint>
#include <functional>
#include <string>

namespace quillet::testsupport {

// Runs a command with /bin/sh in the calling thread's namespace; returns its
// exit status (-1 if it could not run) and, if asked, its output (both streams).
int Shell(const std::string& command, std::string* output = nullptr);
// The pid of a child of `parent` whose command name is `name`, or -1.
pid_t ChildNamed(pid_t parent, const std::string& name);

// Like Shell, but throws std::runtime_error with the output when the command fails.
void ShellOrThrow(const std::string& command);

// Owns a file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Runs `body` in a forked child process and returns the text it returned;
// for steps that must not touch the test process itself (dropping rights,
// private mounts, another host name). A child that dies gives "child died".
std::string InChildProcess(const std::function<std::string()>& body);

// The number of descriptors this process has open (entries of /proc/self/fd).
int OpenDescriptorCount();

class PrivateNetns {
public:
    PrivateNetns();
    ~PrivateNetns();
    PrivateNetns(const PrivateNetns&) = delete;
    PrivateNetns& operator=(const PrivateNetns&) = delete;

private:
    int previous_ = -1;
};

class VethNamespace {
public:
    enum class Side { Local, Peer };

    static constexpr const char* kLocalAddr = "10.77.0.1";
    static constexpr const char* kPeerAddr = "10.77.0.2";
    static constexpr const char* kLocalAddr6 = "fd77::1";  // after AddIPv6()
    static constexpr const char* kPeerAddr6 = "fd77::2";
    static constexpr const char* kLocalIf = "qv0";
    static constexpr const char* kPeerIf = "qv1";

    VethNamespace();
    ~VethNamespace();
    VethNamespace(const VethNamespace&) = delete;
    VethNamespace& operator=(const VethNamespace&) = delete;

    // "quillet-peer-<pid>", for `ip netns exec` and `ip -n`.
    const std::string& peerName() const { return peer_; }

    static const char* Address(Side side, bool v6 = false)
    {
        return side == Side::Local ? (v6 ? kLocalAddr6 : kLocalAddr) : (v6 ? kPeerAddr6 : kPeerAddr);
    }
    // The pair starts without IPv6; this turns it on and adds kLocalAddr6/64
    // and kPeerAddr6/64 without duplicate address detection.
    void AddIPv6() const;
    static Side Other(Side side) { return side == Side::Local ? Side::Peer : Side::Local; }

    // Runs a shell command inside the peer namespace; as Shell().
    int RunInPeer(const std::string& command, std::string* output = nullptr) const;

    // A socket created in the given side's namespace (it stays there whichever
    // thread uses it). Throws on failure.
    UniqueFd SocketIn(Side side, int domain, int type, int protocol = 0) const;

    // One UDP datagram from `from` (srcPort) to the other side (dstPort).
    // True when the other side received exactly this payload.
    bool Udp(Side from, std::uint16_t srcPort, std::uint16_t dstPort, const std::string& payload,
             bool v6 = false) const;

    // One TCP connection from `client` to a listener on the other side at
    // `port`: the client sends `request` and shuts down its sending side, the
    // server reads it all, answers `reply` and closes. True when each side got
    // exactly what the other sent. The client's port is stored in *clientPort.
    bool Tcp(Side client, std::uint16_t port, const std::string& request, const std::string& reply,
             std::uint16_t* clientPort = nullptr, bool v6 = false) const;

    // One ICMP echo request from `from` to the other side; true when the
    // matching echo reply came back.
    bool Ping(Side from, std::uint16_t id, std::uint16_t seq, const std::string& payload) const;
    // The same over ICMPv6 between the IPv6 addresses.
    bool Ping6(Side from, std::uint16_t id, std::uint16_t seq, const std::string& payload) const;

private:
    PrivateNetns own_;
    std::string peer_;
    bool peerCreated_ = false;
};

}  // namespace quillet::testsupport
