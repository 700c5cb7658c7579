#include "core/PayloadArena.h"

#include <algorithm>
#include <cstring>

namespace quillet {

std::uint64_t PayloadArena::append(std::string_view bytes)
{
    const std::uint64_t offset = size_;
    const std::uint64_t end = offset + bytes.size();
    // Make every block the bytes need first, so a failure changes nothing.
    const std::size_t blocksNeeded = static_cast<std::size_t>((end + kBlockSize - 1) / kBlockSize);
    if (blocksNeeded > blocks_.size()) {
        blocks_.reserve(blocksNeeded);
        std::vector<std::unique_ptr<char[]>> fresh;
        fresh.reserve(blocksNeeded - blocks_.size());
        while (blocks_.size() + fresh.size() < blocksNeeded)
            fresh.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
        for (auto& block : fresh)
            blocks_.push_back(std::move(block));  // capacity reserved: cannot throw
    }
    std::uint64_t at = offset;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t within = static_cast<std::size_t>(at % kBlockSize);
        const std::size_t n = std::min(bytes.size() - done, kBlockSize - within);
        std::memcpy(blocks_[static_cast<std::size_t>(at / kBlockSize)].get() + within, bytes.data() + done, n);
        done += n;
        at += n;
    }
    size_ = end;
    return offset;
}

bool PayloadArena::read(std::uint64_t offset, std::uint32_t length, std::string& out) const
{
    out.clear();
    if (offset > size_ || length > size_ - offset)
        return false;
    out.resize(length);
    std::uint64_t at = offset;
    std::size_t done = 0;
    while (done < length) {
        const std::size_t within = static_cast<std::size_t>(at % kBlockSize);
        const std::size_t n = std::min<std::size_t>(length - done, kBlockSize - within);
        std::memcpy(out.data() + done, blocks_[static_cast<std::size_t>(at / kBlockSize)].get() + within, n);
        done += n;
        at += n;
    }
    return true;
}

}  // namespace quillet
