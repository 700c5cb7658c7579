#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet {

// The two capture file formats the program writes.
enum class CaptureFileFormat { Pcapng, Pcap };

// Chooses by name: ".pcap" (case-insensitive) -> Pcap, else Pcapng.
CaptureFileFormat CaptureFileFormatForName(std::string_view path);

// One output capture file (pcapng with a single interface, or classic pcap),
// written through a buffer of 1 MiB. Timestamps are kept at microsecond
// resolution. After the first failed write every later call fails with the
// same error().
class CaptureFileWriter {
public:
    static constexpr int kLinkTypeRaw = 101;  // LINKTYPE_RAW (raw IP, either family)
    // Largest captured length of one packet; libpcap refuses longer records.
    static constexpr std::uint32_t kMaxPacketBytes = 262144;

    // Creates/truncates path with mode; nullptr and error text on failure.
    static std::unique_ptr<CaptureFileWriter> Create(const std::string& path, CaptureFileFormat format,
                                                     int linkType, std::string& error, mode_t mode = 0600);
    // Saving over target. The file is written under an unpredictable temporary name in target's
    // directory (made through the directory's descriptor with O_EXCL and O_NOFOLLOW, mode 0600, so
    // nothing planted there is followed), and Commit() puts it in target's place. Without Commit
    // the temporary file is removed. Only a regular file (or a link to one, or to nothing) is
    // replaced: a target that is a folder, a pipe, a device or a socket, or a link to one, is
    // refused before anything is written (refused says which, when given), and target itself is
    // never opened. tempName (tests) gives the names to try.
    enum class Refusal { None, Folder, NotRegular };
    static std::unique_ptr<CaptureFileWriter> CreateReplacing(const std::string& target, CaptureFileFormat format,
                                                              int linkType, std::string& error,
                                                              std::function<std::string()> tempName = {},
                                                              Refusal* refused = nullptr);
    // Flushes, syncs the data, renames the file over target and syncs the directory. A replaced
    // file of the user's own passes on its permission bits (and its group, where the user may);
    // the new file stays 0600 otherwise. false and error() on failure (target is then as it was).
    bool Commit();
    ~CaptureFileWriter();
    CaptureFileWriter(const CaptureFileWriter&) = delete;
    CaptureFileWriter& operator=(const CaptureFileWriter&) = delete;

    // One packet: timestamp in microseconds since the epoch, the captured bytes, the original length.
    // dataOffset (optional) receives the file offset of the packet's first byte. false on failure.
    bool Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes,
                std::uint32_t originalLength, std::uint64_t* dataOffset = nullptr);
    // The same with a comment on the packet (pcapng; classic pcap has none, and a comment longer
    // than 65535 bytes is left out).
    bool Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes, std::uint32_t originalLength,
                std::string_view comment, std::uint64_t* dataOffset = nullptr);
    // Host names of addresses (dotted decimal or IPv6 text) in one name
    // resolution block (pcapng; nothing in classic pcap). Addresses that are
    // neither, and names that are empty or longer than 253 bytes, are left out.
    bool AppendNames(const std::vector<std::pair<std::string, std::string>>& names);
    bool Flush();  // write the buffer to the file
    bool Close();  // flush and close; false on failure
    const std::string& error() const { return error_; }  // what failed, e.g. "No space left on device"
    // Bytes of the file so far, the buffered ones included.
    std::uint64_t bytesWritten() const { return flushed_ + buffer_.size(); }
    int fd() const { return fd_; }  // for pread of flushed data

private:
    CaptureFileWriter(int fd, CaptureFileFormat format);
    bool Fail(const std::string& why);
    bool WriteAll(const std::uint8_t* data, std::size_t size);

    int fd_ = -1;
    int dirFd_ = -1;          // CreateReplacing: target's directory
    std::string tempName_;    // and the temporary file's name in it
    std::string targetName_;  // target's name in it
    CaptureFileFormat format_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t flushed_ = 0;  // bytes already in the file
    std::string error_;
    bool failed_ = false;
};

}  // namespace quillet
