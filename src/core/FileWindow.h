#pragma once

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace quillet {

// Reads of a file's first limit bytes through a window of at least
// windowBytes: bytes read in file order cost one pread per window, not one
// per read. For one thread; the file's bytes must not change.
// A reader of one part of the file bounds the read-ahead to that part
// (ReadAheadTo), so no window fetches bytes another reader takes.
class FileWindow {
public:
    FileWindow(int fd, std::uint64_t limit, std::uint64_t windowBytes)
        : fd_(fd), limit_(limit), windowBytes_(windowBytes)
    {
    }

    // The length bytes at offset at, valid until the next call; nullptr when
    // they lie past the limit or cannot be read.
    const std::uint8_t* Read(std::uint64_t at, std::uint64_t length)
    {
        if (fd_ < 0 || at > limit_ || length > limit_ - at)
            return nullptr;
        if (at < at_ || at + length > at_ + size_) {
            const std::uint64_t until = std::min(limit_, std::max(aheadEnd_, at + length));
            const std::uint64_t want = std::min(std::max(windowBytes_, length), until - at);
            buffer_.resize(static_cast<std::size_t>(want));
            at_ = at;
            size_ = 0;
            while (size_ < want) {
                const ssize_t got = ::pread(fd_, buffer_.data() + size_, want - size_, static_cast<off_t>(at + size_));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                size_ += static_cast<std::uint64_t>(got);
            }
            if (size_ < length)
                return nullptr;
        }
        return buffer_.data() + (at - at_);
    }

    // From now on a window holds no bytes past end beyond those a read asks
    // for.
    void ReadAheadTo(std::uint64_t end) { aheadEnd_ = end; }

private:
    int fd_;
    std::uint64_t limit_;
    std::uint64_t windowBytes_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t at_ = 0, size_ = 0;
    std::uint64_t aheadEnd_ = UINT64_MAX;
};

}  // namespace quillet
