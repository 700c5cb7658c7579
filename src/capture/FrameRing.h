#pragma once

// The memory the capture program hands captured frames over in: a ring of
// records in a sealed memory file that the program writes and the window
// maps read-only. Each frame is copied once, by the program; the window
// reads it in place.
//
// The ring is a header page, whose first eight bytes are the position up to
// which records are complete (written by the program, a 64-bit count of bytes
// that only grows), followed by a power-of-two data area. A record is a
// channel::Head and its body, 8-byte aligned; one that would not fit before
// the area's end is preceded by a kSkip record filling the rest. The window
// tells the program through the channel how far it has read, which frees
// that part of the ring; the program trusts that count only within what it
// has written.

#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/CaptureChannel.h"

namespace quillet {

// The program's side: creates, fills and publishes the ring.
class FrameRingWriter {
public:
    // A ring of dataBytes (a power of two) in a new memory file; the file's
    // descriptor is to be handed to the window. valid() is false, and
    // error() says why, when the system refused.
    explicit FrameRingWriter(std::size_t dataBytes);
    ~FrameRingWriter();
    FrameRingWriter(const FrameRingWriter&) = delete;
    FrameRingWriter& operator=(const FrameRingWriter&) = delete;

    bool valid() const { return base_ != nullptr; }
    int error() const { return error_; }
    int fd() const { return fd_; }
    std::size_t dataBytes() const { return size_; }

    // How many frames of at most maxFrame bytes surely fit now: each takes
    // its record's room, and one skip record at the ring's end at most one
    // record's room more.
    std::size_t FramesThatFit(std::size_t maxFrame) const;

    // Adds a frame record; false (nothing written) when there is no room.
    bool PutFrame(std::int64_t timestampUs, std::uint32_t wireLength, std::span<const std::uint8_t> frame);
    // Makes what was added visible to the window; true when there is
    // anything it has not said it read.
    bool Publish();
    std::uint64_t written() const { return written_; }

    // The window's count of bytes read: false for a count it cannot have
    // (backwards, or beyond what was written).
    bool Consumed(std::uint64_t position);

private:
    std::size_t FreeBytes() const { return size_ - static_cast<std::size_t>(written_ - read_); }

    int fd_ = -1;
    int error_ = 0;
    std::uint8_t* base_ = nullptr;  // the header page, then the data area
    std::size_t size_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t read_ = 0;
};

// The window's side: maps the ring read-only and reads its records.
class FrameRingReader {
public:
    FrameRingReader() = default;
    ~FrameRingReader();
    FrameRingReader(const FrameRingReader&) = delete;
    FrameRingReader& operator=(const FrameRingReader&) = delete;

    // Maps the memory file fd holding dataBytes of ring; takes fd (closed
    // here, mapped or not). False when the file is not such a ring.
    bool Map(int fd, std::uint64_t dataBytes);
    bool mapped() const { return base_ != nullptr; }

    enum class Result { Record, Empty, Broken };
    // The next complete record: its kind and body, which stay valid until
    // the position is reported to the program. Skip records are passed over.
    Result Next(std::uint32_t& kind, std::span<const std::uint8_t>& body);
    // The record Next() would give now, left to it: a frame may be looked
    // at before the one before it is handed on.
    Result Peek(std::uint32_t& kind, std::span<const std::uint8_t>& body)
    {
        const std::uint64_t read = read_;
        const Result r = Next(kind, body);
        read_ = read;
        return r;
    }
    std::uint64_t position() const { return read_; }

private:
    const std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t read_ = 0;
    std::uint64_t written_ = 0;  // as last seen
};

}  // namespace quillet
