#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>


#include <algorithm>
#include <chrono>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "ViewsTestSupport.h"
#include "programs/SocketEndpoint.h"
#include "shell/Datagrams.h"
#include "views/PacketViews.h"

namespace quillet {
namespace {

using test::kLocal;
using test::RowSeqs;

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "test_list_presenter";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// The views as the reference sees them, asked row by row.
class RowContext : public DisplayFilterContext {
public:
    explicit RowContext(const PacketViews& v) : v_(v) { SetLocalBits(v.LocalBits()); }
    QString ProgramOf(std::int64_t seq, const clV& r) const override { return v_.ProgramOf(seq, r); }
    void NamesOf(const AddressText& a, std::vector<QString>& out) const override
    {
        if (QString n = v_.ShownName(a.text().view()); !n.isEmpty())
            out.push_back(n);
    }
    bool PayloadOf(std::int64_t, const clV& r, std::string& bytes) const override
    {
        bytes = v_.dPackets().PayloadOf(r);
        return true;
    }

private:
    const PacketViews& v_;
};

// What the tab and the filter show, tested one stored row after another.
std::vector<std::int64_t> Expected(const PacketViews& v, int tab, const DisplayFilter* filter,
                                   const cFilter* tabFilter = nullptr)
{
    RowContext context(v);
    std::set<std::pair<std::string, std::string>> pairs;
    std::vector<std::int64_t> rows;
    for (std::int64_t seq = 1; seq <= v.lSeq(); ++seq) {
        const clV& r = v.dPackets().at(seq);
        const bool sent = v.IsLocal(r.mSrcAddr);
        if ((tab == PacketViews::kTabReceived && sent) || (tab == PacketViews::kTabSent && !sent))
            continue;
        if (tab >= PacketViews::kFirstFilterTab && !tabFilter->Admits(r.mSrcAddr.str(), r.mDestAddr.str()))
            continue;
        if (filter && !filter->Matches(seq, r, context))
            continue;
        if (tab == PacketViews::kTabIp && !pairs.insert({r.mSrcAddr.str(), r.mDestAddr.str()}).second)
            continue;
        rows.push_back(seq);
    }
    return rows;
}

// Whether a loop serving the event loop until a rebuild ends goes on: for
// this many turns at least, and for a minute from its first turn however
// many turns that is (a rebuild's threads give way to the window's, and a
// slow build of the tests serves many turns before they are done).
bool MoreTurns(int turns, int least = 100000)
{
    static QElapsedTimer clock;
    if (turns == 0)
        clock.start();
    return turns < least || clock.elapsed() < 60000;
}

std::shared_ptr<const DisplayFilter> Compiled(const char* text)
{
    DisplayFilterError error;
    auto filter = DisplayFilter::Compile(QString::fromUtf8(text), &error);
    EXPECT_TRUE(filter || *text == '\0') << text << ": " << error.message.toStdString();
    return filter;
}

// The host tree holds exactly the source hosts and ports of the rows.
void ExpectTreeOfRows(PacketViews& v)
{
    std::set<std::string> hosts;
    std::size_t ports = 0;
    std::set<std::pair<std::string, std::string>> sides;
    for (const std::int64_t seq : RowSeqs(v.ListModel())) {
        const clV& r = v.dPackets().at(seq);
        hosts.insert(r.mSrcAddr.str());
        ports += sides.insert({r.mSrcAddr.str(), r.mSrcPort.str()}).second;
        EXPECT_TRUE(v.TreeModel().dSrcHosts().hasPort(r.mSrcAddr.str(), r.mSrcPort.str())) << seq;
    }
    EXPECT_EQ(v.TreeModel().dSrcHosts().count(), hosts.size());
    std::size_t treePorts = 0;
    for (const std::string& h : hosts)
        treePorts += v.TreeModel().dSrcHosts().portCount(h);
    EXPECT_EQ(treePorts, ports);
}

// More records than a rebuild makes at once, of every kind a filter tells apart.
void Fill(PacketViews& v, int from, int n)
{
    static const char* const others[] = {"192.168.5.9", "192.168.5.10", "8.8.8.8", "10.0.0.77"};
    static const char* const protocols[] = {"TCP", "UDP", "ICMP"};
    for (int i = from; i < from + n; ++i) {
        const bool sent = i % 3 == 0;
        const std::string other = others[(i / 5) % 4];
        const std::string data = i % 11 == 0 ? "a needle here" : std::string(static_cast<std::size_t>(i % 150), 'x');
        test::Store(v, sent ? kLocal : other, sent ? other : kLocal, std::to_string(1024 + i % 7),
                    i % 2 ? "443" : "80", protocols[i % 3], data);
    }
}

class Presenter : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        test::Prepare(v);
        v.SetTrafficName("8.8.8.8", "peer.example");
        Fill(v, 0, kRecords);
        v.EndBurst();
    }
    static constexpr int kRecords = ListPresenter::kAtOnce + 7000;  // in three pieces of a pass on threads
    static_assert(kRecords > 2 * ListPresenter::kThreadPiece);
    PacketViews v;
};

