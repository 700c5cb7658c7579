#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace quillet::bench {

// Sends small UDP datagrams on a connected socket at a fixed rate for a fixed
// time, in batches (sendmmsg), on a thread of its own. The socket decides the
// namespace the datagrams leave from.
class UdpSender {
public:
    UdpSender(int connectedSocket, std::uint64_t ratePerSecond, double seconds, std::size_t payloadBytes);
    ~UdpSender();

    void Start();
    void Join();

    // Datagrams the kernel accepted.
    std::uint64_t sent() const { return sent_.load(); }
    // Send calls refused for lack of buffer space (the sender fell behind).
    std::uint64_t refused() const { return refused_.load(); }

private:
    void Run();

    int fd_;
    std::uint64_t rate_;
    double seconds_;
    std::size_t payload_;
    std::thread thread_;
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> refused_{0};
};

}  // namespace quillet::bench
