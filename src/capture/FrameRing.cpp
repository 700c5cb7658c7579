#include "capture/FrameRing.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillet {

namespace ch = channel;

namespace {

constexpr std::size_t kHeaderBytes = 4096;
constexpr std::size_t kAlign = 8;

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free, "the ring's position is shared between processes");

std::size_t Aligned(std::size_t n)
{
    return (n + kAlign - 1) & ~(kAlign - 1);
}

std::atomic_ref<std::uint64_t> PublishedAt(std::uint8_t* base)
{
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(base));
}

}  // namespace

FrameRingWriter::FrameRingWriter(std::size_t dataBytes) : size_(dataBytes)
{
    fd_ = memfd_create("quillet-frames", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(kHeaderBytes + size_)) != 0) {
        error_ = errno;
        return;
    }
    // Its pages are made now, not one fault at a time while frames pour in.
    void* at = mmap(nullptr, kHeaderBytes + size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, 0);
    if (at == MAP_FAILED) {
        error_ = errno;
        return;
    }
    base_ = static_cast<std::uint8_t*>(at);
    // The window can map it to read only, and neither end can resize it
    // under the other. A kernel without the write seal still gives a ring:
    // this program reads nothing back from it.
    if (fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0)
        (void)fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
}

FrameRingWriter::~FrameRingWriter()
{
    if (base_ != nullptr)
        munmap(base_, kHeaderBytes + size_);
    if (fd_ >= 0)
        close(fd_);
}

std::size_t FrameRingWriter::FramesThatFit(std::size_t maxFrame) const
{
    const std::size_t room = Aligned(sizeof(ch::Head) + sizeof(ch::FrameHead) + maxFrame);
    return FreeBytes() > room ? (FreeBytes() - room) / room : 0;
}

bool FrameRingWriter::PutFrame(std::int64_t timestampUs, std::uint32_t wireLength, std::span<const std::uint8_t> frame)
{
    const std::size_t body = sizeof(ch::FrameHead) + frame.size();
    const std::size_t need = Aligned(sizeof(ch::Head) + body);
    std::size_t at = static_cast<std::size_t>(written_ & (size_ - 1));
    const std::size_t toEnd = size_ - at;
    if (FreeBytes() < need + (toEnd < need ? toEnd : 0))
        return false;
    std::uint8_t* data = base_ + kHeaderBytes;
    if (toEnd < need) {
        const ch::Head skip{ch::kSkip, static_cast<std::uint32_t>(toEnd - sizeof(ch::Head))};
        std::memcpy(data + at, &skip, sizeof skip);
        written_ += toEnd;
        at = 0;
    }
    const ch::Head head{ch::kFrame, static_cast<std::uint32_t>(body)};
    const ch::FrameHead frameHead{timestampUs, wireLength, 0};
    std::memcpy(data + at, &head, sizeof head);
    std::memcpy(data + at + sizeof head, &frameHead, sizeof frameHead);
    std::memcpy(data + at + sizeof head + sizeof frameHead, frame.data(), frame.size());
    written_ += need;
    return true;
}

bool FrameRingWriter::Publish()
{
    PublishedAt(base_).store(written_, std::memory_order_release);
    return written_ != read_;
}

bool FrameRingWriter::Consumed(std::uint64_t position)
{
    if (position < read_ || position > written_)
        return false;
    read_ = position;
    return true;
}

FrameRingReader::~FrameRingReader()
{
    if (base_ != nullptr)
        munmap(const_cast<std::uint8_t*>(base_), kHeaderBytes + size_);
}

bool FrameRingReader::Map(int fd, std::uint64_t dataBytes)
{
    struct stat st{};
    const bool fits = dataBytes >= 4096 && dataBytes <= (std::uint64_t{1} << 32) && (dataBytes & (dataBytes - 1)) == 0
                      && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                      && static_cast<std::uint64_t>(st.st_size) == kHeaderBytes + dataBytes;
    void* at = fits ? mmap(nullptr, kHeaderBytes + dataBytes, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0) : MAP_FAILED;
    close(fd);
    if (at == MAP_FAILED)
        return false;
    base_ = static_cast<const std::uint8_t*>(at);
    size_ = static_cast<std::size_t>(dataBytes);
    return true;
}

FrameRingReader::Result FrameRingReader::Next(std::uint32_t& kind, std::span<const std::uint8_t>& body)
{
    for (;;) {
        if (read_ == written_) {
            written_ = PublishedAt(const_cast<std::uint8_t*>(base_)).load(std::memory_order_acquire);
            if (written_ == read_)
                return Result::Empty;
        }
        // Nothing from the other side is taken on trust: the position only
        // grows by at most the ring, and a record stays inside both what was
        // written and the data area.
        if (written_ < read_ || written_ - read_ > size_ || (written_ & (kAlign - 1)) != 0)
            return Result::Broken;
        const std::size_t at = static_cast<std::size_t>(read_ & (size_ - 1));
        const std::uint8_t* data = base_ + kHeaderBytes;
        ch::Head head;
        std::memcpy(&head, data + at, sizeof head);
        const std::size_t need = Aligned(sizeof head + head.length);
        if (head.length > ch::kMaxBody || need > size_ - at || need > written_ - read_)
            return Result::Broken;
        read_ += need;
        if (head.kind == ch::kSkip)
            continue;
        kind = head.kind;
        body = {data + at + sizeof head, head.length};
        return Result::Record;
    }
}

}  // namespace quillet