TEST_F(Presenter, EveryWayOfRebuildingShowsTheRowsOfTheTabAndTheFilter)
{
    auto tabFilter = std::make_shared<cFilter>();
    tabFilter->bDest = true;
    tabFilter->Dest = "192.168.5.10";
    ASSERT_EQ(v.AddFilter("mine", tabFilter), QString());
    const struct {
        int tab;
        const char* filter;
    } cases[] = {
        {PacketViews::kTabAll, ""},                                  // no filter: pieces on two threads
        {PacketViews::kTabReceived, "port in {80 443} and len > 100"},
        {PacketViews::kTabSent, "not icmp"},
        {PacketViews::kTabIp, "ip.src == 10.0.0.0/8"},               // pairs across the two halves
        {PacketViews::kFirstFilterTab, "tcp or udp"},
        {PacketViews::kTabAll, "host == peer.example"},              // slices on both cores
        {PacketViews::kTabAll, "payload contains \"needle\""},      // payloads in memory: in slices
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.filter) + " on tab " + std::to_string(c.tab));
        const auto filter = Compiled(c.filter);
        v.Presenter().SetFilter(filter);
        v.ShowTab(c.tab);
        EXPECT_TRUE(v.Presenter().Busy()) << "a store this long is not rebuilt at once";
        v.Presenter().Finish();
        EXPECT_FALSE(v.Presenter().Busy());
        const auto want = Expected(v, c.tab, filter.get(), tabFilter.get());
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(RowSeqs(v.ListModel()), want);
        EXPECT_EQ(v.ListModel().rowCount(), static_cast<int>(want.size())) << "every row visible";
        ExpectTreeOfRows(v);
    }
}

TEST_F(Presenter, PacketsArrivingDuringARebuildAreTestedOnceAndFollowItsRows)
{
    for (const int tab : {PacketViews::kTabAll, PacketViews::kTabIp}) {
        SCOPED_TRACE(tab);
        const auto filter = Compiled("udp or ip.dst == 8.8.8.8");
        v.Presenter().SetFilter(filter);
        v.ShowTab(tab);
        ASSERT_TRUE(v.Presenter().Busy());
        Fill(v, static_cast<int>(v.lSeq()), 60);  // while the threads run
        test::Store(v, kLocal, "8.8.4.4", "5000", "53", "UDP", "late");
        v.EndBurst();
        v.Presenter().Finish();
        EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, tab, filter.get()));
        // After the rebuild new packets are rows at once, or not at all.
        const std::string peer = "8.8.5." + std::to_string(tab);
        const std::int64_t seq = test::Store(v, peer, kLocal, "53", "5001", "UDP", "answer");
        test::Store(v, peer, kLocal, "1", "2", "ICMP", "");
        v.EndBurst();
        EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, tab, filter.get()));
        EXPECT_EQ(RowSeqs(v.ListModel()).back(), seq);
        ExpectTreeOfRows(v);
    }
}

