#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/ChunkedArray.h"
#include "decode/DnsQueries.h"
#include "decode/clV.h"

namespace quillet {

// The conversations of the stored TCP and UDP packets: the two endpoints
// (address and port of each side) and the protocol, the same both ways.
// TCP and UDP conversations are numbered each on their own from 0, in the
// order of their first packets (the tcp.stream and udp.stream of the
// display filter); a TCP SYN without ACK after a FIN or RST of the same
// endpoints starts a new one.
//
// Stored() finds a packet's conversation once, as it is stored: a probe of
// a flat table (open addressing, hashed with a salt of the run), a few
// additions, four bytes a packet, nothing allocated but for a new
// conversation. Window-free; read on the window's thread, or by filter
// slices while it waits for them.
class Conversations {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    // TCP flags as DecodedDatagram::tcpFlags holds them.
    static constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

    // A conversation as read: what the table and the filter show.
    struct Conversation {
        std::uint8_t protocol = 0;  // 6 TCP, 17 UDP
        std::uint32_t stream = 0;   // its number among the protocol's conversations
        // A: the source of its first packet (for TCP usually the side that opened it).
        AddressText addrA, addrB;
        std::uint16_t portA = 0, portB = 0;
        std::uint32_t dnsAnswers = 0;   // DNS answers to queries seen
        std::uint64_t packets[2] = {};  // [0] A to B, [1] B to A
        std::uint64_t bytes[2] = {};    // datagram lengths
        std::int64_t firstUs = 0, lastUs = 0;
        std::int64_t firstSeq = 0, lastSeq = 0;
        // The TCP handshake as seen here: SYN to SYN/ACK and SYN/ACK to ACK,
        // -1 until seen.
        std::int64_t synToSynAckUs = -1, synAckToAckUs = -1;
        // DNS over UDP: the first answer's time after its query, -1 none.
        std::int64_t dnsAnswerUs = -1;

        // The round trip shown: the handshake's whole, or the DNS answer's
        // time; -1 when not seen.
        std::int64_t RoundTripUs() const
        {
            if (synToSynAckUs >= 0 && synAckToAckUs >= 0)
                return synToSynAckUs + synAckToAckUs;
            return dnsAnswerUs;
        }
    };

    Conversations();

    // The packet just stored as seq (each seq after the one before): its
    // record, TCP flags (0 when not known), datagram length, timestamp and
    // payload.
    void Stored(std::int64_t seq, const clV& record, std::uint8_t tcpFlags, std::uint64_t bytes, std::int64_t tsUs,
                std::span<const std::uint8_t> payload);
    // Takes back the packet stored last as seq, which the store did not keep
    // after all: its conversation is as before it (a DNS query it held
    // stays pending).
    void TakeBack(std::int64_t seq);

    // The conversation of a stored packet (an index for At()), kNone when
    // it has none (not TCP or UDP, no ports).
    std::uint32_t Of(std::int64_t seq) const
    {
        const auto i = static_cast<std::size_t>(seq - 1);
        return seq >= 1 && i < of_.size() ? of_[i] : kNone;
    }
    // Its number among its protocol's conversations (tcp.stream, udp.stream), -1 none.
    std::int64_t StreamOf(std::int64_t seq) const
    {
        const std::uint32_t c = Of(seq);
        return c == kNone ? -1 : std::int64_t{hot_[c].stream};
    }
    // The conversation with that protocol and number, kNone when none.
    std::uint32_t Find(std::uint8_t protocol, std::uint32_t stream) const;

    std::size_t size() const { return hot_.size(); }
    Conversation At(std::uint32_t index) const;
    // The sequence numbers of a conversation's first and last stored packets.
    std::int64_t FirstPacketOf(std::uint32_t index) const { return hot_[index].firstSeq; }
    std::int64_t LastPacketOf(std::uint32_t index) const
    {
        const Hot& h = hot_[index];
        return h.more == kNone ? h.firstSeq : more_[h.more].lastSeq;
    }

private:
    struct Key {
        std::uint64_t lo = 0, hi = 0;  // the endpoints' address bits, the lower (with its port) first
        std::uint32_t ports = 0;       // the lower's port high, the other's low
        std::uint8_t protocol = 0;
        bool operator==(const Key&) const = default;
    };
    // What every conversation holds. Until its second packet (or a DNS
    // answer) the rest follows from its first: one packet from A, its
    // length, no answer; a port scan or flood costs this much a conversation.
    struct Hot {
        AddressText addrA, addrB;
        std::int64_t firstSeq = 0, firstUs = 0;
        std::uint32_t stream = 0;
        std::uint32_t more = kNone;  // its More record, kNone before one was needed
        std::uint16_t portA = 0, portB = 0;
        std::uint16_t firstBytes = 0;  // the first packet's length (a longer one makes More)
        std::uint8_t protocol = 0;
        std::uint8_t state = 0;  // kClosed, kFirstSyn
    };
    static constexpr std::uint8_t kClosed = 1;    // a FIN or RST was seen
    static constexpr std::uint8_t kFirstSyn = 2;  // the first packet was a SYN without ACK
    // The rest of a conversation of more than one packet.
    struct More {
        std::uint64_t packets[2] = {};
        std::uint64_t bytes[2] = {};
        std::int64_t lastSeq = 0, lastUs = 0;
        std::int64_t synToSynAckUs = -1, synAckToAckUs = -1;
        std::int64_t dnsAnswerUs = -1;
        std::uint32_t dnsAnswers = 0;
        // The SYN answered and the SYN/ACK, as offsets from firstUs (-1 none).
        std::int32_t synAt = -1, synAckAt = -1;
    };
    struct Slot {
        std::uint32_t conversation = kNone;  // kNone: free
        std::uint32_t hash = 0;
    };
    // What TakeBack() undoes.
    struct Undo {
        std::int64_t seq = 0;
        std::uint32_t conversation = kNone;
        bool made = false;                  // the packet made the conversation
        bool madeMore = false;              // the packet made its More record
        std::uint32_t replaced = kNone;     // the closed conversation it took the slot of
        Hot before;                         // otherwise, the conversation before the packet
        More moreBefore;
    };

    static Key KeyOf(const Hot& c);
    std::uint32_t Hash(const Key& key) const;
    // The slot holding key, or the free slot where it would go.
    std::size_t Probe(const Key& key, std::uint32_t hash) const;
    std::uint32_t Make(const Key& key, const clV& record, std::uint16_t srcPort, std::uint16_t destPort,
                       std::size_t slot, std::uint32_t hash);
    void Grow();
    void Erase(std::size_t slot);
    // Its More record, made from what its first packet told when not made yet.
    More& MoreOf(Hot& c);
    void Count(Hot& c, std::int64_t seq, bool fromA, std::uint8_t tcpFlags, std::uint64_t bytes, std::int64_t tsUs,
               std::span<const std::uint8_t> payload);

    // In blocks: a new conversation never moves the others.
    ChunkedArray<Hot, 12> hot_;
    ChunkedArray<More, 12> more_;
    ChunkedArray<std::uint32_t, 14> byStream_[2];  // TCP's and UDP's conversations by number
    ChunkedArray<std::uint32_t> of_;  // by seq - 1
    std::vector<Slot> slots_;         // at most three quarters full
    std::size_t occupied_ = 0;
    std::uint64_t salt_ = 0;
    Undo undo_;
    DnsQueries dns_;
    std::string dnsName_;  // reused
};

}  // namespace quillet
