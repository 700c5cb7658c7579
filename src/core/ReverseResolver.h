#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <QObject>
#include <QString>

#include "core/IPv4Text.h"
#include "core/IPv6Text.h"

namespace quillet {

// Reverse look-ups of HostAddress addresses (the host's name, as the system's
// resolver gives it: hosts file, DNS), for the owner's thread, which never
// waits for one.
//
// Request() queues an address; at most Limits::inFlight look-ups run at once,
// each on a worker thread of its own. The answer comes back to the owner's
// thread through its event loop and is cached, "no name" included, so an
// address is asked once. A look-up cannot be interrupted (getnameinfo has no
// time-out of its own): one that has not answered within Limits::timeoutMs is
// taken as "no name" and its late answer dropped; its worker keeps its slot
// until the call returns, so a resolver that hangs holds at most inFlight
// threads. An address that timed out may be asked again after
// Limits::retryMs. Requests beyond Limits::queued waiting ones are dropped
// (not remembered: a later request asks again).
//
// Addresses that no resolver names are never asked: 0.0.0.0/8, multicast
// (224/4) and the reserved block with the broadcast address (240/4); the
// unspecified IPv6 address, IPv6 multicast (ff00::/8) and link-local
// addresses (fe80::/10). Private addresses are asked, since hosts files name
// them.
//
// Lives on a thread with an event loop (the GUI thread); not thread-safe.
class ReverseResolver {
public:
    // Gives the name of an address, empty when it has none. Runs on a
    // worker thread and must stay callable until every look-up returned.
    using LookUp = std::function<std::string(HostAddress address)>;

    struct Limits {
        int inFlight = 4;
        int timeoutMs = 4000;
        std::size_t queued = 1024;
        std::size_t cached = 65536;  // answers kept; full, the cache starts over
        int retryMs = 60000;
    };

    // Through the system's resolver (ReverseLookUp).
    ReverseResolver();
    ReverseResolver(LookUp lookUp, Limits limits);
    ~ReverseResolver();
    ReverseResolver(const ReverseResolver&) = delete;
    ReverseResolver& operator=(const ReverseResolver&) = delete;

    // Called on the owner's thread with each name found, and from Request()
    // itself when the name is known already.
    std::function<void(HostAddress address, const QString& name)> onName;

    void Request(HostAddress address);
    // Drops the requests still waiting; running look-ups go on and their
    // answers are cached.
    void Cancel();

    // True when an answer is cached; *name is empty for "no name" and a
    // look-up that timed out.
    bool Known(HostAddress address, QString* name = nullptr) const;

    // Look-ups started (calls handed to the look-up function).
    std::int64_t LookUpsMade() const { return lookUps_; }
    // Workers whose call has not returned, timed-out ones included.
    int InFlight() const { return static_cast<int>(running_.size()); }
    std::size_t Waiting() const { return queue_.size(); }
    std::int64_t TimedOut() const { return timedOut_; }
    std::int64_t Dropped() const { return dropped_; }

    static bool WorthAsking(HostAddress address);
    // getnameinfo with NI_NAMEREQD: the name, empty when there is none or
    // it is not fit to show (UsableName).
    static std::string ReverseLookUp(HostAddress address);
    // A host name as a resolver may give it: 1 to 253 printable ASCII
    // characters without spaces, not the address's own text.
    static bool UsableName(std::string_view name, HostAddress address);

private:
    enum class Answer : std::uint8_t { Named, NoName, TimedOut };
    struct Entry {
        Answer answer = Answer::NoName;
        QString name;
        std::int64_t atMs = 0;  // when a time-out was cached
    };
    struct Running {
        HostAddress address = 0;
        bool expired = false;
    };
    struct Shared;

    void StartNext();
    void Finished(std::uint64_t id, const std::string& name);
    void Expire(std::uint64_t id);
    void Store(HostAddress address, Entry entry);
    std::int64_t NowMs() const;

    LookUp lookUp_;
    Limits limits_;
    QObject context_;  // answers and time-outs arrive through it
    std::shared_ptr<Shared> shared_;
    std::unordered_map<HostAddress, Entry> cache_;
    std::unordered_set<HostAddress> asked_;  // waiting or running, not expired
    std::deque<HostAddress> queue_;
    std::unordered_map<std::uint64_t, Running> running_;
    std::uint64_t nextId_ = 0;
    std::int64_t lookUps_ = 0;
    std::int64_t timedOut_ = 0;
    std::int64_t dropped_ = 0;
};

}  // namespace quillet
