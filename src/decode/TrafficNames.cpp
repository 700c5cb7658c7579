#include "decode/TrafficNames.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/HostName.h"
#include "core/IPv4Text.h"
#include "core/IPv6Text.h"

namespace quillet {

namespace {

constexpr std::size_t kMaxName = 253;
constexpr int kMaxPointers = 64;  // more jumps than a 253-character name needs
constexpr int kMaxChain = 16;     // CNAME links followed from the question

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return Lower(x) == Lower(y);
           });
}

std::uint16_t Be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

class DnsReader {
public:
    explicit DnsReader(std::span<const std::uint8_t> m) : m_(m) {}

    // Reads the name at pos (compressed or not) into name and moves pos past
    // it in the message; false when it is malformed.
    bool Name(std::size_t& pos, std::string& name) const
    {
        name.clear();
        std::size_t at = pos;
        bool jumped = false;
        int jumps = 0;
        for (;;) {
            if (at >= m_.size())
                return false;
            const std::uint8_t len = m_[at];
            if ((len & 0xC0) == 0xC0) {
                if (at + 1 >= m_.size() || ++jumps > kMaxPointers)
                    return false;
                const std::size_t to = static_cast<std::size_t>((len & 0x3F) << 8 | m_[at + 1]);
                if (!jumped)
                    pos = at + 2;
                jumped = true;
                at = to;
                continue;
            }
            if (len & 0xC0)  // 0x40 and 0x80: no label is longer than 63 bytes
                return false;
            if (len == 0) {
                if (!jumped)
                    pos = at + 1;
                return name.empty() || HostNameChars(name);
            }
            if (at + 1 + len > m_.size() || name.size() + len + 1 > kMaxName + 1)
                return false;
            if (!name.empty())
                name += '.';
            name.append(reinterpret_cast<const char*>(m_.data() + at + 1), len);
            if (name.size() > kMaxName)
                return false;
            at += 1 + len;
        }
    }

private:
    std::span<const std::uint8_t> m_;
};

// The answers of a response whose question (name, type and class) was read
// and ends before pos: see TrafficNameReader.
void Answers(std::span<const std::uint8_t> m, const DnsReader& reader, std::size_t pos, const std::string& question,
             std::vector<SeenName>& out)
{
    const std::uint16_t answers = Be16(&m[6]);
    // The names the question reaches through CNAME records, in order.
    std::vector<std::string> chain{question};
    struct Address {
        std::string owner;
        std::string text;
    };
    std::vector<Address> addresses;
    std::vector<std::pair<std::string, std::string>> aliases;
    std::string owner;
    std::string target;
    for (std::uint16_t i = 0; i < answers; ++i) {
        if (!reader.Name(pos, owner) || pos + 10 > m.size())
            break;
        const std::uint16_t type = Be16(&m[pos]);
        const std::uint16_t klass = Be16(&m[pos + 2]);
        const std::size_t length = Be16(&m[pos + 8]);
        pos += 10;
        if (pos + length > m.size())
            break;
        if (klass == 1 && type == 1 && length == 4) {
            addresses.push_back({owner, IPv4BytesToText(&m[pos]).str()});
        } else if (klass == 1 && type == 28 && length == 16) {
            addresses.push_back({owner, IPv6BytesToText(&m[pos]).str()});
        } else if (klass == 1 && type == 5) {
            std::size_t at = pos;
            if (!reader.Name(at, target) || at > pos + length)
                break;
            aliases.emplace_back(owner, target);
        }
        pos += length;
    }
    // Follow the aliases from the question (in any order they came).
    for (int step = 0; step < kMaxChain; ++step) {
        const auto next = std::find_if(aliases.begin(), aliases.end(), [&](const auto& a) {
            return SameName(a.first, chain.back());
        });
        if (next == aliases.end() || std::any_of(chain.begin(), chain.end(), [&](const std::string& c) {
                return SameName(c, next->second);
            }))
            break;
        chain.push_back(next->second);
    }
    for (Address& a : addresses) {
        if (a.text.empty() || a.owner.empty())
            continue;
        const bool reached = std::any_of(chain.begin(), chain.end(), [&](const std::string& c) {
            return SameName(c, a.owner);
        });
        std::string name = reached ? question : std::move(a.owner);
        if (IsHostName(name))
            out.push_back({std::move(a.text), std::move(name)});
    }
}

}  // namespace

