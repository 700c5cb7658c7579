#pragma once

// The owners of sockets as the kernel tells them: cgroup programs on the root
// of the cgroup v2 hierarchy and a sock_ops program there (bpf/owners.bpf.c)
// report every socket made, bound, connected and used, with each local
// endpoint as the kernel chose it (a connected UDP socket's at its release);
// none of them runs per packet.
// Joined here by the sockets' cookies into "this process holds this local
// endpoint from then on" records for the window.
//
// Loading and attaching need the rights to (CAP_BPF, CAP_NET_ADMIN, and
// CAP_PERFMON for the process name); the links stay after the rights are
// dropped and go with this program. Without them, or without cgroup v2,
// nothing is attached and the capture goes on without.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/CaptureChannel.h"

struct bpf_object;
struct bpf_link;
struct ring_buffer;

namespace quillet {

class OwnerEvents {
public:
    using Send = std::function<void(const channel::OwnerBody&)>;

    OwnerEvents() = default;
    ~OwnerEvents();
    OwnerEvents(const OwnerEvents&) = delete;
    OwnerEvents& operator=(const OwnerEvents&) = delete;

    // Loads and attaches the programs; false, with why(), when it cannot.
    bool Start();
    bool attached() const { return ring_ != nullptr; }
    const std::string& why() const { return why_; }
    // What to poll for events, -1 when not attached.
    int fd() const { return fd_; }
    // Takes what the kernel told (bounded), handing the records to send; makes
    // no system call.
    void Consume(const Send& send);
    // Events lost so far for want of room (no system call).
    std::uint64_t Lost() const;

    // Called for each event of the ring (public for the ring's callback).
    void Take(const void* data, std::size_t size);
    // One event as the ring holds it, its records handed to send (tests:
    // events without the kernel).
    void Take(const void* data, std::size_t size, const Send& send)
    {
        send_ = &send;
        Take(data, size);
        send_ = nullptr;
    }
    // Sockets known at once; past this the oldest go (their endpoints come
    // from look-ups then).
    static constexpr std::size_t kMaxSockets = 1u << 16;

private:
    struct Socket {
        std::uint32_t pid = 0;
        std::uint32_t uid = 0;
        std::int64_t sinceUs = 0;
        char name[16] = {};
        std::vector<channel::OwnerBody> endpoints;  // told to the window
    };

    bool Load(bool withComm, int cgroupFd);
    void Tell(Socket& s, channel::OwnerBody endpoint);
    std::int64_t WallUs(std::uint64_t monotonicNs) const;

    const Send* send_ = nullptr;  // during Consume
    std::string why_;
    bpf_object* object_ = nullptr;
    std::vector<bpf_link*> links_;
    ring_buffer* ring_ = nullptr;
    int fd_ = -1;
    const volatile std::uint64_t* lost_ = nullptr;  // the kernel programs' count
    bool withComm_ = false;
    std::int64_t offsetNs_ = 0;  // wall clock minus monotonic clock
    std::unordered_map<std::uint64_t, Socket> sockets_;  // by cookie
};

}  // namespace quillet
