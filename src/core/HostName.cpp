#include "core/HostName.h"

#include <arpa/inet.h>

#include <string>

namespace quillet {

namespace {

constexpr std::size_t kMaxName = 253;

}  // namespace

bool HostNameChars(std::string_view s)
{
    if (s.empty() || s.size() > kMaxName || s.front() == '.' || s.back() == '.')
        return false;
    char prev = '.';
    for (const char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
                        || c == '_' || (c == '.' && prev != '.');
        if (!ok)
            return false;
        prev = c;
    }
    return true;
}

bool IsAddressLiteral(std::string_view s)
{
    if (s.ends_with('.'))
        s.remove_suffix(1);
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']')
        s = s.substr(1, s.size() - 2);
    // The C library's reader would stop at a space and take what came before.
    if (s.empty() || s.find_first_of(" \t\n\v\f\r") != std::string_view::npos)
        return false;
    const std::string text(s);
    in_addr v4{};
    if (::inet_aton(text.c_str(), &v4) != 0)
        return true;
    in6_addr v6{};
    const std::string unzoned = text.substr(0, text.find('%'));
    return text.find(':') != std::string::npos && ::inet_pton(AF_INET6, unzoned.c_str(), &v6) == 1;
}

bool IsHostName(std::string_view s)
{
    return HostNameChars(s) && !IsAddressLiteral(s);
}

}  // namespace quillet
