#include <algorithm>
#include <ctime>
#include <tuple>

#include <gtest/gtest.h>

#include "ViewsTestSupport.h"
#include "core/ChunkedArray.h"
#include "core/SpreadTable.h"
#include "views/ListRoles.h"

namespace quillet {
namespace {

using namespace test;

QString Cell(PacketListModel& m, int row, int column, int role = Qt::DisplayRole)
{
    return m.data(m.index(row, column), role).toString();
}

// A local time of day on a fixed date, as a capture timestamp.
std::int64_t LocalUs(int h, int m, int s, int micros)
{
    std::tm tm{};
    tm.tm_year = 125;
    tm.tm_mon = 0;
    tm.tm_mday = 15;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm)) * 1000000 + micros;
}

// --- store ------------------------------------------------------------------

TEST(PacketStore, KeysAreDecimalSequenceTextsAndCountFollowsTheNewestKey)
{
    PacketViews v;
    Prepare(v);
    EXPECT_EQ(v.lSeq(), 0);
    EXPECT_FALSE(v.dPackets().exists("1"));
    for (int i = 1; i <= 20000; ++i)  // crosses a chunk of the store
        ASSERT_EQ(Store(v, kOther, kLocal, std::to_string(i % 65536)), i);
    EXPECT_EQ(v.lSeq(), 20000);
    EXPECT_EQ(v.dPackets().count(), v.lSeq());
    EXPECT_TRUE(v.dPackets().exists("1"));
    EXPECT_TRUE(v.dPackets().exists("20000"));
    for (const char* notKey : {"0", "20001", "01", "+1", " 1", "1 ", "", "-1", "1.0", "99999999999999999999"})
        EXPECT_FALSE(v.dPackets().exists(notKey)) << notKey;
    ASSERT_NE(v.dPackets().item("16385"), nullptr);
    EXPECT_EQ(v.dPackets().item("16385")->mSrcPort, "16385");
    EXPECT_EQ(v.dPackets().item("16385"), &v.dPackets().at(16385));
    EXPECT_EQ(PacketStore::KeyOf(v.lSeq()), "20000");
}

TEST(PacketStore, RecordFieldsComeFromTheRightParameters)
{
    PacketViews v;
    Prepare(v);
    std::string payload("a\0\xff", 3);
    v.StorePacket("UDP", "1.2.3.4", "5.6.7.8", "53", "5353", payload, 3, "01:02:03.04");
    const clV& r = v.dPackets().at(1);
    EXPECT_EQ(r.mProtocol, "UDP");
    EXPECT_EQ(r.mSrcAddr, "1.2.3.4");
    EXPECT_EQ(r.mDestAddr, "5.6.7.8");
    EXPECT_EQ(r.mSrcPort, "53");
    EXPECT_EQ(r.mDestPort, "5353");
    EXPECT_EQ(r.mSize, "3");
    EXPECT_EQ(v.dPackets().PayloadOf(r), payload);
    EXPECT_EQ(r.mHora, "01:02:03.04");

    DecodedDatagram d;
    d.protocol = "ICMP";
    d.srcAddr = "9.9.9.9";
    d.destAddr = kLocal;
    d.data = "xyz";
    d.size = 3;
    v.StorePacket(d, LocalUs(23, 59, 58, 999999));
    const clV& icmp = v.dPackets().at(2);
    EXPECT_EQ(icmp.mProtocol, "ICMP");
    EXPECT_EQ(icmp.mSrcPort, "");
    EXPECT_EQ(icmp.mSize, "3");
    EXPECT_EQ(icmp.mHora, "23:59:58.99");
}

// --- time of arrival ------------------------------------------------------------


TEST(ArrivalTime, HundredthsAreTruncatedFromOneReading)
{
    ArrivalTime t(".");
    EXPECT_EQ(t(LocalUs(9, 5, 7, 500000)).view(), "09:05:07.50");
    EXPECT_EQ(t(LocalUs(9, 5, 7, 999999)).view(), "09:05:07.99");  // never rounds into 09:05:08
    EXPECT_EQ(t(LocalUs(9, 5, 8, 0)).view(), "09:05:08.00");
    EXPECT_EQ(t(LocalUs(9, 5, 8, 9999)).view(), "09:05:08.00");
    EXPECT_EQ(t(LocalUs(0, 0, 0, 10000)).view(), "00:00:00.01");
    // The cached second is not reused for another second, also going back.
    EXPECT_EQ(t(LocalUs(13, 0, 59, 120000)).view(), "13:00:59.12");
    EXPECT_EQ(t(LocalUs(9, 5, 7, 0)).view(), "09:05:07.00");

    ArrivalTime comma(",");
    EXPECT_EQ(comma(LocalUs(23, 59, 59, 990000)).view(), "23:59:59,99");
}

TEST(ArrivalTime, TimesBeforeTheEpochSplitIntoTheRightSecond)
{
    ArrivalTime t(".");
    std::time_t zero = 0;
    std::tm local{};
    localtime_r(&zero, &local);
    // 0.25 s before the epoch is the second before it, hundredths 75.
    std::time_t before = -1;
    std::tm prev{};
    localtime_r(&before, &prev);
    char expect[16];
    std::snprintf(expect, sizeof expect, "%02d:%02d:%02d.75", prev.tm_hour, prev.tm_min, prev.tm_sec);
    EXPECT_EQ(t(-250000).view(), expect);
}

// --- rows -------------------------------------------------------------------------

TEST(ListRows, ImageBySourceAddressInTheLocalSet)
{
    PacketViews v;
    Prepare(v);
    Store(v, kLocal, kOther);
    Store(v, kOther, kLocal);
    Store(v, "127.0.0.1", "127.0.0.1");
    Store(v, kLocal2, kLocal);
    v.EndBurst();
    PacketListModel& m = v.ListModel();
    ASSERT_EQ(m.rowCount(), 4);
    EXPECT_EQ(m.data(m.index(0, 0), kImageRole).toInt(), 4);
    EXPECT_EQ(m.data(m.index(1, 0), kImageRole).toInt(), 12);
    EXPECT_EQ(m.data(m.index(2, 0), kImageRole).toInt(), 12);
    EXPECT_EQ(m.data(m.index(3, 0), kImageRole).toInt(), 4);
    EXPECT_FALSE(v.IsLocal("127.0.0.1"));
}