TEST_F(Presenter, ANewFilterOrEmptyingTheListCancelsTheRunningRebuild)
{
    v.Presenter().SetFilter(Compiled("tcp"));
    v.ShowTab(PacketViews::kTabAll);
    const auto udp = Compiled("udp");
    v.ApplyDisplayFilter(udp);
    v.Presenter().Finish();
    EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, PacketViews::kTabAll, udp.get()));

    v.ApplyDisplayFilter(Compiled("icmp"));
    ASSERT_TRUE(v.Presenter().Busy());
    v.ClearList();
    EXPECT_TRUE(v.Presenter().RowsDone()) << "no rows of the rebuild are due any more";
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(v.ListModel().totalRows(), 0u) << "no rows of the cancelled rebuild come later";
    // The filter stays in force for new packets.
    const std::int64_t icmp = test::Store(v, "8.8.8.8", kLocal, "", "", "ICMP", "");
    test::Store(v, "8.8.8.8", kLocal, "1", "2", "UDP", "");
    v.EndBurst();
    EXPECT_EQ(RowSeqs(v.ListModel()), std::vector<std::int64_t>{icmp});
}

// Every node of the host tree in order, one line each, indented by depth.
std::string TreeText(const HostTreeModel& tree, const QModelIndex& parent = {}, int depth = 0)
{
    std::string out;
    for (int r = 0; r < tree.rowCount(parent); ++r) {
        const QModelIndex i = tree.index(r, 0, parent);
        out += std::string(static_cast<std::size_t>(depth), ' ') + tree.data(i).toString().toStdString() + "\n";
        out += TreeText(tree, i, depth + 1);
    }
    return out;
}

void Turn()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

TEST_F(Presenter, RowsReachTheListInBoundedPiecesInOrderFollowedToTheNewest)
{
    v.Presenter().handOverRows = 2048;
    std::vector<std::pair<int, int>> insertions;
    QObject::connect(&v.ListModel(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { insertions.push_back({first, last}); });
    std::vector<std::pair<int, int>> follows;  // the row followed, the rows visible then
    v.onFollow = [&](int row) { follows.push_back({row, v.ListModel().visibleRows()}); };
    const auto udp = Compiled("udp");
    v.ApplyDisplayFilter(udp);
    for (int turns = 0; v.Presenter().Busy() && MoreTurns(turns); ++turns)
        Turn();
    ASSERT_FALSE(v.Presenter().Busy());
    const auto want = Expected(v, PacketViews::kTabAll, udp.get());
    EXPECT_EQ(RowSeqs(v.ListModel()), want);
    ASSERT_GT(insertions.size(), want.size() / 2048) << "one piece per turn at most";
    int next = 0;
    for (const auto& [first, last] : insertions) {
        EXPECT_EQ(first, next) << "the list grows at its end";
        EXPECT_LE(last - first + 1, 2048);
        next = last + 1;
    }
    ASSERT_FALSE(follows.empty());
    for (const auto& [row, visible] : follows)
        EXPECT_EQ(row, visible - 1) << "the newest row is followed";
    ExpectTreeOfRows(v);

    // A new filter while the pieces go in: none of the old rows come later.
    v.ApplyDisplayFilter(udp);
    while (v.ListModel().totalRows() == 0 && v.Presenter().Busy())
        QCoreApplication::processEvents();  // one pass
    ASSERT_FALSE(v.Presenter().RowsDone()) << "the pieces take several turns";
    const auto icmp = Compiled("icmp");
    v.ApplyDisplayFilter(icmp);
    for (int turns = 0; v.Presenter().Busy() && MoreTurns(turns); ++turns)
        Turn();
    EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, PacketViews::kTabAll, icmp.get()));
}

