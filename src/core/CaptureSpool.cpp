#include "core/CaptureSpool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/CaptureFileIo.h"
#include "core/CaptureFileWriter.h"
#include "core/CaptureSpoolWriter.h"
#include "core/PcapngFormat.h"

namespace quillet {

using fileio::ErrnoText;
using fileio::FdGuard;

namespace {

constexpr std::size_t kReadWindow = 256 << 10;

}  // namespace

std::string CaptureSpool::DefaultDirectory()
{
    for (const char* name : {"QUILLET_CAPTURE_DIR", "TMPDIR"}) {
        const char* v = std::getenv(name);
        if (v && *v)
            return v;
    }
    return "/var/tmp";
}

void CaptureSpool::AlignedFree::operator()(std::uint8_t* p) const
{
    std::free(p);
}

CaptureSpool::Buffer CaptureSpool::NewBuffer() const
{
    // O_DIRECT wants the memory, the length and the file offset aligned to the
    // device's block; a page covers every common one.
    void* p = allocate ? allocate(kBufferBytes) : std::aligned_alloc(4096, kBufferBytes);
    if (!p)
        throw std::bad_alloc();
    return Buffer(static_cast<std::uint8_t*>(p));
}

CaptureSpool::CaptureSpool(std::string directory, std::string name, int baseFd, int dirFd, int fd, int readFd)
    : directory_(std::move(directory)), name_(std::move(name)), baseFd_(baseFd), dirFd_(dirFd),
      w_(std::make_shared<Writer>())
{
    w_->fd = fd;
    w_->readFd = readFd;
    w_->fill = NewBuffer();
    std::vector<std::uint8_t> header;
    pcapng::PutSectionHeader(header);
    pcapng::PutInterface(header, CaptureFileWriter::kLinkTypeRaw, CaptureFileWriter::kMaxPacketBytes);
    std::memcpy(w_->fill.get(), header.data(), header.size());
    fillSize_ = header.size();
    w_->published = fillSize_;
    record_.reserve(pcapng::PacketBytes(CaptureFileWriter::kMaxPacketBytes));
    w_->free.reserve(kMaxInFlight / kBufferBytes + 1);
    thread_ = std::thread([w = w_] { w->Loop(); });
}

bool CaptureSpool::IsWorkingName(std::string_view name)
{
    const std::string_view prefix = kDirPrefix;
    return name.size() == prefix.size() + kRandomChars && name.starts_with(prefix)
           && name.find_first_not_of(fileio::kNameChars, prefix.size()) == std::string_view::npos;
}

std::unique_ptr<CaptureSpool> CaptureSpool::Create(const std::string& baseDir, std::string& error)
{
    const std::string base = baseDir.empty() ? std::string(".") : baseDir;
    FdGuard baseFd{::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (baseFd.fd < 0) {
        error = baseDir + ": " + ErrnoText(errno);
        return nullptr;
    }
    // Made and locked under a name no scan for left captures takes, then put in place: a run's
    // directory is never seen unlocked.
    std::string name;
    for (int tries = 0;; ++tries) {
        name = fileio::RandomName(std::string(".") + kDirPrefix);
        if (::mkdirat(baseFd.fd, name.c_str(), 0700) == 0)
            break;
        if (errno != EEXIST || tries == 100) {
            error = baseDir + ": " + ErrnoText(errno);
            return nullptr;
        }
    }
    const std::string slash = base.back() == '/' ? "" : "/";
    auto undo = [&](const std::string& what, int err) {
        error = base + slash + what + ": " + ErrnoText(err);
        ::unlinkat(baseFd.fd, name.c_str(), AT_REMOVEDIR);
        return nullptr;
    };
    FdGuard dirFd{::openat(baseFd.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st {};
    if (dirFd.fd < 0 || ::fstat(dirFd.fd, &st) != 0)
        return undo(name, errno);
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return undo(name, EPERM);  // not the directory just made
    if (::flock(dirFd.fd, LOCK_EX | LOCK_NB) != 0)
        return undo(name, errno);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    FdGuard fd{::openat(dirFd.fd, kFileName, flags | O_DIRECT, 0600)};
    if (fd.fd < 0 && errno == EINVAL)  // a file system without O_DIRECT
        fd.fd = ::openat(dirFd.fd, kFileName, flags, 0600);
    FdGuard readFd{fd.fd < 0 ? -1 : ::openat(dirFd.fd, kFileName, O_RDWR | O_NOFOLLOW | O_CLOEXEC)};
    if (readFd.fd < 0) {
        const int err = errno;
        if (fd.fd >= 0)
            ::unlinkat(dirFd.fd, kFileName, 0);
        return undo(name + "/" + kFileName, err);
    }
    // From here on the spool removes what was made when it goes.
    std::unique_ptr<CaptureSpool> spool(new CaptureSpool(base + slash + name, name, baseFd.release(),
                                                         dirFd.release(), fd.release(), readFd.release()));
    // The file's header is in it from the start: a valid (empty) capture file.
    if (!spool->Flush()) {
        error = spool->directory_ + "/" + kFileName + ": " + spool->error_;
        return nullptr;
    }
    for (int tries = 0;; ++tries) {
        const std::string placed = fileio::RandomName(kDirPrefix);
        const int at = spool->baseFd_;
        int moved = ::renameat2(at, name.c_str(), at, placed.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system that cannot refuse to replace: a name that is taken is not used.
            if (::fstatat(at, placed.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                errno = EEXIST;
            else
                moved = ::renameat(at, name.c_str(), at, placed.c_str());
        }
        if (moved == 0) {
            spool->name_ = placed;
            spool->directory_ = base + slash + placed;
            return spool;
        }
        if (errno != EEXIST || tries == 100) {
            error = spool->directory_ + ": " + ErrnoText(errno);
            return nullptr;
        }
    }
}

CaptureSpool::~CaptureSpool()
{
    bool ended = false;
    {
        std::unique_lock lock(w_->mutex);
        w_->stop = true;  // what is still queued is not written: the file goes anyway
        w_->work.notify_one();
        ended = w_->done.wait_for(lock, kCloseWait, [this] { return w_->finished; });
    }
    if (ended)
        thread_.join();
    else
        thread_.detach();  // stuck on the disk: it ends by itself, keeping what it uses
    ::unlinkat(dirFd_, kFileName, 0);
    ::unlinkat(baseFd_, name_.c_str(), AT_REMOVEDIR);
    ::close(dirFd_);
    ::close(baseFd_);
}

void CaptureSpool::SetWriteHook(std::function<void()> hook)
{
    std::lock_guard lock(w_->mutex);
    w_->hook = std::move(hook);
}

bool CaptureSpool::Failed()
{
    if (!w_->failed.load(std::memory_order_acquire))
        return false;
    std::lock_guard lock(w_->mutex);
    error_ = w_->writeError;
    return true;
}

bool CaptureSpool::Check()
{
    return !Failed();
}

bool CaptureSpool::HandOver()
{
    Writer& w = *w_;
    // The next buffer first: when there is no memory for it, nothing has changed.
    Buffer next;
    {
        std::lock_guard lock(w.mutex);
        if (!w.free.empty()) {
            next = std::move(w.free.back());
            w.free.pop_back();
        }
    }
    if (!next)
        next = NewBuffer();  // only until the free list has grown
    std::unique_lock lock(w.mutex);
    // Back-pressure: past kMaxInFlight the disk is slower than the capture.
    // Waiting here is the only way to keep every datagram stored without
    // holding an unbounded amount of memory; the time spent shows up as
    // packets the kernel drops, and the store budget still applies.
    if ((w.queue.size() + 1) * kBufferBytes > kMaxInFlight && !w.failed) {
        const auto from = std::chrono::steady_clock::now();
        ++w.waits.count;
        w.done.wait(lock, [&w] { return w.failed || (w.queue.size() + 1) * kBufferBytes <= kMaxInFlight; });
        w.waits.nanoseconds += static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - from).count());
    }
    if (w.failed) {
        error_ = w.writeError;
        w.free.push_back(std::move(next));
        return false;
    }
    w.queue.push_back(Writer::Block{fillStart_, std::move(w.fill)});
    w.fill = std::move(next);
    fillStart_ += kBufferBytes;
    fillSize_ = 0;
    w.fillStart = fillStart_;
    w.published.store(0, std::memory_order_relaxed);
    lock.unlock();
    w.work.notify_one();
    return true;
}

bool CaptureSpool::Append(std::int64_t timestampUs, std::span<const std::uint8_t> datagram,
                          std::uint32_t originalLength, std::uint64_t& dataOffset)
{
    if (Failed())
        return false;
    if (datagram.size() > CaptureFileWriter::kMaxPacketBytes) {
        error_ = QCoreApplication::translate("CaptureFile", "数据包超过 %1 字节").arg(CaptureFileWriter::kMaxPacketBytes).toStdString();
        return false;
    }
    pcapng::Packet packet;
    packet.timestampUs = timestampUs;
    packet.data = datagram;
    packet.originalLength = originalLength;
    std::uint8_t* const fill = w_->fill.get();
    const std::size_t record = pcapng::PacketBytes(datagram.size());
    const std::uint64_t start = size();
    if (fillSize_ + record < kBufferBytes) {
        // The common case: the record is made in place, then shown to the writer thread.
        dataOffset = start + pcapng::PutPacket(fill + fillSize_, packet);
        fillSize_ += record;
        w_->published.store(fillSize_, std::memory_order_release);
        return true;
    }
    // It fills the buffer: made aside, then its head ends this buffer and its
    // tail (if any) starts the next. The buffers keep their full size, which
    // O_DIRECT needs.
    record_.resize(record);
    const std::uint64_t offset = start + pcapng::PutPacket(record_.data(), packet);
    const std::size_t head = kBufferBytes - fillSize_;
    std::memcpy(fill + fillSize_, record_.data(), head);
    fillSize_ = kBufferBytes;
    bool handed = false;
    try {
        handed = HandOver();
    } catch (...) {
        fillSize_ = kBufferBytes - head;  // the record is not stored
        throw;
    }
    if (!handed) {
        fillSize_ = kBufferBytes - head;
        return false;
    }
    std::memcpy(w_->fill.get(), record_.data() + head, record - head);
    fillSize_ = record - head;
    w_->published.store(fillSize_, std::memory_order_release);
    dataOffset = offset;
    return true;
}

bool CaptureSpool::Flush()
{
    Writer& w = *w_;
    {
        std::unique_lock lock(w.mutex);
        w.done.wait(lock, [&w] { return w.failed || w.queue.empty(); });
        if (w.failed) {
            error_ = w.writeError;
            return false;
        }
    }
    // Nothing is queued and only this thread queues; the writer thread may
    // write the same bytes of the fill buffer meanwhile, which is harmless.
    std::uint64_t wrote = 0;
    return fileio::PwriteAll(w.readFd, w.fill.get(), fillSize_, fillStart_, wrote, error_);
}

CaptureSpool::Waits CaptureSpool::waits() const
{
    std::lock_guard lock(w_->mutex);
    return w_->waits;
}

int CaptureSpool::ReadDescriptor() const
{
    return w_->readFd;
}

std::uint64_t CaptureSpool::BytesInFile() const
{
    std::lock_guard lock(w_->mutex);
    return w_->written;
}

void CaptureSpool::HoldWrites(bool hold)
{
    {
        std::lock_guard lock(w_->mutex);
        w_->hold = hold;
    }
    w_->work.notify_one();
}

bool CaptureSpool::ReadInto(std::uint64_t dataOffset, std::uint32_t length, char* out)
{
    std::uint64_t end = dataOffset + length;
    if (end < dataOffset || end > size()) {
        error_ = QCoreApplication::translate("CaptureFile", "读取超出了捕获文件的末尾").toStdString();
        return false;
    }
    // From the newest bytes back: the fill buffer, the blocks handed over, then the file.
    if (end > fillStart_) {
        const std::uint64_t from = std::max(dataOffset, fillStart_);
        std::memcpy(out + (from - dataOffset), w_->fill.get() + (from - fillStart_), end - from);
        end = from;
    }
    if (end == dataOffset)
        return true;
    std::uint64_t written = 0;
    {
        // The lock keeps a block from being recycled while it is copied.
        std::lock_guard lock(w_->mutex);
        for (auto it = w_->queue.rbegin(); it != w_->queue.rend() && end > dataOffset; ++it) {
            if (end <= it->start)
                continue;
            const std::uint64_t from = std::max(dataOffset, it->start);
            std::memcpy(out + (from - dataOffset), it->bytes.get() + (from - it->start), end - from);
            end = from;
        }
        written = w_->written;
    }
    if (end == dataOffset)
        return true;
    // From here on only bytes that are in the file: below every queued block.
    length = static_cast<std::uint32_t>(end - dataOffset);
    if (dataOffset >= windowStart_ && dataOffset + length <= windowStart_ + window_.size()) {
        std::memcpy(out, window_.data() + (dataOffset - windowStart_), length);
        return true;
    }
    std::size_t got = 0;
    if (length >= kReadWindow) {
        if (!PreadAll(dataOffset, length, out, got))
            return false;
    } else {
        const std::uint64_t available = written - dataOffset;
        window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kReadWindow, available)));
        windowStart_ = dataOffset;
        const bool ok = PreadAll(dataOffset, window_.size(), window_.data(), got);
        window_.resize(got);
        if (!ok)
            return false;
        if (got >= length)
            std::memcpy(out, window_.data(), length);
    }
    if (got < length) {
        error_ = QCoreApplication::translate("CaptureFile", "捕获文件比预期的短").toStdString();
        return false;
    }
    return true;
}

bool CaptureSpool::PreadAll(std::uint64_t offset, std::size_t length, char* out, std::size_t& got)
{
    got = 0;
    while (got < length) {
        const ssize_t n = ::pread(w_->readFd, out + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = ErrnoText(errno);
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool CaptureSpool::Read(std::uint64_t dataOffset, std::uint32_t length, std::string& out)
{
    out.resize(length);
    if (ReadInto(dataOffset, length, out.data()))
        return true;
    out.clear();
    return false;
}

bool CaptureSpool::Read(std::uint64_t dataOffset, std::uint32_t length, std::vector<std::uint8_t>& out)
{
    out.resize(length);
    if (ReadInto(dataOffset, length, reinterpret_cast<char*>(out.data())))
        return true;
    out.clear();
    return false;
}

bool CaptureSpool::ReadPacket(std::uint64_t dataOffset, std::vector<std::uint8_t>& datagram,
                              std::int64_t& timestampUs, std::uint32_t& originalLength)
{
    datagram.clear();
    constexpr std::uint32_t kFields = pcapng::kFieldsBeforeData;
    std::uint8_t fields[kFields];
    if (dataOffset < kFields) {
        error_ = QCoreApplication::translate("CaptureFile", "读取超出了捕获文件的末尾").toStdString();
        return false;
    }
    if (!ReadInto(dataOffset - kFields, kFields, reinterpret_cast<char*>(fields)))
        return false;
    const pcapng::PacketFields f = pcapng::ParseFieldsBeforeData(fields);
    timestampUs = f.timestampUs;
    originalLength = f.originalLength;
    return Read(dataOffset, f.captured, datagram);
}

}  // namespace quillet
