#pragma once

// A capture source for main-window tests: datagrams the test queues, a pipe
// as the descriptor that signals them, and a part "still in the kernel" that
// only Drain hands over. Its kernel figures, interface state and read error
// are the test's to set; "endless" makes a source that never runs dry.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "capture/CaptureSource.h"

namespace quillet::test {

struct FakeCaptureState {
    std::deque<std::vector<std::uint8_t>> ready;  // signalled through the pipe
    std::deque<std::vector<std::uint8_t>> held;   // only Drain finds these
    std::int64_t timestampUs = 1'700'000'000'000'000;
    CapturedDatagram::Direction direction = CapturedDatagram::Direction::Unknown;  // of what is handed over
    int readCalls = 0;
    int drainCalls = 0;
    bool closed = false;
    bool failReads = false;  // Read returns -1
    std::string readError;   // why, as LastError tells it
    LinkState link = LinkState::Up;
    std::string interfaceName = "fake0";
    CaptureHandle::Stats stats;
    // Read and Drain always find more (a copy of this datagram).
    bool endless = false;
    std::vector<std::uint8_t> endlessDatagram;
    std::int64_t endlessHanded = 0;
    // What Read tells of the datagram after each one: nothing, the one it
    // hands next (as the capture's ring does), or a decoy that does not come.
    enum class Next { None, Following, Decoy } next = Next::None;
    std::vector<std::uint8_t> decoy;
    // Run after each datagram Read hands over.
    std::function<void()> duringRead;
    std::chrono::milliseconds readDelay{0};
    // What the source says of the program behind it.
    std::int64_t silentMs = 0;
    std::optional<std::uint64_t> lostAtStop;
    std::uint64_t kernelRingBytes = 0;
    OwnersTold owners = OwnersTold::NotYet;
    std::uint64_t ownerEventsLost = 0;
    int pipeRead = -1;
    int pipeWrite = -1;
    std::vector<std::string> openedOn;  // addresses asked for
};

class FakeCapture : public CaptureSource {
public:
    explicit FakeCapture(std::shared_ptr<FakeCaptureState> s) : s_(std::move(s))
    {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            s_->pipeRead = fds[0];
            s_->pipeWrite = fds[1];
        }
        s_->closed = false;
    }
    ~FakeCapture() override { Close(); }

    int selectableFd() const override { return s_->pipeRead; }

    int Read(int maxDatagrams, const DatagramCallback& fn) override
    {
        ++s_->readCalls;
        if (s_->readDelay.count() > 0)
            std::this_thread::sleep_for(s_->readDelay);
        if (s_->failReads)
            return -1;
        if (s_->endless)
            return Endless(maxDatagrams, fn);
        int n = 0;
        while (n < maxDatagrams && !s_->ready.empty()) {
            std::vector<std::uint8_t> d = std::move(s_->ready.front());
            s_->ready.pop_front();
            CapturedDatagram c = Captured(d);
            // The next one's bytes stay where they are as it is moved out.
            if (s_->next == FakeCaptureState::Next::Following && !s_->ready.empty())
                c.next = s_->ready.front();
            else if (s_->next == FakeCaptureState::Next::Decoy)
                c.next = s_->decoy;
            fn(c);
            ++n;
            if (s_->duringRead)
                s_->duringRead();
        }
        if (s_->ready.empty())
            Unsignal();
        return n;
    }

    int Drain(const DatagramCallback& fn) override
    {
        ++s_->drainCalls;
        if (s_->endless)
            return Endless(-1, fn);
        int n = 0;
        for (auto* q : {&s_->ready, &s_->held}) {
            while (!q->empty()) {
                std::vector<std::uint8_t> d = std::move(q->front());
                q->pop_front();
                fn(Captured(d));
                ++n;
            }
        }
        Unsignal();
        return n;
    }

    CaptureHandle::Stats stats() const override { return s_->stats; }
    std::string LastError() const override { return s_->readError; }
    std::string InterfaceName() const override { return s_->interfaceName; }
    LinkState Link() const override { return s_->link; }
    std::int64_t SilentMs() override { return s_->silentMs; }
    std::optional<std::uint64_t> LostAtStop() const override { return s_->lostAtStop; }
    std::uint64_t KernelRingBytes() const override { return s_->kernelRingBytes; }
    OwnersTold Owners() const override { return s_->owners; }
    std::uint64_t OwnerEventsLost() const override { return s_->ownerEventsLost; }

    void Close() override
    {
        if (s_->pipeRead >= 0)
            ::close(s_->pipeRead);
        if (s_->pipeWrite >= 0)
            ::close(s_->pipeWrite);
        s_->pipeRead = s_->pipeWrite = -1;
        s_->closed = true;
    }

    // Queues datagrams as arrived and makes the descriptor readable.
    static void Arrive(FakeCaptureState& s, std::vector<std::vector<std::uint8_t>> datagrams)
    {
        for (auto& d : datagrams)
            s.ready.push_back(std::move(d));
        if (s.pipeWrite >= 0) {
            const char byte = 1;
            [[maybe_unused]] ssize_t w = ::write(s.pipeWrite, &byte, 1);
        }
    }

private:
    // Hands over max datagrams, or without end when max < 0 (until fn
    // throws, or a safety stop far beyond any bound the window keeps).
    int Endless(int max, const DatagramCallback& fn)
    {
        constexpr std::int64_t kSafetyStop = 2'000'000;
        int n = 0;
        while ((max < 0 || n < max) && s_->endlessHanded < kSafetyStop) {
            ++s_->endlessHanded;
            fn(Captured(s_->endlessDatagram));
            ++n;
        }
        return n;
    }

    // As a live capture hands a datagram over.
    CapturedDatagram Captured(std::span<const std::uint8_t> d) const
    {
        CapturedDatagram c;
        c.bytes = d;
        c.timestampUs = s_->timestampUs;
        c.direction = s_->direction;
        c.live = true;
        return c;
    }

    void Unsignal()
    {
        char buf[256];
        while (s_->pipeRead >= 0 && ::read(s_->pipeRead, buf, sizeof buf) > 0) {
        }
    }

    std::shared_ptr<FakeCaptureState> s_;
};

// An opener that hands out fake captures over one shared state, or fails
// with a message like the real one when told to.
struct FakeOpener {
    std::shared_ptr<FakeCaptureState> state = std::make_shared<FakeCaptureState>();
    bool fail = false;
    int opens = 0;

    CaptureOpener opener()
    {
        return [this](const std::string& address, int, MessageSink& sink, bool) -> std::unique_ptr<CaptureSource> {
            ++opens;
            state->openedOn.push_back(address);
            if (fail) {
                sink.ShowMessage("bind err\nno interface carries the address " + address);
                return nullptr;
            }
            return std::make_unique<FakeCapture>(state);
        };
    }
};

}  // namespace quillet::test