TEST(ListRows, OddTextsShowAsGivenAndTabsTreatThemAlike)
{
    // Texts the decoder never writes still show exactly as given, and the
    // tabs decide on them as on any other: a local address written oddly is
    // a different address; an address longer than a field never matches.
    PacketViews v;
    v.arrivalTime = ArrivalTime(".");
    v.SetLocalAddrs({"10.0.0.1", "010.0.0.1x", "10.0.0.1.2.3.4.5.6", "127.0.0.1"});
    const std::string noPayload;
    v.StorePacket("6", "010.0.0.1x", "10.0.0.1", "0080", "65536", noPayload, 0, "24:00:00.00");
    v.StorePacket("TCP", "10.0.0.1.2.3.4.5.6", "0.0.0.0", "0", "65535", noPayload, -1, "23:59:59.99");
    v.StorePacket("255", "255.255.255.255", "10.0.0.1", "", "", noPayload, 2147483647, "00:00:00,00");
    v.EndBurst();
    PacketListModel& m = v.ListModel();
    ASSERT_EQ(m.rowCount(), 3);
    const QStringList rows[3] = {
        {"6", "010.0.0.1x", "10.0.0.1", "0080", "65536", "0", "24:00:00.00"},
        {"TCP", "10.0.0.1.2.3.4.", "0.0.0.0", "0", "65535", "-1", "23:59:59.99"},
        {"255", "255.255.255.255", "10.0.0.1", "", "", "2147483647", "00:00:00,00"},
    };
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < kColProgram; ++c)
            EXPECT_EQ(Cell(m, r, c), rows[r][c]) << r << "," << c;
    EXPECT_EQ(m.data(m.index(0, 0), kImageRole).toInt(), 4);   // "010.0.0.1x" is in the set
    EXPECT_EQ(m.data(m.index(1, 0), kImageRole).toInt(), 12);  // cut to 15: not the long one
    EXPECT_EQ(m.data(m.index(2, 0), kImageRole).toInt(), 12);
    v.ts2_Click(PacketViews::kTabSent);
    EXPECT_EQ(RowSeqs(m), (std::vector<std::int64_t>{1}));
    v.ts2_Click(PacketViews::kTabReceived);
    EXPECT_EQ(RowSeqs(m), (std::vector<std::int64_t>{2, 3}));
    // The IP tab tells pairs apart by their texts.
    v.StorePacket("UDP", "010.0.0.1x", "10.0.0.1", "1", "2", noPayload, 0, "12:00:00.00");
    v.StorePacket("UDP", "10.0.0.1", "010.0.0.1x", "1", "2", noPayload, 0, "12:00:00.00");
    v.ts2_Click(PacketViews::kTabIp);
    EXPECT_EQ(RowSeqs(m), (std::vector<std::int64_t>{1, 2, 3, 5}));
    EXPECT_FALSE(v.Admits("010.0.0.1x", "10.0.0.1"));
    EXPECT_TRUE(v.Admits("010.0.0.1", "10.0.0.1"));

    // Filter tabs compare whole texts, odd ones too, live and rebuilt.
    auto odd = std::make_shared<cFilter>();
    odd->bSrc = true;
    odd->Src = "010.0.0.1x";
    odd->bDest = true;
    odd->Dest = "10.0.0.1.2.3.4.5.6";  // longer than any field: never holds
    ASSERT_EQ(v.AddFilter("odd", odd), "");
    v.ts2_Click(PacketViews::kFirstFilterTab);
    EXPECT_EQ(RowSeqs(m), (std::vector<std::int64_t>{1, 4}));
    v.StorePacket("UDP", "010.0.0.1x", "1.1.1.1", "", "", noPayload, 0, "12:00:00.00");
    v.StorePacket("UDP", "1.1.1.1", "10.0.0.1.2.3.4.", "", "", noPayload, 0, "12:00:00.00");
    EXPECT_EQ(RowSeqs(m), (std::vector<std::int64_t>{1, 4, 6}));
    auto both = std::make_shared<cFilter>(*odd);
    both->bAND = true;
    both->Dest = "10.0.0.1";
    ASSERT_EQ(v.AddFilter("both", both), "");
    v.ts2_Click(PacketViews::kFirstFilterTab + 1);
    EXPECT_EQ(RowSeqs(m), (std::vector<std::int64_t>{1, 4}));
}

TEST(ListRows, ColumnsTagsAndCaptions)
{
    PacketViews v;
    Prepare(v);
    std::string payload("\x00\x01\x80\xff", 4);
    v.StorePacket("TCP", kOther, kLocal, "1025", "80", payload, 4, "10:11:12.13");
    v.EndBurst();
    PacketListModel& m = v.ListModel();
    const QStringList expect = {"TCP", kOther, kLocal, "1025", "80", "4", "10:11:12.13", ""};
    ASSERT_EQ(m.columnCount(), 8);
    for (int c = 0; c < kColumnCount; ++c)
        EXPECT_EQ(Cell(m, 0, c), expect[c]) << c;
    EXPECT_EQ(m.data(m.index(0, 2), kRowTagRole).toByteArray(), QByteArray(payload.data(), 4));
    EXPECT_EQ(Cell(m, 0, 3, kColumnTagRole), "1025");
    EXPECT_EQ(Cell(m, 0, 4, kColumnTagRole), "80");
    EXPECT_FALSE(m.data(m.index(0, 2), kColumnTagRole).isValid());
    EXPECT_EQ(m.data(m.index(0, 6), kSequenceRole).toLongLong(), 1);
    const QStringList captions = {"协议", "原址", "目标地址", "源端口", "目标端口", "字节数", "时间", "程序"};
    for (int c = 0; c < kColumnCount; ++c)
        EXPECT_EQ(m.headerData(c, Qt::Horizontal).toString(), captions[c]);
}

