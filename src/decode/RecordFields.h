#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

#include "core/FixedText.h"
#include "core/IPv6Text.h"
#include "core/SpareTexts.h"

namespace quillet {

namespace record_fields {

// A field's bytes as one number, as a copy into a zeroed word gives on a
// little-endian machine, made in registers: the copy through memory (narrow
// stores, then a wide load) stalls every call, and filters make one per row.
template <std::size_t N>
inline std::uint64_t WordOf(const unsigned char (&b)[N])
{
    static_assert(N == 4 || N == 5);
    std::uint32_t low = 0;
    std::memcpy(&low, b, 4);
    if constexpr (N == 5)
        return low | (std::uint64_t{b[4]} << 32);
    else
        return low;
}

}  // namespace record_fields

// The fields of a packet record in four bytes each (addresses five), with no
// heap allocation.
// A field gives back exactly the text it was given, cut to the width it
// shows (N characters). Texts in the form the decoder and the arrival clock
// write are held as a number; any other text is kept once in SpareTexts.
template <class Codec>
class PackedText {
public:
    static constexpr std::size_t N = Codec::kWidth;

    PackedText() = default;
    PackedText(std::string_view s) { assign(s); }               // NOLINT: implicit by design
    PackedText(const char* s) : PackedText(std::string_view(s)) {}  // NOLINT

    void assign(std::string_view s)
    {
        s = s.substr(0, std::min(s.size(), N));
        std::uint32_t value = 0;
        if (s.empty())
            set(kEmpty, 0);
        else if (Codec::Pack(s, value) && value <= kMaxValue)
            set(kPacked, value);
        else
            set(kSpare, SpareTexts::Intern(s));
    }
    // Holds a value in its packed form (what Pack would have made).
    void assignPacked(std::uint32_t value)
    {
        if (value <= kMaxValue)
            set(kPacked, value);
        else
            assign(Codec::Unpack(value).view());
    }

    FixedText<N> text() const
    {
        switch (kind()) {
        case kPacked: return Codec::Unpack(value());
        case kSpare: return FixedText<N>(SpareTexts::At(value()));
        default: return {};
        }
    }
    std::string str() const { return text().str(); }
    bool empty() const { return kind() == kEmpty; }
    // The packed value, when the text has one.
    bool packed(std::uint32_t& v) const
    {
        v = value();
        return kind() == kPacked;
    }
    // The field as one number: equal numbers, equal texts, and the other way
    // round (a text has one form only).
    std::uint64_t bits() const { return record_fields::WordOf(bytes_); }

    friend bool operator==(const PackedText& a, std::string_view b) { return a.text().view() == b; }
    friend std::ostream& operator<<(std::ostream& os, const PackedText& t) { return os << t.text().view(); }

private:
    enum : std::uint8_t { kEmpty = 0, kPacked = 1, kSpare = 2 };
    // A wide field (a whole 32-bit value) takes a fifth byte for its kind;
    // the others keep the kind in the top two bits of four bytes.
    static constexpr bool kWide = Codec::kWide;
    static constexpr std::uint32_t kMaxValue = kWide ? 0xFFFFFFFFu : 0x3FFFFFFFu;

    void set(std::uint8_t kind, std::uint32_t v)
    {
        if constexpr (kWide) {
            bytes_[4] = kind;
        } else {
            v = (v & kMaxValue) | (std::uint32_t{kind} << 30);
        }
        std::memcpy(bytes_, &v, sizeof v);
    }
    std::uint32_t raw() const
    {
        std::uint32_t v;
        std::memcpy(&v, bytes_, sizeof v);
        return v;
    }
    std::uint8_t kind() const
    {
        if constexpr (kWide)
            return bytes_[4];
        else
            return static_cast<std::uint8_t>(raw() >> 30);
    }
    std::uint32_t value() const { return kWide ? raw() : raw() & kMaxValue; }

