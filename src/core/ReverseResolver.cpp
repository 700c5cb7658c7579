#include "core/ReverseResolver.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <QMetaObject>
#include <QTimer>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quillet {

// What a worker shares with the resolver: the way back, gone once the
// resolver is.
struct ReverseResolver::Shared {
    std::mutex mutex;
    QObject* context = nullptr;
    ReverseResolver* resolver = nullptr;
};

ReverseResolver::ReverseResolver() : ReverseResolver(&ReverseLookUp, Limits{}) {}

ReverseResolver::ReverseResolver(LookUp lookUp, Limits limits)
    : lookUp_(std::move(lookUp)), limits_(limits), shared_(std::make_shared<Shared>())
{
    if (limits_.inFlight < 1)
        limits_.inFlight = 1;
    shared_->context = &context_;
    shared_->resolver = this;
}

ReverseResolver::~ReverseResolver()
{
    // A worker that returns from now on posts nothing; what it posted before
    // goes with context_.
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->context = nullptr;
    shared_->resolver = nullptr;
}

bool ReverseResolver::WorthAsking(HostAddress address)
{
    if (address >= kIPv6Host) {
        const std::uint8_t* b = IPv6Table::At(static_cast<std::uint32_t>(address - kIPv6Host));
        if (b == nullptr || b[0] == 0xFF || (b[0] == 0xFE && (b[1] & 0xC0) == 0x80))
            return false;
        for (int i = 0; i < 16; ++i)
            if (b[i] != 0)
                return true;
        return false;
    }
    const unsigned first = address & 0xFFu;  // the first octet
    return first != 0 && first < 224;
}

bool ReverseResolver::UsableName(std::string_view name, HostAddress address)
{
    if (name.empty() || name.size() > 253)
        return false;
    for (const char c : name)
        if (c < 0x21 || c > 0x7E)
            return false;
    return name != HostAddressText(address);
}

std::string ReverseResolver::ReverseLookUp(HostAddress address)
{
    sockaddr_storage ss{};
    socklen_t length = 0;
    if (address >= kIPv6Host) {
        const std::uint8_t* b = IPv6Table::At(static_cast<std::uint32_t>(address - kIPv6Host));
        if (b == nullptr)
            return {};
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        std::memcpy(&sa.sin6_addr, b, 16);
        std::memcpy(&ss, &sa, sizeof sa);
        length = sizeof sa;
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = static_cast<IPv4>(address);  // both in network byte order
        std::memcpy(&ss, &sa, sizeof sa);
        length = sizeof sa;
    }
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&ss), length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return {};
    std::string name(host);
    return UsableName(name, address) ? name : std::string();
}

std::int64_t ReverseResolver::NowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool ReverseResolver::Known(HostAddress address, QString* name) const
{
    const auto it = cache_.find(address);
    if (it == cache_.end())
        return false;
    if (name)
        *name = it->second.name;
    return true;
}

void ReverseResolver::Request(HostAddress address)
{
    if (!WorthAsking(address))
        return;
    if (const auto it = cache_.find(address); it != cache_.end()) {
        const Entry& entry = it->second;
        if (entry.answer == Answer::Named) {
            if (onName)
                onName(address, entry.name);
            return;
        }
        if (entry.answer == Answer::NoName || NowMs() - entry.atMs < limits_.retryMs)
            return;
        cache_.erase(it);
    }
    if (asked_.count(address) != 0)
        return;
    if (queue_.size() >= limits_.queued) {
        ++dropped_;
        return;
    }
    queue_.push_back(address);
    asked_.insert(address);
    StartNext();
}

void ReverseResolver::Cancel()
{
    for (const HostAddress address : queue_)
        asked_.erase(address);
    queue_.clear();
}

void ReverseResolver::StartNext()
{
    while (static_cast<int>(running_.size()) < limits_.inFlight && !queue_.empty()) {
        const HostAddress address = queue_.front();
        queue_.pop_front();
        const std::uint64_t id = ++nextId_;
        running_.emplace(id, Running{address, false});
        try {
            std::thread([shared = shared_, lookUp = lookUp_, address, id] {
                std::string name;
                try {
                    name = lookUp(address);
                } catch (...) {
                    name.clear();
                }
                const std::lock_guard<std::mutex> lock(shared->mutex);
                if (!shared->context)
                    return;
                ReverseResolver* resolver = shared->resolver;
                QMetaObject::invokeMethod(
                    shared->context, [resolver, id, name = std::move(name)] { resolver->Finished(id, name); },
                    Qt::QueuedConnection);
            }).detach();
        } catch (const std::system_error&) {
            // No thread to be had now: the address is not looked up; a later
            // request asks again.
            running_.erase(id);
            asked_.erase(address);
            return;
        }
        ++lookUps_;
        QTimer::singleShot(limits_.timeoutMs, &context_, [this, id] { Expire(id); });
    }
}

void ReverseResolver::Finished(std::uint64_t id, const std::string& name)
{
    const auto it = running_.find(id);
    if (it == running_.end())
        return;
    const Running done = it->second;
    running_.erase(it);
    if (!done.expired) {
        asked_.erase(done.address);
        const bool named = UsableName(name, done.address);
        Entry entry;
        entry.answer = named ? Answer::Named : Answer::NoName;
        if (named)
            entry.name = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
        const QString shown = entry.name;
        Store(done.address, std::move(entry));
        if (named && onName)
            onName(done.address, shown);
    }
    StartNext();
}

void ReverseResolver::Expire(std::uint64_t id)
{
    const auto it = running_.find(id);
    if (it == running_.end() || it->second.expired)
        return;
    it->second.expired = true;
    ++timedOut_;
    asked_.erase(it->second.address);
    Entry entry;
    entry.answer = Answer::TimedOut;
    entry.atMs = NowMs();
    Store(it->second.address, std::move(entry));
}

void ReverseResolver::Store(HostAddress address, Entry entry)
{
    if (cache_.size() >= limits_.cached && cache_.count(address) == 0)
        cache_.clear();
    cache_[address] = std::move(entry);
}

}  // namespace quillet
