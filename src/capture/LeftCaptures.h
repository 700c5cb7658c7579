#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

// A working directory (core/CaptureFile.h, CaptureSpool) that a run no longer alive left behind.
struct LeftCapture {
    std::string path;             // the directory
    std::int64_t modifiedUs = 0;  // when the file was last written
    // The records the capture file reader takes from the file, their first and last timestamps.
    std::uint64_t packets = 0;
    std::int64_t firstUs = 0, lastUs = 0;
};

// The working directories under a base directory that runs of this program left behind and no
// live run holds the lock of. Only what a run made is taken: a directory (not a link) named as
// CaptureSpool names them, of mode 0700, this user's, holding nothing but the working file (a
// regular file of this user's with no other link), neither of them changed since the scan began.
// Anything else under the base directory is left alone.
class LeftCaptures {
public:
    // Finds and locks them, newest first, and counts each one's packets by reading it through the
    // capture file reader (a large file takes a while: not on the GUI thread). Nothing when
    // baseDir cannot be read.
    explicit LeftCaptures(const std::string& baseDir);
    ~LeftCaptures();  // unlocks what was not removed
    LeftCaptures(const LeftCaptures&) = delete;
    LeftCaptures& operator=(const LeftCaptures&) = delete;

    const std::vector<LeftCapture>& found() const { return found_; }
    // The capture file of found()[i], cut after the last record counted, for reading.
    std::string FileOf(std::size_t i) const;
    // Removes found()[i]: its working file, then the directory unless something else came into it.
    void Remove(std::size_t i);

private:
    struct Held {
        std::string name;  // within the base directory
        int fd = -1;       // the directory, locked; -1 once removed
        dev_t dev = 0;
        ino_t dirIno = 0, fileIno = 0;
        std::uint64_t end = 0;  // where the last record counted ends
    };
    int baseFd_ = -1;
    std::vector<LeftCapture> found_;
    std::vector<Held> held_;
};

// Reads the capture file open at fd from its start as the capture file reader does: how many
// records it takes, the first and last timestamps, and where the last of them ends. false when
// the reader refuses the file.
bool ScanWorkingFile(int fd, std::uint64_t& packets, std::int64_t& firstUs, std::int64_t& lastUs,
                     std::uint64_t& end);

}  // namespace quillet