    unsigned char bytes_[kWide ? 5 : 4] = {};
};

// "ICMP", "TCP", "UDP", or the protocol number in decimal: the number;
// "ICMPv6": kPackedICMPv6.
inline constexpr std::uint32_t kPackedICMPv6 = 0x100 | 58;
struct ProtocolCodec {
    static constexpr std::size_t kWidth = 7;
    static constexpr bool kWide = false;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<7> Unpack(std::uint32_t v);
};
// Dotted decimal without leading zeros: the address (IPv4 byte order).
struct AddressCodec {
    static constexpr std::size_t kWidth = 15;
    static constexpr bool kWide = true;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<15> Unpack(std::uint32_t v);
};
// Decimal 0..65535 without leading zeros.
struct PortCodec {
    static constexpr std::size_t kWidth = 5;
    static constexpr bool kWide = false;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<5> Unpack(std::uint32_t v);
};
// Decimal 0..4294967295 without leading zeros.
struct SizeCodec {
    static constexpr std::size_t kWidth = 10;
    static constexpr bool kWide = false;  // sizes past 2^30 - 1 are kept as texts
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<10> Unpack(std::uint32_t v);
};
// HH:MM:SS, a decimal separator, two digits of hundredths (hours 00..23,
// seconds up to 60 for a leap second): the time of day in hundredths and
// the separator's number.
struct TimeCodec {
    static constexpr std::size_t kWidth = 15;
    static constexpr bool kWide = false;  // 24 bits of time, 6 of separator
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<15> Unpack(std::uint32_t v);
};

using ProtocolText7 = PackedText<ProtocolCodec>;
using PortText5 = PackedText<PortCodec>;
using SizeText = PackedText<SizeCodec>;
using TimeText = PackedText<TimeCodec>;

// An address field of either family in five bytes: an IPv4 address as its
// four bytes, an IPv6 address as its IPv6Table number, any other text kept
// once in SpareTexts (cut to N characters, as before). An IPv6 text is held
// in its canonical form, so "2001:DB8:0::1" and "2001:db8::1" are one
// field; an IPv4 one only in its own form (dotted decimal, no leading zeros).
class AddressText {
public:
    static constexpr std::size_t N = AddressCodec::kWidth;  // other texts are cut to this

    AddressText() = default;
    AddressText(std::string_view s) { assign(s); }               // NOLINT: implicit by design
    AddressText(const char* s) : AddressText(std::string_view(s)) {}  // NOLINT

    void assign(std::string_view s);
    // From the address bytes as they stand in a datagram header.
    void assignIPv4(const std::uint8_t* bytes)
    {
        std::memcpy(bytes_, bytes, 4);
        bytes_[4] = kIPv4;
    }
    void assignIPv6(const std::uint8_t* bytes) { assignIPv6Number(IPv6Table::Intern(bytes)); }
    // From an IPv6Table number.
    void assignIPv6Number(std::uint32_t number) { set(kIPv6, number); }
    // Whether assigning s keeps it whole (an address of either family, or
    // a text of at most N characters).
    static bool Keeps(std::string_view s);

    FixedText<kIPv6TextMax> text() const;
    std::string str() const { return text().str(); }
    bool empty() const { return bytes_[4] == kEmpty; }
    bool ipv6() const { return bytes_[4] == kIPv6; }
    // The IPv4 address (network byte order), when the field holds one.
    bool packed(std::uint32_t& v) const
    {
        v = value();
        return bytes_[4] == kIPv4;
    }
    // The address's bytes (4 or 16) into out, and how many; 0 for a text
    // that is no address.
    std::size_t bytes(std::uint8_t* out) const;
    // The address as HostAddress; false for a text that is no address.
    bool host(HostAddress& address) const
    {
        if (bytes_[4] != kIPv4 && bytes_[4] != kIPv6)
            return false;
        address = bytes_[4] == kIPv4 ? HostAddress{value()} : kIPv6Host + value();
        return true;
    }
    // The field as one number: equal numbers, equal texts, and the other way
    // round.
    std::uint64_t bits() const { return record_fields::WordOf(bytes_); }

    friend bool operator==(const AddressText& a, std::string_view b) { return a.text().view() == b; }
    friend std::ostream& operator<<(std::ostream& os, const AddressText& t) { return os << t.text().view(); }

private:
    enum : std::uint8_t { kEmpty = 0, kIPv4 = 1, kSpare = 2, kIPv6 = 3 };
    void set(std::uint8_t kind, std::uint32_t v)
    {
        std::memcpy(bytes_, &v, 4);
        bytes_[4] = kind;
    }
    std::uint32_t value() const
    {
        std::uint32_t v;
        std::memcpy(&v, bytes_, 4);
        return v;
    }

    unsigned char bytes_[5] = {};
};

// Where a record's payload bytes are kept: an offset into the store's
// payload bytes (or the working capture file) and a length, and how many
// header bytes stand before the payload in its datagram, in eleven bytes.
class PayloadRef {
    static_assert(std::endian::native == std::endian::little);

public:
    PayloadRef() = default;
    PayloadRef(std::uint64_t offset, std::uint32_t length, std::uint8_t headers = 0) : headers_(headers)
    {
        std::memcpy(offset_, &offset, sizeof offset_);  // low 48 bits (little-endian)
        std::memcpy(length_, &length, sizeof length_);
    }
    // IPv4 and transport header bytes before the payload (0 when unknown).
    std::uint8_t headers() const { return headers_; }
    std::uint64_t offset() const
    {
        std::uint64_t v = 0;
        std::memcpy(&v, offset_, sizeof offset_);
        return v;
    }
    std::uint32_t length() const
    {
        std::uint32_t v;
        std::memcpy(&v, length_, sizeof v);
        return v;
    }
    std::size_t size() const { return length(); }
    bool empty() const { return length() == 0; }

private:
    unsigned char offset_[6] = {};
    unsigned char length_[4] = {};
    std::uint8_t headers_ = 0;
};

}  // namespace quillet
