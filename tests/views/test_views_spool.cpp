// Payloads kept in the working capture file: the rows show what they showed
// when payloads were in memory, bytes come back by offset, whole datagrams
// with their timestamps, and a file that cannot be made stores nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ViewsTestSupport.h"
#include "views/PacketViews.h"

using namespace quillet;
using namespace quillet::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

// IPv4 with the given protocol, a transport header of th bytes (ports at
// its start) and the payload, then pad bytes beyond the total length.
Bytes Datagram(std::uint8_t protocol, int th, const std::string& payload, int pad = 0)
{
    const std::size_t total = 20 + static_cast<std::size_t>(th) + payload.size();
    Bytes d(total + static_cast<std::size_t>(pad), 0xEE);
    std::fill(d.begin(), d.begin() + 20 + th, 0);
    d[0] = 0x45;
    d[2] = static_cast<std::uint8_t>(total >> 8);
    d[3] = static_cast<std::uint8_t>(total);
    d[9] = protocol;
    const std::uint8_t addrs[8] = {10, 0, 0, 1, 192, 168, 5, 9};
    std::copy(addrs, addrs + 8, d.begin() + 12);
    if (th >= 4) {
        d[20] = 0xFF, d[21] = 0xFF;  // port 65535
        d[22] = 0, d[23] = 0;        // port 0
    }
    if (protocol == 6)
        d[32] = static_cast<std::uint8_t>((th / 4) << 4);
    std::copy(payload.begin(), payload.end(), d.begin() + 20 + th);
    return d;
}

QString Cell(PacketListModel& m, int row, int column, int role = Qt::DisplayRole)
{
    return m.data(m.index(row, column), role).toString();
}

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = std::filesystem::temp_directory_path() / ("quillet-spool-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(base);
    }
    void TearDown() override { std::filesystem::remove_all(base); }
    std::filesystem::path base;
};

}  // namespace

TEST_F(SpoolTest, RowsPayloadsAndDatagramsComeFromTheFile)
{
    const std::vector<Bytes> datagrams = {
        Datagram(17, 8, std::string("a\0\xFF z", 5), 6),  // padding is no payload
        Datagram(6, 32, std::string(1400, 'q')),           // TCP with options
        Datagram(1, 0, "ping"),
        Datagram(47, 0, ""),
    };
    PacketViews inFile, inMemory;
    Prepare(inFile);
    Prepare(inMemory);
    ASSERT_TRUE(inFile.OpenSpool(base.string())) << inFile.DatagramError();
    const std::int64_t t0 = 1700000000123456;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const auto placed = DecodeDatagram(datagrams[i], false);
        const auto copied = DecodeDatagram(datagrams[i]);
        ASSERT_TRUE(placed && copied);
        EXPECT_EQ(inFile.StorePacket(*placed, datagrams[i], t0 + std::int64_t(i) * 15000), std::int64_t(i) + 1);
        inMemory.StorePacket(*copied, t0 + std::int64_t(i) * 15000);
    }
    inFile.EndBurst();
    inMemory.EndBurst();
    EXPECT_EQ(inFile.dPackets().PayloadBytes(), 0u);  // nothing held in memory

    PacketListModel& f = inFile.ListModel();
    PacketListModel& m = inMemory.ListModel();
    ASSERT_EQ(f.rowCount(), 4);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < kColumnCount; ++c)
            EXPECT_EQ(Cell(f, r, c), Cell(m, r, c)) << r << "," << c;
        EXPECT_EQ(f.data(f.index(r, 0), kRowTagRole).toByteArray(), m.data(m.index(r, 0), kRowTagRole).toByteArray())
            << r;
    }
    EXPECT_EQ(Cell(f, 0, 3), "65535");
    EXPECT_EQ(Cell(f, 0, 4), "0");
    EXPECT_EQ(f.data(f.index(0, 0), kRowTagRole).toByteArray(), QByteArray("a\0\xFF z", 5));
    EXPECT_EQ(f.data(f.index(1, 0), kRowTagRole).toByteArray().size(), 1400);

    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        Bytes bytes;
        std::int64_t ts = 0;
        ASSERT_TRUE(inFile.DatagramOf(std::int64_t(i) + 1, bytes, ts)) << inFile.DatagramError();
        EXPECT_EQ(bytes, datagrams[i]) << i;  // as captured, padding included
        EXPECT_EQ(ts, t0 + std::int64_t(i) * 15000);
    }
    Bytes bytes;
    std::int64_t ts = 0;
    EXPECT_FALSE(inFile.DatagramOf(5, bytes, ts));
    EXPECT_FALSE(inFile.DatagramOf(0, bytes, ts));
    EXPECT_FALSE(inMemory.DatagramOf(1, bytes, ts));  // never written to a file
    EXPECT_FALSE(inMemory.DatagramError().empty());

    // A record stored from texts stays in memory next to the file's.
    Store(inFile, kOther, kLocal, "1", "2", "UDP", "kept in memory");
    EXPECT_EQ(inFile.dPackets().PayloadOf(inFile.dPackets().at(5)), "kept in memory");
    EXPECT_FALSE(inFile.DatagramOf(5, bytes, ts));
    EXPECT_EQ(inFile.dPackets().PayloadOf(inFile.dPackets().at(2)), std::string(1400, 'q'));
}

