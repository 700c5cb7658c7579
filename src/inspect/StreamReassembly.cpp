#include "inspect/StreamReassembly.h"

#include <algorithm>

namespace quillet {

namespace {

std::uint32_t Be16(const std::uint8_t* p) { return std::uint32_t{p[0]} << 8 | p[1]; }
std::uint32_t Be32(const std::uint8_t* p) { return Be16(p) << 16 | Be16(p + 2); }

// Where the transport header of a first (or only) fragment starts, its end
// and the upper protocol; false when the datagram has none.
bool Transport(std::span<const std::uint8_t> d, std::size_t& at, std::size_t& end, int& protocol)
{
    if (d.empty())
        return false;
    const std::uint8_t* p = d.data();
    if (p[0] >> 4 == 4) {
        if (d.size() < 20 || (Be16(p + 6) & 0x1fff) != 0)
            return false;
        at = std::size_t{p[0] & 15u} * 4;
        const std::size_t total = Be16(p + 2);
        end = total >= at && total <= d.size() ? total : d.size();
        protocol = p[9];
        return at >= 20 && at <= end;
    }
    if (p[0] >> 4 != 6 || d.size() < 40)
        return false;
    const std::size_t length = Be16(p + 4);
    end = length != 0 && 40 + length <= d.size() ? 40 + length : d.size();
    protocol = p[6];
    at = 40;
    for (;;) {
        if (protocol != 0 && protocol != 43 && protocol != 60 && protocol != 44 && protocol != 51)
            return true;
        if (at + 8 > end)
            return false;
        const int next = p[at];
        if (protocol == 44) {
            if ((Be16(p + at + 2) & 0xfff8) != 0)
                return false;
            at += 8;
        } else if (protocol == 51) {
            at += (std::size_t{p[at + 1]} + 2) * 4;
        } else {
            at += (std::size_t{p[at + 1]} + 1) * 8;
        }
        protocol = next;
    }
}

}  // namespace

bool ParseTcpSegment(std::span<const std::uint8_t> d, TcpSegment& s)
{
    std::size_t at = 0, end = 0;
    int protocol = 0;
    if (!Transport(d, at, end, protocol) || protocol != 6 || at + 20 > end)
        return false;
    const std::uint8_t* p = d.data() + at;
    const std::size_t headers = static_cast<std::size_t>(p[12] >> 4) * 4;
    if (headers < 20 || at + headers > end)
        return false;
    s.seq = Be32(p + 4);
    s.fin = p[13] & 0x01;
    s.syn = p[13] & 0x02;
    s.rst = p[13] & 0x04;
    s.ack = p[13] & 0x10;
    s.payload = {reinterpret_cast<const char*>(p) + headers, end - at - headers};
    return true;
}

bool ParseUdpPayload(std::span<const std::uint8_t> d, std::string_view& payload)
{
    std::size_t at = 0, end = 0;
    int protocol = 0;
    if (!Transport(d, at, end, protocol) || protocol != 17 || at + 8 > end)
        return false;
    const std::size_t length = Be16(d.data() + at + 4);
    if (length >= 8 && at + length <= end)
        end = at + length;
    payload = {reinterpret_cast<const char*>(d.data()) + at + 8, end - at - 8};
    return true;
}

// --- one TCP direction ----------------------------------------------------------

std::uint64_t TcpDirection::Unwrap(std::uint32_t seq)
{
    if (!started_) {
        // Far enough from 0 that segments from before the first one seen
        // still have a place.
        started_ = true;
        lastSeq_ = seq;
        lastAt_ = std::uint64_t{1} << 32;
        return lastAt_;
    }
    const std::uint64_t at = lastAt_ + static_cast<std::int64_t>(static_cast<std::int32_t>(seq - lastSeq_));
    if (at > lastAt_) {
        lastAt_ = at;
        lastSeq_ = seq;
    }
    return at;
}

void TcpDirection::Feed(const TcpSegment& s, int side, std::vector<StreamPiece>& out)
{
    const bool first = !started_;
    const std::uint64_t at = Unwrap(s.seq);
    if (first)
        next_ = at + (s.syn ? 1 : 0);
    const std::uint64_t dataAt = at + (s.syn ? 1 : 0);
    if (s.payload.empty() && !s.fin)
        return;
    const std::uint64_t end = dataAt + s.payload.size() + (s.fin ? 1 : 0);
    if (end <= next_)
        return;  // all of it came before
    if (dataAt > next_) {
        auto [it, added] = pending_.try_emplace(dataAt);
        if (added || s.payload.size() > it->second.bytes.size()) {
            pendingBytes_ += s.payload.size() - it->second.bytes.size();
            it->second.bytes.assign(s.payload);
            it->second.fin = s.fin;
        }
        while (pendingBytes_ > kMaxPending) {
            SkipToFirstWaiting(side, out);
            Drain(side, out);
        }
        return;
    }
    Deliver(dataAt, s.payload, s.fin, side, out);
    Drain(side, out);
}

void TcpDirection::Deliver(std::uint64_t at, std::string_view bytes, bool fin, int side,
                           std::vector<StreamPiece>& out)
{
    const std::uint64_t skip = std::min<std::uint64_t>(next_ - at, bytes.size());
    if (at + bytes.size() + (fin ? 1 : 0) <= next_)
        return;
    bytes.remove_prefix(static_cast<std::size_t>(skip));
    if (!bytes.empty()) {
        if (!out.empty() && out.back().side == side && out.back().missing == 0)
            out.back().bytes.append(bytes);
        else
            out.push_back(StreamPiece{side, std::string(bytes), 0});
    }
    next_ = std::max(next_, at + skip + bytes.size()) + (fin ? 1 : 0);
}

void TcpDirection::Drain(int side, std::vector<StreamPiece>& out)
{
    while (!pending_.empty() && pending_.begin()->first <= next_) {
        auto node = pending_.extract(pending_.begin());
        pendingBytes_ -= node.mapped().bytes.size();
        Deliver(node.key(), node.mapped().bytes, node.mapped().fin, side, out);
    }
}

void TcpDirection::SkipToFirstWaiting(int side, std::vector<StreamPiece>& out)
{
    if (pending_.empty() || pending_.begin()->first <= next_)
        return;
    out.push_back(StreamPiece{side, {}, pending_.begin()->first - next_});
    next_ = pending_.begin()->first;
}

void TcpDirection::Flush(int side, std::vector<StreamPiece>& out)
{
    while (!pending_.empty()) {
        SkipToFirstWaiting(side, out);
        Drain(side, out);
    }
}

// --- both sides ----------------------------------------------------------------

void StreamReassembly::FeedTcp(int side, const TcpSegment& segment)
{
    made_.clear();
    dir_[side & 1].Feed(segment, side & 1, made_);
    Keep(made_);
}

void StreamReassembly::FeedUdp(int side, std::string_view payload)
{
    made_.clear();
    if (!payload.empty())
        made_.push_back(StreamPiece{side & 1, std::string(payload), 0});
    Keep(made_);
}

void StreamReassembly::Finish()
{
    for (int side = 0; side < 2; ++side) {
        made_.clear();
        dir_[side].Flush(side, made_);
        Keep(made_);
    }
}

void StreamReassembly::Keep(std::vector<StreamPiece>& made)
{
    for (StreamPiece& piece : made) {
        bytes_[piece.side] += piece.bytes.size();
        if (capped_)
            continue;
        if (kept_ + piece.bytes.size() > keep_) {
            piece.bytes.resize(static_cast<std::size_t>(keep_ - kept_));
            capped_ = true;
            if (piece.bytes.empty())
                continue;
        }
        kept_ += piece.bytes.size();
        if (!out_.empty() && out_.back().side == piece.side && out_.back().missing == 0 && piece.missing == 0)
            out_.back().bytes += piece.bytes;
        else
            out_.push_back(std::move(piece));
    }
}

std::vector<StreamPiece> StreamReassembly::Take()
{
    std::vector<StreamPiece> taken;
    taken.swap(out_);
    return taken;
}

}  // namespace quillet
