#include "core/CaptureFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quillet {

namespace {

constexpr std::size_t kBufferBytes = 1 << 20;
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
    auto& b = w->buffer_;
    if (format == CaptureFileFormat::Pcap) {
        Put<std::uint32_t>(b, kPcapMagicMicro);
        Put<std::uint16_t>(b, 2);
        Put<std::uint16_t>(b, 4);
        Put<std::int32_t>(b, 0);  // time zone offset
        Put<std::uint32_t>(b, 0);  // timestamp accuracy
        Put<std::uint32_t>(b, kMaxPacketBytes);
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
        Put<std::uint32_t>(b, kMaxPacketBytes);
        Put<std::uint32_t>(b, 20);
    }
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
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(ErrnoText(errno));
        }
        if (n == 0)
            return Fail(ErrnoText(ENOSPC));
        data += n;
        size -= static_cast<std::size_t>(n);
        flushed_ += static_cast<std::uint64_t>(n);
    }
    return true;
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
    const auto caplen = static_cast<std::uint32_t>(bytes.size());
    const std::uint32_t origlen = originalLength < caplen ? caplen : originalLength;
    const std::uint64_t ts = timestampUs < 0 ? 0 : static_cast<std::uint64_t>(timestampUs);

    const std::uint32_t padded = (caplen + 3u) & ~3u;
    const std::size_t record = format_ == CaptureFileFormat::Pcap ? kPcapRecordHeader + caplen
                                                                 : kPcapngPacketHeader + padded + 4;
    if (buffer_.size() + record > kBufferBytes && !Flush())
        return false;

    const std::uint64_t start = bytesWritten();
    // The record is made in place: one resize, then its fields.
    const std::size_t at = buffer_.size();
    buffer_.resize(at + record);
    std::uint8_t* out = buffer_.data() + at;
    auto put = [&out](std::uint32_t value) {
        std::memcpy(out, &value, sizeof value);
        out += sizeof value;
    };
    if (format_ == CaptureFileFormat::Pcap) {
        put(static_cast<std::uint32_t>(ts / 1000000));
        put(static_cast<std::uint32_t>(ts % 1000000));
        put(caplen);
        put(origlen);
        if (caplen != 0)
            std::memcpy(out, bytes.data(), caplen);
        if (dataOffset)
            *dataOffset = start + kPcapRecordHeader;
    } else {
        const auto total = static_cast<std::uint32_t>(record);
        put(kPcapngEnhancedPacket);
        put(total);
        put(0);  // interface 0
        put(static_cast<std::uint32_t>(ts >> 32));
        put(static_cast<std::uint32_t>(ts));
        put(caplen);
        put(origlen);
        if (caplen != 0)
            std::memcpy(out, bytes.data(), caplen);
        out += padded;  // the padding is zero from the resize
        put(total);
        if (dataOffset)
            *dataOffset = start + kPcapngPacketHeader;
    }
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

CaptureSpool::CaptureSpool(std::string directory, std::string file, std::unique_ptr<CaptureFileWriter> writer)
    : directory_(std::move(directory)), file_(std::move(file)), writer_(std::move(writer))
{
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
    auto writer = CaptureFileWriter::Create(file, CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw,
                                            error, 0600);
    if (!writer) {
        error = file + ": " + error;
        ::rmdir(dir.c_str());
        return nullptr;
    }
    return std::unique_ptr<CaptureSpool>(new CaptureSpool(std::move(dir), std::move(file), std::move(writer)));
}

CaptureSpool::~CaptureSpool()
{
    writer_.reset();
    ::unlink(file_.c_str());
    ::rmdir(directory_.c_str());
}

bool CaptureSpool::Append(std::int64_t timestampUs, std::span<const std::uint8_t> datagram,
                          std::uint32_t originalLength, std::uint64_t& dataOffset)
{
    if (writer_->Append(timestampUs, datagram, originalLength, &dataOffset))
        return true;
    error_ = writer_->error();
    return false;
}

bool CaptureSpool::ReadInto(std::uint64_t dataOffset, std::uint32_t length, char* out)
{
    const std::uint64_t end = dataOffset + length;
    if (end < dataOffset || end > writer_->bytesWritten()) {
        error_ = "Read beyond the end of the capture file";
        return false;
    }
    // Bytes not in the file yet are written out first; when that fails they
    // come from the write buffer, which keeps them.
    if (end > writer_->flushed_)
        writer_->Flush();
    const std::uint64_t flushed = writer_->flushed_;
    if (end > flushed) {
        const std::uint64_t from = std::max(dataOffset, flushed);
        std::memcpy(out + (from - dataOffset), writer_->buffer_.data() + (from - flushed),
                    static_cast<std::size_t>(end - from));
        if (dataOffset >= flushed)
            return true;
        length = static_cast<std::uint32_t>(flushed - dataOffset);
    }
    // From here on only bytes that are in the file.
    if (dataOffset >= windowStart_ && dataOffset + length <= windowStart_ + window_.size()) {
        std::memcpy(out, window_.data() + (dataOffset - windowStart_), length);
        return true;
    }
    std::size_t got = 0;
    if (length >= kReadWindow) {
        if (!PreadAll(dataOffset, length, out, got))
            return false;
    } else {
        const std::uint64_t available = writer_->flushed_ - dataOffset;
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
        const ssize_t n = ::pread(writer_->fd(), out + got, length - got, static_cast<off_t>(offset + got));
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
