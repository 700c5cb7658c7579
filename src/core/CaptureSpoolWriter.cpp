#include "core/CaptureSpoolWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/CaptureFileIo.h"

namespace quillet {

CaptureSpool::Writer::~Writer()
{
    if (fd >= 0)
        ::close(fd);
    if (readFd >= 0)
        ::close(readFd);
}

void CaptureSpool::Writer::Fail(const std::string& why)
{
    writeError = why;
    failed = true;
}

bool CaptureSpool::Writer::WriteBlock(const Block& block, std::uint64_t& wrote, std::string& why)
{
    while (wrote < kBufferBytes) {
        const ssize_t n = ::pwrite(fd, block.bytes.get() + wrote, kBufferBytes - wrote,
                                   static_cast<off_t>(block.start + wrote));
        if (n > 0) {
            wrote += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // O_DIRECT refused (a block size it cannot take, or the rest of a
        // short write): go on with ordinary writes.
        const int flags = n < 0 && errno == EINVAL ? ::fcntl(fd, F_GETFL) : -1;
        if (flags >= 0 && (flags & O_DIRECT) && ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) == 0)
            continue;
        why = fileio::ErrnoText(n < 0 ? errno : ENOSPC);
        return false;
    }
    return true;
}

void CaptureSpool::Writer::UnlockToWrite(std::unique_lock<std::mutex>& lock)
{
    const std::function<void()> before = hook;
    lock.unlock();
    if (before)
        before();
}

void CaptureSpool::Writer::WriteFill(std::unique_lock<std::mutex>& lock)
{
    if (fillStart != partialStart) {
        partialStart = fillStart;
        partialDone = 0;
    }
    const std::size_t upTo = published.load(std::memory_order_acquire);
    if (upTo <= partialDone)
        return;
    // fill stays valid: the appending thread only hands it over (into
    // queue, which only this thread empties) and writes past upTo.
    const std::uint8_t* bytes = fill.get();
    const std::uint64_t start = partialStart;
    UnlockToWrite(lock);
    std::uint64_t wrote = 0;
    std::string why;
    const bool ok = fileio::PwriteAll(readFd, bytes + partialDone, upTo - partialDone, start + partialDone, wrote, why);
    lock.lock();
    partialDone += static_cast<std::size_t>(wrote);
    if (!ok)
        Fail(why);
}

void CaptureSpool::Writer::Loop()
{
    std::unique_lock lock(mutex);
    auto next = std::chrono::steady_clock::now() + kPublishInterval;
    for (;;) {
        work.wait_until(lock, next, [this] { return stop || (!queue.empty() && !hold && !failed); });
        if (stop)
            break;
        if (queue.empty() || hold || failed) {
            next = std::chrono::steady_clock::now() + kPublishInterval;
            if (!hold && !failed)
                WriteFill(lock);
            continue;
        }
        // The front block stays queued (and readable) while it is written:
        // a deque keeps references to it valid while the appending thread
        // queues more, and nobody changes its bytes.
        const Block& block = queue.front();
        UnlockToWrite(lock);
        std::uint64_t wrote = 0;
        std::string why;
        const bool ok = WriteBlock(block, wrote, why);
        lock.lock();
        written += wrote;
        if (!ok) {
            // The block and all after it stay queued for reads; nothing more is written.
            Fail(why);
        } else {
            free.push_back(std::move(queue.front().bytes));
            queue.pop_front();
        }
        done.notify_all();
    }
    finished = true;
    done.notify_all();
}

}  // namespace quillet
