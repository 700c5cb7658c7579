#include "views/Conversations.h"

#include <algorithm>
#include <random>

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

Conversations::Key Conversations::KeyOf(const Hot& c)
{
    static_assert(sizeof(Hot) <= 48, "a conversation's hot record stays small");
    const std::uint64_t a = c.addrA.bits();
    const std::uint64_t b = c.addrB.bits();
    const bool aLow = a < b || (a == b && c.portA <= c.portB);
    Key key;
    key.lo = aLow ? a : b;
    key.hi = aLow ? b : a;
    key.ports = aLow ? std::uint32_t{c.portA} << 16 | c.portB : std::uint32_t{c.portB} << 16 | c.portA;
    key.protocol = c.protocol;
    return key;
}

std::uint32_t Conversations::Hash(const Key& key) const
{
    // Multiplications by odd constants, folded once: the salt makes the chains unforeseeable.
    const std::uint64_t h = (key.lo ^ salt_) * 0x9E3779B97F4A7C15ull + (key.hi ^ (salt_ >> 7)) * 0xC2B2AE3D27D4EB4Full
                            + (std::uint64_t{key.ports} << 8 | key.protocol) * 0x165667B19E3779F9ull;
    return static_cast<std::uint32_t>(h >> 32 ^ h);
}

std::size_t Conversations::Probe(const Key& key, std::uint32_t hash) const
{
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& s = slots_[at];
        if (s.conversation == kNone || (s.hash == hash && KeyOf(hot_[s.conversation]) == key))
            return at;
    }
}

void Conversations::Grow()
{
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(1024, old.size() * 2), Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.conversation == kNone)
            continue;
        std::size_t at = s.hash & mask;
        while (slots_[at].conversation != kNone)
            at = (at + 1) & mask;
        slots_[at] = s;
    }
}

void Conversations::Erase(std::size_t slot)
{
    // Linear probing: the entries after the hole that could live in it move up.
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = slot;
    for (std::size_t at = (hole + 1) & mask; slots_[at].conversation != kNone; at = (at + 1) & mask) {
        const std::size_t home = slots_[at].hash & mask;
        const bool stays = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
        if (!stays) {
            slots_[hole] = slots_[at];
            hole = at;
        }
    }
    slots_[hole] = Slot{};
    --occupied_;
}

std::uint32_t Conversations::Make(const Key& key, const clV& record, std::uint16_t srcPort, std::uint16_t destPort,
                                  std::size_t slot, std::uint32_t hash)
{
    const auto index = static_cast<std::uint32_t>(hot_.size());
    ChunkedArray<std::uint32_t, 14>& numbers = byStream_[key.protocol == kTcp ? 0 : 1];
    Hot c;
    c.protocol = key.protocol;
    c.stream = static_cast<std::uint32_t>(numbers.size());
    c.addrA = record.mSrcAddr;
    c.addrB = record.mDestAddr;
    c.portA = srcPort;
    c.portB = destPort;
    hot_.push_back(c);
    numbers.push_back(index);
    if (slots_[slot].conversation == kNone)
        ++occupied_;
    slots_[slot] = {index, hash};
    return index;
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
    of_.push_back(kNone);
    undo_.seq = seq;
    undo_.conversation = kNone;
    std::uint32_t protocol = 0;
    std::uint32_t sp = 0;
    std::uint32_t dp = 0;
    if (!record.mProtocol.packed(protocol) || (protocol != kTcp && protocol != kUdp) || !record.mSrcPort.packed(sp)
        || !record.mDestPort.packed(dp))
        return;
    const std::uint64_t srcBits = record.mSrcAddr.bits();
    const std::uint64_t destBits = record.mDestAddr.bits();
    const bool srcLow = srcBits < destBits || (srcBits == destBits && sp <= dp);
    Key key;
    key.lo = srcLow ? srcBits : destBits;
    key.hi = srcLow ? destBits : srcBits;
    key.ports = srcLow ? sp << 16 | dp : dp << 16 | sp;
    key.protocol = static_cast<std::uint8_t>(protocol);
    const std::uint32_t hash = Hash(key);
    if ((occupied_ + 1) * 4 > slots_.size() * 3)
        Grow();
    const std::size_t slot = Probe(key, hash);
    std::uint32_t c = slots_[slot].conversation;
    const bool opens = protocol == kTcp && (tcpFlags & (kSyn | kAck)) == kSyn;
    undo_.made = c == kNone || (opens && (hot_[c].state & kClosed) != 0);
    undo_.replaced = c;
    if (undo_.made)
        c = Make(key, record, static_cast<std::uint16_t>(sp), static_cast<std::uint16_t>(dp), slot, hash);
    else
        undo_.before = hot_[c];
    undo_.conversation = c;
    Hot& conversation = hot_[c];
    undo_.madeMore = !undo_.made && conversation.more == kNone;
    if (!undo_.made && !undo_.madeMore)
        undo_.moreBefore = more_[conversation.more];
    const bool fromA = srcBits == conversation.addrA.bits() && sp == conversation.portA;
    Count(conversation, seq, fromA, tcpFlags, bytes, tsUs, payload);
    of_[at] = c;
}

Conversations::More& Conversations::MoreOf(Hot& c)
{
    if (c.more != kNone)
        return more_[c.more];
    More m;
    if (c.firstSeq != 0) {
        m.packets[0] = 1;
        m.bytes[0] = c.firstBytes;
        m.lastSeq = c.firstSeq;
        m.lastUs = c.firstUs;
    }
    if ((c.state & kFirstSyn) != 0)
        m.synAt = 0;
    c.more = static_cast<std::uint32_t>(more_.size());
    more_.push_back(m);
    return more_[c.more];
}