// Emptying the list during a rebuild, at each of its stages, leaves the tree
// as if the rebuild had ended first: the same tree as without the clear,
// with the packets that arrived before and after it.
TEST(PresenterClear, TheTreeCompletesAsIfTheRebuildHadEndedBeforeTheClear)
{
    App();
    PacketViews kept, cleared;
    for (PacketViews* v : {&kept, &cleared}) {
        test::Prepare(*v);
        Fill(*v, 0, ListPresenter::kAtOnce + 7000);
        v->EndBurst();
        v->Presenter().handOverRows = 2048;
    }
    enum Stage { Scanning, HandingOver, FeedingTree };
    for (const Stage stage : {Scanning, HandingOver, FeedingTree}) {
        SCOPED_TRACE(stage);
        const auto filter = Compiled("udp or ip.dst == 8.8.8.8");
        for (PacketViews* v : {&kept, &cleared}) {
            v->ApplyDisplayFilter(filter);
            ASSERT_TRUE(v->Presenter().Busy());
        }
        const auto reached = [&] {
            const ListPresenter& p = cleared.Presenter();
            switch (stage) {
            case Scanning: return true;
            case HandingOver: return cleared.ListModel().totalRows() > 0 || p.RowsDone();
            case FeedingTree: return p.RowsDone();
            }
            return true;
        };
        while (!reached())
            QCoreApplication::processEvents();  // one pass
        const bool busy = cleared.Presenter().Busy();
        if (stage != FeedingTree) {
            EXPECT_FALSE(cleared.Presenter().RowsDone());
        }
        // One arrival before the clear, one after, each a new host and port.
        const std::string peer = "8.8.7." + std::to_string(stage);
        for (PacketViews* v : {&kept, &cleared})
            test::Store(*v, peer, kLocal, "53", "6001", "UDP", "before");
        cleared.ClearList();
        EXPECT_EQ(cleared.ListModel().totalRows(), 0u);
        std::int64_t after = 0;
        for (PacketViews* v : {&kept, &cleared}) {
            after = test::Store(*v, kLocal, peer, "6002", "53", "UDP", "after");
            test::Store(*v, kLocal, peer, "1", "2", "ICMP", "");  // not shown
            v->EndBurst();
        }
        for (int turns = 0; (kept.Presenter().Busy() || cleared.Presenter().Busy()) && MoreTurns(turns); ++turns)
            Turn();
        ASSERT_FALSE(cleared.Presenter().Busy());
        EXPECT_EQ(RowSeqs(kept.ListModel()), Expected(kept, PacketViews::kTabAll, filter.get()));
        EXPECT_EQ(RowSeqs(cleared.ListModel()), std::vector<std::int64_t>{after}) << "only the row shown since";
        EXPECT_EQ(TreeText(cleared.TreeModel()), TreeText(kept.TreeModel())) << (busy ? "cleared while busy" : "");
        EXPECT_TRUE(cleared.TreeModel().dSrcHosts().hasPort(peer, "53"));
        EXPECT_TRUE(cleared.TreeModel().dDestHosts().hasPort(peer, "53"));
    }
}

// A filter on host names runs in slices on the window's thread and shows
// what testing row by row shows; a name given after it counts for the next
// packet and the next rebuild.
TEST_F(Presenter, HostFilterRunsOverManyTurnsOfTheLoop)
{
    Fill(v, kRecords, 30000);  // a first slice of old would take all of them
    v.EndBurst();
    for (int i = 0; i < 64; ++i)
        v.SetTrafficName("192.168.5." + std::to_string(i), "name-" + std::to_string(i) + ".example");
    const auto filter = Compiled("host matches \"^peer\" or host matches \"e.*a.*p.*z\" or host contains \"-7.\"");
    v.ApplyDisplayFilter(filter);
    // Slices end on the clock, so the work is spread over many turns (one
    // slice of old took all of them); how long a turn takes is the bench's.
    int turns = 0;
    for (; v.Presenter().Busy() && MoreTurns(turns); ++turns)
        Turn();
    EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, PacketViews::kTabAll, filter.get()));
    v.SetTrafficName("8.8.6.1", "peer-late.example");
    const std::int64_t late = test::Store(v, kLocal, "8.8.6.1", "6003", "53", "UDP", "late");
    v.EndBurst();
    EXPECT_EQ(RowSeqs(v.ListModel()).back(), late);
    v.SetTrafficName("192.168.5.7", "renamed.example");
    v.ApplyDisplayFilter(filter);
    for (; v.Presenter().Busy() && MoreTurns(turns, 200000); ++turns)
        Turn();
    EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, PacketViews::kTabAll, filter.get()));
}

