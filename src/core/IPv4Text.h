#pragma once

#include <cstdint>
#include <string>

#include "core/FixedText.h"

namespace quillet {

// An IPv4 address travels as a 32-bit value in network byte order: the first
// octet in the lowest-addressed byte. All bits set means "no address".
using IPv4 = std::uint32_t;
inline constexpr IPv4 kNoAddress = 0xFFFFFFFFu;

// Dotted-decimal text of an address, such as 192.168.0.10.
FixedText<15> IPv4ToText(IPv4 address);

// Same, from the four bytes as they stand in a datagram header.
FixedText<15> IPv4BytesToText(const std::uint8_t* bytes);

}  // namespace quillet
