#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include "decode/clV.h"
#include "filters/DisplayFilter.h"
#include "filters/cFilter.h"
#include "ports/PortDatabases.h"
#include "views/HostTreeModel.h"
#include "views/PacketListModel.h"
#include "views/PacketStore.h"
#include "views/RowRuns.h"

namespace quillet {

// What the packet list shows: the tabs under it and the one chosen, the
// filter registry of the filter tabs, the display filter in force and the
// rows that pass both, in the store's order. The list model
// holds the rows; the presenter decides them, for each new packet as it
// arrives and for the whole store when the tab or the filter changes.
//
// A rebuild never holds the event loop for long. Over a small store it is
// done at once. Otherwise a filter on the record's fields (addresses, ports,
// protocol, length, direction) and the tab's own rule run on two threads
// over halves of the store; a filter that asks for programs or host names
// runs in slices of the event loop on both cores (the views do not change
// during a slice, which ends on the clock, not on a count of records); a
// payload filter reads the payloads from the working capture file on two
// threads, part by part, the rows of each part shown in order as it is done
// and the progress told. The rows found go to the list
// in order, in pieces of the event loop, and the host tree is fed from them
// in slices. A new rebuild cancels the one that runs. Emptying the rows
// does not touch the tree: the rebuild goes on for the tree alone, which
// ends as if the rebuild had ended before the rows were emptied, followed
// by the rows shown since.
//
// Tabs are numbered from 1: 1 every packet, 2 received (the source is not
// local), 3 sent (the source is local), 4 one row per ordered address pair,
// 5 and after the filter tabs (tabFilter gives the filter).
class ListPresenter {
public:
    ListPresenter(const PacketStore& store, PacketListModel& list, HostTreeModel& tree, const PortPreferences& prefs,
                  const DisplayFilterContext& context);
    ~ListPresenter();
    ListPresenter(const ListPresenter&) = delete;
    ListPresenter& operator=(const ListPresenter&) = delete;

    static constexpr int kTabAll = 1, kTabReceived = 2, kTabSent = 3, kTabIp = 4, kFirstFilterTab = 5;
    // Stores up to this many records are rebuilt at once.
    static constexpr std::int64_t kAtOnce = 32768;
    // The longest a slice of the event loop takes.
    static constexpr int kSliceMs = 8;
    // Records in a part of a payload filter's pass (a few MiB of the file):
    // both threads read near one place of the file and rows come soon.
    static constexpr std::int64_t kPayloadPart = 16384;
    // Records in a piece of a record filter's pass, taken in turn by both
    // threads.
    static constexpr std::int64_t kThreadPiece = 16384;

    // --- the tabs (none of these rebuilds) ---------------------------------------
    // A tab of the strip under the list. Built-in tabs have no key.
    struct Tab {
        QString key;
        QString caption;
        int image = 0;  // ImageList1 number, 0 none
    };
    int TabCount() const { return static_cast<int>(tabs_.size()); }
    const Tab& TabAt(int index) const { return tabs_.at(static_cast<std::size_t>(index - 1)); }
    // Index of the tab with that key, 0 when none.
    int TabIndexOfKey(const QString& key) const;
    int SelectedTab() const { return tab_; }
    void SelectTab(int tab);
    // Told of each filter tab appended (the tab strip follows).
    std::function<void(const QString& name)> onTabAppended;