TEST(ListRows, NamesShownKeepNumberTagsAndOldRowsKeepTheirTexts)
{
    PacketViews v;
    Prepare(v);
    std::vector<PortFileProblem> problems;
    ReadPortFile(PortFile::kIana, "http\t80\tWeb\r\ndomain\t53\tDNS", "iana.txt", v.Ports(), problems);
    ReadPortFile(PortFile::kTrojans, "80\tExecutor", "trojans.txt", v.Ports(), problems);
    ASSERT_TRUE(problems.empty());
    PacketListModel& m = v.ListModel();

    Store(v, kOther, kLocal, "53", "80");  // numbers
    v.Prefs().bPorts = true;
    Store(v, kOther, kLocal, "53", "81");  // IANA names; 81 has none
    v.Prefs().Prefs = kTrojans;
    Store(v, kOther, kLocal, "53", "80");  // trojan names
    v.Prefs().bPorts = false;
    v.EndBurst();

    EXPECT_EQ(Cell(m, 0, 3), "53");
    EXPECT_EQ(Cell(m, 0, 4), "80");
    EXPECT_EQ(Cell(m, 1, 3), "domain     DNS");
    EXPECT_EQ(Cell(m, 1, 4), "81");
    EXPECT_EQ(Cell(m, 2, 3), "53");
    EXPECT_EQ(Cell(m, 2, 4), "Executor");
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(Cell(m, r, 3, kColumnTagRole), "53");
    EXPECT_EQ(Cell(m, 1, 4, kColumnTagRole), "81");
    EXPECT_EQ(Cell(m, 2, 4, kColumnTagRole), "80");

    // A rebuild shows every row with the settings now in force.
    v.Prefs().bPorts = true;
    v.Prefs().Prefs = kIana;
    v.ts2_Click(PacketViews::kTabAll);
    EXPECT_EQ(Cell(m, 0, 4), "http     Web");
    EXPECT_EQ(Cell(m, 2, 4), "http     Web");
    EXPECT_EQ(Cell(m, 1, 4), "81");
}

TEST(ListRows, BurstInsertsOnceWithTheSameFinalStateAsOneByOne)
{
    PacketViews burst;
    PacketViews single;
    Prepare(burst);
    Prepare(single);
    int inserts = 0;
    QObject::connect(&burst.ListModel(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) {
                         ++inserts;
                         EXPECT_EQ(first, 0);
                         EXPECT_EQ(last, 99);
                     });
    std::vector<int> followBurst;
    std::vector<int> followSingle;
    burst.onFollow = [&](int row) { followBurst.push_back(row); };
    single.onFollow = [&](int row) { followSingle.push_back(row); };
    for (int i = 0; i < 100; ++i) {
        const std::string host = "172.16.0." + std::to_string(i % 7);
        const std::string port = std::to_string(1000 + i % 5);
        Store(burst, host, i % 3 ? kLocal : kOther, port);
        Store(single, host, i % 3 ? kLocal : kOther, port);
        single.EndBurst();
    }
    EXPECT_EQ(burst.ListModel().rowCount(), 0);  // not visible before the burst ends
    burst.EndBurst();
    EXPECT_EQ(inserts, 1);
    EXPECT_EQ(RowSeqs(burst.ListModel()), RowSeqs(single.ListModel()));
    EXPECT_EQ(burst.ListModel().rowCount(), single.ListModel().rowCount());
    ASSERT_EQ(followBurst, std::vector<int>{99});
    EXPECT_EQ(followSingle.back(), 99);
    EXPECT_EQ(followSingle.size(), 100u);
    for (const std::string key : {"S", "D", "172.16.0.3S", "10.0.0.1D"})
        EXPECT_EQ(burst.TreeModel().childTexts(key), single.TreeModel().childTexts(key)) << key;
    EXPECT_EQ(burst.TreeModel().rowCount(burst.TreeModel().nodeByKey("S")), 7);
    // Nothing pending: ending again changes nothing.
    burst.EndBurst();
    EXPECT_EQ(inserts, 1);
    EXPECT_EQ(followBurst.size(), 1u);
}

TEST(ListRows, NoFollowAppendsWithoutFollowing)
{
    PacketViews v;
    Prepare(v);
    int follows = 0;
    v.onFollow = [&](int) { ++follows; };
    v.bNoFollow = true;
    Store(v, kOther, kLocal);
    v.EndBurst();
    EXPECT_EQ(follows, 0);
    EXPECT_EQ(v.ListModel().rowCount(), 1);
    v.bNoFollow = false;
    Store(v, kOther, kLocal);
    v.EndBurst();
    EXPECT_EQ(follows, 1);
}

// --- host tree --------------------------------------------------------------------

using Texts = std::vector<std::string>;

TEST(HostTree, LiveAddsFollowFirstAppearance)
{
    PacketViews v;
    Prepare(v);
    HostTreeModel& t = v.TreeModel();
    EXPECT_EQ(t.data(t.nodeByKey("S")).toString(), "来源");
    EXPECT_EQ(t.data(t.nodeByKey("D")).toString(), "目标");
    EXPECT_EQ(t.data(t.nodeByKey("S"), kImageRole).toInt(), 9);
    EXPECT_EQ(t.data(t.nodeByKey("D"), kImageRole).toInt(), 13);
    EXPECT_EQ(t.nodeByKey("S").row(), 0);
    EXPECT_EQ(t.nodeByKey("D").row(), 1);

    const std::string A = "10.1.1.1", B = "10.2.2.2", C = "10.3.3.3";
    Store(v, A, B, "1025", "80");
    Store(v, A, B, "1025", "80");
    Store(v, A, B, "1026", "80");
    Store(v, C, B, "1025", "80");
    Store(v, C, A, "2000", "");
    Store(v, A, B, "2000", "80");
    v.EndBurst();
    EXPECT_EQ(t.childTexts("S"), (Texts{A, C}));
    EXPECT_EQ(t.childTexts("D"), (Texts{B, A}));
    EXPECT_EQ(t.childTexts(A + "S"), (Texts{"1025", "1026", "2000"}));
    EXPECT_EQ(t.childTexts(C + "S"), (Texts{"1025", "2000"}));
    EXPECT_EQ(t.childTexts(B + "D"), (Texts{"80"}));
    EXPECT_EQ(t.childTexts(A + "D"), (Texts{""}));  // empty port text, empty node
    EXPECT_EQ(t.dSrcHosts().count(), 2u);
    EXPECT_EQ(t.dSrcHosts().portCount(A), 3u);
    EXPECT_EQ(t.dDestHosts().portCount(A), 1u);
    EXPECT_TRUE(t.dSrcHosts().hasPort(C, "2000"));
    EXPECT_FALSE(t.dSrcHosts().hasPort(C, "1026"));
    EXPECT_FALSE(t.dSrcHosts().hasPort(B, "80"));
    EXPECT_TRUE(t.dDestHosts().hasPort(B, "80"));
    EXPECT_FALSE(t.dSrcHosts().exists(A + " "));
    EXPECT_FALSE(t.nodeByKey(A).isValid());  // a host's key carries its side
    // The model shows the same: host A under the source root with three ports.
    const QModelIndex hostA = t.nodeByKey(A + "S");
    ASSERT_TRUE(hostA.isValid());
    EXPECT_EQ(t.parent(hostA), t.nodeByKey("S"));
    EXPECT_EQ(t.rowCount(hostA), 3);
    EXPECT_EQ(t.data(t.index(2, 0, hostA)).toString(), "2000");
    EXPECT_EQ(t.parent(t.index(2, 0, hostA)), hostA);
    EXPECT_EQ(t.data(hostA, kNodeKeyRole).toString(), QString::fromStdString(A + "S"));
}

