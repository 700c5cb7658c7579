// Conversations numbered as their packets are stored, and their round trips.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Segments.h"

namespace {

// Allocations made by the thread that counts, while it counts; the one
// numbered failAt (from 1, 0: none) fails.
thread_local bool counting = false;
thread_local long long allocations = 0;
thread_local long long failAt = 0;

}  // namespace

void* operator new(std::size_t n)
{
    if (counting && ++allocations == failAt)
        throw std::bad_alloc();
    if (void* p = std::malloc(n == 0 ? 1 : n))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t alignment)
{
    if (counting && ++allocations == failAt)
        throw std::bad_alloc();
    const auto a = static_cast<std::size_t>(alignment);
    if (void* p = std::aligned_alloc(a, (n + a - 1) / a * a))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace quillet {
namespace {

using namespace quillet::test;

constexpr std::int64_t kMs = 1000;
constexpr std::int64_t kT0 = 1700000000LL * 1000000;

struct Packet {
    std::uint8_t protocol;  // 6, 17, 1 (ICMP: no conversation)
    const char* src;
    std::uint16_t srcPort;
    const char* dst;
    std::uint16_t dstPort;
    std::uint8_t flags;
    std::int64_t stream;  // tcp.stream or udp.stream, -1 none
};

TEST(Conversations, NumberedByFirstPacketPerProtocolBothWaysAndAnewAfterFinOrRst)
{
    const Packet packets[] = {
        {6, "10.0.0.1", 1000, "10.0.0.2", 80, kSyn, 0},
        {6, "10.0.0.2", 80, "10.0.0.1", 1000, kSyn | kAck, 0},
        {17, "10.0.0.1", 5000, "10.0.0.3", 53, 0, 0},
        {6, "10.0.0.1", 1001, "10.0.0.2", 80, kSyn, 1},
        {17, "10.0.0.3", 53, "10.0.0.1", 5000, 0, 0},
        {6, "10.0.0.1", 1000, "10.0.0.2", 80, kAck, 0},
        {6, "10.0.0.1", 1000, "10.0.0.2", 80, kFin | kAck, 0},
        {6, "10.0.0.2", 80, "10.0.0.1", 1000, kFin | kAck, 0},
        {6, "10.0.0.2", 80, "10.0.0.1", 1000, kAck, 0},  // not a SYN: still the old one
        {6, "10.0.0.1", 1000, "10.0.0.2", 80, kSyn, 2},
        {6, "10.0.0.2", 80, "10.0.0.1", 1000, kSyn | kAck, 2},
        {6, "10.0.0.1", 1001, "10.0.0.2", 80, kSyn, 1},  // a SYN sent again, nothing closed
        {6, "10.0.0.2", 80, "10.0.0.1", 1001, kRst, 1},
        {6, "10.0.0.1", 1001, "10.0.0.2", 80, kSyn, 3},
        {6, "2001:db8::1", 1000, "2001:db8::2", 80, kSyn, 4},
        {6, "2001:db8::2", 80, "2001:db8::1", 1000, kSyn | kAck, 4},
        {17, "2001:db8::1", 1000, "2001:db8::2", 80, 0, 1},  // the same ends in UDP
        {17, "10.0.0.1", 5000, "10.0.0.3", 54, 0, 2},
        {6, "10.0.0.1", 1000, "10.0.0.4", 80, kSyn, 5},
    };
    PacketViews views;
    for (std::size_t i = 0; i < std::size(packets); ++i) {
        const Packet& p = packets[i];
        const std::int64_t seq = Store(views, Segment(p.protocol, p.src, p.srcPort, p.dst, p.dstPort, p.flags),
                                       kT0 + static_cast<std::int64_t>(i) * kMs);
        EXPECT_EQ(views.Conversations().StreamOf(seq), p.stream) << "packet " << i;
    }
    // A packet of no conversation, and one the store takes back.
    const std::int64_t icmp = views.StorePacket("ICMP", "10.0.0.1", "10.0.0.2", "", "", "", 0, "12:00:00.00");
    EXPECT_EQ(views.Conversations().StreamOf(icmp), -1);
    views.failStoreAt = icmp + 1;
    EXPECT_THROW(Store(views, Segment(17, "10.0.0.9", 1, "10.0.0.8", 2), kT0), std::bad_alloc);
    views.failStoreAt = 0;
    EXPECT_EQ(views.Conversations().StreamOf(Store(views, Segment(17, "10.0.0.7", 1, "10.0.0.8", 2), kT0)), 3);
    views.failStoreAt = icmp + 2;
    EXPECT_THROW(Store(views, Segment(6, "10.0.0.2", 80, "10.0.0.1", 1000, kAck), kT0), std::bad_alloc);
    views.failStoreAt = 0;

    // Each conversation counts its packets and bytes each way, from the side that sent first.
    const Conversations& all = views.Conversations();
    const Conversations::Conversation& first = all.At(all.Find(6, 0));
    EXPECT_EQ(first.packets[0], 3u);
    EXPECT_EQ(first.packets[1], 3u);
    EXPECT_EQ(first.bytes[0], 3u * 40);
    EXPECT_EQ(first.addrA.text().view(), "10.0.0.1");
    EXPECT_EQ(first.portB, 80);
    EXPECT_EQ(first.firstSeq, 1);
    EXPECT_EQ(first.lastUs - first.firstUs, 8 * kMs);
    const Conversations::Conversation& reopened = all.At(all.Find(6, 2));
    EXPECT_EQ(reopened.packets[0] + reopened.packets[1], 2u);  // the packet taken back is not counted
    EXPECT_EQ(all.Find(6, 6), Conversations::kNone);
}

// An exchange and the round trip its conversation shows.
struct Exchange {
    const char* what;
    std::vector<std::pair<std::vector<std::uint8_t>, std::int64_t>> packets;  // datagram, ms after kT0
    std::int64_t synToSynAckUs, synAckToAckUs, roundTripUs;
};

TEST(Conversations, RoundTripOfTheHandshakeSeenHereOrOfADnsAnswer)
{
    const auto tcp = [](bool out, std::uint8_t flags) {
        return out ? Segment(6, "10.0.0.1", 40000, "10.0.0.2", 443, flags)
                   : Segment(6, "10.0.0.2", 443, "10.0.0.1", 40000, flags);
    };
    const auto dns = [](bool out, std::uint16_t id, const char* name) {
        return out ? Segment(17, "fd00::1", 5353, "fd00::53", 53, 0, DnsMessage(id, name, false))
                   : Segment(17, "fd00::53", 53, "fd00::1", 5353, 0, DnsMessage(id, name, true));
    };
    const Exchange exchanges[] = {
        {"handshake, the SYN sent again answered",
         {{tcp(true, kSyn), 0}, {tcp(true, kSyn), 1000}, {tcp(false, kSyn | kAck), 1012},
          {tcp(true, kAck), 1013}, {tcp(true, kAck), 1500}},
         12000, 1000, 13000},
        {"SYN/ACK unanswered", {{tcp(true, kSyn), 0}, {tcp(false, kSyn | kAck), 20}}, 20000, -1, -1},
        {"begun before the capture", {{tcp(false, kAck), 0}, {tcp(true, kAck), 5}}, -1, -1, -1},
        {"DNS answer", {{dns(true, 7, "example.com"), 0}, {dns(false, 7, "EXAMPLE.com"), 30}}, -1, -1, 30000},
        {"DNS answer of another id",
         {{dns(true, 7, "example.com"), 0}, {dns(false, 8, "example.com"), 30}}, -1, -1, -1},
        {"DNS answer of another name", {{dns(true, 7, "a.test"), 0}, {dns(false, 7, "b.test"), 30}}, -1, -1, -1},
    };
    for (const Exchange& e : exchanges) {
        PacketViews views;
        for (const auto& [datagram, ms] : e.packets)
            ASSERT_GT(Store(views, datagram, kT0 + ms * kMs), 0) << e.what;
        ASSERT_EQ(views.Conversations().size(), 1u) << e.what;
        const Conversations::Conversation& c = views.Conversations().At(0);
        EXPECT_EQ(c.synToSynAckUs, e.synToSynAckUs) << e.what;
        EXPECT_EQ(c.synAckToAckUs, e.synAckToAckUs) << e.what;
        EXPECT_EQ(c.RoundTripUs(), e.roundTripUs) << e.what;
    }
}

// The fields of a record the conversations read.
clV RecordOf(const DecodedDatagram& d)
{
    clV record;
    record.mProtocol = d.protocol;
    record.mSrcAddr = d.srcAddr;
    record.mDestAddr = d.destAddr;
    record.mSrcPort = d.srcPort;
    record.mDestPort = d.destPort;
    return record;
}

// Every field of every conversation, as read.
std::vector<std::string> Snapshot(const Conversations& all)
{
    std::vector<std::string> shown;
    for (std::uint32_t i = 0; i < all.size(); ++i) {
        const Conversations::Conversation c = all.At(i);
        std::ostringstream s;
        s << int{c.protocol} << ' ' << c.stream << ' ' << c.addrA << ':' << c.portA << ' ' << c.addrB << ':'
          << c.portB << ' ' << c.packets[0] << '/' << c.packets[1] << ' ' << c.bytes[0] << '/' << c.bytes[1] << ' '
          << c.firstUs << '-' << c.lastUs << ' ' << c.firstSeq << '-' << c.lastSeq << ' ' << c.synToSynAckUs << ' '
          << c.synAckToAckUs << ' ' << c.dnsAnswerUs << ' ' << c.dnsAnswers << ' ' << all.LastPacketOf(i);
        shown.push_back(s.str());
    }
    return shown;
}

// Each packet of an exchange is first taken back by the store (a later
// consumer throws): every conversation stays as it was, then the packet is
// stored and counts as if nothing had been taken back.
TEST(Conversations, APacketTakenBackLeavesEveryConversationAsItWas)
{
    const auto tcp = [](bool out, std::uint8_t flags, const std::string& payload = {}) {
        return out ? Segment(6, "10.0.0.1", 40000, "10.0.0.2", 443, flags, payload)
                   : Segment(6, "10.0.0.2", 443, "10.0.0.1", 40000, flags, payload);
    };
    const auto dns = [](bool out, std::uint16_t id, const char* name) {
        return out ? Segment(17, "fd00::1", 5353, "fd00::53", 53, 0, DnsMessage(id, name, false))
                   : Segment(17, "fd00::53", 53, "fd00::1", 5353, 0, DnsMessage(id, name, true));
    };
    // A query is sent twice: the answer taken back took one of them.
    const std::pair<std::vector<std::uint8_t>, std::int64_t> packets[] = {
        {tcp(true, kSyn), 0},  // makes the conversation
        {tcp(true, kSyn), 1000},  // makes its second record, the SYN sent again
        {tcp(false, kSyn | kAck), 1012},
        {tcp(true, kAck), 1013},  // ends the handshake
        {tcp(true, kAck, "GET / HTTP/1.1\r\n"), 1014},
        {tcp(false, kAck, std::string(700, 'x')), 1040},
        {tcp(false, kFin | kAck), 1050},  // closes it
        {tcp(true, kSyn), 1100},  // a new one in its slot
        {dns(true, 7, "example.com"), 1200},
        {dns(true, 7, "example.com"), 1200},
        {dns(false, 7, "example.com"), 1230},  // its first answer
        {dns(true, 8, "example.org"), 1300},
        {dns(true, 8, "example.org"), 1300},
        {dns(false, 8, "example.org"), 1350},  // a second answer
    };
    PacketViews views;
    PacketViews reference;  // the same packets, none taken back
    for (std::size_t i = 0; i < std::size(packets); ++i) {
        const auto& [datagram, ms] = packets[i];
        const std::vector<std::string> before = Snapshot(views.Conversations());
        views.failStoreAt = views.lSeq() + 1;
        EXPECT_THROW(Store(views, datagram, kT0 + ms * kMs), std::bad_alloc) << "packet " << i;
        views.failStoreAt = 0;
        EXPECT_EQ(Snapshot(views.Conversations()), before) << "packet " << i;
        const std::int64_t seq = Store(views, datagram, kT0 + ms * kMs);
        EXPECT_EQ(Store(reference, datagram, kT0 + ms * kMs), seq);
        EXPECT_EQ(views.Conversations().StreamOf(seq), reference.Conversations().StreamOf(seq)) << "packet " << i;
        EXPECT_EQ(Snapshot(views.Conversations()), Snapshot(reference.Conversations())) << "packet " << i;
    }
    const Conversations::Conversation first = views.Conversations().At(0);
    EXPECT_EQ(first.RoundTripUs(), 13 * kMs);
    EXPECT_EQ(first.packets[0] + first.packets[1], 7u);
    EXPECT_EQ(views.Conversations().At(1).packets[0], 1u);
    EXPECT_EQ(views.Conversations().At(2).dnsAnswers, 2u);
    EXPECT_EQ(views.Conversations().At(2).dnsAnswerUs, 30 * kMs);
}

// Each packet is stored with each of the allocations it makes failing in
// turn: the conversations stay as they were, and the packet stored then
// counts as if nothing had failed.
TEST(Conversations, APacketThatRunsOutOfMemoryChangesNothing)
{
    const auto dns = [](bool out, std::uint16_t id) {
        return out ? Segment(17, "fd00::1", 5353, "fd00::53", 53, 0, DnsMessage(id, "example.com", false))
                   : Segment(17, "fd00::53", 53, "fd00::1", 5353, 0, DnsMessage(id, "example.com", true));
    };
    // Conversations of two packets enough to fill the records' first blocks.
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::uint16_t port = 1; port <= 4096; ++port) {
        packets.push_back(Segment(17, "10.0.0.1", port, "10.0.0.9", 9));
        packets.push_back(Segment(17, "10.0.0.9", 9, "10.0.0.1", port));
    }
    const std::size_t first = packets.size();
    for (auto& d : {
             dns(true, 7),  // a new conversation in new blocks, the first DNS query
             dns(false, 7),  // its record of more than one packet in a new block, the answer
             Segment(6, "10.0.0.1", 40000, "10.0.0.2", 443, kSyn),  // the first TCP conversation
             Segment(6, "10.0.0.2", 443, "10.0.0.1", 40000, kSyn | kAck),
             Segment(17, "10.0.0.1", 5000, "10.0.0.3", 123, 0, "ntp"),
         })
        packets.push_back(d);
    std::vector<DecodedDatagram> decoded;
    for (const auto& d : packets) {
        auto one = DecodeDatagram(d);
        ASSERT_TRUE(one);
        decoded.push_back(std::move(*one));
    }
    const auto store = [&](Conversations& all, std::size_t i) {
        const DecodedDatagram& d = decoded[i];
        const auto* payload = reinterpret_cast<const std::uint8_t*>(d.data.data());
        all.Stored(static_cast<std::int64_t>(i + 1), RecordOf(d), d.tcpFlags, packets[i].size(),
                   kT0 + static_cast<std::int64_t>(i) * kMs, {payload, d.data.size()});
    };
    Conversations reference;
    for (std::size_t i = 0; i < first; ++i)
        store(reference, i);
    for (std::size_t i = first; i < packets.size(); ++i) {
        const std::vector<std::string> before = Snapshot(reference);
        store(reference, i);
        const std::vector<std::string> after = Snapshot(reference);
        for (long long fail = 1;; ++fail) {
            Conversations all;
            for (std::size_t j = 0; j < i; ++j)
                store(all, j);
            allocations = 0;
            failAt = fail;
            counting = true;
            bool threw = false;
            try {
                store(all, i);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            counting = false;
            failAt = 0;
            if (!threw)
                break;
            ASSERT_EQ(Snapshot(all), before) << "packet " << i + 1 << ", allocation " << fail;
            store(all, i);
            ASSERT_EQ(Snapshot(all), after) << "packet " << i + 1 << ", allocation " << fail;
            const auto seq = static_cast<std::int64_t>(i + 1);
            EXPECT_EQ(all.StreamOf(seq), reference.StreamOf(seq)) << "packet " << seq;
        }
    }
    EXPECT_EQ(reference.At(4096).dnsAnswers, 1u);
}

// Conversations made by the ten thousand while packets of earlier ones keep
// coming, some closed and opened again, some taken back, as the table grows
// and moves to larger ones: every packet keeps the number of its
// conversation as a plain map of the endpoints tells it, and every
// conversation its packets.
TEST(Conversations, KeepTheirNumbersWhileTheirTableGrows)
{
    struct Ends {
        std::uint8_t protocol;
        std::string a, b;
        std::uint16_t portA, portB;
    };
    const auto record = [](const Ends& e, bool fromA) {
        clV r;
        r.mProtocol = e.protocol == 6 ? "TCP" : "UDP";
        r.mSrcAddr.assign(fromA ? e.a : e.b);
        r.mDestAddr.assign(fromA ? e.b : e.a);
        r.mSrcPort.assign(std::to_string(fromA ? e.portA : e.portB));
        r.mDestPort.assign(std::to_string(fromA ? e.portB : e.portA));
        return r;
    };
    struct Expected {
        std::int64_t stream;
        bool closed = false;
        std::uint64_t packets = 0;
    };
    std::vector<Ends> ends;
    std::vector<Expected> expected;  // by ends, the latest conversation of them
    // What each conversation counted, by protocol and number: each way (0:
    // from A, the side of its first packet, always ends.a here).
    struct Counted {
        std::uint64_t packets[2] = {}, bytes[2] = {};
        std::int64_t lastSeq = 0;
    };
    std::vector<Counted> packetsOf[2];
    std::int64_t streams[2] = {};
    Conversations all;
    std::mt19937 rng(29);
    std::int64_t seq = 0;
    // Stores a packet of ends e; keep false takes it back at once.
    const auto store = [&](std::size_t e, bool fromA, std::uint8_t flags, bool keep) {
        const int p = ends[e].protocol == 6 ? 0 : 1;
        const bool opens = p == 0 && (flags & (kSyn | kAck)) == kSyn;
        const bool made = e == expected.size() || (opens && expected[e].closed);
        const std::int64_t stream = made ? streams[p] : expected[e].stream;
        ++seq;
        const std::uint64_t bytes = 40 + static_cast<std::uint64_t>(seq) % 1500;
        // The store asks for a packet's conversation to be fetched ahead,
        // a packet before and just before: mostly for that packet, at times
        // for another (a write that failed in between, a datagram that was
        // not the one told), and at times not at all.
        const clV other = record(ends[rng() % ends.size()], (rng() & 1) != 0);
        switch (rng() % 6) {
        case 0: all.PrefetchAhead(record(ends[e], fromA)); [[fallthrough]];
        case 1: all.Prefetch(record(ends[e], fromA)); break;
        case 2: all.PrefetchAhead(other); all.Prefetch(record(ends[e], fromA)); break;
        case 3: all.PrefetchAhead(record(ends[e], fromA)); all.Prefetch(other); break;
        case 4: all.Prefetch(other); break;
        default: break;
        }
        all.Stored(seq, record(ends[e], fromA), flags, bytes, kT0 + seq, {});
        ASSERT_EQ(all.StreamOf(seq), stream) << "packet " << seq;
        if (!keep) {
            all.TakeBack(seq--);
            return;
        }
        if (e == expected.size())
            expected.push_back({stream});
        else if (made)
            expected[e] = {stream};
        if (made) {
            ++streams[p];
            packetsOf[p].emplace_back();
        }
        expected[e].closed = expected[e].closed || (p == 0 && (flags & (kFin | kRst)) != 0);
        Counted& counted = packetsOf[p][static_cast<std::size_t>(stream)];
        const int way = fromA ? 0 : 1;
        ++counted.packets[way];
        counted.bytes[way] += bytes;
        counted.lastSeq = seq;
    };
    for (std::size_t i = 0; i < 60000; ++i) {
        const auto n = static_cast<std::uint32_t>(i);
        ends.push_back({static_cast<std::uint8_t>(i % 3 == 0 ? 17 : 6),
                        "10." + std::to_string(n >> 16) + '.' + std::to_string(n >> 8 & 255) + '.' +
                            std::to_string(n & 255),
                        i % 5 == 0 ? "2001:db8::" + std::to_string(i % 7) : "192.168.0." + std::to_string(i % 7),
                        static_cast<std::uint16_t>(1024 + i % 50000), static_cast<std::uint16_t>(i % 9)});
        // A new conversation taken back (every one around the first
        // growths): its number goes to the next.
        if (i % 101 == 0 || (i >= 700 && i < 1700))
            store(i, true, kSyn, false);
        store(i, true, kSyn, true);
        const std::size_t j = rng() % (i + 1);
        switch (rng() % 8) {
        case 0:  // closed, then opened again by the same ends
            store(j, false, kFin | kAck, true);
            store(j, true, kSyn, true);
            break;
        case 1:  // a packet of an earlier one taken back
            store(j, true, kAck, false);
            break;
        default:
            store(j, (rng() & 1) != 0, kAck, true);
        }
    }
    ASSERT_EQ(all.size(), packetsOf[0].size() + packetsOf[1].size());
    for (const int p : {0, 1})
        for (std::size_t stream = 0; stream < packetsOf[p].size(); ++stream) {
            const std::uint32_t c = all.Find(p == 0 ? 6 : 17, static_cast<std::uint32_t>(stream));
            ASSERT_NE(c, Conversations::kNone) << p << ' ' << stream;
            const Conversations::Conversation got = all.At(c);
            const Counted& want = packetsOf[p][stream];
            for (const int way : {0, 1}) {
                ASSERT_EQ(got.packets[way], want.packets[way]) << p << ' ' << stream << " way " << way;
                ASSERT_EQ(got.bytes[way], want.bytes[way]) << p << ' ' << stream << " way " << way;
            }
            ASSERT_EQ(got.lastSeq, want.lastSeq) << p << ' ' << stream;
            ASSERT_EQ(got.lastUs, kT0 + want.lastSeq) << p << ' ' << stream;
        }
}

// A resolver asking one server, query after query, each answered: after
// the first exchanges, storing them allocates nothing (what a packet changed
// is kept for taking it back, not every change of the run).
TEST(Conversations, DnsExchangesCostNoAllocationOnceWarm)
{
    Conversations all;
    std::int64_t seq = 0;
    const auto exchange = [&](std::uint16_t id) {
        for (const bool answer : {false, true}) {
            const auto d = DecodeDatagram(answer ? Segment(17, "10.0.0.53", 53, "10.0.0.1", 5353, 0,
                                                           DnsMessage(id, "example.com", true))
                                                 : Segment(17, "10.0.0.1", 5353, "10.0.0.53", 53, 0,
                                                           DnsMessage(id, "example.com", false)));
            ASSERT_TRUE(d);
            const clV record = RecordOf(*d);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(d->data.data());
            counting = true;
            ++seq;
            all.Stored(seq, record, 0, d->data.size() + 28, kT0 + seq * kMs, {bytes, d->data.size()});
            counting = false;
        }
    };
    for (std::uint16_t id = 0; id < 1000; ++id)
        exchange(id);
    allocations = 0;
    for (std::uint16_t id = 1000; id < 21000; ++id)
        exchange(id);
    EXPECT_EQ(allocations, 0);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.At(0).dnsAnswers, 21000u);
}

}  // namespace
}  // namespace quillet
