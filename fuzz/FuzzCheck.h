#pragma once

#include <cstdlib>
#include <string_view>

namespace quillet::fuzz {

// A broken invariant is a finding: the fuzzer stops on the abort.
inline void Check(bool ok)
{
    if (!ok)
        std::abort();
}

// A name as the host tree shows it: 1 to 253 printable characters, no space.
inline void CheckHostName(std::string_view name)
{
    Check(!name.empty() && name.size() <= 253);
    for (const char c : name)
        Check(c > ' ' && c < 0x7F);
}

}  // namespace quillet::fuzz
