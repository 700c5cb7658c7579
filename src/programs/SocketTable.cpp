#include "programs/SocketTable.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "programs/SocketEndpoint.h"

namespace quillet {

namespace {

using Entry = SocketTable::Entry;

// How well a socket matches an endpoint: held and bound to the address
// first; 0 does not match. An IPv6 endpoint belongs to IPv6 sockets only.
int Score(const Entry& e, const SocketEndpoint& want, const SocketTable::IPv6Bytes& ipv6Bytes)
{
    const std::uint32_t addr = want.addr;
    std::uint32_t v4 = 0;
    bool wildcard = false;
    if (want.v6) {
        const std::uint8_t* bytes = ipv6Bytes ? ipv6Bytes(want.addr) : nullptr;
        if (!e.v6 || bytes == nullptr)
            return 0;
        const std::uint32_t any[4] = {};
        if (std::memcmp(e.words, any, sizeof any) == 0)
            return 1 + (e.inode != 0 ? 4 : 0);
        if (std::memcmp(e.words, bytes, 16) != 0)
            return 0;
        return 2 + (e.inode != 0 ? 4 : 0);
    }
    if (!e.v6) {
        v4 = e.words[0];
        wildcard = v4 == 0;
    } else if (e.words[0] == 0 && e.words[1] == 0 && e.words[2] == htonl(0xFFFF)) {
        v4 = e.words[3];  // ::ffff:a.b.c.d
        wildcard = v4 == 0;
    } else if (e.words[0] == 0 && e.words[1] == 0 && e.words[2] == 0 && e.words[3] == 0) {
        if (e.v6only)
            return 0;
        wildcard = true;  // :: also takes IPv4
    } else {
        return 0;
    }
    int score = 0;
    if (wildcard)
        score = 1;
    else if (v4 == addr)
        score = 2;
    else
        return 0;
    return score + (e.inode != 0 ? 4 : 0);
}

// Matches the sockets of one protocol against the wanted keys of it.
class Matcher {
public:
    Matcher(const std::vector<std::uint64_t>& keys, std::uint8_t protocol, const SocketTable::IPv6Bytes& ipv6Bytes)
        : ipv6Bytes_(ipv6Bytes)
    {
        for (std::uint64_t key : keys) {
            const SocketEndpoint e = SocketEndpoint::FromKey(key);
            if (e.protocol == protocol)
                byPort_.emplace(e.port, e);
        }
    }
    bool empty() const { return byPort_.empty(); }

    void Offer(const Entry& e)
    {
        const auto range = byPort_.equal_range(e.port);
        for (auto it = range.first; it != range.second; ++it) {
            const int score = Score(e, it->second, ipv6Bytes_);
            if (score == 0)
                continue;
            const std::uint64_t key = it->second.Key();
            Best& best = best_[key];
            if (score > best.score)
                best = {score, e.inode};
        }
    }
    void Into(std::unordered_map<std::uint64_t, std::uint64_t>& out) const
    {
        for (const auto& [key, best] : best_)
            out[key] = best.inode;
    }

private:
    struct Best {
        int score = 0;
        std::uint64_t inode = 0;
    };
    const SocketTable::IPv6Bytes& ipv6Bytes_;
    std::unordered_multimap<std::uint16_t, SocketEndpoint> byPort_;
    std::unordered_map<std::uint64_t, Best> best_;
};

// One sock_diag dump of a family and protocol; false when the kernel does
// not answer it (no netlink, no diag module for the protocol).
bool DumpNetlink(int family, std::uint8_t protocol, const std::function<void(const Entry&)>& fn, std::string& error)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        error = std::string("netlink socket: ") + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    // A dump that does not come back in time is given up.
    timeval timeout{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = protocol;
    message.request.idiag_states = ~0u;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        error = std::string("sock_diag request: ") + std::strerror(errno);
        return false;
    }
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = std::string("sock_diag answer: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            error = "sock_diag answer: connection closed";
            return false;
        }
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                error = std::string("sock_diag: ") + std::strerror(-err->error);
                return false;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            Entry e;
            e.v6 = msg->idiag_family == AF_INET6;
            std::memcpy(e.words, msg->id.idiag_src, sizeof e.words);
            e.port = ntohs(msg->id.idiag_sport);
            e.inode = msg->idiag_inode;
            // Attributes: whether an IPv6 socket refuses IPv4.
            int attrLeft = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(inet_diag_msg)));
            for (auto* a = reinterpret_cast<const rtattr*>(msg + 1); RTA_OK(a, attrLeft); a = RTA_NEXT(a, attrLeft))
                if (a->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(a) >= 1)
                    e.v6only = *static_cast<const std::uint8_t*>(RTA_DATA(a)) != 0;
            fn(e);
        }
    }
}

