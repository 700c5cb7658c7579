#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/FixedText.h"

namespace quillet {

// The longest text an IPv6 address is written as here: eight groups of four
// hex digits.
inline constexpr std::size_t kIPv6TextMax = 39;

// RFC 5952 text of the 16 bytes of an IPv6 address (network order): lower
// case, no leading zeros in a group, the longest run of two or more zero
// groups (the first on a tie) as "::", an IPv4-mapped address as
// ::ffff:a.b.c.d.
FixedText<kIPv6TextMax> IPv6BytesToText(const std::uint8_t* bytes);

// Reads any valid text form of an IPv6 address (upper or lower case,
// compressed or not, a dotted IPv4 tail) into 16 bytes; false when the text
// is not one.
bool IPv6FromText(std::string_view text, std::uint8_t* bytes);

// The IPv6 addresses seen over the run, each kept once and named by a
// number, so a packet record holds one in four bytes. Thread-safe; only
// grows; the bytes of a number stay valid for the whole run.
class IPv6Table {
public:
    static std::uint32_t Intern(const std::uint8_t* bytes);
    // The 16 bytes of a number Intern returned; nullptr for any other.
    static const std::uint8_t* At(std::uint32_t number);
};

// A host address of either family as one number, as host names and the
// program column key them: an IPv4 address (network byte order) below 2^32,
// an IPv6 address as kIPv6Host plus its IPv6Table number.
using HostAddress = std::uint64_t;
inline constexpr HostAddress kIPv6Host = std::uint64_t{1} << 32;

// The address's text (dotted decimal or RFC 5952).
std::string HostAddressText(HostAddress address);
// Whether two address texts name the same address: equal texts, or two
// IPv6 texts of the same address ("2001:DB8:0::1" and "2001:db8::1").
bool SameAddressText(std::string_view a, std::string_view b);

// The address of a text of either family; false when it is neither.
bool HostAddressFromText(std::string_view text, HostAddress& address);

}  // namespace quillet