TEST(HostTree, ManyHostsAndPortsMatchAPlainReference)
{
    PacketViews v;
    Prepare(v);
    // Reference: per side, hosts in first-seen order, each with its ports in
    // first-seen order.
    using Side = std::vector<std::pair<std::string, Texts>>;
    Side src, dest;
    auto note = [](Side& side, const std::string& host, const std::string& port) {
        for (auto& [h, ports] : side)
            if (h == host) {
                if (std::find(ports.begin(), ports.end(), port) == ports.end())
                    ports.push_back(port);
                return;
            }
        side.push_back({host, {port}});
    };
    std::uint32_t x = 12345;
    auto next = [&] { return x = x * 1103515245u + 12345u, (x >> 8); };
    for (int i = 0; i < 20000; ++i) {
        const std::string s = "10." + std::to_string(next() % 300) + ".0.1";
        const std::string d = "10." + std::to_string(next() % 7) + ".0.2";
        const std::string sp = std::to_string(next() % 60);
        const std::string dp = std::to_string(next() % 5);
        Store(v, s, d, sp, dp);
        note(src, s, sp);
        note(dest, d, dp);
        if (i % 777 == 0)
            v.EndBurst();
    }
    v.EndBurst();
    HostTreeModel& t = v.TreeModel();
    for (const auto& [side, suffix, root] : {std::tuple{&src, "S", "S"}, std::tuple{&dest, "D", "D"}}) {
        Texts hosts;
        for (const auto& [h, ports] : *side) {
            hosts.push_back(h);
            EXPECT_EQ(t.childTexts(h + suffix), ports) << h;
            const QModelIndex node = t.nodeByKey(h + suffix);
            ASSERT_TRUE(node.isValid());
            EXPECT_EQ(t.rowCount(node), static_cast<int>(ports.size()));
            EXPECT_EQ(t.data(t.index(static_cast<int>(ports.size()) - 1, 0, node)).toString().toStdString(),
                      ports.back());
        }
        EXPECT_EQ(t.childTexts(root), hosts);
        EXPECT_EQ(t.rowCount(t.nodeByKey(root)), static_cast<int>(hosts.size()));
    }
}

// Every node's texts: each root's hosts, then each host's ports, source side first.
std::vector<Texts> TreeTexts(const HostTreeModel& t)
{
    std::vector<Texts> nodes;
    for (const char* root : {"S", "D"}) {
        nodes.push_back(t.childTexts(root));
        for (const std::string& host : t.childTexts(root))
            nodes.push_back(t.childTexts(host + root));
    }
    return nodes;
}

// Feeding the tree a record's fields builds what feeding it their texts
// builds: same nodes in the same order, texts that are not numbers included,
// through the growth of the side memory, and again after the tree is cleared.
TEST(HostTree, RecordFieldsBuildTheSameTreeAsTextsAndAgainAfterClear)
{
    struct Side4 {
        std::string src, srcPort, dest, destPort;
    };
    std::vector<Side4> sides = {
        {"10.1.1.1", "1025", "10.2.2.2", "80"}, {"10.1.1.1", "1025", "10.2.2.2", "80"},
        {"10.2.2.2", "80", "10.1.1.1", "1025"},  // the same address on the other side
        {"10.1.1.1", "", "10.2.2.2", ""},        // no ports: empty port nodes
        {"10.1.1.1", "0", "0.0.0.0", "0"},       {"host-a", "http", "10.2.2.2", "08"},
        {"host-a", "http", "10.2.2.2", "8"},     {"10.1.1.1", "1025", "255.255.255.255", "65535"},
    };
    for (int i = 0; i < 3000; ++i)  // past several growths of the side memory
        sides.push_back({"172.16." + std::to_string(i % 7) + "." + std::to_string(i % 251),
                         std::to_string(1000 + i % 1500), "10.9.9." + std::to_string(i % 3), std::to_string(i % 20)});

    HostTreeModel byText;
    HostTreeModel byFields;
    auto feed = [&] {
        byText.AddRoots();
        byFields.AddRoots();
        for (int pass = 0; pass < 2; ++pass)
            for (const Side4& s : sides) {
                byText.AddToHostTree(s.src, s.srcPort, s.dest, s.destPort);
                byFields.AddToHostTree(AddressText(s.src), PortText5(s.srcPort), AddressText(s.dest),
                                       PortText5(s.destPort));
            }
        byText.endBurst();
        byFields.endBurst();
    };
    auto expectSame = [&] {
        ASSERT_EQ(byFields.nodeCount(), byText.nodeCount());
        EXPECT_EQ(TreeTexts(byFields), TreeTexts(byText));
    };
    feed();
    expectSame();
    EXPECT_EQ(byFields.childTexts("10.1.1.1S"), (Texts{"1025", "", "0"}));
    EXPECT_EQ(byFields.childTexts("10.2.2.2D"), (Texts{"80", "", "08", "8"}));
    EXPECT_EQ(byFields.childTexts("host-aS"), (Texts{"http"}));

    byText.clear();
    byFields.clear();
    EXPECT_EQ(byFields.nodeCount(), 0u);
    feed();
    expectSame();
    EXPECT_TRUE(byFields.dSrcHosts().hasPort("10.1.1.1", "1025"));
    EXPECT_TRUE(byFields.dDestHosts().hasPort("255.255.255.255", "65535"));
}