// Answers the look-up of every endpoint noted since the last: its owner by
// its port (none for an empty text). Returns the requests.
std::vector<OwnerRequest> AnswerOwners(PacketViews& v, const std::function<std::string(int port)>& owner)
{
    const std::vector<OwnerRequest> batch = v.Programs().TakeBatch();
    std::vector<OwnerAnswer> answers;
    for (const OwnerRequest& r : batch) {
        const std::string o = owner(SocketEndpoint::FromKey(r.key).port);
        answers.push_back({r.key, r.fromSeq, o.empty() ? OwnerAnswer::None : OwnerAnswer::Owner, o});
    }
    v.EnterOwners(answers);
    return batch;
}

void NoteEvery(PacketViews& v, std::int64_t from = 1)
{
    for (std::int64_t seq = from; seq <= v.lSeq(); ++seq)
        v.NoteProgram(seq);
}

// The rows a program filter shows by the owners' numbers are the rows the
// column's text passes: one owner, two in one row, a capture file's, none,
// and after the owners changed.
TEST_F(Presenter, ProgramFiltersShowWhatTheColumnsTextPasses)
{
    for (int i = 0; i < 50; ++i)  // both ends local
        test::Store(v, kLocal, test::kLocal2, "7000", std::to_string(7001 + i % 2), "UDP", "x");
    const std::int64_t given = test::Store(v, kLocal, test::kOther, "7100", "53", "UDP", "y");
    v.Programs().SetOwnerOf(given, "file (5)");
    NoteEvery(v);
    const std::vector<OwnerRequest> asked = AnswerOwners(v, [](int port) -> std::string {
        switch (port) {
        case 80: return "web (80)";
        case 443: return "tls (443)";
        case 7001: return "b (2)";
        case 7100: return "dns (6)";  // the file's owner shows instead
        default: return port == 7000 || port == 7002 || port % 2 == 0 ? "a (1)" : "";
        }
    });
    const char* const filters[] = {
        "program == \"web (80)\"", "program != \"a (1)\"", "program contains \"(2)\"",
        "program matches \"^a.*b\"", "program in {\"tls (443)\" \"file (5)\"}", "program",
        "not program and tcp", "program == \"a (1), b (2)\"", "program contains web or icmp",
    };
    std::vector<std::shared_ptr<const DisplayFilter>> compiled;
    for (const char* text : filters)
        compiled.push_back(Compiled(text));
    const auto expectEach = [&] {
        for (const auto& filter : compiled) {
            SCOPED_TRACE(filter->Text().toStdString());
            v.ApplyDisplayFilter(filter);
            EXPECT_TRUE(v.Presenter().Busy());
            v.Presenter().Finish();
            const auto want = Expected(v, PacketViews::kTabAll, filter.get());
            EXPECT_FALSE(want.empty());
            EXPECT_EQ(RowSeqs(v.ListModel()), want);
        }
    };
    expectEach();
    // Port 80 changes hands half way; the file's packet keeps its owner. The
    // same filters resolve the owners again.
    std::vector<OwnerAnswer> changed;
    for (const OwnerRequest& r : asked)
        if (SocketEndpoint::FromKey(r.key).port == 80)
            changed.push_back({r.key, v.lSeq() / 2, OwnerAnswer::Owner, "web2 (81)"});
    ASSERT_FALSE(changed.empty());
    v.EnterOwners(changed);
    expectEach();
}

