#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "inspect/StreamConversation.h"
#include "views/PacketStore.h"

namespace quillet {

// Loads one packet's conversation without holding up the GUI thread: a
// thread of its own finds the packets (FindConversation) and reads those
// that are in the working capture file for good (fd, the first limit
// bytes; one read per window of the file, not per packet); the packets
// stored after that are left to the owner's thread (Continue). The thread
// is stopped and joined by the destructor.
class StreamLoader {
public:
    StreamLoader(PacketStore::Records records, std::int64_t seq, int fd, std::uint64_t limit,
                 ConversationSpan span = {});
    ~StreamLoader();
    StreamLoader(const StreamLoader&) = delete;
    StreamLoader& operator=(const StreamLoader&) = delete;

    // The pieces made since the last call (any thread).
    std::vector<StreamPiece> Take();
    // Calls what with the builder while nothing changes it (nullptr until
    // the packets are found).
    void Look(const std::function<void(const StreamBuilder*)>& what) const;
    // Whether the thread has ended; Continue goes on from there.
    bool ThreadDone() const { return threadDone_.load(std::memory_order_acquire); }
    // Reads the rest on this thread for at most budget; true once done.
    using Reader = std::function<bool(std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs)>;
    bool Continue(const Reader& read, std::chrono::microseconds budget);
    bool Done() const;

    // A packet of the conversation stored after it was found (forward: from
    // the asked packet's source to its destination).
    struct Later {
        std::int64_t seq = 0;
        bool forward = true;
    };
    // Once Done(): reads the packets stored later (read, on this thread) and
    // feeds them in order, for at most budget; returns how many it took.
    // Out-of-order data waits for the bytes before it for one call: holes
    // still open from the call before are given up on at the end of a call
    // that took every packet given (none, when nothing came).
    std::size_t Follow(std::span<const Later> packets, const Reader& read, std::chrono::microseconds budget);
    // Whether the conversation can take no more packets (the endpoints' next
    // one began, or it was never found).
    bool Ended() const;

private:
    void Run(PacketStore::Records records, std::int64_t seq, int fd, std::uint64_t limit, ConversationSpan span);

    // The owner's thread takes the lock before the loading thread takes it again.
    std::unique_lock<std::mutex> OwnerLock() const;

    mutable std::mutex mutex_;
    mutable std::atomic<int> ownerWaiting_{0};
    std::unique_ptr<StreamBuilder> builder_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> threadDone_{false};
    std::vector<std::uint8_t> bytes_;  // reused by Continue and Follow
    bool holesWaited_ = false;         // holes were open at the end of the last Follow
    std::thread thread_;
};

}  // namespace quillet
