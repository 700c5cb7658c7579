// Consumers of the packet log: one subscription is told of every packet
// stored, with what came with it from the capture; a consumer that fails
// leaves the log, the rows and the other consumers as they were.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "../shell/Datagrams.h"
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
