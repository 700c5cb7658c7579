// Totals per program and host over a mixed burst, and the names the traffic
// gives hosts in the tree.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QStringList>

#include "../shell/Datagrams.h"
#include "programs/SocketEndpoint.h"
#include "views/ListRoles.h"
#include "views/PacketViews.h"

namespace quillet {
namespace {

constexpr std::int64_t kSecond = 1000000;
constexpr std::int64_t kT0 = 1700000000 * kSecond;

// A query for name's A record (id 1), or with address the answer to it.
std::string Dns(const std::string& name, std::initializer_list<std::uint8_t> address = {})
{
    const bool answer = address.size() == 4;
    std::vector<std::uint8_t> m{0, 1, 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    if (answer)
        m[2] = 0x81, m[3] = 0x80, m[7] = 1;  // a response with one answer
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t dot = std::min(name.find('.', at), name.size());
        m.push_back(static_cast<std::uint8_t>(dot - at));
        m.insert(m.end(), name.begin() + static_cast<long>(at), name.begin() + static_cast<long>(dot));
        at = dot + 1;
    }
    m.insert(m.end(), {0, 0, 1, 0, 1});  // the root, type A, class IN
    if (answer) {
        m.insert(m.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4});
        m.insert(m.end(), address);
    }
    return std::string(m.begin(), m.end());
}

QStringList Rows(const TotalsTableModel& model)
{
    QStringList rows;
    for (int r = 0; r < model.rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < model.columnCount(); ++c)
            cells << model.index(r, c).data().toString();
        rows << cells.join('|');
    }
    return rows;
}

TEST(Totals, MixedBurstCountsPerHostAtOnceAndPerProgramOnceLookedUpAndTrafficNamesWin)
{
    PacketViews views;
    views.SetLocalAddrs({"10.0.0.1"});
    const std::string query = Dns("cdn.test");
    const std::string answer = Dns("cdn.test", {10, 0, 0, 3});
    const auto queryBytes = static_cast<std::int64_t>(28 + query.size());
    struct Packet {
        const char *src, *dst;
        std::uint16_t srcPort, dstPort;
        std::string payload;
        bool icmp;
        std::int64_t at;
    };
    const std::vector<Packet> burst{
        {"10.0.0.1", "10.0.0.2", 5000, 53, query, false, kT0},                // a (1) asks .2
        {"10.0.0.2", "10.0.0.1", 53, 5000, answer, false, kT0},               // and .2 answers: .3 is cdn.test
        {"10.0.0.1", "10.0.0.3", 6000, 9, "bbbb", false, kT0 + 2 * kSecond},  // b (2)
        {"10.0.0.3", "10.0.0.1", 0, 0, "ping", true, kT0 + 2 * kSecond},      // ICMP: no program
        {"10.0.0.1", "10.0.0.3", 7000, 9, "x", false, kT0 + 2 * kSecond},     // a socket of no one known
        {"10.0.0.1", "10.0.0.1", 5000, 6000, "yy", false, kT0 + 2 * kSecond}, // both local: no host
    };
    for (const Packet& p : burst) {
        std::vector<std::uint8_t> bytes = test::Ipv4Udp(p.src, p.dst, p.srcPort, p.dstPort, p.payload);
        if (p.icmp) {
            bytes[9] = 1;
            bytes.resize(20 + p.payload.size());
            std::copy(p.payload.begin(), p.payload.end(), bytes.begin() + 20);
            bytes[3] = static_cast<std::uint8_t>(bytes.size());
        }
        views.NoteProgram(views.StorePacket(*DecodeDatagram(bytes), p.at));
    }
    views.EndBurst();

    TotalsTableModel programs(views.Totals(), TotalsTableModel::Kind::Programs);
    TotalsTableModel hosts(views.Totals(), TotalsTableModel::Kind::Hosts);
    for (TotalsTableModel* m : {&programs, &hosts})
        m->timeText = [](std::int64_t us) { return QString::number((us - kT0) / kSecond); };
    hosts.hostName = [&](const std::string& a) { return views.ShownName(a); };

    // Before the look-ups answer only the ICMP datagram has its row.
    views.Totals().Fold(views.Programs());
    programs.Refresh();
    EXPECT_EQ(Rows(programs), QStringList{"|0|1|0 B|24 B|24 B/s|2"});

    std::vector<OwnerAnswer> answers;
    for (const OwnerRequest& r : views.Programs().TakeBatch()) {
        const int port = SocketEndpoint::FromKey(r.key).port;
        OwnerAnswer a{r.key, r.fromSeq, port == 7000 ? OwnerAnswer::None : OwnerAnswer::Owner,
                      port == 5000 ? "a (1)" : "b (2)"};
        answers.push_back(a);
    }
    views.Programs().Apply(answers);
    EXPECT_TRUE(views.Totals().Fold(views.Programs()));
    const std::int64_t dnsBytes = 28 + static_cast<std::int64_t>(answer.size());
    programs.nowUs = kT0 + 3 * kSecond;  // the rate: the bytes of the second before
    programs.Refresh();
    hosts.Refresh();
    EXPECT_EQ(Rows(programs), (QStringList{"|1|1|29 B|24 B|53 B/s|2",
                                           QStringLiteral("a (1)|2|1|%1 B|%2 B|30 B/s|2").arg(queryBytes + 30).arg(dnsBytes),
                                           "b (2)|1|0|32 B|0 B|32 B/s|2"}));
    // a (1)'s chart: the bytes of each second, the newest one's too.
    const std::vector<double> rate = programs.RateOf(1, kT0 / kSecond + 3);
    EXPECT_EQ(std::vector<double>(rate.end() - 4, rate.end()),
              (std::vector<double>{static_cast<double>(queryBytes + dnsBytes), 0, 30, 0}));
    ASSERT_EQ(hosts.columnCount(), 8);
    EXPECT_EQ(hosts.headerData(6, Qt::Horizontal).toString(), "程序");
    EXPECT_EQ(Rows(hosts), (QStringList{QStringLiteral("10.0.0.2||1|1|%1 B|%2 B|a (1)|0").arg(queryBytes).arg(dnsBytes),
                                        "10.0.0.3|cdn.test|2|1|61 B|24 B|b (2)|2"}));

    // The tree: the traffic's name over the reverse look-up's.
    HostTreeModel& tree = views.TreeModel();
    tree.SetHostName(AddressText("10.0.0.3").bits() & 0xFFFFFFFFu, "rev.test");
    tree.SetHostName(AddressText("10.0.0.2").bits() & 0xFFFFFFFFu, "two.test");
    EXPECT_EQ(tree.nodeByKey("10.0.0.3D").data().toString(), "10.0.0.3 (cdn.test)");
    EXPECT_EQ(tree.nodeByKey("10.0.0.2S").data().toString(), "10.0.0.2 (two.test)");
    tree.ClearHostNames();  // look-ups off
    EXPECT_EQ(tree.nodeByKey("10.0.0.3S").data().toString(), "10.0.0.3 (cdn.test)");
}

