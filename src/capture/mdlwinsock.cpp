// The window-free, capture-free routines of the network-stack module:
// registration flag, address resolution, local addresses, host name look-up.
#include "capture/mdlwinsock.h"

#include <cerrno>
#include <cstring>

#include <algorithm>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "capture/LocalInterfaces.h"
#include "core/IPv6Text.h"

namespace quillet {
namespace {

bool bStarted = false;

constexpr std::size_t kMaxInterfaces = 8;
constexpr std::size_t kHostNameChars = 256;

// The IPv4 addresses a host name resolves to, in the resolver's order.
std::vector<IPv4> LookUpHost(const std::string& name)
{
    std::vector<IPv4> out;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    addrinfo* res = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return out;
    for (const addrinfo* r = res; r != nullptr; r = r->ai_next) {
        if (r->ai_family != AF_INET || r->ai_addr == nullptr || r->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in sin;
        std::memcpy(&sin, r->ai_addr, sizeof sin);
        out.push_back(sin.sin_addr.s_addr);
    }
    freeaddrinfo(res);
    return out;
}

std::string Trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

void WinsockStart()
{
    if (bStarted)
        return;
    bStarted = true;
}

void WinsockStop()
{
    bStarted = false;
}

bool WinsockStarted()
{
    return bStarted;
}

IPv4 ResolveIPv4(const std::string& text)
{
    // Dotted text first, with inet_addr's own rules (which make
    // "255.255.255.255" indistinguishable from "no address").
    const in_addr_t dotted = inet_addr(text.c_str());
    if (dotted != INADDR_NONE)
        return dotted;
    if (text.empty())
        return kNoAddress;
    const auto found = LookUpHost(text);
    return found.empty() ? kNoAddress : found.front();
}

int ListLocalAddresses(std::vector<std::string>& list)
{
    WinsockStart();
    list.clear();
    std::vector<InterfaceAddress> all;
    if (const int err = ListInterfaceAddresses(all); err != 0)
        return err;
    for (const auto& a : all) {
        if (list.size() == kMaxInterfaces)
            break;
        list.push_back(IPv4ToText(a.address).str());
    }
    return 0;
}

int ListLocalIPv6Addresses(std::vector<std::string>& chooser, std::vector<std::string>& own)
{
    chooser.clear();
    own.clear();
    std::vector<InterfaceAddress6> all;
    if (const int err = ListInterfaceAddresses6(all); err != 0)
        return err;
    for (const auto& a : all) {
        if (a.loopback())
            continue;
        std::string text = IPv6BytesToText(a.address).str();
        if (a.global())
            chooser.push_back(text);
        own.push_back(std::move(text));
    }
    return 0;
}

std::string HostNameToAddress(const std::string& name, MessageSink& sink)
{
    char local[kHostNameChars + 1] = {};
    if (gethostname(local, kHostNameChars) != 0) {
        sink.ShowMessage("Windows Sockets error " + std::to_string(errno));
        return {};
    }
    // An IPv6 address stands for itself, in its canonical form.
    std::uint8_t ip6[16];
    if (name.find(':') != std::string::npos && IPv6FromText(name, ip6))
        return IPv6BytesToText(ip6).str();
    const std::string lookUp = !name.empty() ? name.substr(0, kHostNameChars) : Trimmed(local);
    const auto found = LookUpHost(lookUp);
    if (found.empty())
        return "Unknown";
    return IPv4ToText(found.back()).str();
}

LinkState InterfaceLinkState(unsigned ifIndex)
{
    char name[IF_NAMESIZE] = {};
    if (ifIndex == 0 || if_indextoname(ifIndex, name) == nullptr)
        return LinkState::Gone;
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return LinkState::Up;  // cannot tell: assume it still delivers
    ifreq req{};
    std::memcpy(req.ifr_name, name, std::min<std::size_t>(std::strlen(name), IF_NAMESIZE - 1));
    const int rc = ioctl(s, SIOCGIFFLAGS, &req);
    const int error = errno;
    close(s);
    if (rc != 0)
        return (error == ENODEV || error == ENXIO) ? LinkState::Gone : LinkState::Up;
    const bool up = (req.ifr_flags & IFF_UP) != 0 && (req.ifr_flags & IFF_RUNNING) != 0;
    return up ? LinkState::Up : LinkState::Down;
}

std::string FilledReason(const Reason& why)
{
    std::string out;
    for (std::size_t i = 0; i < why.text.size(); ++i) {
        const char c = why.text[i];
        const char next = i + 1 < why.text.size() ? why.text[i + 1] : '\0';
        if (c == '%' && next >= '1' && next <= '9' && static_cast<std::size_t>(next - '1') < why.args.size()) {
            out += why.args[static_cast<std::size_t>(next - '1')];
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {
constexpr char kReasonMark = '\x1e';
constexpr char kArgMark = '\x1f';
}  // namespace

std::string EncodedReason(const Reason& why)
{
    std::string out(1, kReasonMark);
    out += why.text;
    for (const std::string& a : why.args)
        out.append(1, kArgMark).append(a);
    return out;
}

bool DecodeReason(const std::string& encoded, Reason& why)
{
    if (encoded.empty() || encoded[0] != kReasonMark)
        return false;
    why = {};
    std::size_t start = 1;
    bool text = true;
    for (;;) {
        const std::size_t end = encoded.find(kArgMark, start);
        std::string part = encoded.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (text)
            why.text = std::move(part);
        else
            why.args.push_back(std::move(part));
        text = false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

bool SaysInterfaceGone(const std::string& errorText)
{
    // libpcap: "The interface disappeared"; the system: ENODEV "No such
    // device", ENXIO "No such device or address".
    const char* const said[] = {"disappeared", std::strerror(ENODEV), std::strerror(ENXIO)};
    for (const char* words : said)
        if (errorText.find(words) != std::string::npos)
            return true;
    return false;
}

}  // namespace quillet
