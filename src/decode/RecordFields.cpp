#include "decode/RecordFields.h"

#include <array>
#include <atomic>
#include <charconv>
#include <mutex>

#include "core/ClockText.h"
#include "core/IPv4Text.h"
#include "decode/DecodeDatagram.h"

namespace quillet {
namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Decimal digits without a leading zero (a lone "0" is fine), at most max.
bool Decimal(std::string_view s, std::uint64_t max, std::uint64_t& v)
{
    if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0'))
        return false;
    v = 0;
    for (char c : s) {
        if (!IsDigit(c))
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return v <= max;
}

bool PackDecimal(std::string_view s, std::uint32_t max, std::uint32_t& v)
{
    std::uint64_t n = 0;
    if (!Decimal(s, max, n))
        return false;
    v = static_cast<std::uint32_t>(n);
    return true;
}

template <std::size_t N>
FixedText<N> DecimalText(std::uint32_t v)
{
    char buf[10];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    return FixedText<N>(std::string_view(buf, static_cast<std::size_t>(end - buf)));
}

// The decimal separators times were written with, numbered in order of
// first use. A slot is written once, before the count that makes it
// visible.
struct Separators {
    static constexpr std::size_t kMax = 64;  // 6 bits of a packed time
    std::array<FixedText<5>, kMax> texts;
    std::atomic<std::uint32_t> count{0};
    std::mutex adding;

    bool numberOf(std::string_view sep, std::uint32_t& number)
    {
        std::uint32_t n = count.load(std::memory_order_acquire);
        for (std::uint32_t i = 0; i < n; ++i)
            if (texts[i] == sep) {
                number = i;
                return true;
            }
        std::lock_guard lock(adding);
        n = count.load(std::memory_order_relaxed);
        for (std::uint32_t i = 0; i < n; ++i)
            if (texts[i] == sep) {
                number = i;
                return true;
            }
        if (n == kMax)
            return false;
        texts[n] = sep;
        count.store(n + 1, std::memory_order_release);
        number = n;
        return true;
    }
    std::string_view at(std::uint32_t number) const
    {
        return number < count.load(std::memory_order_acquire) ? texts[number].view() : std::string_view();
    }
};

Separators& TheSeparators()
{
    static Separators* separators = new Separators;
    return *separators;
}

int TwoDigits(std::string_view s, std::size_t at)
{
    if (!IsDigit(s[at]) || !IsDigit(s[at + 1]))
        return -1;
    return (s[at] - '0') * 10 + (s[at + 1] - '0');
}

}  // namespace

bool ProtocolCodec::Pack(std::string_view s, std::uint32_t& v)
{
    std::uint64_t n = 0;
    if (s == "ICMP")
        n = 1;
    else if (s == "TCP")
        n = 6;
    else if (s == "UDP")
        n = 17;
    else if (s == "ICMPv6")
        n = kPackedICMPv6;
    else if (!Decimal(s, 255, n) || n == 1 || n == 6 || n == 17)
        return false;  // "6" is not the text of protocol 6
    v = static_cast<std::uint32_t>(n);
    return true;
}

FixedText<7> ProtocolCodec::Unpack(std::uint32_t v)
{
    if (v == kPackedICMPv6)
        return "ICMPv6";
    return ProtocolText(static_cast<std::uint8_t>(v));
}

bool AddressCodec::Pack(std::string_view s, std::uint32_t& v)
{
    std::uint8_t bytes[4];
    std::size_t from = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? s.find('.', from) : s.size();
        if (dot == std::string_view::npos)
            return false;
        std::uint64_t octet = 0;
        if (dot - from > 3 || !Decimal(s.substr(from, dot - from), 255, octet))
            return false;
        bytes[i] = static_cast<std::uint8_t>(octet);
        from = dot + 1;
    }
    std::memcpy(&v, bytes, sizeof v);  // first octet in the lowest byte
    return true;
}

FixedText<15> AddressCodec::Unpack(std::uint32_t v)
{
    return IPv4ToText(v);
}

void AddressText::assign(std::string_view s)
{
    std::uint8_t b[16];
    std::uint32_t v4 = 0;
    if (s.find(':') != std::string_view::npos && IPv6FromText(s, b)) {
        assignIPv6(b);
        return;
    }
    s = s.substr(0, std::min(s.size(), N));
    if (s.empty())
        set(kEmpty, 0);
    else if (AddressCodec::Pack(s, v4))
        set(kIPv4, v4);
    else
        set(kSpare, SpareTexts::Intern(s));
}

bool AddressText::Keeps(std::string_view s)
{
    std::uint8_t b[16];
    return s.size() <= N || IPv6FromText(s, b);
}

FixedText<kIPv6TextMax> AddressText::text() const
{
    switch (bytes_[4]) {
    case kIPv4: return FixedText<kIPv6TextMax>(IPv4ToText(value()).view());
    case kIPv6:
        if (const std::uint8_t* b = IPv6Table::At(value()))
            return IPv6BytesToText(b);
        return {};
    case kSpare: return FixedText<kIPv6TextMax>(SpareTexts::At(value()));
    default: return {};
    }
}

std::size_t AddressText::bytes(std::uint8_t* out) const
{
    if (bytes_[4] == kIPv4) {
        std::memcpy(out, bytes_, 4);
        return 4;
    }
    if (bytes_[4] == kIPv6)
        if (const std::uint8_t* b = IPv6Table::At(value())) {
            std::memcpy(out, b, 16);
            return 16;
        }
    return 0;
}

bool PortCodec::Pack(std::string_view s, std::uint32_t& v)
{
    return PackDecimal(s, 65535, v);
}

FixedText<5> PortCodec::Unpack(std::uint32_t v)
{
    return DecimalText<5>(v);
}

bool SizeCodec::Pack(std::string_view s, std::uint32_t& v)
{
    return PackDecimal(s, 0xFFFFFFFFu, v);
}

FixedText<10> SizeCodec::Unpack(std::uint32_t v)
{
    return DecimalText<10>(v);
}

bool TimeCodec::Pack(std::string_view s, std::uint32_t& v)
{
    if (s.size() < 10 || s[2] != ':' || s[5] != ':')
        return false;
    const int h = TwoDigits(s, 0), m = TwoDigits(s, 3), sec = TwoDigits(s, 6),
              hundredths = TwoDigits(s, s.size() - 2);
    if (h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 60 || hundredths < 0)
        return false;
    std::uint32_t separator = 0;
    if (!TheSeparators().numberOf(s.substr(8, s.size() - 10), separator))
        return false;
    const auto day = static_cast<std::uint32_t>(((h * 60 + m) * 61 + sec) * 100 + hundredths);
    v = day | (separator << 24);
    return true;
}

FixedText<15> TimeCodec::Unpack(std::uint32_t v)
{
    std::uint32_t day = v & 0xFFFFFFu;
    const std::string_view separator = TheSeparators().at(v >> 24);
    const std::uint32_t hundredths = day % 100;
    day /= 100;
    const std::uint32_t sec = day % 61;
    day /= 61;
    const std::uint32_t parts[3] = {day / 60, day % 60, sec};
    char hms[8];
    std::size_t n = 0;
    for (int i = 0; i < 3; ++i) {
        hms[n++] = static_cast<char>('0' + parts[i] / 10);
        hms[n++] = static_cast<char>('0' + parts[i] % 10);
        if (i < 2)
            hms[n++] = ':';
    }
    return ClockText(std::string_view(hms, n), separator, static_cast<int>(hundredths));
}

}  // namespace quillet