TEST(TrafficNames, OnlyAnAnswerToAQuerySeenNamesAndNoAddressPassesForAName)
{
    PacketViews views;
    views.SetLocalAddrs({"10.0.0.1"});
    struct Packet {
        std::vector<std::uint8_t> datagram;
        std::int64_t at;
    };
    const std::vector<Packet> packets{
        {test::Ipv4Udp("10.0.0.1", "10.0.0.2", 5000, 53, Dns("bank.test")), kT0},
        // Another server answers first: it was not asked.
        {test::Ipv4Udp("10.0.0.66", "10.0.0.1", 53, 5000, Dns("bank.test", {10, 0, 0, 7})), kT0 + 1000},
        {test::Ipv4Udp("10.0.0.2", "10.0.0.1", 53, 5000, Dns("bank.test", {10, 0, 0, 3})), kT0 + kSecond},
        {test::Ipv4Udp("10.0.0.1", "10.0.0.2", 5001, 53, Dns("late.test")), kT0},
        {test::Ipv4Udp("10.0.0.2", "10.0.0.1", 53, 5001, Dns("late.test", {10, 0, 0, 4})), kT0 + 11 * kSecond},
    };
    for (const Packet& p : packets)
        ASSERT_GT(views.StorePacket(*DecodeDatagram(p.datagram), p.at), 0);
    views.EndBurst();
    const auto name = [&](const char* address) {
        const std::string* n = views.TrafficNames().Find(address);
        return n ? *n : std::string("-");
    };
    EXPECT_EQ(name("10.0.0.3"), "bank.test");
    EXPECT_EQ(name("10.0.0.7"), "-") << "an answer from a server not asked";
    EXPECT_EQ(name("10.0.0.4"), "-") << "an answer 11 s after its query";
    // Names from elsewhere (a file's name blocks) pass the same gate.
    views.SetTrafficName("10.0.0.8", "127.0.0.1");
    views.SetTrafficName("10.0.0.8", "x)(10.0.0.4");
    EXPECT_EQ(name("10.0.0.8"), "-");
    views.SetTrafficName("10.0.0.8", "eight.test");
    EXPECT_EQ(name("10.0.0.8"), "eight.test");
}

TEST(Totals, APortTakenOverBetweenLookUpsCountsEachPacketForItsOwnProgram)
{
    PacketViews views;
    views.SetLocalAddrs({"10.0.0.1"});
    const auto send = [&](const std::string& payload) {
        views.NoteProgram(views.StorePacket(*DecodeDatagram(test::Ipv4Udp("10.0.0.1", "10.0.0.9", 5000, 9, payload)), kT0));
        views.EndBurst();
    };
    const auto answer = [&](const char* owner) {
        std::vector<OwnerAnswer> answers;
        for (const OwnerRequest& r : views.Programs().TakeBatch())
            answers.push_back({r.key, r.fromSeq, OwnerAnswer::Owner, owner});
        return answers;
    };
    send("a");
    const std::vector<OwnerAnswer> first = answer("a (1)");
    send("bb");  // asked about in the next batch, after another program took the port
    views.Programs().Apply(first);
    views.Programs().Apply(answer("b (2)"));
    views.Totals().Fold(views.Programs());
    TotalsTableModel programs(views.Totals(), TotalsTableModel::Kind::Programs);
    programs.Refresh();
    EXPECT_EQ(Rows(programs), (QStringList{"|0|0|0 B|0 B|0 B/s|", "a (1)|1|0|29 B|0 B|29 B/s|", "b (2)|1|0|30 B|0 B|30 B/s|"}));
}

}  // namespace
}  // namespace quillet
