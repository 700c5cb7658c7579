// Consumers of the packet log: one subscription is told of every packet
// stored, with what came with it from the capture; a consumer that fails
// leaves the log, the rows and the other consumers as they were.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "../shell/Datagrams.h"
#include "Segments.h"
#include "ViewsTestSupport.h"
#include "views/PacketLog.h"
#include "views/PacketViews.h"

using namespace quillet;
using namespace quillet::test;

namespace {

struct Seen : PacketConsumer {
    struct Packet {
        std::int64_t seq;
        bool sent, received;
        std::string program;
        std::size_t datagram;
        bool operator==(const Packet&) const = default;
    };
    std::vector<Packet> packets;
    std::int64_t failAt = 0;
    bool TakesBack() const override { return true; }
    void Stored(const StoredPacket& p) override
    {
        if (p.seq == failAt)
            throw std::bad_alloc();
        packets.push_back({p.seq, p.srcLocal, p.destLocal,
                           p.captured ? std::string(p.captured->program) : std::string(), p.datagram().size()});
    }
    void TakeBack(const StoredPacket&) override { packets.pop_back(); }
};

std::uint64_t CountedPackets(const PacketViews& v)
{
    std::uint64_t n = 0;
    for (const auto& host : v.Totals().Hosts())
        n += host.counts.sentPackets + host.counts.recvPackets;
    return n;
}

}  // namespace

TEST(PacketLogTest, OneSubscriptionSeesEveryPacketAndAFailureTakesItBackEverywhere)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quillet-log-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        PacketViews v;
        Prepare(v);
        ASSERT_TRUE(v.OpenSpool(dir.string()));
        Seen seen;
        v.Log().Subscribe(seen);

        Store(v, kLocal, kOther);
        Store(v, kOther, kLocal);
        const std::vector<std::uint8_t> bytes = Ipv4Udp(kOther, kLocal, 53, 40000, "answer");
        CapturedDatagram captured;
        captured.bytes = bytes;
        captured.timestampUs = 1'700'000'000'000'000;
        captured.program = "resolver (42)";
        ASSERT_EQ(v.StorePacket(*DecodeDatagram(bytes), captured), 3);
        v.EndBurst();
        const std::vector<Seen::Packet> told = {
            {1, true, false, "", 0}, {2, false, true, "", 0}, {3, false, true, "resolver (42)", bytes.size()}};
        EXPECT_EQ(seen.packets, told);
        EXPECT_EQ(v.ProgramOf(3, v.dPackets().at(3)), QStringLiteral("resolver (42)"));
        EXPECT_EQ(CountedPackets(v), 3u);

        // The consumer fails for the next packet: nothing of it stays.
        seen.failAt = 4;
        EXPECT_THROW(Store(v, kLocal, kOther), std::bad_alloc);
        v.EndBurst();
        EXPECT_EQ(v.lSeq(), 3);
        EXPECT_EQ(RowSeqs(v.ListModel()), (std::vector<std::int64_t>{1, 2, 3}));
        EXPECT_EQ(seen.packets, told);
        EXPECT_EQ(CountedPackets(v), 3u);
        // The rows fail for the next: the consumer is told nothing.
        seen.failAt = 0;
        v.failStoreAt = 4;
        EXPECT_THROW(Store(v, kLocal, kOther), std::bad_alloc);
        EXPECT_EQ(v.lSeq(), 3);
        EXPECT_EQ(seen.packets, told);
        v.failStoreAt = 0;
        EXPECT_EQ(Store(v, kLocal, kOther), 4);
        EXPECT_EQ(seen.packets.size(), 4u);
    }
    std::filesystem::remove_all(dir);
}

