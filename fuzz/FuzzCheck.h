#pragma once

#include <arpa/inet.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace quillet::fuzz {

// A broken invariant is a finding: the fuzzer stops on the abort.
inline void Check(bool ok)
{
    if (!ok)
        std::abort();
}

// A name as the host tree shows it: 1 to 253 printable characters, no
// space, and not what the C library reads as an IPv4 address.
inline void CheckHostName(std::string_view name)
{
    Check(!name.empty() && name.size() <= 253);
    for (const char c : name)
        Check(c > ' ' && c < 0x7F);
    const std::string text(name);
    in_addr address{};
    Check(::inet_aton(text.c_str(), &address) == 0);
}

}  // namespace quillet::fuzz
