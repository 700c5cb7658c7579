// Capture files with real traffic (needs root): what the window captured is
// saved and checked with tcpdump, a filter tab's rows are saved, and a file
// that tcpdump wrote on the veth (Ethernet) opens into the same rows.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QTemporaryDir>

#include "WaitFor.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::testsupport::Shell;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

using Bytes = std::vector<std::uint8_t>;

using quillet::test::WaitFor;

// The rows' texts without the time column, as a multiset.
std::multiset<std::string> RowTexts(frmMain& w)
{
    std::multiset<std::string> rows;
    QAbstractItemModel* m = w.lv()->model();
    for (int r = 0; r < m->rowCount(); ++r) {
        std::string line;
        for (int c : {kColProtocol, kColSrcAddr, kColDestAddr, kColSrcPort, kColDestPort, kColSize})
            line += m->index(r, c).data().toString().toStdString() + "|";
        rows.insert(line);
    }
    return rows;
}

struct Record {
    std::int64_t tsUs;
    Bytes bytes;
};

std::vector<Record> ReadFile(const std::string& path)
{
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    EXPECT_NE(p, nullptr) << err;
    std::vector<Record> out;
    if (!p)
        return out;
    pcap_pkthdr* h;
    const u_char* data;
    while (pcap_next_ex(p, &h, &data) == 1)
        out.push_back({std::int64_t(h->ts.tv_sec) * 1000000 + h->ts.tv_usec, Bytes(data, data + h->caplen)});
    pcap_close(p);
    return out;
}

// tcpdump's reading of a file: one "seconds.micros" per packet, in order.
std::vector<std::string> TcpdumpTimes(const std::string& path)
{
    std::string out;
    EXPECT_EQ(Shell("tcpdump -nn -tt -r " + path + " 2>/dev/null", &out), 0) << out;
    std::vector<std::string> times;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != ' ' && line[0] != '\t')
            times.push_back(line.substr(0, line.find(' ')));
    return times;
}

std::string SecondsText(std::int64_t us)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    return buf;
}

}  // namespace

TEST(FilesLive, SaveWhatWasCapturedAndOpenWhatTcpdumpWrote)
{
    VethNamespace net;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string d = dir.path().toStdString();
    QStringList messages;
    frmMain::Options o;
    o.portDir = dir.path();
    o.message = [&messages](const QString& text) { messages << text; };
    frmMain w(o);
    w.show();
    WaitFor([&] { return !messages.isEmpty(); });  // the missing port files
    messages.clear();

    // tcpdump writes what the veth carries, Ethernet frames, while we capture.
    std::string pid;
    ASSERT_EQ(Shell("tcpdump --immediate-mode -U -nn -i qv0 -w " + d + "/eth.pcap >" + d + "/tcpdump.log 2>&1 & echo $!", &pid), 0);
    ASSERT_TRUE(WaitFor([&] {
        std::string log;
        Shell("cat " + d + "/tcpdump.log", &log);
        return log.find("listening on") != std::string::npos;
    }));

    const int at = w.Combo1()->findText(VethNamespace::kLocalAddr);
    ASSERT_GE(at, 0);
    w.Combo1()->setCurrentIndex(at);
    w.Button(1)->trigger();
    ASSERT_TRUE(w.CaptureOpen());
    ASSERT_TRUE(net.Udp(Side::Peer, 4001, 5001, "from the peer"));
    ASSERT_TRUE(net.Udp(Side::Local, 4002, 5002, "to the peer"));
    ASSERT_TRUE(net.Ping(Side::Peer, 0x1234, 1, "ping"));
    ASSERT_TRUE(net.Ping(Side::Local, 0x4321, 2, "pong"));
    ASSERT_TRUE(net.Tcp(Side::Peer, 6001, "GET", "OK"));
    ASSERT_TRUE(WaitFor([&] { return w.lv()->model()->rowCount() >= 12; }));
    QApplication::processEvents();
    w.Button(3)->trigger();
    ASSERT_FALSE(w.CaptureOpen());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Shell("kill -INT " + pid + "; while kill -0 " + pid + " 2>/dev/null; do sleep 0.05; done");

    // Save all: tcpdump reads the same datagrams with the same timestamps.
    const std::int64_t stored = w.Views().lSeq();
    ASSERT_EQ(w.SaveCaptureFile(dir.filePath("all.pcapng"), false), QString());
    const auto saved = ReadFile(d + "/all.pcapng");
    ASSERT_EQ(static_cast<std::int64_t>(saved.size()), stored);
    const auto times = TcpdumpTimes(d + "/all.pcapng");
    ASSERT_EQ(times.size(), saved.size());
    for (std::int64_t seq = 1; seq <= stored; ++seq) {
        Bytes bytes;
        std::int64_t ts = 0;
        ASSERT_TRUE(w.Views().DatagramOf(seq, bytes, ts));
        EXPECT_EQ(saved[seq - 1].bytes, bytes) << seq;
        EXPECT_EQ(times[seq - 1], SecondsText(ts)) << seq;
    }
    ASSERT_EQ(Shell("tcpdump -nn -r " + d + "/all.pcapng -w " + d + "/copy.pcap 2>/dev/null"), 0);
    const auto copy = ReadFile(d + "/copy.pcap");
    ASSERT_EQ(copy.size(), saved.size());
    for (std::size_t i = 0; i < copy.size(); ++i)
        EXPECT_EQ(copy[i].bytes, saved[i].bytes) << i;

    // A filter tab: only the peer's datagrams, in their row order.
    auto filter = std::make_shared<cFilter>();
    filter->bSrc = true;
    filter->Src = VethNamespace::kPeerAddr;
    ASSERT_EQ(w.Views().AddFilter(QStringLiteral("peer"), filter), QString());
    w.Views().ts2_Click(PacketViews::kFirstFilterTab);
    const int peerRows = w.lv()->model()->rowCount();
    ASSERT_GT(peerRows, 4);
    ASSERT_LT(peerRows, stored);
    ASSERT_EQ(w.SaveCaptureFile(dir.filePath("peer.pcap"), true), QString());
    const auto peer = ReadFile(d + "/peer.pcap");
    ASSERT_EQ(static_cast<int>(peer.size()), peerRows);
    for (const Record& r : peer)
        EXPECT_EQ((r.bytes[12] << 24 | r.bytes[13] << 16 | r.bytes[14] << 8 | r.bytes[15]), 0x0A4D0002);
    EXPECT_EQ(TcpdumpTimes(d + "/peer.pcap").size(), peer.size());

    // tcpdump's Ethernet file gives the rows the window captured.
    w.Views().ts2_Click(PacketViews::kTabAll);
    const auto captured = RowTexts(w);
    frmMain w2(o);
    const QString m = w2.OpenCaptureFile(dir.filePath("eth.pcap"));
    EXPECT_TRUE(m.isEmpty() || m.contains("不是 IPv4")) << m.toStdString();
    std::string ethText;
    Shell("tcpdump -nn -r " + d + "/eth.pcap 2>&1; cat " + d + "/tcpdump.log", &ethText);
    EXPECT_EQ(RowTexts(w2), captured) << ethText;
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}