// A capture file's packet brings its program: under a program filter in
// force its row is shown as it arrives, and a packet of another program or
// of none is not.
TEST(PacketLogTest, AProgramFilterSeesTheOwnerAFileGivesAsTheRowArrives)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quillet-log-owner-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        PacketViews v;
        Prepare(v);
        ASSERT_TRUE(v.OpenSpool(dir.string()));
        v.ApplyDisplayFilter(DisplayFilter::Compile(QStringLiteral("program contains resolver"), nullptr));
        v.Presenter().Finish();
        const char* const programs[] = {"resolver (42)", "", "mail (7)", "resolver (43)"};
        std::vector<std::int64_t> want;
        for (const char* program : programs) {
            const std::vector<std::uint8_t> bytes = Ipv4Udp(kOther, kLocal, 53, 40000, "answer");
            CapturedDatagram captured;
            captured.bytes = bytes;
            captured.timestampUs = 1'700'000'000'000'000;
            captured.program = program;
            const std::int64_t seq = v.StorePacket(*DecodeDatagram(bytes), captured);
            if (std::string_view(program).starts_with("resolver"))
                want.push_back(seq);
        }
        v.EndBurst();
        EXPECT_EQ(RowSeqs(v.ListModel()), want);
    }
    std::filesystem::remove_all(dir);
}

namespace {

// Fails for one packet, told after every other consumer.
struct FailsLast : PacketConsumer {
    std::int64_t failAt = 0;
    void Stored(const StoredPacket& p) override
    {
        if (p.seq == failAt)
            throw std::bad_alloc();
    }
};

// A datagram as a capture hands it over; program is what its file named.
struct Arrival {
    Arrival(std::vector<std::uint8_t> b, std::int64_t ts, bool l = true, std::string p = {})
        : bytes(std::move(b)), tsUs(ts), live(l), program(std::move(p))
    {
    }
    std::vector<std::uint8_t> bytes;
    std::int64_t tsUs;
    bool live;
    std::string program;
};

// What a user sees of the log and its consumers.
struct Shown {
    std::int64_t lSeq;
    std::vector<std::int64_t> rows;
    std::size_t treeNodes;
    std::vector<std::string> totals;  // per host and program: counts and rates
    std::vector<std::pair<std::string, std::string>> names;
    std::vector<std::string> programs;  // per packet
    std::size_t endpoints;
    bool pending;
    std::vector<std::int64_t> streams;  // per packet
    bool operator==(const Shown&) const = default;
};

constexpr std::int64_t kT0 = 1'700'000'000'000'000;
constexpr std::int64_t kSecond = 1'000'000;

Shown ShownIn(PacketViews& v)
{
    v.EndBurst();
    Shown s{v.lSeq(), RowSeqs(v.ListModel()), v.TreeModel().nodeCount(), {}, v.TrafficNames().All(), {},
           v.Programs().EndpointCount(), v.Programs().HasPending(), {}};
    const auto row = [](const std::string& name, const TrafficTotals::Row& r) {
        std::string text = name + ":" + std::to_string(r.counts.sentPackets) + "/" + std::to_string(r.counts.recvPackets)
                           + "/" + std::to_string(r.counts.sentBytes) + "/" + std::to_string(r.counts.recvBytes) + "/"
                           + std::to_string(r.counts.lastUs);
        const std::vector<double> rate = r.Values(kT0 / kSecond + 10);
        for (std::size_t i = 0; i < rate.size(); ++i)
            if (rate[i] != 0)
                text += " " + std::to_string(i) + ":" + std::to_string(static_cast<long long>(rate[i]));
        return text;
    };
    for (const auto& host : v.Totals().Hosts()) {
        s.totals.push_back(row(host.address, host));
        for (const auto& [program, bytes] : host.programs)
            s.totals.back() += " p" + std::to_string(program) + "=" + std::to_string(bytes);
    }
    for (const auto& program : v.Totals().Programs())
        s.totals.push_back(row(program.name.toStdString(), program));
    for (std::int64_t seq = 1; seq <= v.lSeq(); ++seq) {
        s.programs.push_back(v.ProgramOf(seq, v.dPackets().at(seq)).toStdString());
        s.streams.push_back(v.Conversations().StreamOf(seq));
    }
    return s;
}

std::int64_t Receive(PacketViews& v, const Arrival& a)
{
    CapturedDatagram captured;
    captured.bytes = a.bytes;
    captured.timestampUs = a.tsUs;
    captured.live = a.live;
    captured.program = a.program;
    return v.StorePacket(*DecodeDatagram(a.bytes), captured);
}

// A DNS answer for name with one A record of address.
std::string DnsAnswer(std::uint16_t id, const std::string& name, const std::array<std::uint8_t, 4>& address)
{
    std::string m = DnsMessage(id, name, true);
    m[7] = 1;  // one answer
    m += std::string("\xC0\x0C\0\1\0\1\0\0\0\x3C\0\4", 12);
    m.append(address.begin(), address.end());
    return m;
}

}  // namespace

