#include "core/CaptureFile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quillet {

namespace {

constexpr std::size_t kBufferBytes = CaptureSpool::kBufferBytes;
constexpr std::size_t kReadWindow = 256 << 10;

// Both formats are written in the host's byte order; readers tell it by the magic numbers.
constexpr std::uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t kPcapngSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kPcapngByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kPcapngInterfaceDescription = 1;
constexpr std::uint32_t kPcapngEnhancedPacket = 6;
constexpr std::uint32_t kPcapRecordHeader = 16;
constexpr std::uint32_t kPcapngPacketHeader = 28;  // block type .. original length

template <typename T>
void Put(std::vector<std::uint8_t>& out, T value)
{
    const auto at = out.size();
    out.resize(at + sizeof value);
    std::memcpy(out.data() + at, &value, sizeof value);
}

std::string ErrnoText(int err)
{
    return std::strerror(err);
}

void PutFileHeader(std::vector<std::uint8_t>& b, CaptureFileFormat format, int linkType)
{
    if (format == CaptureFileFormat::Pcap) {
        Put<std::uint32_t>(b, kPcapMagicMicro);
        Put<std::uint16_t>(b, 2);
        Put<std::uint16_t>(b, 4);
        Put<std::int32_t>(b, 0);  // time zone offset
        Put<std::uint32_t>(b, 0);  // timestamp accuracy
        Put<std::uint32_t>(b, CaptureFileWriter::kMaxPacketBytes);
        Put<std::uint32_t>(b, static_cast<std::uint32_t>(linkType));
    } else {
        // Section header block, no options, section length unknown.
        Put<std::uint32_t>(b, kPcapngSectionHeader);
        Put<std::uint32_t>(b, 28);
        Put<std::uint32_t>(b, kPcapngByteOrderMagic);
        Put<std::uint16_t>(b, 1);
        Put<std::uint16_t>(b, 0);
        Put<std::int64_t>(b, -1);
        Put<std::uint32_t>(b, 28);
        // Interface description block; without an if_tsresol option the
        // timestamps count microseconds.
        Put<std::uint32_t>(b, kPcapngInterfaceDescription);
        Put<std::uint32_t>(b, 20);
        Put<std::uint16_t>(b, static_cast<std::uint16_t>(linkType));
        Put<std::uint16_t>(b, 0);
        Put<std::uint32_t>(b, CaptureFileWriter::kMaxPacketBytes);
        Put<std::uint32_t>(b, 20);
    }
}

// Bytes of one record of caplen captured bytes.
std::size_t RecordBytes(CaptureFileFormat format, std::size_t caplen)
{
    const std::size_t padded = (caplen + 3u) & ~std::size_t{3};
    return format == CaptureFileFormat::Pcap ? kPcapRecordHeader + caplen : kPcapngPacketHeader + padded + 4;
}

// Writes one record in place at out (RecordBytes long); returns the
// offset of the packet's first byte within the record.
std::uint32_t PutRecord(std::uint8_t* out, CaptureFileFormat format, std::int64_t timestampUs,
                        std::span<const std::uint8_t> bytes, std::uint32_t originalLength)
{
    const auto caplen = static_cast<std::uint32_t>(bytes.size());
    const std::uint32_t origlen = originalLength < caplen ? caplen : originalLength;
    const std::uint64_t ts = timestampUs < 0 ? 0 : static_cast<std::uint64_t>(timestampUs);
    auto put = [&out](std::uint32_t value) {
        std::memcpy(out, &value, sizeof value);
        out += sizeof value;
    };
    if (format == CaptureFileFormat::Pcap) {
        put(static_cast<std::uint32_t>(ts / 1000000));
        put(static_cast<std::uint32_t>(ts % 1000000));
        put(caplen);
        put(origlen);
        if (caplen != 0)
            std::memcpy(out, bytes.data(), caplen);
        return kPcapRecordHeader;
    }
    const auto total = static_cast<std::uint32_t>(RecordBytes(format, caplen));
    put(kPcapngEnhancedPacket);
    put(total);
    put(0);  // interface 0
    put(static_cast<std::uint32_t>(ts >> 32));
    put(static_cast<std::uint32_t>(ts));
    put(caplen);
    put(origlen);
    if (caplen != 0)
        std::memcpy(out, bytes.data(), caplen);
    const std::uint32_t padded = (caplen + 3u) & ~3u;
    std::memset(out + caplen, 0, padded - caplen);
    out += padded;
    put(total);
    return kPcapngPacketHeader;
}

// write() until all is written; false and errno's text on failure. written
// counts what reached the file either way.
bool WriteFully(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t& written, std::string& error)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = ErrnoText(errno);
            return false;
        }
        if (n == 0) {
            error = ErrnoText(ENOSPC);
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        written += static_cast<std::uint64_t>(n);
    }
    return true;
}