TEST(HostTree, RollBackTakesBackNodesAndSidesSinceTheMarkAndKeepsTheRest)
{
    HostTreeModel t;
    t.AddRoots();
    auto add = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            t.AddToHostTree(AddressText("172.16." + std::to_string(i % 97) + "." + std::to_string(i % 251)),
                            PortText5(std::to_string(1000 + i % 700)), AddressText("10.9.9." + std::to_string(i % 5)),
                            PortText5(i % 3 == 0 ? std::string() : std::to_string(i % 40)));
    };
    add(0, 2000);
    t.endBurst();
    add(2000, 2300);  // a pending part that stays
    const std::size_t kept = t.nodeCount();
    const std::vector<Texts> before = TreeTexts(t);
    const HostTreeModel::Mark mark = t.mark();
    add(2300, 9000);  // new hosts, new ports of old hosts, several growths of both indexes
    t.AddToHostTree(std::string_view("name-host"), std::string_view("http"), std::string_view("10.9.9.1"), std::string_view("x"));  // texts that have no side key
    ASSERT_GT(t.nodeCount(), kept + 1000);
    t.rollBack(mark);

    EXPECT_EQ(t.nodeCount(), kept);
    EXPECT_EQ(TreeTexts(t), before);
    EXPECT_FALSE(t.dSrcHosts().exists("name-host"));
    EXPECT_FALSE(t.dDestHosts().hasPort("10.9.9.1", "x"));
    // Every node kept is still found through the index after the entries
    // that were taken out of it.
    for (int i = 0; i < 2300; ++i)
        ASSERT_TRUE(t.dSrcHosts().hasPort("172.16." + std::to_string(i % 97) + "." + std::to_string(i % 251),
                                          std::to_string(1000 + i % 700)))
            << i;

    // The same sides again make the same nodes again: none is taken for
    // present because of a side remembered from the part taken back.
    HostTreeModel reference;
    reference.AddRoots();
    add(2300, 9000);
    t.endBurst();
    {
        HostTreeModel& r = reference;
        for (int i = 0; i < 9000; ++i)
            r.AddToHostTree("172.16." + std::to_string(i % 97) + "." + std::to_string(i % 251),
                            std::to_string(1000 + i % 700), "10.9.9." + std::to_string(i % 5),
                            i % 3 == 0 ? std::string() : std::to_string(i % 40));
        r.endBurst();
    }
    ASSERT_EQ(t.nodeCount(), reference.nodeCount());
    for (const char* root : {"S", "D"})
        for (const std::string& host : reference.childTexts(root))
            EXPECT_EQ(t.childTexts(host + root), reference.childTexts(host + root)) << host << root;
    EXPECT_EQ(t.rowCount(t.nodeByKey("S")), static_cast<int>(reference.childTexts("S").size()));
}

// IPv6 host nodes keep their whole, longer texts through a roll-back.
TEST(HostTree, LongAddressTextsStayWholeThroughRollBack)
{
    HostTreeModel t;
    t.AddRoots();
    auto add = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            t.AddToHostTree(AddressText("2001:db8a:aaaa:bbbb:cccc:dddd:1000:" + std::to_string(1000 + i)),
                            PortText5("7"), AddressText("10.1.0.1"), PortText5("443"));
    };
    add(0, 500);
    const HostTreeModel::Mark mark = t.mark();
    add(500, 900);
    t.rollBack(mark);
    // The 500 hosts from before the mark are intact, as the view shows them:
    // each its whole text, in order, with its one port; the other side too.
    auto expectHosts = [&t](int count) {
        const QModelIndex sources = t.nodeByKey("S");
        ASSERT_EQ(t.rowCount(sources), count);
        for (int i = 0; i < count; ++i) {
            const QModelIndex host = t.index(i, 0, sources);
            const std::string text = "2001:db8a:aaaa:bbbb:cccc:dddd:1000:" + std::to_string(1000 + i);  // 39 characters
            ASSERT_EQ(t.data(host).toString().toStdString(), text) << i;
            ASSERT_EQ(t.rowCount(host), 1) << i;
            ASSERT_EQ(t.data(t.index(0, 0, host)).toString(), "7") << i;
            ASSERT_EQ(t.childTexts(text + "S"), (Texts{"7"})) << i;
        }
        const QModelIndex dests = t.nodeByKey("D");
        ASSERT_EQ(t.rowCount(dests), 1);
        EXPECT_EQ(t.data(t.index(0, 0, dests)).toString(), "10.1.0.1");
        EXPECT_EQ(t.childTexts("10.1.0.1D"), (Texts{"443"}));
    };
    t.endBurst();
    expectHosts(500);
    add(500, 600);
    t.endBurst();
    expectHosts(600);
}

TEST(HostTree, NodesOfABurstBecomeVisibleWithOneInsertionPerGrownParent)
{
    PacketViews v;
    Prepare(v);
    HostTreeModel& t = v.TreeModel();
    Store(v, "1.1.1.1", "2.2.2.2", "1", "2");
    v.EndBurst();
    std::vector<std::pair<std::string, std::pair<int, int>>> inserts;
    QObject::connect(&t, &QAbstractItemModel::rowsInserted, [&](const QModelIndex& parent, int first, int last) {
        inserts.push_back({t.data(parent, kNodeKeyRole).toString().toStdString(), {first, last}});
    });
    Store(v, "1.1.1.1", "2.2.2.2", "3", "2");  // new port under an old host
    Store(v, "1.1.1.1", "2.2.2.2", "4", "2");
    Store(v, "5.5.5.5", "2.2.2.2", "1", "2");  // new host with its port
    EXPECT_FALSE(t.nodeByKey("5.5.5.5S").isValid());
    v.EndBurst();
    ASSERT_EQ(inserts.size(), 2u);
    EXPECT_EQ(inserts[0].first, "1.1.1.1S");
    EXPECT_EQ(inserts[0].second, std::make_pair(1, 2));
    EXPECT_EQ(inserts[1].first, "S");
    EXPECT_EQ(inserts[1].second, std::make_pair(1, 1));
    EXPECT_EQ(t.rowCount(t.nodeByKey("5.5.5.5S")), 1);
}