    // --- filters -----------------------------------------------------------------
    // The filter registry, and the current filter: AddFilter points it at the
    // filter it registers; every match against a filter tab at that tab's.
    FilterRegistry dFiltro;
    std::shared_ptr<const cFilter> cF;
    // The one way a filter comes in: registers it and appends its tab (key
    // and caption the name, not selected), or neither; returns the refusal
    // ("Filter Name already exists!" or the strip's reason).
    QString AddFilter(const QString& name, std::shared_ptr<const cFilter> filter);
    // Appends a filter tab alone; empty when added, else why the strip cannot
    // take the name (a key already on the strip).
    QString AppendFilterTab(const QString& name);
    // Removes the selected filter tab with its filter and returns the tab to
    // select in its place (the next one, or the previous one when it was the
    // last); 0, and nothing removed, when the selected tab is built in.
    int DeleteSelectedFilterTab();
    int TabAfterDeleting(int index) const;
    // The selected filter tab's filter, looked up afresh for each test (and
    // made cF); nullptr admits nothing.
    std::function<const cFilter*()> tabFilter;
    const cFilter* SelectedFilter();
    // The display filter in force; nullptr shows every row of the tab.
    const std::shared_ptr<const DisplayFilter>& Filter() const { return filter_; }
    void SetFilter(std::shared_ptr<const DisplayFilter> filter) { filter_ = std::move(filter); }
    // The bits() of the machine's own addresses.
    void SetLocal(std::vector<std::uint64_t> bits);
    bool IsLocal(const AddressText& address) const;

    // --- new packets -------------------------------------------------------------
    // The selected tab's rule for a record (the IP tab: its pair is not shown yet).
    bool TabAdmits(const clV& record);
    enum class Arrival { Hidden, Show, Later };
    // A packet just stored: Show makes it a row now, Later once the running
    // rebuild has handed over its rows. The filter is asked once, here, with
    // the payload as captured.
    Arrival Arrived(std::int64_t seq, const clV& record, std::span<const std::uint8_t> payload);
    // A row shown after Arrived: on the IP tab its pair is now shown; true
    // when that pair was new.
    bool NotePair(const clV& record);
    // Takes back what Arrived and NotePair did for the packet stored last
    // (its store failed half way).
    void TakeBack(std::int64_t seq, const clV& record, bool pairAdded);
    // The owners of the packets from seq on changed (ProgramOwners::Apply):
    // under a program filter those rows are tested again, so that a row
    // whose owner became known after it arrived is shown (and one that no
    // longer passes goes). A few rows are tested at once, the list changed
    // from the first row that differs; more are rebuilt from there in
    // slices; while a rebuild runs, once it ends. Rows emptied by ClearRows
    // stay gone.
    void OwnersChanged(std::int64_t seq);
    // Whether a row shown now adds its hosts to the tree itself (false while
    // the tree is being fed; the feed reaches the row after the rebuild's).
    bool TreeFollows() const { return !busy_; }

    // --- rebuilds ----------------------------------------------------------------
    // Empties rows and tree and makes them again from the store for the tab
    // and the filter; a rebuild still running is cancelled.
    void Rebuild();
    // Runs the rebuild under way to its end now (rows and tree).
    void Finish();
    bool Busy() const { return busy_; }
    // Whether every row of the rebuild is in the list (the tree may follow),
    // or the rows were emptied since it started.
    bool RowsDone() const { return !busy_ || phase_ == Phase::Tree || cleared_; }
    // Toolbar button 4: the rows go, and no row of a running rebuild comes
    // later; the tree stays and a running rebuild still completes it.
    void ClearRows();
    // Rows handed to the list in one piece at most, and the time a turn of
    // the event loop hands rows over before it stops (a piece takes well
    // under a millisecond; each turn also shows the rows, so few turns
    // show millions of rows soonest).
    static constexpr std::size_t kPieceRows = 65536;
    static constexpr int kHandOverMs = 16;
    // The most rows one turn of the event loop hands to the list.
    std::size_t handOverRows = std::size_t{1} << 24;

    // Rows of the last rebuild whose payload a payload filter could not read
    // (a failed read of the working file), counted as not matching; so far.
    std::int64_t UnreadPayloads() const;