// Closes what it holds unless released.
struct FdGuard {
    int fd = -1;
    ~FdGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// The characters of the random part of a name.
constexpr std::string_view kNameChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// A name no one can guess: prefix and kRandomChars random letters and digits.
std::string RandomName(const std::string& prefix)
{
    unsigned char random[CaptureSpool::kRandomChars] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // No entropy source: the clock and the address space still vary.
        auto seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    reinterpret_cast<std::uintptr_t>(&random);
        for (unsigned char& c : random) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            c = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string name = prefix;
    for (unsigned char c : random)
        name += kNameChars[c % kNameChars.size()];
    return name;
}

// pwrite() of size bytes at offset at until all are written; false and
// errno's text on failure. wrote counts what was written either way.
bool PwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t at, std::uint64_t& wrote,
               std::string& why)
{
    while (wrote < size) {
        const ssize_t n = ::pwrite(fd, data + wrote, size - wrote, static_cast<off_t>(at + wrote));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            why = ErrnoText(n < 0 ? errno : ENOSPC);
            return false;
        }
        wrote += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

CaptureFileFormat CaptureFileFormatForName(std::string_view path)
{
    constexpr std::string_view ext = ".pcap";
    if (path.size() < ext.size())
        return CaptureFileFormat::Pcapng;
    const auto tail = path.substr(path.size() - ext.size());
    for (std::size_t i = 0; i < ext.size(); ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != ext[i])
            return CaptureFileFormat::Pcapng;
    }
    return CaptureFileFormat::Pcap;
}

CaptureFileWriter::CaptureFileWriter(int fd, CaptureFileFormat format) : fd_(fd), format_(format)
{
    buffer_.reserve(kBufferBytes);
}

CaptureFileWriter::~CaptureFileWriter()
{
    if (fd_ >= 0)
        Close();
    if (dirFd_ >= 0) {
        if (!tempName_.empty())
            ::unlinkat(dirFd_, tempName_.c_str(), 0);  // not committed
        ::close(dirFd_);
    }
}

std::unique_ptr<CaptureFileWriter> CaptureFileWriter::Create(const std::string& path, CaptureFileFormat format,
                                                             int linkType, std::string& error, mode_t mode)
{
    // Read access lets the working file be read back through fd(); a file that
    // only allows writing is still written.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        error = ErrnoText(errno);
        return nullptr;
    }
    std::unique_ptr<CaptureFileWriter> w(new CaptureFileWriter(fd, format));
    PutFileHeader(w->buffer_, format, linkType);
    return w;
}

std::unique_ptr<CaptureFileWriter> CaptureFileWriter::CreateReplacing(const std::string& target,
                                                                     CaptureFileFormat format, int linkType,
                                                                     std::string& error,
                                                                     std::function<std::string()> tempName,
                                                                     Refusal* refused)
{
    if (refused)
        *refused = Refusal::None;
    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        if (refused)
            *refused = Refusal::Folder;
        error = ErrnoText(EISDIR);
        return nullptr;
    }
    FdGuard dirFd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dirFd.fd < 0) {
        error = ErrnoText(errno);
        return nullptr;
    }
    // Only a regular file is replaced, and never opened: what is there now is looked at through the
    // directory (a link, and what it leads to), and the new file takes its place by rename.
    struct stat st {};
    if (::fstatat(dirFd.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // A link that leads nowhere is replaced itself; one that leads somewhere must lead to a file.
        struct stat led {};
        if (S_ISLNK(st.st_mode) && ::fstatat(dirFd.fd, name.c_str(), &led, 0) == 0)
            st = led;
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            if (refused)
                *refused = S_ISDIR(st.st_mode) ? Refusal::Folder : Refusal::NotRegular;
            error = ErrnoText(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
            return nullptr;
        }
    } else if (errno != ENOENT) {
        error = ErrnoText(errno);
        return nullptr;
    }
    for (int tries = 0;; ++tries) {
        const std::string temp = tempName ? tempName() : RandomName("." + name + ".");
        const int fd = ::openat(dirFd.fd, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            std::unique_ptr<CaptureFileWriter> w(new CaptureFileWriter(fd, format));
            w->dirFd_ = dirFd.release();
            w->tempName_ = temp;
            w->targetName_ = name;
            PutFileHeader(w->buffer_, format, linkType);
            return w;
        }
        if (errno != EEXIST || tries == 100) {
            error = ErrnoText(errno);
            return nullptr;
        }
    }
}

