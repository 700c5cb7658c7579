#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// Payload bytes of the stored packets, back to back in large blocks: no
// allocation or header per packet. A payload is named by its offset (bytes
// before it) and its length. Only grows.
class PayloadArena {
public:
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

    // Appends the bytes and returns their offset. Strong guarantee: when
    // allocating a block throws, nothing changed.
    std::uint64_t append(std::string_view bytes);
    // The bytes at offset, length long; false (out emptied) when that range
    // was never appended.
    bool read(std::uint64_t offset, std::uint32_t length, std::string& out) const;

    std::uint64_t size() const { return size_; }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::uint64_t size_ = 0;
};

}  // namespace quillet
