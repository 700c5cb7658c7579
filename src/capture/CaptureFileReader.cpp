#include "capture/CaptureFileReader.h"

#include <pcap/pcap.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "capture/LinkLayer.h"
#include "core/PcapngFormat.h"
#include "core/PcapngNotes.h"
#include "programs/ProgramComment.h"

namespace quillet {

namespace {

constexpr std::size_t kReadBuffer = std::size_t{1} << 20;

// A file's timestamp in microseconds, held within what 64 bits count (a
// pcapng timestamp can be far beyond that).
std::int64_t TimestampUs(std::int64_t sec, std::int64_t usec)
{
    constexpr std::int64_t kMaxSec = std::numeric_limits<std::int64_t>::max() / 1000000 - 1;
    if (sec > kMaxSec)
        return kMaxSec * 1000000;
    if (sec < -kMaxSec)
        return -kMaxSec * 1000000;
    return sec * 1000000 + usec;
}

// The way a frame went: as its block's flags say, else as its link header does.
CapturedDatagram::Direction FrameDirection(std::uint32_t flags, int linkType, std::span<const std::uint8_t> frame)
{
    switch (flags & pcapng::kFlagsDirection) {
    case pcapng::kFlagsInbound:
        return CapturedDatagram::Direction::Received;
    case pcapng::kFlagsOutbound:
        return CapturedDatagram::Direction::Sent;
    default:
        return DirectionOf(linkType, frame);
    }
}

}  // namespace

// The file as libpcap reads it (a stream of its own, fopencookie): every byte read is given to the
// notes too, in order and once. Only asking where reading is (ftell) is a seek it allows.
struct CaptureFileReader::Source {
    int fd = -1;
    std::int64_t offset = 0;  // of the next byte read
    PcapngNotes notes;
    bool noting = true;

    static ssize_t Read(void* cookie, char* buffer, std::size_t size)
    {
        auto* s = static_cast<Source*>(cookie);
        ssize_t n;
        do
            n = ::read(s->fd, buffer, size);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return n;
        s->offset += n;
        if (s->noting) {
            // Nothing may be thrown through libpcap: without memory the frames go on without notes.
            try {
                s->notes.Feed({reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(n)});
            } catch (...) {
                s->noting = false;
            }
        }
        return n;
    }
    static int Seek(void* cookie, off64_t* position, int whence)
    {
        if (whence != SEEK_CUR || *position != 0) {
            errno = ESPIPE;
            return -1;
        }
        *position = static_cast<Source*>(cookie)->offset;
        return 0;
    }
    static int Close(void* cookie) { return ::close(static_cast<Source*>(cookie)->fd); }
};

std::unique_ptr<CaptureFileReader> CaptureFileReader::Open(const std::string& path, std::string& error, bool ipv6,
                                                           Refusal* refused)
{
    // Only a regular file is read: a pipe, a device or a socket could keep
    // the window waiting for ever. Opening does not wait either (O_NONBLOCK),
    // and the descriptor opened is the one checked.
    struct stat st {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno;
        const bool known = fd >= 0 || ::stat(path.c_str(), &st) == 0;
        if (fd >= 0)
            ::close(fd);
        const Refusal why = !known || S_ISREG(st.st_mode) ? Refusal::None
                            : S_ISDIR(st.st_mode)         ? Refusal::Folder
                                                          : Refusal::NotRegular;
        error = why == Refusal::Folder       ? "it is a folder"
                : why == Refusal::NotRegular ? "it is not a regular file (a pipe, a device or a socket)"
                                             : std::strerror(err);
        if (refused)
            *refused = why;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return Open(fd, error, ipv6);
}

std::unique_ptr<CaptureFileReader> CaptureFileReader::Open(int fd, std::string& error, bool ipv6)
{
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        error = known ? "it is not a regular file" : std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    auto source = std::make_unique<Source>();
    source->fd = fd;
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    source->offset = at < 0 ? 0 : at;
    FILE* f = ::fopencookie(source.get(), "rb", {Source::Read, nullptr, Source::Seek, Source::Close});
    if (!f) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    auto buffer = std::make_unique<char[]>(kReadBuffer);
    std::setvbuf(f, buffer.get(), _IOFBF, kReadBuffer);
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_fopen_offline_with_tstamp_precision(f, PCAP_TSTAMP_PRECISION_MICRO, err);
    if (!p) {
        std::fclose(f);  // not closed by libpcap when it fails
        error = err;
        return nullptr;
    }
    const int dlt = pcap_datalink(p);
    if (!LinkTypeSupported(dlt)) {
        const char* name = pcap_datalink_val_to_name(dlt);
        error = "its link type " + std::to_string(dlt) + (name ? std::string(" (") + name + ")" : std::string()) +
                " carries no IPv4 datagrams that can be read";
        pcap_close(p);
        return nullptr;
    }
    std::unique_ptr<CaptureFileReader> r(new CaptureFileReader);
    r->source_ = std::move(source);
    r->pcap_ = p;
    r->buffer_ = std::move(buffer);
    r->linkType_ = dlt;
    r->ipv6_ = ipv6;
    r->size_ = st.st_size;
    return r;
}

CaptureFileReader::~CaptureFileReader()
{
    if (pcap_)
        pcap_close(pcap_);
}

CaptureFileReader::Status CaptureFileReader::Read(int maxFrames, const DatagramFn& fn)
{
    if (!pcap_)
        return error_.empty() ? Status::End : Status::Failed;
    for (int i = 0; i < maxFrames; ++i) {
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        const int rc = pcap_next_ex(pcap_, &h, &data);
        if (rc == 1) {
            ++frames_;
            std::uint32_t flags = 0;
            if (source_->notes.IsPcapng())
                source_->notes.NextPacket(comment_, flags);
            lastUs_ = TimestampUs(h->ts.tv_sec, h->ts.tv_usec);
            const std::span<const std::uint8_t> frame(data, h->caplen);
            CapturedDatagram captured;
            captured.bytes = IPDatagramOf(linkType_, frame, ipv6_);
            if (captured.bytes.empty()) {
                ++skipped_;
                continue;
            }
            captured.timestampUs = lastUs_;
            captured.originalLength = OriginalLengthOf(frame, captured.bytes, h->len);
            captured.direction = FrameDirection(flags, linkType_, frame);
            // Shown as a live owner is: a comment that is no program's gives none.
            if (comment_.empty())
                program_.clear();
            else
                program_ = ProgramOfComment(comment_);
            captured.program = program_;
            fn(captured);
            continue;
        }
        if (rc == PCAP_ERROR_BREAK)
            return Status::End;
        error_ = pcap_geterr(pcap_);
        if (error_.empty())
            error_ = "unreadable record";
        return Status::Failed;
    }
    return Status::More;
}

std::vector<std::pair<std::string, std::string>> CaptureFileReader::TakeNames()
{
    return source_ ? source_->notes.TakeNames() : std::vector<std::pair<std::string, std::string>>();
}

std::int64_t CaptureFileReader::position() const
{
    FILE* f = pcap_ ? pcap_file(pcap_) : nullptr;
    return f ? std::int64_t(std::ftell(f)) : -1;
}

}  // namespace quillet