TEST(HostTree, RebuildHoldsExactlyTheHostsOfTheRowsShown)
{
    PacketViews v;
    Prepare(v);
    Store(v, "1.1.1.1", "2.2.2.2", "10", "20");
    Store(v, "3.3.3.3", "4.4.4.4", "30", "40");
    Store(v, "1.1.1.1", "4.4.4.4", "11", "41");
    auto f = std::make_shared<cFilter>();
    f->bSrc = true;
    f->Src = "1.1.1.1";
    ASSERT_EQ(v.AddFilter("one", f), "");
    v.ts2_Click(5);
    HostTreeModel& t = v.TreeModel();
    EXPECT_EQ(t.childTexts("S"), (Texts{"1.1.1.1"}));
    EXPECT_EQ(t.childTexts("1.1.1.1S"), (Texts{"10", "11"}));
    EXPECT_EQ(t.childTexts("D"), (Texts{"2.2.2.2", "4.4.4.4"}));
    EXPECT_EQ(t.childTexts("4.4.4.4D"), (Texts{"41"}));
    EXPECT_FALSE(t.dSrcHosts().exists("3.3.3.3"));
    EXPECT_EQ(t.nodeCount(), 2u + 3u + 4u);
    // Back to every packet: all hosts again, in order of first appearance.
    v.ts2_Click(1);
    EXPECT_EQ(t.childTexts("S"), (Texts{"1.1.1.1", "3.3.3.3"}));
    EXPECT_EQ(t.childTexts("D"), (Texts{"2.2.2.2", "4.4.4.4"}));
    EXPECT_EQ(t.childTexts("4.4.4.4D"), (Texts{"40", "41"}));
}

// A tree fed the same sides now as texts, now as record fields, holds each
// node once, as a tree fed texts only does; again after clear, and after
// taking back part of a burst.
TEST(HostTree, TextsAndRecordFieldsMixedBuildOneNodePerSide)
{
    HostTreeModel mixed;
    HostTreeModel reference;
    auto feed = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            const std::string src = "172.16." + std::to_string(i % 13) + "." + std::to_string(i % 7);
            const std::string port = i % 5 == 0 ? std::string() : std::to_string(i % 900);
            const std::string dest = i % 11 == 0 ? "name-" + std::to_string(i % 3) : "10.9.9." + std::to_string(i % 4);
            const std::string destPort = i % 9 == 0 ? "x" + std::to_string(i % 2) : std::to_string(i % 30);
            reference.AddToHostTree(src, port, dest, destPort);
            if ((i / 3) % 2 == 0)
                mixed.AddToHostTree(src, port, dest, destPort);
            else
                mixed.AddToHostTree(AddressText(src), PortText5(port), AddressText(dest), PortText5(destPort));
        }
    };
    auto expectSame = [&] {
        ASSERT_EQ(mixed.nodeCount(), reference.nodeCount());
        EXPECT_EQ(TreeTexts(mixed), TreeTexts(reference));
        EXPECT_TRUE(mixed.dSrcHosts().hasPort("172.16.1.1", "1"));
        EXPECT_FALSE(mixed.dSrcHosts().hasPort("172.16.1.1", "2"));
        EXPECT_EQ(mixed.dDestHosts().hasPort("name-0", "x0"), reference.dDestHosts().hasPort("name-0", "x0"));
    };
    for (HostTreeModel* t : {&mixed, &reference})
        t->AddRoots();
    feed(0, 6000);
    expectSame();
    for (HostTreeModel* t : {&mixed, &reference}) {
        t->clear();
        t->AddRoots();
        t->endBurst();
    }
    feed(0, 1500);
    expectSame();
    const HostTreeModel::Mark mark = mixed.mark();
    const HostTreeModel::Mark referenceMark = reference.mark();
    feed(1500, 4000);  // new hosts and ports, taken back
    mixed.rollBack(mark);
    reference.rollBack(referenceMark);
    feed(3000, 6000);
    expectSame();
}

// A rebuild after the tree and its tables grew shows the tree the live
// adds made, node for node; a smaller tab in between changes nothing.
TEST(HostTree, RebuildAfterGrowthKeepsEveryNodeAndCount)
{
    PacketViews v;
    Prepare(v);
    for (int i = 0; i < 30000; ++i) {
        const std::string remote = "172.20." + std::to_string(i % 41) + "." + std::to_string(i % 17);
        const std::string port = std::to_string(1024 + (i * 7) % 4000);
        if (i % 4 == 0)
            Store(v, kLocal, remote, port, std::to_string(i % 50));
        else
            Store(v, remote, i % 3 ? kLocal : kLocal2, port, std::to_string(i % 50));
    }
    v.EndBurst();
    HostTreeModel& t = v.TreeModel();
    const std::size_t count = t.nodeCount();
    const std::vector<Texts> live = TreeTexts(t);
    ASSERT_GT(count, 20000u);
    v.ts2_Click(PacketViews::kTabAll);
    EXPECT_EQ(t.nodeCount(), count);
    EXPECT_EQ(TreeTexts(t), live);
    v.ts2_Click(PacketViews::kTabSent);
    EXPECT_EQ(t.childTexts("S"), (Texts{kLocal}));
    EXPECT_EQ(t.childTexts(std::string(kLocal) + "S").size(), 1000u);  // (i * 7) % 4000 over every fourth i
    v.ts2_Click(PacketViews::kTabAll);
    EXPECT_EQ(t.nodeCount(), count);
    EXPECT_EQ(TreeTexts(t), live);
    EXPECT_EQ(t.rowCount(t.nodeByKey(std::string(kLocal) + "S")), 1000);
    EXPECT_EQ(v.ListModel().visibleRows(), 30000);
}

// --- tabs -------------------------------------------------------------------------

// The four kinds of traffic whose selection the tabs decide.
struct Traffic {
    std::int64_t sent, received, localToLocal, broadcast;
};

Traffic StoreMix(PacketViews& v)
{
    Traffic t{};
    t.sent = Store(v, kLocal, kOther);
    t.received = Store(v, kOther, kLocal);
    t.localToLocal = Store(v, kLocal, kLocal2);
    t.broadcast = Store(v, "10.0.0.7", kBroadcast);
    v.EndBurst();
    return t;
}

std::vector<std::int64_t> Seqs(std::initializer_list<std::int64_t> s)
{
    return s;
}