bool CaptureFileWriter::Commit()
{
    if (dirFd_ < 0 || tempName_.empty())
        return Close();
    if (!Flush())
        return false;
    if (::fsync(fd_) != 0)
        return Fail(ErrnoText(errno));
    // The user's own file keeps its permission bits and, where the user may set it, its group;
    // another user's (a file planted in a shared folder) leaves the new one private.
    struct stat old {};
    if (::fstatat(dirFd_, targetName_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode)
        && old.st_uid == ::geteuid()) {
        if (::fchmod(fd_, old.st_mode & 07777) != 0)
            return Fail(ErrnoText(errno));
        (void)::fchown(fd_, static_cast<uid_t>(-1), old.st_gid);  // where the user may
    }
    if (!Close())
        return false;
    if (::renameat(dirFd_, tempName_.c_str(), dirFd_, targetName_.c_str()) != 0)
        return Fail(ErrnoText(errno));
    tempName_.clear();
    ::fsync(dirFd_);
    return true;
}

bool CaptureFileWriter::Fail(const std::string& why)
{
    if (!failed_) {
        failed_ = true;
        error_ = why;
    }
    return false;
}

bool CaptureFileWriter::WriteAll(const std::uint8_t* data, std::size_t size)
{
    std::string why;
    return WriteFully(fd_, data, size, flushed_, why) || Fail(why);
}

bool CaptureFileWriter::Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes,
                               std::uint32_t originalLength, std::uint64_t* dataOffset)
{
    if (failed_)
        return false;
    if (fd_ < 0)
        return Fail(QCoreApplication::translate("CaptureFile", "捕获文件已关闭").toStdString());
    if (bytes.size() > kMaxPacketBytes)
        return Fail(QCoreApplication::translate("CaptureFile", "数据包超过 %1 字节").arg(kMaxPacketBytes).toStdString());
    const std::size_t record = RecordBytes(format_, bytes.size());
    if (buffer_.size() + record > kBufferBytes && !Flush())
        return false;
    const std::uint64_t start = bytesWritten();
    const std::size_t at = buffer_.size();
    buffer_.resize(at + record);
    const std::uint32_t header = PutRecord(buffer_.data() + at, format_, timestampUs, bytes, originalLength);
    if (dataOffset)
        *dataOffset = start + header;
    return true;
}

bool CaptureFileWriter::Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes,
                               std::uint32_t originalLength, std::string_view comment)
{
    if (comment.empty() || format_ != CaptureFileFormat::Pcapng || failed_ || fd_ < 0
        || bytes.size() > kMaxPacketBytes || comment.size() > 0xFFFF)
        return Append(timestampUs, bytes, originalLength);
    // An enhanced packet block with the options opt_comment and opt_endofopt
    // between the packet and the closing length.
    const std::size_t base = RecordBytes(format_, bytes.size());
    const std::size_t options = 4 + ((comment.size() + 3u) & ~std::size_t{3}) + 4;
    const auto total = static_cast<std::uint32_t>(base + options);
    if (buffer_.size() + total > kBufferBytes && !Flush())
        return false;
    const std::size_t at = buffer_.size();
    buffer_.resize(at + total, 0);
    PutRecord(buffer_.data() + at, format_, timestampUs, bytes, originalLength);
    std::uint8_t* out = buffer_.data() + at;
    std::memcpy(out + 4, &total, 4);
    std::uint8_t* opt = out + base - 4;
    const std::uint16_t code = 1;
    const auto length = static_cast<std::uint16_t>(comment.size());
    std::memcpy(opt, &code, 2);
    std::memcpy(opt + 2, &length, 2);
    std::memcpy(opt + 4, comment.data(), comment.size());
    std::memset(opt + 4 + comment.size(), 0, options - 4 - comment.size());  // padding, opt_endofopt
    std::memcpy(out + total - 4, &total, 4);
    return true;
}

