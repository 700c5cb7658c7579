#include "views/Conversations.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <type_traits>

#include "core/LinearProbing.h"
#include "decode/TrafficNames.h"

namespace quillet {

namespace {

constexpr std::uint8_t kTcp = 6;
constexpr std::uint8_t kUdp = 17;
constexpr std::uint16_t kDnsPort = 53;

}  // namespace

Conversations::Conversations()
{
    // A salt of the run: traffic cannot aim its endpoints at one chain.
    std::random_device random;
    salt_ = (std::uint64_t{random()} << 32) ^ random();
}

AddressText Conversations::AddressOf(std::uint64_t end)
{
    // bits() is the field's bytes: the low five bytes of an end give it back.
    static_assert(sizeof(AddressText) == 5 && std::is_trivially_copyable_v<AddressText>);
    AddressText address;
    std::memcpy(static_cast<void*>(&address), &end, sizeof address);
    return address;
}

inline std::uint32_t Conversations::Hash(std::uint64_t lo, std::uint64_t hi) const
{
    // Multiplications by odd constants, the high half folded into the low
    // before each next one, so the ports (high in each end) reach the low
    // bits that choose the slot; the salt makes the chains unforeseeable.
    std::uint64_t h = (lo ^ salt_) * 0x9E3779B97F4A7C15ull + (hi ^ (salt_ >> 7)) * 0xC2B2AE3D27D4EB4Full;
    h = (h ^ h >> 32) * 0x165667B19E3779F9ull;
    return static_cast<std::uint32_t>(h >> 32 ^ h);
}

inline Conversations::Slot* Conversations::ProbeIn(Slot* table, std::size_t size, const Ends& e, bool& found,
                                                   bool& fromA) const
{
    // An end as a record keeps it: A's with the protocol in its top byte.
    const std::uint64_t fromEnd = e.from | std::uint64_t{e.protocol} << kTopShift;
    const std::uint64_t toEnd = e.to | std::uint64_t{e.protocol} << kTopShift;
    const std::size_t mask = size - 1;
    for (std::size_t at = e.hash & mask;; at = (at + 1) & mask) {
        Slot& s = table[at];
        if (s.conversation == 0) {
            found = false;
            return &s;
        }
        if (s.hash != e.hash)
            continue;
        // The ends compared where a packet reads them, either way round.
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        if (s.more != 0) {
            const More& m = more_[Index(s.more)];
            a = m.endA;
            b = m.endB & kEnd;
        } else {
            const Hot& h = hot_[Index(s.conversation)];
            a = h.endA;
            b = h.endB & kEnd;
        }
        if ((a == fromEnd && b == e.to) || (a == toEnd && b == e.from)) {
            found = true;
            fromA = a == fromEnd;
            return &s;
        }
    }
}

Conversations::Slot* Conversations::ProbeOld(const Ends& e, Slot* free, bool& fromA) const
{
    bool found = false;
    Slot* const old = ProbeIn(slots_.old(), slots_.oldSize(), e, found, fromA);
    return found ? old : free;
}

inline Conversations::Slot* Conversations::Probe(const Ends& e, bool& fromA)
{
    bool found = false;
    Slot* const free = ProbeIn(slots_.table(), slots_.size(), e, found, fromA);
    if (found || !slots_.moving()) [[likely]]
        return free;
    return ProbeOld(e, free, fromA);
}

void Conversations::Erase(Slot* slot)
{
    // Only a conversation made by the packet taken back is erased, and it
    // went into the new table.
    const std::size_t mask = slots_.size() - 1;
    EraseFromRun(
        slots_.table(), mask, static_cast<std::size_t>(slot - slots_.table()),
        [mask](const Slot& s) { return s.hash & mask; }, [](const Slot& s) { return s.conversation == 0; }, Slot{});
    --occupied_;
}

std::uint32_t Conversations::Make(std::uint64_t endA, std::uint64_t endB, std::uint8_t protocol, std::int64_t tsUs,
                                  Slot* slot, std::uint32_t hash)
{
    static_assert(sizeof(Hot) == 32 && sizeof(More) == 64, "a packet reads a line of each");
    static_assert(sizeof(Slot) == 12);
    const auto index = static_cast<std::uint32_t>(hot_.size());
    ChunkedArray<std::uint32_t, 14>& numbers = byStream_[protocol == kTcp ? 0 : 1];
    Hot c;
    c.endA = endA | std::uint64_t{protocol} << kTopShift;
    c.endB = endB;
    c.stream = static_cast<std::uint32_t>(numbers.size());
    hot_.push_back(c);
    try {
        firstUs_.push_back(tsUs);
        numbers.push_back(index);
    } catch (...) {
        firstUs_.truncate(index);
        hot_.truncate(index);
        throw;
    }
    if (slot->conversation == 0)
        ++occupied_;
    else
        hot_[Index(slot->conversation)].endB |= std::uint64_t{kReplaced} << kTopShift;
    *slot = {index + 1, 0, hash};
    return index;
}

inline bool Conversations::EndsOf(const clV& record, Ends& e) const
{
    std::uint32_t sp = 0;
    std::uint32_t dp = 0;
    if (!record.mProtocol.packed(e.protocol) || (e.protocol != kTcp && e.protocol != kUdp)
        || !record.mSrcPort.packed(sp) || !record.mDestPort.packed(dp))
        return false;
    e.from = record.mSrcAddr.bits() | std::uint64_t{sp} << kPortShift;
    e.to = record.mDestAddr.bits() | std::uint64_t{dp} << kPortShift;
    e.hash = Hash(std::min(e.from, e.to) | std::uint64_t{e.protocol} << kTopShift, std::max(e.from, e.to));
    return true;
}

// The fields a record's ends are made of, as bytes: equal bytes, equal ends.
static_assert(std::is_standard_layout_v<clV> && offsetof(clV, mProtocol) == 0
              && offsetof(clV, mSize) == 22);

inline bool Conversations::EndsAhead(const clV& record, const Ahead& ahead, Ends& e) const
{
    if (std::memcmp(&record, ahead.fields, kEndFields) != 0)
        return EndsOf(record, e);
    e = ahead.ends;
    return ahead.has;
}

void Conversations::PrefetchAhead(const clV& record) const
{
    if (!GainsFromPrefetch())
        return;
    std::memcpy(next_.fields, &record, kEndFields);
    next_.has = EndsOf(record, next_.ends);
    if (!next_.has)
        return;
    const std::uint32_t hash = next_.ends.hash;
    __builtin_prefetch(&slots_.table()[hash & (slots_.size() - 1)]);
    if (slots_.moving())
        __builtin_prefetch(&slots_.old()[hash & (slots_.oldSize() - 1)]);
}

void Conversations::Prefetch(const clV& record) const
{
    std::memcpy(ahead_.fields, &record, kEndFields);
    ahead_.has = EndsAhead(record, next_, ahead_.ends);
    if (slots_.size() == 0 || !ahead_.has)
        return;
    // The record of the first slot of its hash near its home: a new
    // conversation's slot, or a hash shared by two, costs a wasted fetch.
    const std::uint32_t hash = ahead_.ends.hash;
    if (slots_.moving())  // a conversation not in the new table is looked for in the old one
        __builtin_prefetch(&slots_.old()[hash & (slots_.oldSize() - 1)]);
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = hash & mask;
    for (int probes = 0; probes < 4; ++probes, at = (at + 1) & mask) {
        const Slot& s = slots_.table()[at];
        if (s.conversation == 0)
            return;
        if (s.hash == hash) {
            if (s.more != 0)
                __builtin_prefetch(&more_[Index(s.more)], 1);
            else
                __builtin_prefetch(&hot_[Index(s.conversation)], 1);
            return;
        }
    }
}

inline void Conversations::CountIn(More& m, bool fromA, std::int64_t seq, std::uint64_t bytes, std::int64_t tsUs)
{
    const int way = fromA ? 0 : 1;
    undo_.way = static_cast<std::uint8_t>(way);
    undo_.bytes = bytes;
    undo_.lastSeq = m.lastSeq;
    undo_.lastUs = m.lastUs;
    m.packets[way] += 1;
    m.bytes[way] += bytes;
    m.lastSeq = seq;
    m.lastUs = std::max(m.lastUs, tsUs);
}

inline bool Conversations::CountOrdinary(Slot* slot, const Ends& e, bool fromA, std::int64_t seq,
                                         std::uint8_t flags, std::uint64_t bytes, std::int64_t tsUs, bool payload)
{
    if (slot->conversation == 0 || slot->more == 0)
        return false;
    More& m = more_[Index(slot->more)];
    if (e.protocol == kTcp) {
        // A SYN may open a new one or be answered, a FIN or RST closes, an
        // ACK may end the handshake.
        if ((flags & (kSyn | kFin | kRst)) != 0 || (m.endB & std::uint64_t{kAwaitsAck} << kTopShift) != 0)
            return false;
    } else if (payload && (PortOf(e.from) == kDnsPort || PortOf(e.to) == kDnsPort)) {
        return false;
    }
    undo_.conversation = Index(slot->conversation);
    undo_.made = false;
    undo_.madeMore = false;
    undo_.handshake = false;
    undo_.closed = false;
    undo_.slot = slot;
    CountIn(m, fromA, seq, bytes, tsUs);
    return true;
}

void Conversations::Stored(std::int64_t seq, const clV& record, std::uint8_t tcpFlags, std::uint64_t bytes,
                           std::int64_t tsUs, std::span<const std::uint8_t> payload)
{
    const auto at = static_cast<std::size_t>(seq - 1);
    if (of_.size() != at) {
        of_.truncate(at);
        while (of_.size() < at)
            of_.push_back(kNone);
    }
    of_.reserveOne();  // the push_back below cannot throw
    dns_.Mark();  // the queries note no changes of packets before this one
    undo_.seq = seq;
    undo_.conversation = kNone;
    Ends e;
    if (!EndsAhead(record, ahead_, e)) {
        of_.push_back(kNone);
        return;
    }
    // Moves before the probe: the slot found stays where it is until the
    // next packet, for TakeBack.
    slots_.Move(kMovesPerPacket);
    if ((occupied_ + 1) * 4 > slots_.size() * 3) [[unlikely]]
        slots_.Grow(std::max<std::size_t>(1024, slots_.size() * 2));
    bool fromA = true;
    Slot* const slot = Probe(e, fromA);
    if (CountOrdinary(slot, e, fromA, seq, tcpFlags, bytes, tsUs, !payload.empty())) [[likely]] {
        of_.push_back(undo_.conversation);
        return;
    }
    of_.push_back(kNone);
    std::uint32_t c = Index(slot->conversation);
    const bool tcp = e.protocol == kTcp;
    const bool opens = tcp && (tcpFlags & (kSyn | kAck)) == kSyn;
    undo_.made = c == kNone || (opens && (StateOf(hot_[c]) & kClosed) != 0);
    undo_.slot = slot;
    if (undo_.made) {
        undo_.replaced = c;
        c = Make(e.from, e.to, static_cast<std::uint8_t>(e.protocol), tsUs, slot, e.hash);
        fromA = true;
    }
    undo_.conversation = c;
    const std::uint32_t more = Index(slot->more);
    undo_.madeMore = !undo_.made && more == kNone;
    undo_.handshake = false;
    undo_.closed = false;
    try {
        Count(c, more, tcp, e.from, e.to, seq, fromA, tcpFlags, bytes, tsUs, payload);
    } catch (...) {
        // Out of memory part way: what the packet changed is undone.
        dns_.RollBack();
        if (!undo_.made && hot_[c].more == kNone) {
            of_.truncate(at);  // its More record could not be made: nothing was counted
            undo_.seq = 0;
        } else {
            TakeBack(seq);
        }
        throw;
    }
    if (more == kNone)
        slot->more = hot_[c].more + 1;
    of_[at] = c;
}

std::uint32_t Conversations::MoreOf(std::uint32_t index, std::uint32_t more)
{
    if (more != kNone)
        return more;
    Hot& c = hot_[index];
    More m;
    m.endA = c.endA;
    m.endB = c.endB & kEnd;
    if (FirstSeq(c) != 0) {
        m.packets[0] = 1;
        m.bytes[0] = c.first >> kLengthShift;
        m.lastSeq = FirstSeq(c);
        m.lastUs = firstUs_[index];
    }
    Rare r;
    if ((StateOf(c) & kFirstSyn) != 0)
        r.synAt = 0;
    const auto made = static_cast<std::uint32_t>(more_.size());
    more_.push_back(m);
    try {
        rare_.push_back(r);
    } catch (...) {
        more_.truncate(made);
        throw;
    }
    c.more = made;
    return made;
}

Conversations::Rare& Conversations::KeepForUndo(std::uint32_t more)
{
    if (!undo_.handshake && !undo_.made && !undo_.madeMore) {
        undo_.handshake = true;
        undo_.rareBefore = rare_[more];
        undo_.endBBefore = more_[more].endB;
    }
    return rare_[more];
}

void Conversations::Count(std::uint32_t index, std::uint32_t more, bool tcp, std::uint64_t from, std::uint64_t to,
                          std::int64_t seq, bool fromA, std::uint8_t flags, std::uint64_t bytes, std::int64_t tsUs,
                          std::span<const std::uint8_t> payload)
{
    const bool syn = (flags & kSyn) != 0;
    const bool ack = (flags & kAck) != 0;
    const bool closes = tcp && (flags & (kFin | kRst)) != 0;
    if (undo_.made && bytes <= UINT16_MAX) {
        // The first packet: what it tells stays in the hot record.
        Hot& c = hot_[index];
        c.first = static_cast<std::uint64_t>(seq) | bytes << kLengthShift;
        if (tcp) {
            if (syn && !ack)
                c.endB |= std::uint64_t{kFirstSyn} << kTopShift;
            if (closes)
                c.endB |= std::uint64_t{kClosed} << kTopShift;
            return;
        }
    } else {
        // A packet of a conversation with a More record reads that line alone.
        more = MoreOf(index, more);
        More& m = more_[more];
        if (undo_.made)
            hot_[index].first = static_cast<std::uint64_t>(seq);  // longer than the hot record keeps
        CountIn(m, fromA, seq, bytes, tsUs);
        if (tcp) {
            if (closes) {
                Hot& c = hot_[index];
                undo_.closed = (StateOf(c) & kClosed) == 0;
                c.endB |= std::uint64_t{kClosed} << kTopShift;
            }
            const auto at = [&] {
                return static_cast<std::int32_t>(std::clamp<std::int64_t>(tsUs - firstUs_[index], 0, INT32_MAX));
            };
            const std::uint64_t awaitsAck = std::uint64_t{kAwaitsAck} << kTopShift;
            if (syn && !ack && fromA) {
                if (Rare& r = KeepForUndo(more); r.synAckAt < 0)
                    r.synAt = at();  // a SYN sent again: the last one is answered
            } else if (syn && ack && !fromA) {
                if (Rare& r = KeepForUndo(more); r.synAt >= 0 && r.synAckAt < 0) {
                    r.synAckAt = at();
                    m.endB |= awaitsAck;
                }
            } else if (!syn && ack && fromA && (m.endB & awaitsAck) != 0) {
                KeepForUndo(more).ackAt = at();
                m.endB &= ~awaitsAck;
            }
            return;
        }
    }
    // The ends as A and B.
    const std::uint64_t endA = fromA ? from : to;
    const std::uint64_t endB = fromA ? to : from;
    const std::uint16_t portA = PortOf(endA);
    const std::uint16_t portB = PortOf(endB);
    if ((portA != kDnsPort && portB != kDnsPort) || payload.empty())
        return;
    DnsQueries::Question question;
    bool answer = false;
    if (ReadDnsQuestion(payload, dnsName_, question, answer) == 0)
        return;
    // Ends of the query: the client first.
    constexpr std::uint64_t kAddress = (std::uint64_t{1} << kPortShift) - 1;
    const std::uint64_t src = from & kAddress;
    const std::uint64_t dest = to & kAddress;
    const std::uint16_t srcPort = PortOf(from);
    const std::uint16_t destPort = PortOf(to);
    if (!answer) {
        dns_.Add({src, dest, srcPort, destPort}, question, tsUs);
        return;
    }
    std::int64_t queryUs = 0;
    if (!dns_.Take({dest, src, destPort, srcPort}, question, tsUs, &queryUs))
        return;
    Rare& r = KeepForUndo(MoreOf(index, hot_[index].more));
    if (r.dnsAnswers++ == 0)
        r.dnsAnswerUs = static_cast<std::int32_t>(std::clamp<std::int64_t>(tsUs - queryUs, 0, INT32_MAX));
}

void Conversations::TakeBack(std::int64_t seq)
{
    if (undo_.seq != seq || of_.size() != static_cast<std::size_t>(seq))
        return;
    of_.truncate(static_cast<std::size_t>(seq - 1));
    const Undo& undo = undo_;
    undo_.seq = 0;
    if (undo.conversation == kNone)
        return;
    Hot& c = hot_[undo.conversation];
    if (!undo.made) {
        if (undo.closed)
            c.endB &= ~(std::uint64_t{kClosed} << kTopShift);
        if (undo.madeMore) {
            more_.truncate(more_.size() - 1);
            rare_.truncate(rare_.size() - 1);
            c.more = kNone;
            undo.slot->more = 0;
            return;
        }
        More& m = more_[c.more];
        if (undo.handshake) {
            rare_[c.more] = undo.rareBefore;
            m.endB = undo.endBBefore;
        }
        m.packets[undo.way] -= 1;
        m.bytes[undo.way] -= undo.bytes;
        m.lastSeq = undo.lastSeq;
        m.lastUs = undo.lastUs;
        return;
    }
    if (c.more != kNone) {
        more_.truncate(more_.size() - 1);
        rare_.truncate(rare_.size() - 1);
    }
    if (undo.replaced != kNone) {
        Hot& replaced = hot_[undo.replaced];
        replaced.endB &= ~(std::uint64_t{kReplaced} << kTopShift);
        *undo.slot = {undo.replaced + 1, replaced.more + 1, undo.slot->hash};
    } else {
        Erase(undo.slot);
    }
    ChunkedArray<std::uint32_t, 14>& numbers = byStream_[ProtocolOf(c) == kTcp ? 0 : 1];
    numbers.truncate(numbers.size() - 1);
    hot_.truncate(hot_.size() - 1);
    firstUs_.truncate(firstUs_.size() - 1);
}

std::uint32_t Conversations::Find(std::uint8_t protocol, std::uint32_t stream) const
{
    if (protocol != kTcp && protocol != kUdp)
        return kNone;
    const ChunkedArray<std::uint32_t, 14>& numbers = byStream_[protocol == kTcp ? 0 : 1];
    return stream < numbers.size() ? numbers[stream] : kNone;
}

Conversations::Conversation Conversations::At(std::uint32_t index) const
{
    const Hot& h = hot_[index];
    Conversation c;
    c.protocol = ProtocolOf(h);
    c.stream = h.stream;
    c.addrA = AddressOf(h.endA);
    c.addrB = AddressOf(h.endB);
    c.portA = PortOf(h.endA);
    c.portB = PortOf(h.endB);
    c.firstSeq = FirstSeq(h);
    c.firstUs = firstUs_[index];
    if (h.more == kNone) {
        if (c.firstSeq != 0) {
            c.packets[0] = 1;
            c.bytes[0] = h.first >> kLengthShift;
        }
        c.lastSeq = c.firstSeq;
        c.lastUs = c.firstUs;
        return c;
    }
    const More& m = more_[h.more];
    std::copy_n(m.packets, 2, c.packets);
    std::copy_n(m.bytes, 2, c.bytes);
    c.lastSeq = m.lastSeq;
    c.lastUs = m.lastUs;
    const Rare& r = rare_[h.more];
    if (c.protocol == kTcp) {
        if (r.synAckAt >= 0)
            c.synToSynAckUs = std::max(0, r.synAckAt - r.synAt);
        if (r.ackAt >= 0)
            c.synAckToAckUs = std::max(0, r.ackAt - r.synAckAt);
    } else {
        c.dnsAnswerUs = r.dnsAnswerUs;
    }
    c.dnsAnswers = r.dnsAnswers;
    return c;
}

}  // namespace quillet
