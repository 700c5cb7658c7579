#include "inspect/StreamLoader.h"

#include <algorithm>
#include <span>

#include "core/FileWindow.h"
#include "core/PcapngFormat.h"
#include "core/YieldToWindow.h"

namespace quillet {

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
    YieldToWindow();
    auto builder = std::make_unique<StreamBuilder>(FindConversation(records, seq, &cancel_, span), seq);
    StreamBuilder* b = builder.get();
    {
        std::lock_guard lock(mutex_);
        builder_ = std::move(builder);
    }
    // The conversation's packets mostly lie near each other.
    FileWindow file(fd, fd >= 0 ? limit : 0, 1 << 20);
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
            b->Give({datagram, fields.captured});
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
            builder_->Give(bytes_);
        else
            builder_->Skip();
    }
    return true;
}

std::size_t StreamLoader::Follow(std::span<const Later> packets, const Reader& read,
                                 std::chrono::microseconds budget)
{
    if (!ThreadDone())
        return 0;
    const auto until = std::chrono::steady_clock::now() + budget;
    std::lock_guard lock(mutex_);
    if (!builder_ || builder_->Next() != 0)
        return 0;
    std::size_t taken = 0;
    for (; taken < packets.size(); ++taken) {
        if (taken > 0 && (taken & 15) == 0 && std::chrono::steady_clock::now() >= until)
            return taken;
        std::int64_t tsUs = 0;
        if (read(packets[taken].seq, bytes_, tsUs))
            builder_->GiveMore(packets[taken].forward, bytes_);
    }
    StreamReassembly& stream = builder_->Stream();
    if (holesWaited_ && stream.Pending() > 0)
        stream.Finish();
    holesWaited_ = stream.Pending() > 0;
    return taken;
}

bool StreamLoader::Ended() const
{
    const auto lock = OwnerLock();
    return ThreadDone() && (!builder_ || builder_->Ended());
}

bool StreamLoader::Done() const
{
    const auto lock = OwnerLock();
    return ThreadDone() && (!builder_ || builder_->Next() == 0);
}

}  // namespace quillet
