#pragma once

#include <string_view>

namespace quillet {

// The characters of a host name as shown and written to files: letters,
// digits, '-' and '_' in labels joined by single dots, none at either end,
// 1 to 253 characters.
bool HostNameChars(std::string_view s);

// Whether the text reads as an address where a name is expected: IPv4 in
// any form the C library takes as numeric ("10.0.0.1", "127.1", "0x7f.1",
// "2130706433"), IPv6 in any form (also in brackets or with a zone), each
// also with one trailing dot.
bool IsAddressLiteral(std::string_view s);

// A name that may name an address: HostNameChars, and no address literal
// (so a name can never pass for another address in the host tree).
bool IsHostName(std::string_view s);

}  // namespace quillet