bool CaptureFileWriter::AppendNames(const std::vector<std::pair<std::string, std::string>>& names)
{
    if (format_ != CaptureFileFormat::Pcapng || names.empty())
        return !failed_;
    std::vector<std::uint8_t> block;
    Put<std::uint32_t>(block, 4);  // name resolution block
    Put<std::uint32_t>(block, 0);  // its length, below
    for (const auto& [address, name] : names) {
        std::uint8_t bytes[16];
        std::uint16_t type = 0;
        std::size_t size = 0;
        if (::inet_pton(AF_INET, address.c_str(), bytes) == 1) {
            type = 1;
            size = 4;
        } else if (::inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
            type = 2;
            size = 16;
        }
        if (type == 0 || name.empty() || name.size() > 253 || name.find('\0') != std::string::npos)
            continue;
        const std::size_t length = size + name.size() + 1;
        Put<std::uint16_t>(block, type);
        Put<std::uint16_t>(block, static_cast<std::uint16_t>(length));
        block.insert(block.end(), bytes, bytes + size);
        block.insert(block.end(), name.begin(), name.end());
        block.resize(block.size() + 1 + ((4 - length % 4) % 4), 0);
    }
    Put<std::uint32_t>(block, 0);  // nrb_record_end
    const auto total = static_cast<std::uint32_t>(block.size() + 4);
    Put<std::uint32_t>(block, total);
    std::memcpy(block.data() + 4, &total, 4);
    if (failed_)
        return false;
    if (fd_ < 0)
        return Fail(QCoreApplication::translate("CaptureFile", "捕获文件已关闭").toStdString());
    if (buffer_.size() + block.size() > kBufferBytes && !Flush())
        return false;
    if (block.size() > kBufferBytes)
        return Flush() && WriteAll(block.data(), block.size());
    buffer_.insert(buffer_.end(), block.begin(), block.end());
    return true;
}

bool CaptureFileWriter::Flush()
{
    if (failed_)
        return false;
    if (fd_ < 0)
        return Fail(QCoreApplication::translate("CaptureFile", "捕获文件已关闭").toStdString());
    const std::uint64_t before = flushed_;
    const bool ok = WriteAll(buffer_.data(), buffer_.size());
    // What could not be written stays in the buffer: the working file's
    // readers still get every packet appended before the failure.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(flushed_ - before));
    return ok;
}

bool CaptureFileWriter::Close()
{
    if (fd_ < 0)
        return !failed_;
    bool ok = Flush();
    if (::close(fd_) != 0 && ok)
        ok = Fail(ErrnoText(errno));
    fd_ = -1;
    return ok;
}

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

    ~Writer()
    {
        if (fd >= 0)
            ::close(fd);
        if (readFd >= 0)
            ::close(readFd);
    }

    void Fail(const std::string& why)
    {
        writeError = why;
        failed = true;
    }

    bool WriteBlock(const Block& block, std::uint64_t& wrote, std::string& why)
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
            why = ErrnoText(n < 0 ? errno : ENOSPC);
            return false;
        }
        return true;
    }

    // Lets go of the lock for a write, after the test's hook if there is one.
    void UnlockToWrite(std::unique_lock<std::mutex>& lock)
    {
        const std::function<void()> before = hook;
        lock.unlock();
        if (before)
            before();
    }

    // Writes the whole records of the fill buffer not in the file yet.
    void WriteFill(std::unique_lock<std::mutex>& lock)
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
        const bool ok = PwriteAll(readFd, bytes + partialDone, upTo - partialDone, start + partialDone, wrote, why);
        lock.lock();
        partialDone += static_cast<std::size_t>(wrote);
        if (!ok)
            Fail(why);
    }

    void Loop()
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
};

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
    PutFileHeader(header, CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw);
    std::memcpy(w_->fill.get(), header.data(), header.size());
    fillSize_ = header.size();
    w_->published = fillSize_;
    record_.reserve(RecordBytes(CaptureFileFormat::Pcapng, CaptureFileWriter::kMaxPacketBytes));
    w_->free.reserve(kMaxInFlight / kBufferBytes + 1);
    thread_ = std::thread([w = w_] { w->Loop(); });
}

bool CaptureSpool::IsWorkingName(std::string_view name)
{
    const std::string_view prefix = kDirPrefix;
    return name.size() == prefix.size() + kRandomChars && name.starts_with(prefix)
           && name.find_first_not_of(kNameChars, prefix.size()) == std::string_view::npos;
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
        name = RandomName(std::string(".") + kDirPrefix);
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
        const std::string placed = RandomName(kDirPrefix);
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
    std::uint8_t* const fill = w_->fill.get();
    const std::size_t record = RecordBytes(CaptureFileFormat::Pcapng, datagram.size());
    const std::uint64_t start = size();
    if (fillSize_ + record < kBufferBytes) {
        // The common case: the record is made in place, then shown to the writer thread.
        dataOffset = start + PutRecord(fill + fillSize_, CaptureFileFormat::Pcapng, timestampUs, datagram,
                                       originalLength);
        fillSize_ += record;
        w_->published.store(fillSize_, std::memory_order_release);
        return true;
    }
    // It fills the buffer: made aside, then its head ends this buffer and its
    // tail (if any) starts the next. The buffers keep their full size, which
    // O_DIRECT needs.
    record_.resize(record);
    const std::uint64_t offset =
        start + PutRecord(record_.data(), CaptureFileFormat::Pcapng, timestampUs, datagram, originalLength);
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
    return PwriteAll(w.readFd, w.fill.get(), fillSize_, fillStart_, wrote, error_);
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

}  // namespace quillet