// A live row whose owner the look-up finds after it arrived is shown under a
// program filter: at once when the filter is in force, once it ends when a
// rebuild runs, over many rows in slices.
TEST_F(Presenter, ALiveRowWhoseOwnerIsFoundLaterIsShown)
{
    const auto filter = Compiled("program contains late");
    v.ApplyDisplayFilter(filter);
    v.Presenter().Finish();
    ASSERT_TRUE(RowSeqs(v.ListModel()).empty());
    const std::int64_t late = test::Store(v, kLocal, test::kOther, "9000", "53", "UDP", "q");
    test::Store(v, test::kOther, kLocal, "53", "9001", "UDP", "a");
    v.EndBurst();
    NoteEvery(v, late);
    EXPECT_TRUE(RowSeqs(v.ListModel()).empty()) << "not known yet";
    const auto lateOwner = [](int port) { return port == 9000 || port == 9002 ? std::string("late (5)") : std::string(); };
    AnswerOwners(v, lateOwner);
    EXPECT_EQ(RowSeqs(v.ListModel()), std::vector<std::int64_t>{late});
    EXPECT_EQ(v.ListModel().visibleRows(), 1);
    EXPECT_TRUE(v.TreeModel().dSrcHosts().hasPort(kLocal, "9000"));

    v.ApplyDisplayFilter(filter);
    ASSERT_TRUE(v.Presenter().Busy());
    const std::int64_t later = test::Store(v, kLocal, test::kOther, "9002", "53", "UDP", "q");
    v.EndBurst();
    NoteEvery(v, later);
    AnswerOwners(v, lateOwner);
    for (int turns = 0; v.Presenter().Busy() && MoreTurns(turns); ++turns)
        Turn();
    EXPECT_EQ(RowSeqs(v.ListModel()), (std::vector<std::int64_t>{late, later}));

    // The owner of port 80 from the hundredth packet on: more rows than are
    // tested at once.
    const auto web = Compiled("program == \"web (80)\" or program contains late");
    v.ApplyDisplayFilter(web);
    v.Presenter().Finish();
    NoteEvery(v);
    std::vector<OwnerAnswer> answers;
    for (const OwnerRequest& r : AnswerOwners(v, lateOwner))
        if (SocketEndpoint::FromKey(r.key).port == 80)
            answers.push_back({r.key, 100, OwnerAnswer::Owner, "web (80)"});
    ASSERT_FALSE(answers.empty());
    v.EnterOwners(answers);
    EXPECT_TRUE(v.Presenter().Busy()) << "a rebuild from the hundredth packet";
    for (int turns = 0; v.Presenter().Busy() && MoreTurns(turns); ++turns)
        Turn();
    const auto want = Expected(v, PacketViews::kTabAll, web.get());
    EXPECT_GT(want.size(), 1000u);
    EXPECT_EQ(RowSeqs(v.ListModel()), want);
    ExpectTreeOfRows(v);
}

