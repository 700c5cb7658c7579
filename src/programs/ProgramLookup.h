#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <QPointer>

#include "programs/ProgramOwners.h"
#include "programs/SocketTable.h"

class QObject;

namespace quillet {

// Answers batches of endpoint questions on a thread of its own: the socket
// tables give each endpoint's socket inode, one walk over /proc maps the
// inodes not known yet to their processes. Answers are handed to `done` on
// the thread of `context` (queued), never while the caller waits.
//
// The thread is started by the first Request and so runs in the network
// namespace the requesting thread is in then: the socket tables it reads are
// that namespace's. One batch at a time: Request while Busy() is refused.
class ProgramLookup {
public:
    using Done = std::function<void(std::vector<OwnerAnswer> answers)>;

    ProgramLookup(QObject* context, Done done);
    ~ProgramLookup();
    ProgramLookup(const ProgramLookup&) = delete;
    ProgramLookup& operator=(const ProgramLookup&) = delete;

    // Where sockets are looked up (tests); set before the first Request.
    SocketTable::Source source = SocketTable::Source::Auto;
    std::string procRoot = "/proc";
    // The bytes of IPv6 endpoints' addresses; without it IPv6 endpoints
    // have no owner.
    SocketTable::IPv6Bytes ipv6Bytes;

    // A batch is being answered (from Request until done has run).
    bool Busy() const { return busy_; }
    // Hands a batch to the thread; false when one is in flight already.
    bool Request(std::vector<OwnerRequest> batch);

    // The answers for a batch, worked out on the calling thread (the
    // thread's own work; also for tests).
    std::vector<OwnerAnswer> Resolve(const std::vector<OwnerRequest>& batch);

private:
    // What the process walk found for an inode. Not found: tried again
    // after kRetryUnknown, not at every batch.
    struct Known {
        std::string text;  // empty: no readable process holds it
        std::chrono::steady_clock::time_point at;
    };
    static constexpr auto kRetryUnknown = std::chrono::seconds(5);
    static constexpr std::size_t kMaxKnown = 1u << 16;

    void Run();

    QPointer<QObject> context_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // answers check it
    Done done_;
    bool busy_ = false;  // on the requesting thread only
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::vector<OwnerRequest>> work_;
    std::atomic<bool> stop_{false};
    std::unordered_map<std::uint64_t, Known> known_;  // the worker's
};

}  // namespace quillet
