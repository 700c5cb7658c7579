#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/ChunkedArray.h"
#include "core/MovingSlots.h"
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
// a flat table (open addressing, hashed with a salt of the run) compared in
// place with the conversation's ends, a few additions, four bytes a packet,
// nothing allocated but for a new conversation (40 bytes, the table's slot
// and its number). Window-free; read on the window's thread, or by filter
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
    // Starts to fetch the conversation of a packet about to be stored, for
    // Stored() a little later; changes nothing.
    void Prefetch(const clV& record) const;
    // The same a packet earlier, for the packet after the next: fetches its
    // table slots, whose content Prefetch() reads then.
    void PrefetchAhead(const clV& record) const;
    // Whether PrefetchAhead does anything: the table outgrew the cache.
    bool GainsFromPrefetch() const { return slots_.Large(); }
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
    std::int64_t FirstPacketOf(std::uint32_t index) const { return FirstSeq(hot_[index]); }
    std::int64_t LastPacketOf(std::uint32_t index) const
    {
        const Hot& h = hot_[index];
        return h.more == kNone ? FirstSeq(h) : more_[h.more].lastSeq;
    }

private:
    // What every conversation holds. Until its second packet (or a DNS
    // answer) the rest follows from its first: one packet from A, its
    // length, no answer; a port scan or flood costs this much a conversation.
    // Half a cache line: a packet reads one line of it (its first time,
    // read by few, is kept apart in firstUs_).
    struct alignas(32) Hot {
        // Each end as one number: the address's bits() (40 bits), the port
        // above them, and in the top byte A's protocol and B's state.
        std::uint64_t endA = 0, endB = 0;
        // The first packet's seq (48 bits, 0 before it) and length above it
        // (a longer one makes More).
        std::uint64_t first = 0;
        std::uint32_t stream = 0;
        std::uint32_t more = kNone;  // its More record, kNone before one was needed
    };
    static constexpr unsigned kPortShift = 40, kTopShift = 56, kLengthShift = 48;
    static constexpr std::uint64_t kEnd = (std::uint64_t{1} << kTopShift) - 1;
    static constexpr std::uint64_t kSeq = (std::uint64_t{1} << kLengthShift) - 1;
    static constexpr std::uint8_t kClosed = 1;    // state: a FIN or RST was seen
    static constexpr std::uint8_t kFirstSyn = 2;  // state: the first packet was a SYN without ACK
    static constexpr std::uint8_t kReplaced = 4;  // state: a new one of its ends took its slot
    static constexpr std::uint8_t kAwaitsAck = 1;  // More's flag: the SYN/ACK seen, not the ACK after it
    static std::int64_t FirstSeq(const Hot& h) { return static_cast<std::int64_t>(h.first & kSeq); }
    static std::uint8_t ProtocolOf(const Hot& h) { return static_cast<std::uint8_t>(h.endA >> kTopShift); }
    static std::uint8_t StateOf(const Hot& h) { return static_cast<std::uint8_t>(h.endB >> kTopShift); }
    static std::uint16_t PortOf(std::uint64_t end) { return static_cast<std::uint16_t>(end >> kPortShift); }
    static AddressText AddressOf(std::uint64_t end);

    // The rest of a conversation of more than one packet: what each packet
    // reads and counts, in one cache line (its ends again, so that a packet
    // of it does not read its hot record), and its handshake or DNS answers
    // apart (Rare, by the same index).
    struct alignas(64) More {
        std::uint64_t endA = 0, endB = 0;  // as Hot's, B's without its state
        std::uint64_t packets[2] = {};
        std::uint64_t bytes[2] = {};
        std::int64_t lastSeq = 0, lastUs = 0;
    };
    struct Rare {
        // TCP: the SYN answered, the SYN/ACK and the ACK after it, as offsets
        // from the first packet's time (-1 none; a handshake of more than
        // half an hour is cut at that). UDP: the first DNS answer's time
        // after its query (-1 none).
        union {
            std::int32_t synAt = -1;
            std::int32_t dnsAnswerUs;
        };
        std::int32_t synAckAt = -1, ackAt = -1;
        std::uint32_t dnsAnswers = 0;
    };
    // A slot names the conversation's More record too: a packet of a
    // conversation that has one reads the slot and that line alone. It
    // keeps the conversation's hash, so that a probe passes the slots of
    // other conversations without reading their records, and the table
    // moves to a larger one without reading them either. Indexes are kept
    // plus one: a zeroed slot is free and names no More record.
    struct Slot {
        std::uint32_t conversation = 0;  // index + 1, 0: free
        std::uint32_t more = 0;          // More index + 1, 0: none yet
        std::uint32_t hash = 0;
    };
    static std::uint32_t Index(std::uint32_t stored) { return stored - 1; }  // kNone for 0
    struct SlotTraits {
        static std::size_t Home(const Slot& s) { return s.hash; }
        static bool Free(const Slot& s) { return s.conversation == 0; }
    };
    using Slots = MovingSlots<Slot, SlotTraits>;
    // What TakeBack() undoes: what the packet changed, not copies of the
    // records (the handshake and DNS fields only when it changed them).
    struct Undo {
        std::int64_t seq = 0;
        std::uint32_t conversation = kNone;
        bool made = false;               // the packet made the conversation
        bool madeMore = false;           // the packet made its More record
        bool handshake = false;          // rareBefore holds its Rare before the handshake or DNS changed it
        bool closed = false;             // the packet closed it
        std::uint8_t way = 0;            // the direction counted
        Slot* slot = nullptr;            // the conversation's slot
        std::uint32_t replaced = kNone;  // the closed conversation it took the slot of
        std::uint64_t bytes = 0;
        std::int64_t lastSeq = 0, lastUs = 0;
        std::uint64_t endBBefore = 0;  // with handshake: More's endB before
        Rare rareBefore;
    };

    std::uint32_t Hash(std::uint64_t lo, std::uint64_t hi) const;
    // A packet's ends as Stored() compares them (each address's bits() and
    // port), its protocol and their hash.
    struct Ends {
        std::uint64_t from = 0, to = 0;
        std::uint32_t protocol = 0, hash = 0;
    };
    // What was found ahead for the record it was asked of: the record's
    // address, port and protocol fields as they stand, and its ends.
    static constexpr std::size_t kEndFields = 22;  // the record's fields up to mSize
    struct Ahead {
        unsigned char fields[kEndFields] = {};
        bool has = false;  // the fields have a conversation
        Ends ends;
    };
    // The ends of the record; false when it has no conversation.
    bool EndsOf(const clV& record, Ends& ends) const;
    // The same, taken from what was found ahead (ahead_ or next_) when it
    // was for a record of the same fields.
    bool EndsAhead(const clV& record, const Ahead& ahead, Ends& ends) const;
    // The slot holding the conversation of the ends (from: the packet's
    // source, to: its destination, neither with the protocol), or the free
    // slot of the new table where it would go; fromA tells the packet's
    // direction.
    Slot* Probe(const Ends& ends, bool& fromA);
    Slot* ProbeIn(Slot* table, std::size_t size, const Ends& ends, bool& found, bool& fromA) const;
    Slot* ProbeOld(const Ends& ends, Slot* free, bool& fromA) const;
    // Counts the packet in its conversation's More record, noting what it
    // changed for TakeBack.
    void CountIn(More& m, bool fromA, std::int64_t seq, std::uint64_t bytes, std::int64_t tsUs);
    // Counts a packet of a conversation with a More record that changes
    // neither its state, handshake nor DNS answers (most packets); false,
    // having changed nothing, for any other.
    bool CountOrdinary(Slot* slot, const Ends& ends, bool fromA, std::int64_t seq, std::uint8_t tcpFlags,
                       std::uint64_t bytes, std::int64_t tsUs, bool payload);
    std::uint32_t Make(std::uint64_t endA, std::uint64_t endB, std::uint8_t protocol, std::int64_t tsUs, Slot* slot,
                       std::uint32_t hash);
    // The table is at most three quarters full: one twice its size takes
    // its place then, and its slots move over kMovesPerPacket with each
    // packet after it (MovingSlots).
    static constexpr std::size_t kMovesPerPacket = 8;
    void Erase(Slot* slot);
    // The More record of a conversation (more: its index, kNone when not
    // made yet), made from what its first packet told when not made yet.
    std::uint32_t MoreOf(std::uint32_t index, std::uint32_t more);
    // Notes rareBefore for TakeBack, once a packet.
    Rare& KeepForUndo(std::uint32_t more);
    // Counts the packet in conversation index (its More record more); from
    // and to are its ends as Stored() makes them.
    void Count(std::uint32_t index, std::uint32_t more, bool tcp, std::uint64_t from, std::uint64_t to,
               std::int64_t seq, bool fromA, std::uint8_t tcpFlags, std::uint64_t bytes, std::int64_t tsUs,
               std::span<const std::uint8_t> payload);

    // In blocks: a new conversation never moves the others.
    ChunkedArray<Hot, 12> hot_;
    ChunkedArray<std::int64_t, 12> firstUs_;  // the first packet's time, by conversation
    ChunkedArray<More, 12> more_;
    ChunkedArray<Rare, 12> rare_;  // by More index
    ChunkedArray<std::uint32_t, 14> byStream_[2];  // TCP's and UDP's conversations by number
    ChunkedArray<std::uint32_t> of_;  // by seq - 1
    Slots slots_;
    std::size_t occupied_ = 0;
    std::uint64_t salt_ = 0;
    Undo undo_;
    mutable Ahead ahead_;
    mutable Ahead next_;  // what PrefetchAhead() found, for the next Prefetch()
    DnsQueries dns_;
    std::string dnsName_;  // reused
};

}  // namespace quillet
