#include "inspect/StreamLoader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "core/PcapngFormat.h"

namespace quillet {

namespace {

// Reads of a file in windows of kWindow bytes, as the conversation's packets
// mostly lie near each other.
class FileWindow {
public:
    static constexpr std::uint64_t kWindow = 1 << 20;
    FileWindow(int fd, std::uint64_t limit) : fd_(fd), limit_(limit) {}

    const std::uint8_t* Read(std::uint64_t at, std::uint64_t length)
    {
        if (at + length > limit_)
            return nullptr;
        if (at < at_ || at + length > at_ + size_) {
            const std::uint64_t want = std::min(std::max(kWindow, length), limit_ - at);
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

private:
    int fd_;
    std::uint64_t limit_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t at_ = 0, size_ = 0;
};

}  // namespace

StreamLoader::StreamLoader(PacketStore::Records records, std::int64_t seq, int fd, std::uint64_t limit,
                           ConversationSpan span)
{
    thread_ = std::thread([this, records, seq, fd, limit, span] { Run(records, seq, fd, limit, span); });
}

StreamLoader::~StreamLoader()
{
    cancel_ = true;
    thread_.join();
}

void StreamLoader::Run(PacketStore::Records records, std::int64_t seq, int fd, std::uint64_t limit,
                       ConversationSpan span)
{
    auto builder = std::make_unique<StreamBuilder>(FindConversation(records, seq, &cancel_, span), seq);
    StreamBuilder* b = builder.get();
    {
        std::lock_guard lock(mutex_);
        builder_ = std::move(builder);
    }
    FileWindow file(fd, fd >= 0 ? limit : 0);
    while (!cancel_.load(std::memory_order_relaxed)) {
        const std::int64_t next = b->Next();
        if (next == 0)
            break;
        const PayloadRef ref = records.at(next).mData;
        if (ref.headers() == 0) {  // kept in memory without its headers
            std::lock_guard lock(mutex_);
            b->Skip();
            continue;
        }
        // The working file's fields just before a datagram: its timestamp and lengths.
        constexpr std::uint32_t kBefore = pcapng::kFieldsBeforeData;
        const std::uint64_t start = ref.offset() - ref.headers();
        const std::uint8_t* header = start >= kBefore ? file.Read(start - kBefore, kBefore) : nullptr;
        if (!header)
            break;  // not in the file yet: the owner's thread goes on
        const pcapng::PacketFields fields =
            pcapng::ParseFieldsBeforeData(std::span<const std::uint8_t, kBefore>(header, kBefore));
        const std::uint8_t* datagram = file.Read(start, fields.captured);
        if (!datagram)
            break;
        {
            std::lock_guard lock(mutex_);
            b->Give({datagram, fields.captured}, fields.timestampUs);
        }
        while (ownerWaiting_.load(std::memory_order_acquire) != 0)
            std::this_thread::yield();
    }
    threadDone_.store(true, std::memory_order_release);
}

std::unique_lock<std::mutex> StreamLoader::OwnerLock() const
{
    ownerWaiting_.fetch_add(1, std::memory_order_acq_rel);
    std::unique_lock lock(mutex_);
    ownerWaiting_.fetch_sub(1, std::memory_order_acq_rel);
    return lock;
}

std::vector<StreamPiece> StreamLoader::Take()
{
    const auto lock = OwnerLock();
    return builder_ ? builder_->Stream().Take() : std::vector<StreamPiece>{};
}

void StreamLoader::Look(const std::function<void(const StreamBuilder*)>& what) const
{
    const auto lock = OwnerLock();
    what(builder_.get());
}

bool StreamLoader::Continue(const Reader& read, std::chrono::microseconds budget)
{
    if (!ThreadDone())
        return false;
    const auto until = std::chrono::steady_clock::now() + budget;
    std::lock_guard lock(mutex_);
    if (!builder_)
        return true;
    int n = 0;
    while (builder_->Next() != 0) {
        if ((++n & 15) == 0 && std::chrono::steady_clock::now() >= until)
            return false;
        std::int64_t tsUs = 0;
        if (read(builder_->Next(), bytes_, tsUs))
            builder_->Give(bytes_, tsUs);
        else
            builder_->Skip();
    }
    return true;
}

bool StreamLoader::Done() const
{
    const auto lock = OwnerLock();
    return ThreadDone() && (!builder_ || builder_->Next() == 0);
}

}  // namespace quillet
