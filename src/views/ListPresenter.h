#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include <QElapsedTimer>
#include <QTimer>

#include "decode/clV.h"
#include "filters/DisplayFilter.h"
#include "filters/cFilter.h"
#include "ports/PortDatabases.h"
#include "views/HostTreeModel.h"
#include "views/PacketListModel.h"
#include "views/PacketStore.h"

namespace quillet {

// What the packet list shows: the tab chosen under it, the display filter in
// force and the rows that pass both, in the store's order. The list model
// holds the rows; the presenter decides them, for each new packet as it
// arrives and for the whole store when the tab or the filter changes.
//
// A rebuild never holds the event loop for long. Over a small store it is
// done at once. Otherwise a filter on the record's fields (addresses, ports,
// protocol, length, direction) and the tab's own rule run on two threads
// over halves of the store, and the rows go to the list in one insertion; a
// filter that asks for programs or host names runs in slices of the event
// loop on both cores (the views do not change during a slice); a payload
// filter reads the payloads from the working capture file on a thread of
// its own, rows appearing in order as they are found, with its progress
// told. The host tree is then fed from the rows in slices of the event loop.
// A new rebuild, or emptying the rows, cancels the one that runs.
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

    // --- what is chosen (none of these rebuilds) ---------------------------------
    int SelectedTab() const { return tab_; }
    void SelectTab(int tab) { tab_ = tab; }
    // The selected filter tab's filter, looked up afresh for each test;
    // nullptr admits nothing.
    std::function<const cFilter*()> tabFilter;
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
    // Whether a row shown now adds its hosts to the tree itself (false while
    // the tree is being fed; the feed reaches the row).
    bool TreeFollows() const { return !busy_; }

    // --- rebuilds ----------------------------------------------------------------
    // Empties rows and tree and makes them again from the store for the tab
    // and the filter; a rebuild still running is cancelled.
    void Rebuild();
    // Runs the rebuild under way to its end now (rows and tree).
    void Finish();
    bool Busy() const { return busy_; }
    // Whether every row of the rebuild is in the list (the tree may follow).
    bool RowsDone() const { return !busy_ || phase_ == Phase::Tree; }
    // Toolbar button 4: the rows go, a running rebuild with them; the tree stays.
    void ClearRows();

    // The rows were handed to the list (follow the newest).
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

    std::shared_ptr<const Rules> MakeRules() const;
    // The rows of [from, to] that pass, as list values, into out; pairs
    // first seen there into seen (the IP tab). Stops early when cancelled.
    static void Scan(const Rules& rules, const PacketStore::Records& records, const DisplayFilterContext& context,
                     std::int64_t from, std::int64_t to, std::vector<std::uint64_t>& out, PairSet* seen,
                     const std::atomic<bool>& cancel);
    void Tick();
    void StartThreads();
    void StartPayload();
    bool SliceRows();      // one slice of Slices mode; true when done
    bool TakePayloadRows();  // true when the reading thread is done
    bool SliceTail();
    void HandOver(std::vector<std::uint64_t>& rows);
    void AppendRows(std::vector<std::uint64_t>& rows);
    void RowsComplete();
    bool FeedTree(const QElapsedTimer& clock);
    void Stop();

    const PacketStore& store_;
    PacketListModel& list_;
    HostTreeModel& tree_;
    const PortPreferences& prefs_;
    const DisplayFilterContext& context_;
    int tab_ = kTabAll;
    std::shared_ptr<const DisplayFilter> filter_;
    std::shared_ptr<const std::vector<std::uint64_t>> local_;
    PairSet pairs_;

    bool busy_ = false;
    Phase phase_ = Phase::Rows;
    Mode mode_ = Mode::Threads;
    std::shared_ptr<Job> job_;
    std::shared_ptr<const Rules> rules_;
    PacketStore::Records records_;
    std::int64_t at_ = 0;     // next record of a sliced pass
    std::int64_t last_ = 0;   // the rebuild's last record
    std::int64_t sliceRecords_ = 65536;
    std::vector<std::uint64_t> found_;
    std::vector<std::uint64_t> later_;  // arrived while the rows were made
    std::size_t treeAt_ = 0;            // next list row the tree takes
    QTimer timer_;
};

}  // namespace quillet
