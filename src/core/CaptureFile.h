#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
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
    static constexpr int kLinkTypeRaw = 101;  // LINKTYPE_RAW (raw IPv4)
    // Largest captured length of one packet; libpcap refuses longer records.
    static constexpr std::uint32_t kMaxPacketBytes = 262144;

    // Creates/truncates path with mode (0600 for the working file); nullptr and error text on failure.
    static std::unique_ptr<CaptureFileWriter> Create(const std::string& path, CaptureFileFormat format,
                                                     int linkType, std::string& error, mode_t mode = 0644);
    ~CaptureFileWriter();
    CaptureFileWriter(const CaptureFileWriter&) = delete;
    CaptureFileWriter& operator=(const CaptureFileWriter&) = delete;

    // One packet: timestamp in microseconds since the epoch, the captured bytes, the original length.
    // dataOffset (optional) receives the file offset of the packet's first byte. false on failure.
    bool Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes,
                std::uint32_t originalLength, std::uint64_t* dataOffset = nullptr);
    bool Flush();  // write the buffer to the file
    bool Close();  // flush and close; false on failure
    const std::string& error() const { return error_; }  // what failed, e.g. "No space left on device"
    // Bytes of the file so far, the buffered ones included.
    std::uint64_t bytesWritten() const { return flushed_ + buffer_.size(); }
    int fd() const { return fd_; }  // for pread of flushed data

private:
    friend class CaptureSpool;
    CaptureFileWriter(int fd, CaptureFileFormat format);
    bool Fail(const std::string& why);
    bool WriteAll(const std::uint8_t* data, std::size_t size);

    int fd_ = -1;
    CaptureFileFormat format_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t flushed_ = 0;  // bytes already in the file
    std::string error_;
    bool failed_ = false;
};

// The working file of this run: a private directory (0700) with capture.pcapng (0600), removed by
// the destructor. Every stored datagram is appended; bytes come back by offset (flushing first when
// the range is still in the buffer; from the buffer when that write fails; reads go through a
// read-ahead window). Not thread-safe: one thread uses it at a time.
class CaptureSpool {
public:
    // Directory: env QUILLET_CAPTURE_DIR if set, else $TMPDIR if set, else /var/tmp.
    static std::string DefaultDirectory();
    // Makes the private directory and the file under baseDir; nullptr + error on failure.
    static std::unique_ptr<CaptureSpool> Create(const std::string& baseDir, std::string& error);
    ~CaptureSpool();  // closes and removes file and directory
    CaptureSpool(const CaptureSpool&) = delete;
    CaptureSpool& operator=(const CaptureSpool&) = delete;

    bool Append(std::int64_t timestampUs, std::span<const std::uint8_t> datagram,
                std::uint32_t originalLength, std::uint64_t& dataOffset);
    // Copies length bytes at dataOffset into out; false on failure (error()).
    bool Read(std::uint64_t dataOffset, std::uint32_t length, std::string& out);
    bool Read(std::uint64_t dataOffset, std::uint32_t length, std::vector<std::uint8_t>& out);
    const std::string& error() const { return error_; }
    std::string directory() const { return directory_; }  // for free-space checks (statvfs)
    std::uint64_t size() const { return writer_->bytesWritten(); }

private:
    CaptureSpool(std::string directory, std::string file, std::unique_ptr<CaptureFileWriter> writer);
    bool ReadInto(std::uint64_t dataOffset, std::uint32_t length, char* out);
    bool PreadAll(std::uint64_t offset, std::size_t length, char* out, std::size_t& got);

    std::string directory_;
    std::string file_;
    std::unique_ptr<CaptureFileWriter> writer_;
    std::string error_;
    // Bytes of the file read ahead: reading packets in file order costs one
    // system call per window, not one per packet. Written bytes never change.
    std::vector<char> window_;
    std::uint64_t windowStart_ = 0;
};

}  // namespace quillet