TEST_F(SpoolTest, NoFileNoPacket)
{
    PacketViews v;
    Prepare(v);
    EXPECT_FALSE(v.OpenSpool((base / "missing" / "deeper").string()));
    EXPECT_FALSE(v.DatagramError().empty());
    const Bytes d = Datagram(17, 8, "x");
    const auto decoded = DecodeDatagram(d, false);
    ASSERT_TRUE(decoded);
    // Not quietly somewhere else: the chosen directory failed.
    EXPECT_EQ(v.StorePacket(*decoded, d, 1), 0);
    v.EndBurst();
    EXPECT_EQ(v.lSeq(), 0);
    EXPECT_EQ(v.ListModel().rowCount(), 0);
    // A directory that works later is taken.
    EXPECT_TRUE(v.OpenSpool(base.string()));
    EXPECT_EQ(v.StorePacket(*decoded, d, 1), 1);
}

TEST(StoreFailure, AFailedStoreLeavesStoreListAndPairsAsTheyWere)
{
    PacketViews v;
    Prepare(v);
    v.ts2_Click(PacketViews::kTabIp);
    Store(v, kOther, kLocal, "1", "2");
    Store(v, kLocal, kOther, "3", "4");
    v.failStoreAt = 3;
    EXPECT_THROW(Store(v, "1.1.1.1", kLocal, "5", "6"), std::bad_alloc);
    EXPECT_EQ(v.lSeq(), 2);
    EXPECT_EQ(v.ListModel().totalRows(), 2u);
    EXPECT_TRUE(v.Admits("1.1.1.1", kLocal));  // its pair was taken back
    v.failStoreAt = 0;
    EXPECT_EQ(Store(v, "1.1.1.1", kLocal, "7", "8", "UDP", "again"), 3);
    v.EndBurst();
    PacketListModel& m = v.ListModel();
    ASSERT_EQ(m.rowCount(), 3);
    EXPECT_EQ(Cell(m, 2, 3), "7");
    EXPECT_EQ(m.data(m.index(2, 0), kRowTagRole).toByteArray(), QByteArray("again"));
    EXPECT_EQ(RowSeqs(m), (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(StoreFailure, AFailedStoreLeavesNoNodeBehindAndTheSamePacketStoresInFullLater)
{
    PacketViews v;
    Prepare(v);
    Store(v, kOther, kLocal, "1", "2");
    v.EndBurst();
    Store(v, kLocal, kOther, "3", "4");  // pending in the same burst as the failure
    HostTreeModel& t = v.TreeModel();
    const std::size_t nodes = t.nodeCount();
    v.failStoreAt = 3;
    // A new host on one side, a new port of a known host on the other.
    EXPECT_THROW(Store(v, "1.1.1.1", kLocal, "5", "6"), std::bad_alloc);
    EXPECT_EQ(t.nodeCount(), nodes);
    EXPECT_FALSE(t.dSrcHosts().exists("1.1.1.1"));
    EXPECT_EQ(t.childTexts(std::string(kLocal) + "D"), (std::vector<std::string>{"2"}));
    v.EndBurst();
    EXPECT_EQ(t.rowCount(t.nodeByKey("S")), 2);  // 192.168.5.9 and 10.0.0.1
    EXPECT_FALSE(t.nodeByKey("1.1.1.1S").isValid());

    v.failStoreAt = 0;
    EXPECT_EQ(Store(v, "1.1.1.1", kLocal, "5", "6"), 3);
    v.EndBurst();
    EXPECT_EQ(t.childTexts("1.1.1.1S"), (std::vector<std::string>{"5"}));
    EXPECT_EQ(t.childTexts(std::string(kLocal) + "D"), (std::vector<std::string>{"2", "6"}));
    const QModelIndex local = t.nodeByKey(std::string(kLocal) + "D");
    ASSERT_TRUE(local.isValid());
    EXPECT_EQ(t.rowCount(local), 2);
}
