#include "core/CaptureFile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
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
        return Fail("The capture file is closed");
    if (bytes.size() > kMaxPacketBytes)
        return Fail("Packet longer than " + std::to_string(kMaxPacketBytes) + " bytes");
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
        return Fail("The capture file is closed");
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
        return Fail("The capture file is closed");
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

CaptureSpool::Buffer CaptureSpool::NewBuffer()
{
    // O_DIRECT wants the memory, the length and the file offset aligned to the
    // device's block; a page covers every common one.
    void* p = std::aligned_alloc(4096, kBufferBytes);
    if (!p)
        throw std::bad_alloc();
    return Buffer(static_cast<std::uint8_t*>(p));
}

CaptureSpool::CaptureSpool(std::string directory, std::string file, int fd, int readFd)
    : directory_(std::move(directory)), file_(std::move(file)), fd_(fd), readFd_(readFd), fill_(NewBuffer())
{
    std::vector<std::uint8_t> header;
    PutFileHeader(header, CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw);
    std::memcpy(fill_.get(), header.data(), header.size());
    fillSize_ = header.size();
    record_.reserve(RecordBytes(CaptureFileFormat::Pcapng, CaptureFileWriter::kMaxPacketBytes));
    free_.reserve(kMaxInFlight / kBufferBytes + 1);
    thread_ = std::thread([this] { WriteLoop(); });
}

std::unique_ptr<CaptureSpool> CaptureSpool::Create(const std::string& baseDir, std::string& error)
{
    std::string pattern = baseDir;
    if (pattern.empty())
        pattern = ".";
    if (pattern.back() != '/')
        pattern += '/';
    pattern += "quillet-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {  // mkdtemp makes the directory 0700
        error = baseDir + ": " + ErrnoText(errno);
        return nullptr;
    }
    std::string dir(buf.data());
    std::string file = dir + "/capture.pcapng";
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_DIRECT, 0600);
    if (fd < 0 && errno == EINVAL)  // a file system without O_DIRECT
        fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int readFd = fd < 0 ? -1 : ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (readFd < 0) {
        error = file + ": " + ErrnoText(errno);
        if (fd >= 0)
            ::close(fd);
        ::unlink(file.c_str());
        ::rmdir(dir.c_str());
        return nullptr;
    }
    return std::unique_ptr<CaptureSpool>(new CaptureSpool(std::move(dir), std::move(file), fd, readFd));
}

CaptureSpool::~CaptureSpool()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;  // what is still queued is not written: the file goes anyway
    }
    work_.notify_one();
    thread_.join();
    ::close(fd_);
    ::close(readFd_);
    ::unlink(file_.c_str());
    ::rmdir(directory_.c_str());
}

bool CaptureSpool::WriteBlock(const Block& block, std::uint64_t& wrote, std::string& why)
{
    while (wrote < kBufferBytes) {
        const ssize_t n = ::pwrite(fd_, block.bytes.get() + wrote, kBufferBytes - wrote,
                                   static_cast<off_t>(block.start + wrote));
        if (n > 0) {
            wrote += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // O_DIRECT refused (a block size it cannot take, or the rest of a short
        // write): go on with ordinary writes.
        const int flags = n < 0 && errno == EINVAL ? ::fcntl(fd_, F_GETFL) : -1;
        if (flags >= 0 && (flags & O_DIRECT) && ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT) == 0)
            continue;
        why = ErrnoText(n < 0 ? errno : ENOSPC);
        return false;
    }
    return true;
}

void CaptureSpool::WriteLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stop_ || (!queue_.empty() && !hold_ && !failed_); });
        if (stop_)
            return;
        // The front block stays queued (and readable) while it is written: a
        // deque keeps references to it valid while the appending thread queues more,
        // and nobody changes its bytes.
        const Block& block = queue_.front();
        lock.unlock();
        std::uint64_t wrote = 0;
        std::string why;
        const bool ok = WriteBlock(block, wrote, why);
        lock.lock();
        written_ += wrote;
        if (!ok) {
            // The block and all after it stay queued for reads; nothing more is written.
            writeError_ = why;
            failed_ = true;
        } else {
            free_.push_back(std::move(queue_.front().bytes));
            queue_.pop_front();
        }
        done_.notify_all();
    }
}

bool CaptureSpool::Failed()
{
    if (!failed_.load(std::memory_order_acquire))
        return false;
    std::lock_guard lock(mutex_);
    error_ = writeError_;
    return true;
}

bool CaptureSpool::Check()
{
    return !Failed();
}