std::uint32_t Hex(std::string_view s, bool& ok)
{
    std::uint32_t v = 0;
    if (s.empty() || s.size() > 8)
        ok = false;
    for (char c : s) {
        int d = 0;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            ok = false;
        v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return v;
}

// The table of this thread's namespace: /proc/self/net is the namespace
// of the process's first thread.
bool ReadProcTable(const char* name, std::string& text)
{
    for (const char* base : {"/proc/thread-self/net/", "/proc/self/net/"}) {
        std::ifstream in(std::string(base) + name);
        if (!in)
            continue;
        std::ostringstream s;
        s << in.rdbuf();
        text = s.str();
        return true;
    }
    return false;
}

}  // namespace

std::vector<Entry> SocketTable::ParseProcTable(const std::string& text, bool v6)
{
    std::vector<Entry> entries;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
            continue;
        const auto colon = local.find(':');
        if (colon == std::string::npos || colon != (v6 ? 32u : 8u))
            continue;
        Entry e;
        e.v6 = v6;
        bool ok = true;
        for (std::size_t w = 0; w < (v6 ? 4u : 1u); ++w)
            e.words[w] = Hex(std::string_view(local).substr(w * 8, 8), ok);
        const std::uint32_t port = Hex(std::string_view(local).substr(colon + 1), ok);
        std::uint64_t number = 0;
        for (char c : inode) {
            if (c < '0' || c > '9' || number > (UINT64_MAX - 9) / 10) {
                ok = false;
                break;
            }
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (!ok || port > 0xFFFF)
            continue;
        e.port = static_cast<std::uint16_t>(port);
        e.inode = number;
        entries.push_back(e);
    }
    return entries;
}

std::unordered_map<std::uint64_t, std::uint64_t> SocketTable::Find(const std::vector<std::uint64_t>& keys,
                                                                   Source source, std::string* error,
                                                                   const IPv6Bytes& ipv6Bytes)
{
    std::unordered_map<std::uint64_t, std::uint64_t> found;
    std::string why;
    for (const std::uint8_t protocol : {SocketEndpoint::kTcp, SocketEndpoint::kUdp}) {
        Matcher matcher(keys, protocol, ipv6Bytes);
        if (matcher.empty())
            continue;
        for (const bool v6 : {false, true}) {
            const auto offer = [&](const Entry& e) { matcher.Offer(e); };
            bool done = false;
            if (source != Source::Proc)
                done = DumpNetlink(v6 ? AF_INET6 : AF_INET, protocol, offer, why);
            if (!done && source != Source::Netlink) {
                const std::string name = std::string(protocol == SocketEndpoint::kTcp ? "tcp" : "udp") + (v6 ? "6" : "");
                std::string text;
                if (ReadProcTable(name.c_str(), text)) {
                    for (const Entry& e : ParseProcTable(text, v6))
                        offer(e);
                } else if (v6) {
                    // No IPv6 in this kernel: nothing to match.
                } else {
                    why += (why.empty() ? "" : "; ") + ("no /proc/net/" + name);
                }
            }
        }
        matcher.Into(found);
    }
    if (error)
        *error = why;
    return found;
}

}  // namespace quillet
