#include "core/IPv4Text.h"

#include <cstring>

namespace quillet {

FixedText<15> IPv4BytesToText(const std::uint8_t* bytes)
{
    char buf[16];
    std::size_t n = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned v = bytes[i];
        if (i != 0)
            buf[n++] = '.';
        if (v >= 100) {
            buf[n++] = static_cast<char>('0' + v / 100);
            buf[n++] = static_cast<char>('0' + (v / 10) % 10);
        } else if (v >= 10) {
            buf[n++] = static_cast<char>('0' + v / 10);
        }
        buf[n++] = static_cast<char>('0' + v % 10);
    }
    return FixedText<15>(std::string_view(buf, n));
}

FixedText<15> IPv4ToText(IPv4 address)
{
    std::uint8_t bytes[4];
    std::memcpy(bytes, &address, 4);
    return IPv4BytesToText(bytes);
}

}  // namespace quillet
