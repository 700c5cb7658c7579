#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace quillet::bench {

// Sends UDP datagrams on a connected socket at a fixed rate for a fixed time,
// in batches (sendmmsg), on a thread of its own. The socket decides the
// namespace the datagrams leave from. Rate 0 sends as fast as the socket
// takes them; a time of 0 or less sends until Stop().
class UdpSender {
public:
    UdpSender(int connectedSocket, std::uint64_t ratePerSecond, double seconds, std::size_t payloadBytes);
    ~UdpSender();

    void Start();
    void Stop() { stop_.store(true); }
    void Join();

    // True once the sender has sent all it was asked to, or gave up.
    bool finished() const { return finished_.load(); }

    // Datagrams the kernel accepted.
    std::uint64_t sent() const { return sent_.load(); }
    // Send calls refused for lack of buffer space (the sender fell behind).
    std::uint64_t refused() const { return refused_.load(); }
    // CPU time of the sending thread, in nanoseconds, once finished: what
    // each datagram costs the sender, however busy the machine is.
    std::uint64_t cpuNs() const { return cpuNs_.load(); }

private:
    void Run();

    int fd_;
    std::uint64_t rate_;
    double seconds_;
    std::size_t payload_;
    std::thread thread_;
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> cpuNs_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace quillet::bench