TEST(Tabs, BuiltInTabsSelectTheSamePacketsLiveAndAfterRebuild)
{
    struct Case {
        int tab;
        std::vector<std::int64_t> expect;  // of the mix stored 1..4
    };
    const std::vector<Case> cases = {
        {PacketViews::kTabAll, Seqs({1, 2, 3, 4})},
        {PacketViews::kTabReceived, Seqs({2, 4})},  // source not local
        {PacketViews::kTabSent, Seqs({1, 3})},      // source local
        {PacketViews::kTabIp, Seqs({1, 2, 3, 4})},  // four different pairs
    };
    for (const Case& c : cases) {
        PacketViews v;
        Prepare(v);
        v.ts2_Click(c.tab);
        EXPECT_EQ(v.SelectedTab(), c.tab);
        StoreMix(v);
        EXPECT_EQ(RowSeqs(v.ListModel()), c.expect) << "live, tab " << c.tab;
        v.ts2_Click(c.tab);
        EXPECT_EQ(RowSeqs(v.ListModel()), c.expect) << "rebuilt, tab " << c.tab;
        // Images agree with the tabs: sent rows carry 4, received rows 12.
        for (std::size_t r = 0; r < v.ListModel().totalRows(); ++r)
            EXPECT_EQ(v.ListModel().imageOf(r) == 4, v.IsLocal(v.ListModel().recordOf(r).mSrcAddr.text()));
    }
}

TEST(Tabs, IpTabShowsOneRowPerOrderedPairLiveAndAfterRebuild)
{
    PacketViews v;
    Prepare(v);
    v.ts2_Click(PacketViews::kTabIp);
    Store(v, "1.1.1.1", "2.2.2.2");
    Store(v, "1.1.1.1", "2.2.2.2", "9");
    Store(v, "1.1.1.1", "2.2.2.2");
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({1}));
    Store(v, "2.2.2.2", "1.1.1.1");
    Store(v, "1.1.1.1", "2.2.2.22");
    Store(v, "1.1.1.12", "2.2.2.2");
    Store(v, "2.2.2.2", "1.1.1.1");
    v.EndBurst();
    const auto live = RowSeqs(v.ListModel());
    EXPECT_EQ(live, Seqs({1, 4, 5, 6}));
    v.ts2_Click(PacketViews::kTabIp);
    EXPECT_EQ(RowSeqs(v.ListModel()), live);
}

TEST(Tabs, IpTabCountsRowsFromOtherTabsAndForgetsClearedRows)
{
    PacketViews v;
    Prepare(v);
    Store(v, "1.1.1.1", "2.2.2.2");  // on tab 1: a row for the pair
    v.ts2_Click(PacketViews::kTabIp);
    Store(v, "1.1.1.1", "2.2.2.2");
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({1}));
    v.ClearList();
    EXPECT_EQ(v.ListModel().totalRows(), 0u);
    Store(v, "1.1.1.1", "2.2.2.2");  // the list no longer shows the pair
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({3}));
}

TEST(Tabs, ClearListEmptiesRowsOnlyAndTheNextClickShowsAllAgain)
{
    PacketViews v;
    Prepare(v);
    StoreMix(v);
    const std::size_t nodes = v.TreeModel().nodeCount();
    v.ClearList();
    EXPECT_EQ(v.ListModel().rowCount(), 0);
    EXPECT_EQ(v.TreeModel().nodeCount(), nodes);
    EXPECT_EQ(v.lSeq(), 4);
    Store(v, kOther, kLocal);
    v.EndBurst();
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({5}));
    v.ts2_Click(PacketViews::kTabAll);
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({1, 2, 3, 4, 5}));
}

std::shared_ptr<cFilter> SrcFilter(const std::string& src)
{
    auto f = std::make_shared<cFilter>();
    f->bSrc = true;
    f->Src = src;
    return f;
}

TEST(Tabs, FilterTabSelectsLiveAndAppliesToThePast)
{
    PacketViews v;
    Prepare(v);
    Store(v, "1.1.1.1", "2.2.2.2");
    Store(v, "3.3.3.3", "2.2.2.2");
    ASSERT_EQ(v.AddFilter("from 1", SrcFilter("1.1.1.1")), "");
    auto none = std::make_shared<cFilter>();
    ASSERT_EQ(v.AddFilter("none", none), "");
    ASSERT_EQ(v.TabCount(), 6);
    EXPECT_EQ(v.TabAt(5).key, "from 1");
    EXPECT_EQ(v.TabAt(5).caption, "from 1");
    EXPECT_EQ(v.TabAt(5).image, 0);
    EXPECT_EQ(v.SelectedTab(), 1);  // a new filter tab is not selected

    v.ts2_Click(5);
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({1}));
    EXPECT_EQ(v.cF, *v.dFiltro.find("from 1"));
    Store(v, "1.1.1.1", "9.9.9.9");
    Store(v, "9.9.9.9", "1.1.1.1");
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({1, 3}));

    v.ts2_Click(6);  // no criterion: nothing, live or rebuilt
    EXPECT_TRUE(RowSeqs(v.ListModel()).empty());
    Store(v, "1.1.1.1", "2.2.2.2");
    EXPECT_TRUE(RowSeqs(v.ListModel()).empty());
    EXPECT_EQ(v.lSeq(), 5);
}

TEST(Tabs, FilterNamesAndTabKeysAreRefusedWhenTaken)
{
    PacketViews v;
    Prepare(v);
    ASSERT_EQ(v.AddFilter("f", SrcFilter("1.1.1.1")), "");
    EXPECT_EQ(v.AddFilter("f", SrcFilter("2.2.2.2")), "Filter Name already exists!");
    EXPECT_EQ(v.TabCount(), 5);
    EXPECT_EQ((*v.dFiltro.find("f"))->Src, "1.1.1.1");
    // A tab key the strip already has is refused with a reason; nothing registered.
    EXPECT_FALSE(v.AppendFilterTab("f").isEmpty());
    v.dFiltro.remove("f");
    const QString refusal = v.AddFilter("f", SrcFilter("2.2.2.2"));
    EXPECT_FALSE(refusal.isEmpty());
    EXPECT_FALSE(v.dFiltro.exists("f"));
    EXPECT_EQ(v.TabCount(), 5);
    // Case matters; captions of built-in tabs are not keys.
    EXPECT_EQ(v.AddFilter("F", SrcFilter("1.1.1.1")), "");
    EXPECT_EQ(v.AddFilter("全部", SrcFilter("1.1.1.1")), "");
    EXPECT_EQ(v.TabCount(), 7);
}