void Conversations::Count(Hot& c, std::int64_t seq, bool fromA, std::uint8_t flags, std::uint64_t bytes,
                          std::int64_t tsUs, std::span<const std::uint8_t> payload)
{
    const bool syn = (flags & kSyn) != 0;
    const bool ack = (flags & kAck) != 0;
    const bool tcp = c.protocol == kTcp;
    if (c.firstSeq == 0 && c.more == kNone && fromA && bytes <= UINT16_MAX) {
        // The first packet: what it tells stays in the hot record.
        c.firstSeq = seq;
        c.firstUs = tsUs;
        c.firstBytes = static_cast<std::uint16_t>(bytes);
        if (tcp) {
            if (syn && !ack)
                c.state |= kFirstSyn;
            if ((flags & (kFin | kRst)) != 0)
                c.state |= kClosed;
            return;
        }
    } else {
        More& m = MoreOf(c);
        if (c.firstSeq == 0) {
            c.firstSeq = seq;
            c.firstUs = tsUs;
        }
        const int way = fromA ? 0 : 1;
        m.packets[way] += 1;
        m.bytes[way] += bytes;
        m.lastSeq = seq;
        m.lastUs = std::max(m.lastUs, tsUs);
        if (tcp) {
            // A handshake of more than half an hour is cut at that.
            const std::int64_t at = tsUs - c.firstUs;
            const auto at32 = static_cast<std::int32_t>(std::clamp<std::int64_t>(at, 0, INT32_MAX));
            if (syn && !ack && fromA && m.synAckAt < 0) {
                m.synAt = at32;  // a SYN sent again: the last one is answered
            } else if (syn && ack && !fromA && m.synAt >= 0 && m.synAckAt < 0) {
                m.synAckAt = at32;
                m.synToSynAckUs = std::max(0, at32 - m.synAt);
            } else if (!syn && ack && fromA && m.synAckAt >= 0 && m.synAckToAckUs < 0) {
                m.synAckToAckUs = std::max(0, at32 - m.synAckAt);
            }
            if ((flags & (kFin | kRst)) != 0)
                c.state |= kClosed;
            return;
        }
    }
    if ((c.portA != kDnsPort && c.portB != kDnsPort) || payload.empty())
        return;
    DnsQueries::Question question;
    bool answer = false;
    if (ReadDnsQuestion(payload, dnsName_, question, answer) == 0)
        return;
    // Ends of the query: the client first.
    const std::uint64_t src = (fromA ? c.addrA : c.addrB).bits();
    const std::uint64_t dest = (fromA ? c.addrB : c.addrA).bits();
    const std::uint16_t srcPort = fromA ? c.portA : c.portB;
    const std::uint16_t destPort = fromA ? c.portB : c.portA;
    if (!answer) {
        dns_.Add({src, dest, srcPort, destPort}, question, tsUs);
        return;
    }
    std::int64_t queryUs = 0;
    if (!dns_.Take({dest, src, destPort, srcPort}, question, tsUs, &queryUs))
        return;
    More& m = MoreOf(c);
    if (m.dnsAnswers++ == 0)
        m.dnsAnswerUs = std::max<std::int64_t>(0, tsUs - queryUs);
}

void Conversations::TakeBack(std::int64_t seq)
{
    if (undo_.seq != seq || of_.size() != static_cast<std::size_t>(seq))
        return;
    of_.truncate(static_cast<std::size_t>(seq - 1));
    const Undo undo = undo_;
    undo_ = Undo{};
    if (undo.conversation == kNone)
        return;
    if (!undo.made) {
        hot_[undo.conversation] = undo.before;
        if (undo.madeMore)
            more_.truncate(more_.size() - 1);
        else if (undo.before.more != kNone)
            more_[undo.before.more] = undo.moreBefore;
        return;
    }
    const Hot& made = hot_[undo.conversation];
    if (made.more != kNone)
        more_.truncate(more_.size() - 1);
    const Key key = KeyOf(made);
    const std::size_t slot = Probe(key, Hash(key));
    if (undo.replaced != kNone)
        slots_[slot].conversation = undo.replaced;
    else
        Erase(slot);
    ChunkedArray<std::uint32_t, 14>& numbers = byStream_[made.protocol == kTcp ? 0 : 1];
    numbers.truncate(numbers.size() - 1);
    hot_.truncate(hot_.size() - 1);
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
    c.protocol = h.protocol;
    c.stream = h.stream;
    c.addrA = h.addrA;
    c.addrB = h.addrB;
    c.portA = h.portA;
    c.portB = h.portB;
    c.firstSeq = h.firstSeq;
    c.firstUs = h.firstUs;
    if (h.more == kNone) {
        if (h.firstSeq != 0) {
            c.packets[0] = 1;
            c.bytes[0] = h.firstBytes;
        }
        c.lastSeq = h.firstSeq;
        c.lastUs = h.firstUs;
        return c;
    }
    const More& m = more_[h.more];
    std::copy_n(m.packets, 2, c.packets);
    std::copy_n(m.bytes, 2, c.bytes);
    c.lastSeq = m.lastSeq;
    c.lastUs = m.lastUs;
    c.synToSynAckUs = m.synToSynAckUs;
    c.synAckToAckUs = m.synAckToAckUs;
    c.dnsAnswerUs = m.dnsAnswerUs;
    c.dnsAnswers = m.dnsAnswers;
    return c;
}

}  // namespace quillet
