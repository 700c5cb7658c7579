#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// One run of a conversation's bytes as the stream window shows them: bytes
// of one side (0 the side that opened the conversation, 1 the other), or a
// hole of `missing` bytes that later data of that side showed.
struct StreamPiece {
    int side = 0;
    std::string bytes;
    std::uint64_t missing = 0;  // > 0: a hole, bytes empty
};

// What a TCP segment says about its place in the byte stream.
struct TcpSegment {
    std::uint32_t seq = 0;
    bool syn = false, ack = false, fin = false, rst = false;
    std::string_view payload;
};

// The TCP segment of a whole IPv4 or IPv6 datagram (extension headers
// walked); false when it holds none.
bool ParseTcpSegment(std::span<const std::uint8_t> datagram, TcpSegment& segment);
// The UDP payload of a whole datagram; false when it holds none.
bool ParseUdpPayload(std::span<const std::uint8_t> datagram, std::string_view& payload);

// One direction of a TCP conversation put back in order by sequence
// numbers: out-of-order data waits (at most kMaxPending bytes) until the
// bytes before it come, retransmitted or overlapping bytes come out once,
// SYN and FIN count one sequence number each, and numbers wrap past 2^32.
// A hole is given up on (and reported as missing) once kMaxPending bytes
// wait behind it, or at Flush().
class TcpDirection {
public:
    static constexpr std::size_t kMaxPending = 1 << 20;

    // Bytes that come out in order go to out (pieces of side), holes too.
    void Feed(const TcpSegment& segment, int side, std::vector<StreamPiece>& out);
    // Gives up on every hole: what waits comes out after them.
    void Flush(int side, std::vector<StreamPiece>& out);
    std::size_t Pending() const { return pendingBytes_; }

private:
    struct Waiting {
        std::string bytes;
        bool fin = false;
    };
    // Position of seq in the 64-bit stream that started at the first one seen.
    std::uint64_t Unwrap(std::uint32_t seq);
    void Deliver(std::uint64_t at, std::string_view bytes, bool fin, int side, std::vector<StreamPiece>& out);
    void Drain(int side, std::vector<StreamPiece>& out);
    void SkipToFirstWaiting(int side, std::vector<StreamPiece>& out);

    bool started_ = false;
    std::uint32_t lastSeq_ = 0;
    std::uint64_t lastAt_ = 0;
    std::uint64_t next_ = 0;  // the next byte expected
    std::map<std::uint64_t, Waiting> pending_;
    std::size_t pendingBytes_ = 0;
};

// A conversation's bytes in capture order, both sides interleaved: TCP by
// TcpDirection per side, UDP datagram by datagram. Counts every byte of each
// side but keeps at most keepBytes of them (Capped() then says so).
class StreamReassembly {
public:
    static constexpr std::uint64_t kKeepBytes = 8 << 20;

    explicit StreamReassembly(bool tcp, std::uint64_t keepBytes = kKeepBytes) : tcp_(tcp), keep_(keepBytes) {}

    void FeedTcp(int side, const TcpSegment& segment);
    void FeedUdp(int side, std::string_view payload);
    // The end of what is known: holes still open are given up on.
    void Finish();
    // Bytes waiting behind holes, of both sides.
    std::size_t Pending() const { return dir_[0].Pending() + dir_[1].Pending(); }

    // The pieces made since the last call.
    std::vector<StreamPiece> Take();
    std::uint64_t Bytes(int side) const { return bytes_[side & 1]; }
    bool Capped() const { return capped_; }
    bool tcp() const { return tcp_; }

private:
    void Keep(std::vector<StreamPiece>& made);

    bool tcp_;
    std::uint64_t keep_;
    std::uint64_t kept_ = 0;
    bool capped_ = false;
    TcpDirection dir_[2];
    std::uint64_t bytes_[2] = {};
    std::vector<StreamPiece> out_;
    std::vector<StreamPiece> made_;  // reused
};

}  // namespace quillet