TEST(Tabs, DeletingAFilterTabUnregistersItAndRebuildsForTheNextTab)
{
    PacketViews v;
    Prepare(v);
    Store(v, "1.1.1.1", "2.2.2.2");
    Store(v, "3.3.3.3", "2.2.2.2");
    ASSERT_EQ(v.AddFilter("a", SrcFilter("1.1.1.1")), "");
    ASSERT_EQ(v.AddFilter("b", SrcFilter("3.3.3.3")), "");

    v.ts2_Click(PacketViews::kTabSent);
    EXPECT_FALSE(v.DeleteSelectedFilterTab());  // built-in tabs stay
    EXPECT_EQ(v.TabCount(), 6);

    v.ts2_Click(5);
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({1}));
    ASSERT_TRUE(v.DeleteSelectedFilterTab());
    EXPECT_EQ(v.TabCount(), 5);
    EXPECT_FALSE(v.dFiltro.exists("a"));
    EXPECT_EQ(v.SelectedTab(), 5);  // "b" moved into its place
    EXPECT_EQ(v.TabAt(5).key, "b");
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({2}));
    EXPECT_EQ(v.TreeModel().childTexts("S"), (Texts{"3.3.3.3"}));

    ASSERT_TRUE(v.DeleteSelectedFilterTab());  // the last tab: the one before it
    EXPECT_EQ(v.SelectedTab(), PacketViews::kTabIp);
    EXPECT_EQ(v.dFiltro.count(), 0u);
    EXPECT_EQ(v.cF, nullptr);
    EXPECT_EQ(RowSeqs(v.ListModel()), Seqs({1, 2}));
    // The name can be used again.
    EXPECT_EQ(v.AddFilter("a", SrcFilter("1.1.1.1")), "");
    // Every remaining filter tab has its filter.
    for (int i = PacketViews::kFirstFilterTab; i <= v.TabCount(); ++i)
        EXPECT_TRUE(v.dFiltro.exists(v.TabAt(i).key.toStdString()));
}

}  // namespace
}  // namespace quillet

namespace quillet {
namespace {

// The list's rows grow in blocks: values stay where they are while the array
// grows, across block ends, and truncating or clearing keeps the rest right.
TEST(ChunkedArrayTest, GrowsInBlocksWithoutMovingValues)
{
    ChunkedArray<std::uint64_t, 2> a;  // blocks of 4
    for (std::uint64_t i = 0; i < 10; ++i)
        a.push_back(i * 7);
    const std::uint64_t* first = &a[0];
    const std::uint64_t* fifth = &a[4];
    for (std::uint64_t i = 10; i < 1000; ++i)
        a.push_back(i * 7);
    EXPECT_EQ(&a[0], first);
    EXPECT_EQ(&a[4], fifth);
    ASSERT_EQ(a.size(), 1000u);
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], i * 7) << i;

    a.truncate(5);  // inside the second block
    ASSERT_EQ(a.size(), 5u);
    a.push_back(99);
    a.push_back(100);
    a.push_back(101);  // into a new third block
    EXPECT_EQ(a[4], 28u);
    EXPECT_EQ(a[5], 99u);
    EXPECT_EQ(a[7], 101u);
    a.truncate(8);  // no-op: not shorter
    EXPECT_EQ(a.size(), 8u);

    // Many at once, from inside a block across several block ends.
    a.append(11, [](std::size_t i) { return 1000 + i; });
    ASSERT_EQ(a.size(), 19u);
    EXPECT_EQ(a[7], 101u);
    for (std::size_t i = 8; i < 19; ++i)
        EXPECT_EQ(a[i], 1000 + (i - 8)) << i;

    a.clear();
    EXPECT_TRUE(a.empty());
    a.push_back(3);
    EXPECT_EQ(a[0], 3u);
}

// The host tree's tables grow a few slots per insertion: every key stays
// found while the old table empties into the new one, an entry's payload bits
// come back with it, and a key taken out in the middle of a move is gone
// for good while the others stay.
TEST(SpreadTableTest, KeysStayFoundWhileTheTableGrowsInSteps)
{
    struct Low40 {
        std::uint64_t operator()(std::uint64_t e) const { return e & ((std::uint64_t{1} << 40) - 1); }
    };
    SpreadTable<Low40> t(4);
    std::vector<std::uint64_t> keys;
    std::uint64_t x = 88172645463325252ull;
    std::size_t longestMove = 0, move = 0, growths = 0;
    for (int i = 0; i < 200000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const std::uint64_t key = i == 0 ? 0 : x & ((std::uint64_t{1} << 40) - 1);  // key 0 too
        if (t.Contains(key))
            continue;
        const std::size_t size = t.tableSize();
        t.MakeRoom();
        growths += t.tableSize() != size;
        t.Insert(key | (static_cast<std::uint64_t>(i & 0xFFFF) << 40));
        keys.push_back(key);
        move = t.moving() ? move + 1 : 0;
        longestMove = std::max(longestMove, move);
        ASSERT_EQ(t.Find(key) >> 40, static_cast<std::uint64_t>(i & 0xFFFF)) << i;
        if (i % 997 == 0) {
            for (std::size_t k = 0; k < keys.size(); k += 13)
                ASSERT_TRUE(t.Contains(keys[k])) << k << " of " << keys.size() << " at " << i;
        }
        if (i % 5003 == 0 && i < 120000 && t.moving()) {  // none in the last growth
            // Out in the middle of a move: the moving ends, the key is gone,
            // a neighbour in the list stays.
            const std::uint64_t gone = keys[keys.size() / 2];
            ASSERT_TRUE(t.Erase(gone));
            keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 2));
            EXPECT_FALSE(t.Contains(gone));
            EXPECT_FALSE(t.Erase(gone));
        }
    }
    EXPECT_EQ(t.count(), keys.size());
    for (const std::uint64_t key : keys)
        ASSERT_TRUE(t.Contains(key));
    EXPECT_FALSE(t.Contains(std::uint64_t{1} << 41));
    EXPECT_GE(growths, 14u);
    // The largest old table (half the final one) moved over many insertions.
    EXPECT_GT(longestMove, t.tableSize() / 2 / SpreadTable<Low40>::kMovesPerInsert / 2);
    t.Reset(8);
    EXPECT_EQ(t.count(), 0u);
    EXPECT_FALSE(t.Contains(keys.front()));
}

}  // namespace
}  // namespace quillet