TEST(PresenterPayload, ReadsTheWorkingFileWithProgressAndRowsInOrder)
{
    App();
    QTemporaryDir dir;
    PacketViews v;
    test::Prepare(v);
    ASSERT_TRUE(v.OpenSpool(dir.path().toStdString())) << v.DatagramError();
    const int n = ListPresenter::kAtOnce * 2;
    for (int i = 0; i < n; ++i) {
        const std::string payload = i % 13 == 0 ? "GET /secret password=1" : std::string(200, 'y');
        const auto d = test::Ipv4Udp(i % 2 ? kLocal : "192.168.5.9", i % 2 ? "192.168.5.9" : kLocal, 4000,
                                     static_cast<std::uint16_t>(5000 + i % 9), payload);
        const auto decoded = DecodeDatagram(d, false);
        ASSERT_TRUE(decoded);
        ASSERT_GT(v.StorePacket(*decoded, d, 1700000000000000 + i), 0);
    }
    v.EndBurst();
    std::vector<int> progress;
    v.Presenter().onProgress = [&](int permille) { progress.push_back(permille); };
    std::vector<std::size_t> seen;  // rows at each turn of the event loop
    const auto filter = Compiled("payload contains \"password\" and udp.dstport != 5004");
    v.ApplyDisplayFilter(filter);
    for (int turns = 0; v.Presenter().Busy() && MoreTurns(turns, 200000); ++turns) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        seen.push_back(v.ListModel().totalRows());
    }
    ASSERT_FALSE(v.Presenter().Busy());
    EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, PacketViews::kTabAll, filter.get()));
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), -1) << "the progress goes once the rows are complete";
    for (std::size_t i = 0; i + 1 < progress.size(); ++i)
        EXPECT_TRUE(progress[i] >= 0 && progress[i] <= 1000) << progress[i];
    ExpectTreeOfRows(v);
}

// Payloads in the working file, several parts of a payload filter's pass
// long, placed where reading them in parts could go wrong.
class PresenterPayloadFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        test::Prepare(v);
        ASSERT_TRUE(v.OpenSpool(dir.path().toStdString())) << v.DatagramError();
    }
    static constexpr std::int64_t kPart = ListPresenter::kPayloadPart;
    // Record seq's datagram: its payload of a length that moves the reads'
    // windows about, ending in a needle on the records each side of a part's
    // end, every 97th, and the file's last; a needle cut in two between
    // neighbours and one cut off by the capture do not pass.
    void StoreDatagram(std::int64_t seq, std::int64_t count)
    {
        const bool edge = seq % kPart <= 1 || seq == count;
        std::string payload = seq % 50 == 7 ? "" : std::string(static_cast<std::size_t>(seq * 37 % 611), 'y');
        if (edge || seq % 97 == 0)
            payload += "xNeEdLe";
        else if (seq % 101 == 1)
            payload += "nee";
        else if (seq % 101 == 2)
            payload = "dle" + payload;
        const bool cut = !edge && seq % 89 == 5;
        if (cut)
            payload += "needle";
        auto d = test::Ipv4Udp(seq % 3 ? kLocal : "192.168.5.9", seq % 3 ? "192.168.5.9" : "192.168.5.10", 4000,
                               static_cast<std::uint16_t>(5000 + seq % 5), payload);
        const std::uint32_t original = static_cast<std::uint32_t>(d.size());
        if (cut)
            d.resize(d.size() - 3);
        const auto decoded = DecodeDatagram(d, false);
        ASSERT_TRUE(decoded);
        ASSERT_EQ(v.StorePacket(*decoded, d, 1700000000000000 + seq, original), seq);
    }
    void Fill(std::int64_t count)
    {
        for (std::int64_t seq = v.lSeq() + 1; seq <= count; ++seq)
            StoreDatagram(seq, count);
        v.EndBurst();
    }
    void Run()
    {
        for (int turns = 0; v.Presenter().Busy() && MoreTurns(turns, 200000); ++turns)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ASSERT_FALSE(v.Presenter().Busy());
    }
    QTemporaryDir dir;
    PacketViews v;
};

