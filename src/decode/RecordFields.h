#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

#include "core/FixedText.h"
#include "core/SpareTexts.h"

namespace quillet {

// The fields of a packet record in five bytes each, with no heap allocation.
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
        else if (Codec::Pack(s, value))
            set(kPacked, value);
        else
            set(kSpare, SpareTexts::Intern(s));
    }
    // Holds a value in its packed form (what Pack would have made).
    void assignPacked(std::uint32_t value) { set(kPacked, value); }

    FixedText<N> text() const
    {
        switch (kind_) {
        case kPacked: return Codec::Unpack(value());
        case kSpare: return FixedText<N>(SpareTexts::At(value()));
        default: return {};
        }
    }
    std::string str() const { return text().str(); }
    bool empty() const { return kind_ == kEmpty; }
    // The packed value, when the text has one.
    bool packed(std::uint32_t& v) const
    {
        v = value();
        return kind_ == kPacked;
    }

    // The field as one number: equal numbers, equal texts, and the other way
    // round (a text has one form only).
    std::uint64_t bits() const { return kind_ | (std::uint64_t{value()} << 8); }

    friend bool operator==(const PackedText& a, std::string_view b) { return a.text().view() == b; }
    friend std::ostream& operator<<(std::ostream& os, const PackedText& t) { return os << t.text().view(); }

private:
    enum : std::uint8_t { kEmpty = 0, kPacked = 1, kSpare = 2 };
    void set(std::uint8_t kind, std::uint32_t v)
    {
        kind_ = kind;
        std::memcpy(value_, &v, sizeof v);
    }
    std::uint32_t value() const
    {
        std::uint32_t v;
        std::memcpy(&v, value_, sizeof v);
        return v;
    }

    std::uint8_t kind_ = kEmpty;
    unsigned char value_[4] = {};
};

// "ICMP", "TCP", "UDP", or the protocol number in decimal: the number.
struct ProtocolCodec {
    static constexpr std::size_t kWidth = 7;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<7> Unpack(std::uint32_t v);
};
// Dotted decimal without leading zeros: the address (IPv4 byte order).
struct AddressCodec {
    static constexpr std::size_t kWidth = 15;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<15> Unpack(std::uint32_t v);
};
// Decimal 0..65535 without leading zeros.
struct PortCodec {
    static constexpr std::size_t kWidth = 5;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<5> Unpack(std::uint32_t v);
};
// Decimal 0..4294967295 without leading zeros.
struct SizeCodec {
    static constexpr std::size_t kWidth = 10;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<10> Unpack(std::uint32_t v);
};
// HH:MM:SS, a decimal separator, two digits of hundredths (hours 00..23,
// seconds up to 60 for a leap second): the time of day in hundredths and
// the separator's number.
struct TimeCodec {
    static constexpr std::size_t kWidth = 15;
    static bool Pack(std::string_view s, std::uint32_t& v);
    static FixedText<15> Unpack(std::uint32_t v);
};

using ProtocolText7 = PackedText<ProtocolCodec>;
using AddressText = PackedText<AddressCodec>;
using PortText5 = PackedText<PortCodec>;
using SizeText = PackedText<SizeCodec>;
using TimeText = PackedText<TimeCodec>;

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
