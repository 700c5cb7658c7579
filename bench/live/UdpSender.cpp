#include "UdpSender.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/socket.h>
#include <time.h>

namespace quillet::bench {

UdpSender::UdpSender(int connectedSocket, std::uint64_t ratePerSecond, double seconds, std::size_t payloadBytes)
    : fd_(connectedSocket), rate_(ratePerSecond), seconds_(seconds), payload_(payloadBytes)
{
}

UdpSender::~UdpSender()
{
    Join();
}

void UdpSender::Start()
{
    thread_ = std::thread([this] { Run(); });
}

void UdpSender::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void UdpSender::Run()
{
    using Clock = std::chrono::steady_clock;
    constexpr unsigned kBatch = 64;
    std::vector<char> payload(payload_, 'q');
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> msgs(kBatch);
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {payload.data(), payload.size()};
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }

    const bool paced = rate_ > 0;
    const bool timed = seconds_ > 0;
    const std::uint64_t total =
        paced && timed ? static_cast<std::uint64_t>(static_cast<double>(rate_) * seconds_) : UINT64_MAX;
    const auto start = Clock::now();
    std::uint64_t sent = 0;
    while (sent < total && !stop_.load(std::memory_order_relaxed)) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (!paced && timed && elapsed >= seconds_)
            break;
        std::uint64_t due = paced ? static_cast<std::uint64_t>(elapsed * static_cast<double>(rate_)) : sent + kBatch;
        if (due > total)
            due = total;
        if (due <= sent) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        const unsigned n = static_cast<unsigned>(std::min<std::uint64_t>(due - sent, kBatch));
        const int rc = sendmmsg(fd_, msgs.data(), n, MSG_DONTWAIT);
        if (rc > 0) {
            sent += static_cast<std::uint64_t>(rc);
            sent_.store(sent);
        } else if (rc < 0 && (errno == EAGAIN || errno == ENOBUFS)) {
            refused_.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        } else if (rc < 0 && errno != EINTR) {
            break;
        }
        // Past the time by more than a second: the sender cannot keep the rate.
        if (paced && timed && elapsed > seconds_ + 1.0)
            break;
    }
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    cpuNs_.store(static_cast<std::uint64_t>(cpu.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(cpu.tv_nsec));
    finished_.store(true);
}

}  // namespace quillet::bench
