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
// inodes not known yet to their processes. A known owner is checked again
// (at most every kRecheck) and looked up anew when its process no longer holds
// the socket or is another program now (a socket passed on through fork and
// exec). Answers are handed to `done` on the thread of `context` (queued),
// never while the caller waits.
//
// The thread is started by the first Request and so runs in the network
// namespace the requesting thread is in then: the socket tables it reads are
// that namespace's. One batch at a time: Request while Busy() is refused.
// The destructor waits at most kStopWait for a batch in progress (a socket
// table that does not answer); the thread then ends by itself.
class ProgramLookup {
public:
    using Done = std::function<void(std::vector<OwnerAnswer> answers)>;
    // The socket tables' answer for some endpoints (SocketTable::Find).
    using FindSockets = std::function<std::unordered_map<std::uint64_t, std::uint64_t>(
        const std::vector<std::uint64_t>& keys, SocketTable::Source source)>;
    static constexpr auto kStopWait = std::chrono::milliseconds(300);
    static constexpr auto kRecheck = std::chrono::seconds(1);

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
    FindSockets findSockets;  // empty: SocketTable::Find

    // A batch is being answered (from Request until done has run).
    bool Busy() const { return busy_; }
    // Hands a batch to the thread; false when one is in flight already.
    bool Request(std::vector<OwnerRequest> batch);

    // The answers for a batch, worked out on the calling thread (the
    // thread's own work; also for tests).
    std::vector<OwnerAnswer> Resolve(const std::vector<OwnerRequest>& batch);

private:
    struct Worker;  // what the thread uses; it outlives this object when the thread is late

    QPointer<QObject> context_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // answers check it
    Done done_;
    bool busy_ = false;  // on the requesting thread only
    std::thread thread_;
    std::shared_ptr<Worker> worker_;
};

}  // namespace quillet