bool CaptureSpool::HandOver()
{
    std::unique_lock lock(mutex_);
    // Back-pressure: past kMaxInFlight the disk is slower than the capture.
    // Waiting here is the only way to keep every datagram stored without
    // holding an unbounded amount of memory; the time spent shows up as
    // packets the kernel drops, and the store budget still applies.
    if ((queue_.size() + 1) * kBufferBytes > kMaxInFlight && !failed_) {
        const auto from = std::chrono::steady_clock::now();
        ++waits_.count;
        done_.wait(lock, [this] { return failed_ || (queue_.size() + 1) * kBufferBytes <= kMaxInFlight; });
        waits_.nanoseconds += static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - from).count());
    }
    if (failed_) {
        error_ = writeError_;
        return false;
    }
    Buffer next;
    if (!free_.empty()) {
        next = std::move(free_.back());
        free_.pop_back();
    }
    queue_.push_back(Block{fillStart_, std::move(fill_)});
    lock.unlock();
    work_.notify_one();
    fill_ = next ? std::move(next) : NewBuffer();  // allocates only until the free list has grown
    fillStart_ += kBufferBytes;
    fillSize_ = 0;
    return true;
}

bool CaptureSpool::Append(std::int64_t timestampUs, std::span<const std::uint8_t> datagram,
                          std::uint32_t originalLength, std::uint64_t& dataOffset)
{
    if (Failed())
        return false;
    if (datagram.size() > CaptureFileWriter::kMaxPacketBytes) {
        error_ = "Packet longer than " + std::to_string(CaptureFileWriter::kMaxPacketBytes) + " bytes";
        return false;
    }
    const std::size_t record = RecordBytes(CaptureFileFormat::Pcapng, datagram.size());
    const std::uint64_t start = size();
    if (fillSize_ + record < kBufferBytes) {
        // The common case: the record is made in place.
        dataOffset = start + PutRecord(fill_.get() + fillSize_, CaptureFileFormat::Pcapng, timestampUs, datagram,
                                       originalLength);
        fillSize_ += record;
        return true;
    }
    // It fills the buffer: made aside, then its head ends this buffer and its
    // tail (if any) starts the next. The buffers keep their full size, which
    // O_DIRECT needs.
    record_.resize(record);
    dataOffset = start + PutRecord(record_.data(), CaptureFileFormat::Pcapng, timestampUs, datagram, originalLength);
    const std::size_t head = kBufferBytes - fillSize_;
    std::memcpy(fill_.get() + fillSize_, record_.data(), head);
    fillSize_ = kBufferBytes;
    if (!HandOver()) {
        fillSize_ = kBufferBytes - head;  // the record is not stored
        return false;
    }
    std::memcpy(fill_.get(), record_.data() + head, record - head);
    fillSize_ = record - head;
    return true;
}

bool CaptureSpool::Flush()
{
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return failed_ || queue_.empty(); });
        if (failed_) {
            error_ = writeError_;
            return false;
        }
    }
    // The writer thread is idle: nothing is queued and only this thread queues.
    std::size_t done = 0;
    while (done < fillSize_) {
        const ssize_t n = ::pwrite(readFd_, fill_.get() + done, fillSize_ - done, static_cast<off_t>(fillStart_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = ErrnoText(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

CaptureSpool::Waits CaptureSpool::waits() const
{
    std::lock_guard lock(mutex_);
    return waits_;
}

void CaptureSpool::HoldWrites(bool hold)
{
    {
        std::lock_guard lock(mutex_);
        hold_ = hold;
    }
    work_.notify_one();
}

bool CaptureSpool::ReadInto(std::uint64_t dataOffset, std::uint32_t length, char* out)
{
    std::uint64_t end = dataOffset + length;
    if (end < dataOffset || end > size()) {
        error_ = "Read beyond the end of the capture file";
        return false;
    }
    // From the newest bytes back: the fill buffer, the blocks handed over, then the file.
    if (end > fillStart_) {
        const std::uint64_t from = std::max(dataOffset, fillStart_);
        std::memcpy(out + (from - dataOffset), fill_.get() + (from - fillStart_), end - from);
        end = from;
    }
    if (end == dataOffset)
        return true;
    std::uint64_t written = 0;
    {
        // The lock keeps a block from being recycled while it is copied.
        std::lock_guard lock(mutex_);
        for (auto it = queue_.rbegin(); it != queue_.rend() && end > dataOffset; ++it) {
            if (end <= it->start)
                continue;
            const std::uint64_t from = std::max(dataOffset, it->start);
            std::memcpy(out + (from - dataOffset), it->bytes.get() + (from - it->start), end - from);
            end = from;
        }
        written = written_;
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
        error_ = "The capture file is shorter than expected";
        return false;
    }
    return true;
}

bool CaptureSpool::PreadAll(std::uint64_t offset, std::size_t length, char* out, std::size_t& got)
{
    got = 0;
    while (got < length) {
        const ssize_t n = ::pread(readFd_, out + got, length - got, static_cast<off_t>(offset + got));
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
