#pragma once

// The working file's writer thread: what CaptureSpool shares with it. Only CaptureSpool's own
// files include this.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/CaptureSpool.h"

namespace quillet {

// What the writer thread works on. The appending thread hands full buffers
// over through queue; the fill buffer is the appending thread's, but lives
// here so that a writer left behind never reads freed memory.
struct CaptureSpool::Writer {
    struct Block {
        std::uint64_t start = 0;  // offset in the file
        Buffer bytes;
    };

    int fd = -1;      // O_DIRECT where it can be
    int readFd = -1;  // buffered: reads, the fill buffer's writes
    Buffer fill;
    std::atomic<std::size_t> published{0};  // bytes of whole records in fill

    std::mutex mutex;
    std::condition_variable work;  // a block queued, a hold released, stop
    std::condition_variable done;  // a block written, a write failed, the thread ended
    std::deque<Block> queue;       // in file order; the front one is being written
    std::vector<Buffer> free;      // written buffers, kept for reuse
    std::uint64_t fillStart = 0;   // of fill, as last handed over
    std::uint64_t written = 0;     // bytes of whole blocks in the file
    std::string writeError;
    Waits waits;
    std::atomic<bool> failed{false};
    bool hold = false;
    bool stop = false;
    bool finished = false;
    std::function<void()> hook;

    // The writer thread's own: how much of the fill buffer at partialStart is in the file.
    std::uint64_t partialStart = 0;
    std::size_t partialDone = 0;

    ~Writer();
    void Fail(const std::string& why);
    // Writes block (kBufferBytes) in full; wrote counts what reached the file either way.
    bool WriteBlock(const Block& block, std::uint64_t& wrote, std::string& why);
    // Lets go of the lock for a write, after the test's hook if there is one.
    void UnlockToWrite(std::unique_lock<std::mutex>& lock);
    // Writes the whole records of the fill buffer not in the file yet.
    void WriteFill(std::unique_lock<std::mutex>& lock);
    // The thread: writes queued blocks in order, and the fill buffer every kPublishInterval.
    void Loop();
};

}  // namespace quillet
