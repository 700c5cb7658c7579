#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillet {

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
    // The packet whose datagram Append stored at dataOffset: the datagram, its timestamp and its
    // original length, as the file's record keeps them. false on failure (error()).
    bool ReadPacket(std::uint64_t dataOffset, std::vector<std::uint8_t>& datagram, std::int64_t& timestampUs,
                    std::uint32_t& originalLength);
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