// Each filter cancels the one before, while it reads or as its rows go in.
TEST_F(PresenterPayloadFile, PartsOfThePassShowWhatTestingRowByRowShows)
{
    Fill(4 * kPart + 100);
    // From a payload kept in memory on, the window's thread reads.
    test::Store(v, "192.168.5.9", kLocal, "1", "2", "UDP", "kept in memory: xNeEdLe y");
    Fill(4 * kPart + 300);
    v.Presenter().handOverRows = 64;
    const struct {
        int tab;
        const char* filter;
    } cases[] = {
        {PacketViews::kTabAll, "payload contains \"eEdLe\""},
        {PacketViews::kTabAll, "payload contains \"needle\" or udp.dstport == 5003"},  // none
        {PacketViews::kTabAll, "frame matches \"needle$\""},
        {PacketViews::kTabAll, "data matches \"NEEDLE\" and not udp.dstport == 5001"},
        {PacketViews::kTabSent, "payload matches \"y+xN\""},
        {PacketViews::kTabIp, "payload contains \"eEdLe\""},  // pairs across the parts
        {PacketViews::kTabReceived, "not payload contains \"y\""},  // empty payloads too
    };
    auto before = Compiled("payload contains \"y\"");
    bool rowsShown = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.filter) + " on tab " + std::to_string(c.tab) + (rowsShown ? ", rows shown" : ""));
        v.ApplyDisplayFilter(before);
        while (rowsShown && v.ListModel().totalRows() == 0 && !v.Presenter().RowsDone())
            QCoreApplication::processEvents();
        EXPECT_FALSE(v.Presenter().RowsDone());
        rowsShown = !rowsShown;
        before = Compiled(c.filter);
        v.Presenter().SetFilter(before);
        v.ShowTab(c.tab);
        Run();
        const auto want = Expected(v, c.tab, before.get());
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(RowSeqs(v.ListModel()), want);
        ExpectTreeOfRows(v);
    }
}

// The working file lost its end under the views (a full or failing disk):
// the rows whose payload cannot be read are told as such, on the threads'
// path and on the window's, not silently taken for rows that do not match.
TEST_F(PresenterPayloadFile, PayloadsThatCannotBeReadAreCountedNotTakenForMisses)
{
    Fill(kPart + 50);
    test::Store(v, "192.168.5.9", kLocal, "1", "2", "UDP", "kept in memory: xNeEdLe y");
    Fill(4 * kPart);
    ASSERT_TRUE(v.Spool()->Flush());
    // The writer thread writes no more (it would write the newest bytes
    // again past a hole, which reads as zeros); a write it had begun ends.
    v.Spool()->HoldWrites(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Cut in the middle of the records the threads read; the parts after
    // the one they leave to the window's thread may have been read too, and
    // count once, as the window's thread reads them.
    const std::uint64_t cut = v.dPackets().at(kPart / 2).mData.offset();
    const std::string fdPath = "/proc/self/fd/" + std::to_string(v.Spool()->ReadDescriptor());
    const int fd = ::open(fdPath.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(cut)), 0);
    ::close(fd);
    // The threads read the file up to the payload kept in memory; the
    // window's thread reads the rest through the spool, which may still hold
    // some of the bytes.
    const std::int64_t inMemory = kPart + 51;
    std::int64_t lost = 0;
    std::string bytes;
    for (std::int64_t seq = 1; seq <= v.lSeq(); ++seq) {
        const PayloadRef& ref = v.dPackets().at(seq).mData;
        if (seq < inMemory)
            lost += !ref.empty() && ref.offset() + ref.length() > cut;
        else
            lost += !v.dPackets().ReadPayload(v.dPackets().at(seq), bytes);
    }
    ASSERT_GT(lost, kPart / 2);

    const auto filter = Compiled("payload contains \"eEdLe\"");
    v.ApplyDisplayFilter(filter);
    Run();
    EXPECT_EQ(v.Presenter().UnreadPayloads(), lost);
    EXPECT_EQ(RowSeqs(v.ListModel()), Expected(v, PacketViews::kTabAll, filter.get()));
    const auto rows = RowSeqs(v.ListModel());
    EXPECT_TRUE(std::find(rows.begin(), rows.end(), inMemory) != rows.end()) << "the payload kept in memory is read";
    EXPECT_TRUE(std::find(rows.begin(), rows.end(), kPart + 1) == rows.end()) << "a needle past the cut is not found";

    // A filter that reads no payload has none to miss.
    v.ApplyDisplayFilter(Compiled("udp"));
    Run();
    EXPECT_EQ(v.Presenter().UnreadPayloads(), 0);
}

}  // namespace
}  // namespace quillet
