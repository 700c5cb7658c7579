// Names from captured DNS, the totals of a helper program, and both kept in a
// saved pcapng that tshark and Quillet read back (needs root).
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include <pcap/pcap.h>

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>

#include "SockAddr.h"
#include "TalkerPeer.h"
#include "WaitFor.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"
#include "views/frmTotals.h"

using namespace quillet;
using quillet::test::WaitFor;
using quillet::testsupport::Shell;
using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

void Put(std::vector<std::uint8_t>& m, const std::string& name)
{
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t dot = std::min(name.find('.', at), name.size());
        m.push_back(static_cast<std::uint8_t>(dot - at));
        m.insert(m.end(), name.begin() + static_cast<long>(at), name.begin() + static_cast<long>(dot));
        at = dot + 1;
    }
    m.push_back(0);
}

// The test's DNS server in the peer namespace answers one query for
// www.quillet.test: a CNAME to edge.quillet.test, whose A is the peer.
bool ResolveThroughPeer(const VethNamespace& net)
{
    UniqueFd server = net.SocketIn(Side::Peer, AF_INET, SOCK_DGRAM);
    UniqueFd client = net.SocketIn(Side::Local, AF_INET, SOCK_DGRAM);
    const timeval timeout{5, 0};
    for (int fd : {server.get(), client.get()})
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in at = At(VethNamespace::kPeerAddr, 53);
    if (bind(server.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        return false;
    std::vector<std::uint8_t> query{0x42, 0x42, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    Put(query, "www.quillet.test");
    query.insert(query.end(), {0, 1, 0, 1});
    if (sendto(client.get(), query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&at), sizeof at) < 0)
        return false;
    std::uint8_t got[512];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(server.get(), got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n != static_cast<ssize_t>(query.size()))
        return false;
    std::vector<std::uint8_t> answer(got, got + n);
    answer[2] = 0x81;
    answer[3] = 0x80;
    answer[7] = 2;
    std::vector<std::uint8_t> target;
    Put(target, "edge.quillet.test");
    answer.insert(answer.end(), {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 0, 60, 0, static_cast<std::uint8_t>(target.size())});
    answer.insert(answer.end(), target.begin(), target.end());
    answer.insert(answer.end(), target.begin(), target.end());
    answer.insert(answer.end(), {0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 2});
    sendto(server.get(), answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    return recv(client.get(), got, sizeof got, 0) == static_cast<ssize_t>(answer.size());
}

// The row whose first cell is first: its texts, or with role
// TotalsTableModel::kSortRole its figures as numbers.
QStringList RowOf(QAbstractItemModel* model, const QString& first, int role = Qt::DisplayRole)
{
    for (int r = 0; r < model->rowCount(); ++r)
        if (model->index(r, 0).data().toString() == first) {
            QStringList cells;
            for (int c = 0; c < model->columnCount(); ++c)
                cells << model->index(r, c).data(role).toString();
            return cells;
        }
    return {};
}

// The talker's exchange as the link carried it, seen by a capture of the
// test's own (libpcap on the local end of the pair): packets and bytes
// (datagram lengths) sent and received by 10.77.0.1.
class Witness {
public:
    Witness()
    {
        char err[PCAP_ERRBUF_SIZE] = {};
        p_ = pcap_create(VethNamespace::kLocalIf, err);
        bpf_program filter{};
        ok_ = p_ && pcap_set_immediate_mode(p_, 1) == 0 && pcap_set_snaplen(p_, 128) == 0 && pcap_activate(p_) == 0
              && pcap_datalink(p_) == DLT_EN10MB && pcap_setnonblock(p_, 1, err) == 0
              && pcap_compile(p_, &filter, "ip and (udp port 7000 or tcp port 7002)", 1, PCAP_NETMASK_UNKNOWN) == 0
              && pcap_setfilter(p_, &filter) == 0;
        pcap_freecode(&filter);
    }
    ~Witness()
    {
        if (p_)
            pcap_close(p_);
    }
    bool ok() const { return ok_; }
    // Takes what the capture holds; the number of packets taken.
    int Take()
    {
        return pcap_dispatch(p_, -1, [](u_char* self, const pcap_pkthdr* h, const u_char* frame) {
            auto& w = *reinterpret_cast<Witness*>(self);
            if (h->caplen < 14 + 20)
                return;
            const u_char* ip = frame + 14;
            const bool sent = ip[12] == 10 && ip[13] == 77 && ip[14] == 0 && ip[15] == 1;
            ++w.counts[sent ? 0 : 1];
            w.counts[sent ? 2 : 3] += static_cast<std::uint64_t>(ip[2] << 8 | ip[3]);
        }, reinterpret_cast<u_char*>(this));
    }
    // Takes packets until none came for quiet (at most 5 s).
    void TakeUntilQuiet(std::chrono::milliseconds quiet)
    {
        auto last = std::chrono::steady_clock::now();
        for (const auto until = last + std::chrono::seconds(5); std::chrono::steady_clock::now() < until;) {
            if (Take() > 0)
                last = std::chrono::steady_clock::now();
            else if (std::chrono::steady_clock::now() - last > quiet)
                return;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    std::uint64_t counts[4] = {};  // sent, received packets; sent, received bytes

private:
    pcap_t* p_ = nullptr;
    bool ok_ = false;
};

// Each row of the list: its sequence number, addresses, protocol and ports.
std::vector<std::string> Rows(QAbstractItemModel* list)
{
    std::vector<std::string> rows;
    for (int r = 0; r < list->rowCount(); ++r) {
        QStringList cells{list->index(r, 0).data(kSequenceRole).toString()};
        for (int c : {kColSrcAddr, kColDestAddr, kColProtocol, kColSrcPort, kColDestPort})
            cells << list->index(r, c).data().toString();
        rows.push_back(cells.join(' ').toStdString());
    }
    return rows;
}

const QString kThird = QStringLiteral("10.77.0.3");  // a second address of the peer's

QAbstractItemModel* Table(frmTotals* t, const char* name)
{
    return t->findChild<QTableView*>(QString::fromLatin1(name))->model();
}

TEST(TotalsLive, CapturedDnsNamesTheHostTalkerTotalsAreExactAndASavedFileKeepsNamesAndPrograms)
{
    VethNamespace net;
    QTemporaryDir dir;
    frmMain::Options o;
    o.portDir = dir.path();
    o.message = [](const QString&) {};
    o.hostNames = false;  // names from the traffic need no look-up
    frmMain w(o);
    w.show();
    w.Combo1()->setCurrentIndex(w.Combo1()->findText(VethNamespace::kLocalAddr));
    w.Button(1)->trigger();
    ASSERT_TRUE(w.CaptureOpen());

    ASSERT_TRUE(ResolveThroughPeer(net));
    ASSERT_TRUE(net.Udp(Side::Local, 7100, 7101, "after the answer"));
    const QString named = QStringLiteral("10.77.0.2 (www.quillet.test)");
    EXPECT_TRUE(WaitFor([&] { return w.Views().TreeModel().nodeByKey("10.77.0.2D").data().toString() == named; }));

    // A datagram to an address other than the peer's, for the peer's filter to leave out.
    ASSERT_EQ(net.RunInPeer("ip addr add 10.77.0.3/24 dev " + std::string(VethNamespace::kPeerIf)), 0);
    {
        UniqueFd udp = net.SocketIn(Side::Local, AF_INET, SOCK_DGRAM);
        const sockaddr_in third = At("10.77.0.3", 7200);
        ASSERT_EQ(sendto(udp.get(), "third", 5, 0, reinterpret_cast<const sockaddr*>(&third), sizeof third), 5);
    }

    test::Peer peer(net);
    Witness witness;
    ASSERT_TRUE(witness.ok());
    QProcess talker;
    int tcpPort = 0;
    ASSERT_TRUE(test::Talk(talker, peer, &tcpPort)) << talker.readAllStandardError().toStdString();
    const QString owner = QStringLiteral("quillet_talker (%1)").arg(talker.processId());
    QAbstractItemModel* list = w.lv()->model();
    ASSERT_TRUE(WaitFor([&] { return list->rowCount() >= 10; }));
    frmTotals* totals = w.ShowTotals();
    ASSERT_EQ(totals->objectName(), "frmTotals");
    // The exchange is over once the link is quiet (late acknowledgements
    // included); then nothing more comes in while the counts are compared.
    witness.TakeUntilQuiet(std::chrono::milliseconds(600));
    w.Button(3)->trigger();
    witness.Take();
    const std::vector<std::string> all = Rows(list);
    const std::uint64_t* expect = witness.counts;
    // At least what the talker and the peer said: "ping" out and "pong" in
    // (32 bytes each), the handshake, "hello" out and "world" in (45 bytes
    // or more each).
    ASSERT_GE(expect[0], 4u);
    ASSERT_GE(expect[1], 3u);
    ASSERT_GE(expect[2], 32u + 40 + 40 + 45);
    ASSERT_GE(expect[3], 32u + 40 + 45);
    totals->Refresh();
    const QStringList program = RowOf(Table(totals, "lvPrograms"), owner, TotalsTableModel::kSortRole);
    ASSERT_EQ(program.size(), 7);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(program[i + 1].toULongLong(), expect[i]) << i;
    const QStringList host = RowOf(Table(totals, "lvHosts"), VethNamespace::kPeerAddr);
    ASSERT_EQ(host.size(), 8);
    EXPECT_EQ(host[1], "www.quillet.test");
    EXPECT_TRUE(host[6].split(", ").contains(owner)) << host[6].toStdString();

    // Sorted by sent bytes as numbers; the selected row's rate over five minutes
    // holds all its bytes; a double-click on the host adds its filter tab.
    auto* programs = totals->findChild<QTableView*>("lvPrograms");
    programs->sortByColumn(3, Qt::DescendingOrder);
    for (int r = 1; r < programs->model()->rowCount(); ++r)
        EXPECT_GE(programs->model()->index(r - 1, 3).data(TotalsTableModel::kSortRole).toULongLong(),
                  programs->model()->index(r, 3).data(TotalsTableModel::kSortRole).toULongLong());
    for (int r = 0; r < programs->model()->rowCount(); ++r)
        if (programs->model()->index(r, 0).data().toString() == owner)
            programs->setCurrentIndex(programs->model()->index(r, 0));
    const std::vector<double>& rate = totals->chartRate()->Values();
    EXPECT_EQ(std::accumulate(rate.begin(), rate.end(), 0.0), static_cast<double>(expect[2] + expect[3]));
    auto* hostsView = totals->findChild<QTableView*>("lvHosts");
    for (int r = 0; r < hostsView->model()->rowCount(); ++r)
        if (hostsView->model()->index(r, 0).data().toString() == VethNamespace::kPeerAddr)
            Q_EMIT hostsView->doubleClicked(hostsView->model()->index(r, 1));
    const int tab = w.Views().TabIndexOfKey(VethNamespace::kPeerAddr);
    ASSERT_GT(tab, 0);
    w.Views().ts2_Click(tab);
    // Exactly the stored packets with the peer at one end, in order; not
    // those with the third address.
    std::vector<std::string> peerRows;
    int others = 0;
    for (const std::string& row : all) {
        const QStringList cells = QString::fromStdString(row).split(' ');
        if (cells[1] == VethNamespace::kPeerAddr || cells[2] == VethNamespace::kPeerAddr)
            peerRows.push_back(row);
        else
            others += cells[1] == kThird || cells[2] == kThird;
    }
    EXPECT_GE(others, 1) << "the datagram to the third address is stored";
    EXPECT_EQ(Rows(list), peerRows);

    // Saved: tshark reads the name block and the program comments.
    const QString path = dir.filePath("totals.pcapng");
    ASSERT_EQ(w.SaveCaptureFile(path, false), "");
    std::string comments;
    std::string hosts;
    ASSERT_EQ(Shell("tshark -r " + path.toStdString() + " -T fields -e frame.comment 2>&1", &comments), 0);
    ASSERT_EQ(Shell("tshark -r " + path.toStdString() + " -o nameres.dns_pkt_addr_resolution:FALSE -q -z hosts 2>&1", &hosts), 0);
    EXPECT_NE(comments.find("program: " + owner.toStdString()), std::string::npos) << comments;
    EXPECT_NE(hosts.find("www.quillet.test"), std::string::npos) << hosts;
    talker.closeWriteChannel();
    EXPECT_TRUE(talker.waitForFinished(5000));

    // Opened again: the name in the tree, the programs in the column and totals.
    frmMain again(o);
    ASSERT_EQ(again.OpenCaptureFile(path), "");
    EXPECT_EQ(again.Views().TreeModel().nodeByKey("10.77.0.2D").data().toString(), named);
    const QStringList reread = RowOf(Table(again.ShowTotals(), "lvPrograms"), owner, TotalsTableModel::kSortRole);
    ASSERT_EQ(reread.size(), 7);
    EXPECT_EQ(reread.mid(1, 4), program.mid(1, 4));
}

}  // namespace
