#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/CapturedDatagram.h"

struct pcap;

namespace quillet {

// Reads a pcap or pcapng file through libpcap, frame by frame, and hands on
// the IP datagram of each frame (link-layer header removed): IPv4, and IPv6
// when opened with ipv6 true. The bytes libpcap reads pass the notes of a
// pcapng file on their way (core/PcapngNotes.h): each frame's comment and
// flags and the names of the name blocks come with the frames, the file read
// once.
class CaptureFileReader {
public:
    enum class Status { More, End, Failed };
    // A datagram (its bytes viewed in the reader's buffer, valid during the
    // call), its timestamp in microseconds since the epoch, its original
    // length (more than its size when the file kept only part of it), its
    // direction (a pcapng block's epb_flags, else the frame's link header,
    // else unknown) and the program its comment names ("program: NAME
    // (PID)"); never live.
    using DatagramFn = std::function<void(const CapturedDatagram& datagram)>;

    // nullptr and the reason when the file cannot be opened, is not a
    // capture file, or has a link type that carries no IPv4 datagrams we read.
    // Only a regular file is read; anything else is refused at once (refused
    // says what it is, when given).
    enum class Refusal { None, Folder, NotRegular };
    static std::unique_ptr<CaptureFileReader> Open(const std::string& path, std::string& error, bool ipv6 = false,
                                                   Refusal* refused = nullptr);
    // The same for an open regular file, read from where its offset stands; takes fd over (closed
    // on failure too).
    static std::unique_ptr<CaptureFileReader> Open(int fd, std::string& error, bool ipv6 = false);
    ~CaptureFileReader();
    CaptureFileReader(const CaptureFileReader&) = delete;
    CaptureFileReader& operator=(const CaptureFileReader&) = delete;

    // Reads up to maxFrames frames. More: call again; End: the file is read;
    // Failed: reading stopped early (truncated or corrupt), see error().
    Status Read(int maxFrames, const DatagramFn& fn);

    // The comment of the frame whose datagram fn is given (pcapng; empty when it has none).
    const std::string& comment() const { return comment_; }
    // The (address text, host name) pairs of the name blocks read so far, once.
    std::vector<std::pair<std::string, std::string>> TakeNames();

    std::int64_t framesRead() const { return frames_; }
    std::int64_t skipped() const { return skipped_; }  // frames without a datagram handed on
    std::int64_t lastTimestampUs() const { return lastUs_; }  // of the last frame read
    const std::string& error() const { return error_; }
    int linkType() const { return linkType_; }
    // Where reading is in the file, in bytes; -1 when unknown.
    std::int64_t position() const;
    std::int64_t fileSize() const { return size_; }

private:
    struct Source;
    CaptureFileReader() = default;

    std::unique_ptr<Source> source_;  // what libpcap reads from; outlives pcap_
    ::pcap* pcap_ = nullptr;
    std::unique_ptr<char[]> buffer_;  // the file's read buffer; outlives pcap_
    int linkType_ = 0;
    bool ipv6_ = false;
    std::int64_t frames_ = 0;
    std::int64_t skipped_ = 0;
    std::int64_t size_ = -1;
    std::int64_t lastUs_ = 0;
    std::string error_;
    std::string comment_;
    std::string program_;  // of comment_
};

}  // namespace quillet
