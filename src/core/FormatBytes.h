#pragma once

#include <cstdint>
#include <cstring>

// Fields of the capture file formats: written in the host's byte order, read in either.
namespace quillet::formatbytes {

template <typename T>
void PutAt(std::uint8_t*& out, T value)
{
    std::memcpy(out, &value, sizeof value);
    out += sizeof value;
}

inline std::uint32_t U32(const std::uint8_t* p, bool swapped)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return swapped ? __builtin_bswap32(v) : v;
}

inline std::uint16_t U16(const std::uint8_t* p, bool swapped)
{
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return swapped ? __builtin_bswap16(v) : v;
}

}  // namespace quillet::formatbytes
