#include "core/CaptureFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

#include "core/CaptureFileIo.h"
#include "core/PcapFormat.h"
#include "core/PcapngFormat.h"

namespace quillet {

using fileio::ErrnoText;
using fileio::FdGuard;

namespace {

constexpr std::size_t kBufferBytes = 1 << 20;

void PutFileHeader(std::vector<std::uint8_t>& b, CaptureFileFormat format, int linkType)
{
    if (format == CaptureFileFormat::Pcap) {
        pcapfile::PutFileHeader(b, linkType, CaptureFileWriter::kMaxPacketBytes);
    } else {
        pcapng::PutSectionHeader(b);
        pcapng::PutInterface(b, linkType, CaptureFileWriter::kMaxPacketBytes);
    }
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
        const std::string temp = tempName ? tempName() : fileio::RandomName("." + name + ".");
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
    return fileio::WriteFully(fd_, data, size, flushed_, why) || Fail(why);
}

bool CaptureFileWriter::Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes,
                               std::uint32_t originalLength, std::uint64_t* dataOffset)
{
    return Append(timestampUs, bytes, originalLength, std::string_view(), dataOffset);
}

bool CaptureFileWriter::Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes,
                               std::uint32_t originalLength, std::string_view comment, std::uint64_t* dataOffset)
{
    if (failed_)
        return false;
    if (fd_ < 0)
        return Fail(QCoreApplication::translate("CaptureFile", "捕获文件已关闭").toStdString());
    if (bytes.size() > kMaxPacketBytes)
        return Fail(QCoreApplication::translate("CaptureFile", "数据包超过 %1 字节").arg(kMaxPacketBytes).toStdString());
    const bool pcap = format_ == CaptureFileFormat::Pcap;
    const std::size_t record = pcap ? pcapfile::RecordBytes(bytes.size()) : pcapng::PacketBytes(bytes.size(), comment);
    if (buffer_.size() + record > kBufferBytes && !Flush())
        return false;
    const std::uint64_t start = bytesWritten();
    const std::size_t at = buffer_.size();
    buffer_.resize(at + record);
    std::uint8_t* out = buffer_.data() + at;
    pcapng::Packet packet;
    packet.timestampUs = timestampUs;
    packet.data = bytes;
    packet.originalLength = originalLength;
    packet.comment = comment;
    const std::uint32_t header =
        pcap ? pcapfile::PutRecord(out, timestampUs, bytes, originalLength) : pcapng::PutPacket(out, packet);
    if (dataOffset)
        *dataOffset = start + header;
    return true;
}

bool CaptureFileWriter::AppendNames(const std::vector<std::pair<std::string, std::string>>& names)
{
    if (format_ != CaptureFileFormat::Pcapng || names.empty())
        return !failed_;
    std::vector<std::uint8_t> block;
    pcapng::PutNames(block, names);
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

}  // namespace quillet