    // Rows were handed to the list (follow the newest); after each piece.
    std::function<void()> onRowsShown;
    // A payload filter's progress, 0..1000, and -1 once it is done.
    std::function<void(int permille)> onProgress;
    // The rebuild ended (rows and tree complete).
    std::function<void()> onDone;

private:
    enum class Phase { Rows, Tree };
    enum class Mode { Threads, Slices, Payload };
    struct PairKey {
        std::uint64_t src, dest;
        bool operator==(const PairKey& o) const = default;
    };
    struct PairHash {
        std::size_t operator()(const PairKey& k) const noexcept
        {
            return std::hash<std::uint64_t>{}(k.src * 0x9E3779B97F4A7C15ull ^ k.dest);
        }
    };
    using PairSet = std::unordered_set<PairKey, PairHash>;
    static PairKey MakePair(const clV& r) { return {r.mSrcAddr.bits(), r.mDestAddr.bits()}; }
    struct Rules;
    struct Job;
    class ThreadContext;

    void MakeBuiltInTabs();
    // Starts a rebuild of the rows from the record from on, after the rows
    // the list holds.
    void Start(std::int64_t from);
    void Retest(std::int64_t from);
    std::shared_ptr<const Rules> MakeRules() const;
    // The rows of [from, to] that pass, as list values, into out; pairs
    // first seen there into seen (the IP tab). Stops early when cancelled.
    static void Scan(const Rules& rules, const PacketStore::Records& records, const DisplayFilterContext& context,
                     std::int64_t from, std::int64_t to, std::vector<std::uint64_t>& out, PairSet* seen,
                     const std::atomic<bool>& cancel);
    void Tick();
    bool ScanStep();  // the rows of this turn; true once every record is scanned
    void StartThreads();
    void StartPayload();
    bool SliceRows();      // one slice of Slices mode; true when done
    bool TakePayloadRows();  // true when the reading threads are done; sets at_
    bool SliceTail();
    // Drops the rows whose pair the rebuild showed already (the IP tab).
    void KeepNewPairs(std::vector<std::uint64_t>& rows);
    void TakeLater();
    void HandOver(const QElapsedTimer& clock);
    void RowsComplete();
    bool FeedTree(const QElapsedTimer& clock);
    void StartPieces();
    void FeedTreeRows(std::span<const std::uint64_t> rows);
    void Stop();

    const PacketStore& store_;
    PacketListModel& list_;
    HostTreeModel& tree_;
    const PortPreferences& prefs_;
    const DisplayFilterContext& context_;
    int tab_ = kTabAll;
    std::vector<Tab> tabs_;
    std::string selectedKey_;  // the selected filter tab's key, UTF-8
    std::shared_ptr<const DisplayFilter> filter_;
    std::shared_ptr<const std::vector<std::uint64_t>> local_;
    PairSet pairs_;       // the pairs the list shows (the IP tab's admission)
    PairSet seenPairs_;   // the pairs the rebuild's rows show

    bool busy_ = false;
    bool scanned_ = false;  // every record was tested
    bool cleared_ = false;  // the rows were emptied during the rebuild
    Phase phase_ = Phase::Rows;
    Mode mode_ = Mode::Threads;
    std::shared_ptr<Job> job_;
    std::shared_ptr<const Rules> rules_;
    PacketStore::Records records_;
    std::int64_t at_ = 0;     // next record of a sliced pass
    std::int64_t last_ = 0;   // the rebuild's last record
    std::int64_t retestFrom_ = 0;      // owners changed from there during the rebuild
    // The rebuild's unread payloads: those of the parts its threads handed
    // over, and the context's count when it began.
    std::int64_t unreadInParts_ = 0;
    std::int64_t unreadBefore_ = 0;
    std::int64_t clearedThrough_ = 0;  // the last record stored when the rows were emptied
    RowRuns rows_;                      // the rebuild's rows, in order
    std::size_t listAt_ = 0;            // the next of them the list takes
    std::size_t treeAt_ = 0;            // the next of them the tree takes
    std::vector<std::uint64_t> later_;  // arrived while the rows were made
    std::vector<std::uint64_t> tail_;   // shown while the tree was fed
    std::size_t tailAt_ = 0;            // the next of them the tree takes
    QTimer timer_;
};

}  // namespace quillet