// A consumer told after the program column, the totals and the names fails
// for a packet: each takes back what it did for it, so that the log and
// everything made of it are as before, and what comes after is as if the
// packet had never come.
TEST(PacketLogTest, AFailureAfterEveryConsumerLeavesEachAsBefore)
{
    const auto query = Segment(17, kLocal, 40000, "10.0.0.53", 53, 0, DnsMessage(7, "one.test", false));
    const auto answer = Segment(17, "10.0.0.53", 53, kLocal, 40000, 0, DnsAnswer(7, "one.test", {10, 9, 9, 9}));
    const auto rename = Segment(17, "10.0.0.53", 53, kLocal, 40001, 0, DnsAnswer(8, "two.test", {10, 9, 9, 9}));
    const auto askRename = Segment(17, kLocal, 40001, "10.0.0.53", 53, 0, DnsMessage(8, "two.test", false));
    const auto syn = Segment(6, kLocal, 41000, kOther, 443, kSyn);
    const auto newHost = Segment(6, "172.16.0.7", 443, kLocal, 41001, kAck);
    struct Case {
        const char* what;
        std::vector<Arrival> before;
        Arrival failing;
        std::vector<Arrival> after;
    };
    const Case cases[] = {
        {"a query, its answer after", {}, {query, kT0}, {{answer, kT0 + 10}}},
        {"an answer naming an address", {{query, kT0}}, {answer, kT0 + 10}, {}},
        {"an answer, answered again after", {{query, kT0}}, {answer, kT0 + 10}, {{answer, kT0 + 20}}},
        {"an answer renaming an address",
         {{query, kT0}, {answer, kT0 + 1}, {askRename, kT0 + 2}}, {rename, kT0 + 3}, {}},
        {"a new local endpoint and conversation", {}, {syn, kT0}, {{syn, kT0 + 5}}},
        {"a new remote host", {{syn, kT0}}, {newHost, kT0 + 1}, {{syn, kT0 + 2}}},
        {"a program a file named", {{syn, kT0, false}}, {syn, kT0 + 1, false, "dig (77)"}, {{syn, kT0 + 2, false}}},
        {"a new second of a host's rate",
         {{syn, kT0}, {syn, kT0 + kSecond}}, {syn, kT0 + 3 * kSecond}, {{syn, kT0 + 2 * kSecond}}},
        {"a new second, its history made", {{syn, kT0}}, {syn, kT0 + 2 * kSecond}, {{syn, kT0 + 1}}},
    };
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quillet-log-fail-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (const Case& c : cases) {
        PacketViews failed, never;
        FailsLast fails;
        for (PacketViews* v : {&failed, &never}) {
            Prepare(*v);
            ASSERT_TRUE(v->OpenSpool(dir.string()));
            for (const Arrival& a : c.before)
                ASSERT_GT(Receive(*v, a), 0) << c.what;
        }
        failed.Log().Subscribe(fails);
        const Shown before = ShownIn(failed);
        const std::uint64_t version = failed.TrafficNames().Version();
        fails.failAt = failed.lSeq() + 1;
        EXPECT_THROW(Receive(failed, c.failing), std::bad_alloc) << c.what;
        fails.failAt = 0;
        EXPECT_EQ(ShownIn(failed), before) << c.what;
        EXPECT_EQ(failed.TrafficNames().Version(), version) << c.what;
        for (PacketViews* v : {&failed, &never})
            for (const Arrival& a : c.after)
                ASSERT_GT(Receive(*v, a), 0) << c.what;
        EXPECT_EQ(ShownIn(failed), ShownIn(never)) << c.what;
    }
    std::filesystem::remove_all(dir);
}