std::string ClientHelloServerName(std::span<const std::uint8_t> p)
{
    // Record: handshake (22), version 3.x, length; the record lies wholly in
    // the segment and holds the whole ClientHello (1).
    if (p.size() < 9 || p[0] != 0x16 || p[1] != 0x03 || p[5] != 0x01)
        return {};
    const std::size_t record = Be16(&p[3]);
    const std::size_t hello = static_cast<std::size_t>(p[6] << 16 | p[7] << 8 | p[8]);
    if (5 + record > p.size() || 4 + hello > record)
        return {};
    std::span<const std::uint8_t> h = p.subspan(9, hello);
    std::size_t pos = 2 + 32;  // version, random
    auto skip = [&](std::size_t lengthBytes) {
        if (pos + lengthBytes > h.size())
            return false;
        const std::size_t n = lengthBytes == 1 ? h[pos] : Be16(&h[pos]);
        pos += lengthBytes + n;
        return pos <= h.size();
    };
    if (pos > h.size() || !skip(1) || !skip(2) || !skip(1) || pos + 2 > h.size())
        return {};  // session id, cipher suites, compression methods
    const std::size_t end = pos + 2 + Be16(&h[pos]);
    pos += 2;
    if (end > h.size())
        return {};
    while (pos + 4 <= end) {
        const std::uint16_t type = Be16(&h[pos]);
        const std::size_t length = Be16(&h[pos + 2]);
        pos += 4;
        if (pos + length > end)
            return {};
        if (type == 0) {  // server_name: a list of (type, length, name)
            std::size_t at = pos + 2;
            const std::size_t listEnd = length >= 2 ? pos + 2 + Be16(&h[pos]) : 0;
            while (listEnd <= pos + length && at + 3 <= listEnd) {
                const std::size_t n = Be16(&h[at + 1]);
                if (at + 3 + n > listEnd)
                    return {};
                if (h[at] == 0) {
                    std::string name(reinterpret_cast<const char*>(&h[at + 3]), n);
                    return IsHostName(name) ? name : std::string();
                }
                at += 3 + n;
            }
            return {};
        }
        pos += length;
    }
    return {};
}

std::string HttpRequestHost(std::span<const std::uint8_t> p)
{
    static constexpr std::array<std::string_view, 8> kMethods{"GET ",    "POST ",  "HEAD ",    "PUT ",
                                                              "DELETE ", "PATCH ", "OPTIONS ", "CONNECT "};
    const std::string_view text(reinterpret_cast<const char*>(p.data()), p.size());
    if (!std::any_of(kMethods.begin(), kMethods.end(), [&](std::string_view m) { return text.starts_with(m); }))
        return {};
    const std::size_t headerEnd = std::min(text.find("\r\n\r\n"), text.size());
    const std::string_view header = text.substr(0, headerEnd);
    const std::size_t firstLine = header.find("\r\n");
    if (firstLine == std::string_view::npos || header.substr(0, firstLine).find(" HTTP/1.") == std::string_view::npos)
        return {};
    for (std::size_t at = firstLine; at != std::string_view::npos && at < header.size();) {
        const std::size_t start = at + 2;
        const std::size_t next = header.find("\r\n", start);
        const std::string_view line = header.substr(start, next == std::string_view::npos ? next : next - start);
        at = next;
        if (line.size() < 5 || !SameName(line.substr(0, 5), "host:"))
            continue;
        std::string_view value = line.substr(5);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (const std::size_t colon = value.find(':'); colon != std::string_view::npos)
            value = value.substr(0, colon);
        // An IPv6 address ("[::1]:80") is cut at its first colon and so refused.
        return IsHostName(value) ? std::string(value) : std::string();
    }
    return {};
}

std::size_t ReadDnsQuestion(std::span<const std::uint8_t> m, std::string& name, DnsQueries::Question& question,
                            bool& answer)
{
    if (m.size() < 12 || Be16(&m[4]) != 1)
        return 0;
    std::size_t pos = 12;
    if (!DnsReader(m).Name(pos, name) || name.empty() || pos + 4 > m.size())
        return 0;
    question = {Be16(&m[0]), name, Be16(&m[pos]), Be16(&m[pos + 2])};
    answer = (m[2] & 0x80) != 0;
    return pos + 4;
}

void TrafficNameReader::Dns(std::span<const std::uint8_t> m, Endpoint src, Endpoint dest, std::int64_t timeUs,
                            std::vector<SeenName>& out)
{
    DnsQueries::Question question;
    bool answer = false;
    const std::size_t pos = ReadDnsQuestion(m, question_, question, answer);
    if (pos == 0)
        return;
    const DnsReader reader(m);
    if (!answer) {
        queries_.Add({src.address, dest.address, src.port, dest.port}, question, timeUs);
        return;
    }
    // An answer comes from the server the query went to, back to its client.
    if (queries_.Take({dest.address, src.address, dest.port, src.port}, question, timeUs))
        Answers(m, reader, pos, question_, out);
}

void TrafficNameReader::Read(std::uint8_t protocol, Endpoint src, Endpoint dest, std::int64_t timeUs,
                             std::string_view destAddress, std::span<const std::uint8_t> payload,
                             std::vector<SeenName>& out)
{
    if (payload.empty())
        return;
    const bool dns = src.port == 53 || dest.port == 53;
    if (protocol == 17) {
        if (dns)
            Dns(payload, src, dest, timeUs, out);
        return;
    }
    if (protocol != 6)
        return;
    if (dns) {
        // Whole messages only, each after its 2-byte length.
        std::size_t at = 0;
        while (at + 2 <= payload.size()) {
            const std::size_t n = Be16(&payload[at]);
            if (at + 2 + n > payload.size())
                return;
            Dns(payload.subspan(at + 2, n), src, dest, timeUs, out);
            at += 2 + n;
        }
        return;
    }
    std::string name;
    const std::uint8_t first = payload[0];
    if (first == 0x16)
        name = ClientHelloServerName(payload);
    else if (first >= 'C' && first <= 'P')
        name = HttpRequestHost(payload);
    if (!name.empty())
        out.push_back({std::string(destAddress), std::move(name)});
}

}  // namespace quillet
