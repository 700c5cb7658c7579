#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
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
    // The same with a comment on the packet (pcapng; classic pcap has none).
    bool Append(std::int64_t timestampUs, std::span<const std::uint8_t> bytes, std::uint32_t originalLength,
                std::string_view comment);
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

// The working file of this run: a private directory (0700) with capture.pcapng (0600), removed by
// the destructor. Both are made and used through descriptors (the base directory's, then the
// private one's; nothing is followed by name), so a base directory that others can write cannot
// redirect them. The run holds a lock (flock) on its directory as long as it lives: a directory of
// this kind that nobody holds was left by a run that ended without removing it (capture/LeftCaptures.h).
//
// The file is a valid pcapng from the start (its header is written at once). Every stored datagram
// is appended to a fill buffer of 1 MiB (a record may run on into the next one); each full buffer
// goes to a writer thread of the spool's own, which writes it past the page cache (O_DIRECT, where
// the file system has it: a buffered write costs several times the CPU of the copy). Every
// kPublishInterval the writer thread also writes the whole records of the fill buffer that are not
// in the file yet, so a run that is killed loses at most the last second. The appending thread
// never waits for the disk unless the bytes handed over and not yet written reach kMaxInFlight.
// Bytes come back by offset from the fill buffer, from a buffer handed over, or from the file,
// whichever holds them. A failed write keeps its buffer and every later one for reads; the next
// Append (or Check) reports it. A failed allocation (std::bad_alloc from Append) leaves the spool
// as it was before that Append.
// Append, Read, Check, Flush and size are called from one thread (the one that owns the spool).
class CaptureSpool {
public:
    static constexpr std::size_t kBufferBytes = 1 << 20;
    static constexpr std::size_t kMaxInFlight = 64 << 20;
    static constexpr auto kPublishInterval = std::chrono::milliseconds(500);
    // The destructor waits this long for a write in progress (a slow disk), then leaves it behind.
    static constexpr auto kCloseWait = std::chrono::seconds(3);
    static constexpr const char* kDirPrefix = "quillet-";
    static constexpr std::size_t kRandomChars = 12;  // letters and digits after kDirPrefix
    static constexpr const char* kFileName = "capture.pcapng";

    // Directory: env QUILLET_CAPTURE_DIR if set, else $TMPDIR if set, else /var/tmp.
    static std::string DefaultDirectory();
    // Makes the private directory and the file under baseDir; nullptr + error on failure (what it
    // made is then removed). The directory gets its name (kDirPrefix and kRandomChars random
    // characters) only once it is locked and holds the file's header.
    static std::unique_ptr<CaptureSpool> Create(const std::string& baseDir, std::string& error);
    // Whether name has the form Create gives: kDirPrefix, then kRandomChars letters or digits.
    static bool IsWorkingName(std::string_view name);
    ~CaptureSpool();  // stops the writer thread, removes file and directory
    CaptureSpool(const CaptureSpool&) = delete;
    CaptureSpool& operator=(const CaptureSpool&) = delete;

    // false when the record is refused or an earlier write failed (error()).
    bool Append(std::int64_t timestampUs, std::span<const std::uint8_t> datagram,
                std::uint32_t originalLength, std::uint64_t& dataOffset);
    // false (and error()) once a write of the writer thread has failed; true otherwise.
    bool Check();
    // Copies length bytes at dataOffset into out; false on failure (error()).
    bool Read(std::uint64_t dataOffset, std::uint32_t length, std::string& out);
    bool Read(std::uint64_t dataOffset, std::uint32_t length, std::vector<std::uint8_t>& out);
    const std::string& error() const { return error_; }
    std::string directory() const { return directory_; }  // for free-space checks (statvfs)
    // Bytes stored so far, those not yet in the file included.
    std::uint64_t size() const { return fillStart_ + fillSize_; }

    // Waits until everything handed over is in the file, then writes the fill buffer's bytes
    // too (they stay in it); the file is then whole. false and error() on failure.
    bool Flush();
    // While held, the writer thread starts no write: handed-over buffers stay queued (tests).
    void HoldWrites(bool hold);
    // Tests: where the buffers come from (nullptr: no memory), and a call the writer thread
    // makes before each write (a slow disk).
    std::function<void*(std::size_t bytes)> allocate;
    void SetWriteHook(std::function<void()> hook);

    // How often, and for how long in all, Append waited for the writer thread
    // (a wait counts from its start); any thread may ask.
    struct Waits {
        std::uint64_t count = 0;
        std::uint64_t nanoseconds = 0;
    };
    Waits waits() const;

    // For a reader on another thread: the descriptor that reads the file (pread only), and
    // how many bytes from the file's start are in it for good (they never change). Any thread
    // may ask; the descriptor lives as long as the spool.
    int ReadDescriptor() const;
    std::uint64_t BytesInFile() const;

private:
    struct Writer;
    struct AlignedFree {
        void operator()(std::uint8_t* p) const;
    };
    using Buffer = std::unique_ptr<std::uint8_t[], AlignedFree>;  // kBufferBytes, page aligned

    CaptureSpool(std::string directory, std::string name, int baseFd, int dirFd, int fd, int readFd);
    Buffer NewBuffer() const;
    bool HandOver();
    bool Failed();
    bool ReadInto(std::uint64_t dataOffset, std::uint32_t length, char* out);
    bool PreadAll(std::uint64_t offset, std::size_t length, char* out, std::size_t& got);

    std::string directory_;
    std::string name_;  // of the directory, within the base directory
    int baseFd_ = -1;
    int dirFd_ = -1;    // the private directory, locked
    std::string error_;

    // The writer thread's state, shared with it: a writer left behind on a slow disk keeps it.
    std::shared_ptr<Writer> w_;
    std::thread thread_;

    // Owned by the appending thread (the fill buffer itself lives in w_).
    std::size_t fillSize_ = 0;
    std::uint64_t fillStart_ = 0;       // file offset of the fill buffer's first byte
    std::vector<std::uint8_t> record_;  // a record that runs on into the next buffer

    // Bytes of the file read ahead: reading packets in file order costs one
    // system call per window, not one per packet. Written bytes never change.
    std::vector<char> window_;
    std::uint64_t windowStart_ = 0;
};

}  // namespace quillet
