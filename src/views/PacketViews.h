#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <QString>

#include "core/CapturedDatagram.h"
#include "core/NameTable.h"
#include "core/TextMap.h"
#include "decode/DecodeDatagram.h"
#include "decode/TrafficNames.h"
#include "filters/cFilter.h"
#include "ports/PortDatabases.h"
#include "programs/ProgramOwners.h"
#include "views/ArrivalTime.h"
#include "views/Conversations.h"
#include "views/HostTreeModel.h"
#include "views/ListPresenter.h"
#include "views/PacketConsumers.h"
#include "views/PacketListModel.h"
#include "views/PacketLog.h"
#include "views/PacketStore.h"
#include "views/TrafficTotals.h"

namespace quillet {

// The packet views, owned by the main window for the whole run: the packet
// log (store, working capture file, local addresses) and what subscribes to
// it (the rows of the list and the host tree, the program column, the
// totals, the traffic's names), the tabs under the list that select what list
// and tree show, the filters, the port databases and preferences.
// Window-free; PacketViewWidgets puts lv, tv and ts2 on top of it.
//
// Receive path: StorePacket() for every decoded datagram, then EndBurst()
// once after draining what was ready. Rows and tree nodes of one burst are
// inserted at once, and the newest row is followed (onFollow) once.
//
// Tabs are numbered from 1 as the user sees them: 1 "全部", 2 "接收",
// 3 "发送", 4 "IP", 5 and after the filter tabs.
class PacketViews {
public:
    // A tab of the strip under the list (the presenter holds them).
    using Tab = ListPresenter::Tab;
    static constexpr int kTabAll = 1;
    static constexpr int kTabReceived = 2;
    static constexpr int kTabSent = 3;
    static constexpr int kTabIp = 4;
    static constexpr int kFirstFilterTab = 5;

    // Loads nothing; the roots of the host tree are made, tab 1 selected.
    PacketViews();
    ~PacketViews();
    PacketViews(const PacketViews&) = delete;
    PacketViews& operator=(const PacketViews&) = delete;

    // --- state -------------------------------------------------------------
    PacketStore& dPackets() { return log_.Store(); }
    const PacketStore& dPackets() const { return log_.Store(); }
    std::int64_t lSeq() const { return log_.lSeq(); }
    // The only owner of records and datagrams; consumers of stored packets
    // subscribe to it.
    PacketLog& Log() { return log_; }
    const PacketLog& Log() const { return log_; }

    PortDatabases& Ports() { return ports_; }  // fill before rows exist
    const PortDatabases& Ports() const { return ports_; }
    PortPreferences& Prefs() { return prefs_; }  // affects rows made afterwards
    const PortPreferences& Prefs() const { return prefs_; }

    // The machine's own addresses; "127.0.0.1" is dropped.
    void SetLocalAddrs(const std::vector<std::string>& addrs);
    const TextMap<bool>& dLocalAddrs() const { return log_.dLocalAddrs(); }
    bool IsLocal(std::string_view addr) const { return log_.IsLocal(addr); }
    bool IsLocal(const char* addr) const { return IsLocal(std::string_view(addr)); }
    // The same for a record's field, without making its text.
    bool IsLocal(const AddressText& addr) const { return log_.IsLocal(addr); }
    // The local addresses as AddressText bits(), sorted.
    std::span<const std::uint64_t> LocalBits() const { return log_.LocalBits(); }

    // dFiltro and cF, the filter registry and the current filter, are the
    // presenter's (below).

    // While false, each new row is scrolled to and selected (at burst end).
    bool bNoFollow = false;

    PacketListModel& ListModel() { return list_; }
    HostTreeModel& TreeModel() { return tree_; }

    // Called at the end of a burst with the row to scroll to and select,
    // when a row was appended while bNoFollow was false.
    std::function<void(int row)> onFollow;

    // Makes mHora texts; replace to fix the decimal separator in tests.
    ArrivalTime arrivalTime;

    // Test seam: storing the packet of this sequence number throws
    // std::bad_alloc once its record and row are made (0: never).
    std::int64_t failStoreAt = 0;
    // Bench seam: false stores packets without numbering their conversations.
    void CountConversations(bool on) { conversations_.counting = on; }

    // --- receive path --------------------------------------------------------
    // Every StorePacket appends the packet to the log, whose consumers (list
    // and tree, program column, totals, names) take it in, or (when it
    // throws) leaves the log and its consumers as they were.
    // Stores one decoded datagram with its capture timestamp (microseconds
    // since the epoch) and, when the selected tab admits it, shows it.
    // Returns its sequence number.
    std::int64_t StorePacket(const DecodedDatagram& datagram, std::int64_t timestampUs);
    // The same (the payload is copied once, into the store, either way).
    std::int64_t StorePacket(DecodedDatagram&& datagram, std::int64_t timestampUs);
    // The same with the payload bytes given apart (datagram.data unused),
    // kept in memory.
    std::int64_t StorePacket(const DecodedDatagram& datagram, std::string_view payload, std::int64_t timestampUs);
    // The receive path: the whole datagram (decoded into decoded, with
    // DecodeDatagram(bytes, false)) is appended to the working capture file
    // and its payload stays there. Opens the working file under the default
    // directory when OpenSpool was never called. Returns 0 and stores nothing
    // when the file cannot take the datagram (DatagramError() says why). The file's record keeps
    // originalLength (0: the datagram's size), the length before a capture cut the datagram, so
    // memory holds nothing more for it.
    std::int64_t StorePacket(const DecodedDatagram& decoded, std::span<const std::uint8_t> datagram,
                             std::int64_t timestampUs, std::uint32_t originalLength = 0);
    // The same with what travels with the datagram (captured.bytes, decoded
    // into decoded): a program it names is its program column's and totals';
    // a live one's local endpoints are noted for the program look-up.
    std::int64_t StorePacket(const DecodedDatagram& decoded, const CapturedDatagram& captured);
    // The datagram to be stored after the next one decodes to this: what
    // storing it will read is fetched meanwhile. Changes nothing.
    void StoreAhead(const DecodedDatagram& decoded) const;
    // Whether StoreAhead does anything now: some table that storing reads
    // outgrew the cache. The receive path decodes ahead only then.
    bool GainsFromAhead() const
    {
        return lookAheadAlways || conversations_.GainsFromAhead() || tree_.GainsFromPrefetch();
    }
    // Test seam: the receive path looks ahead whatever the tables' size.
    bool lookAheadAlways = false;
    // The same with the record's texts given one by one (addresses before
    // ports) and the time text made already.
    std::int64_t StorePacket(std::string_view protocol, std::string_view srcAddr, std::string_view destAddr,
                             std::string_view srcPort, std::string_view destPort, std::string_view data,
                             std::int32_t size, std::string_view hora);
    // Makes the rows and nodes of the burst visible and follows the newest
    // row; counts the packets whose programs are answered in the totals.
    // Call once after each drain; harmless when nothing is pending.
    void EndBurst();

    // Hosts and ports to the tree, then the row (image by source address,
    // port texts by the preferences now in force).
    void ShowPacket(std::int64_t seq);
    void AddToHostTree(std::string_view srcAddr, std::string_view srcPort, std::string_view destAddr,
                       std::string_view destPort);

    // --- the program column -----------------------------------------------------
    // Owners of the local endpoints (TCP and UDP ports of the local
    // addresses) over the run; the list's program column reads them.
    ProgramOwners& Programs() { return programs_.Programs(); }
    const ProgramOwners& Programs() const { return programs_.Programs(); }
    // Notes the local endpoints of a stored packet for look-up (no system
    // call, nothing allocated once an endpoint is known); live captured
    // datagrams are noted as they are stored.
    void NoteProgram(std::int64_t seq, std::int64_t tsUs = 0);
    // The program column of a packet: the owner of its local side (the
    // source when sent, the destination when received; both, the sender's
    // first, when both addresses are local), empty when not known.
    QString ProgramOf(std::int64_t seq, const clV& record) const { return programs_.ProgramOf(seq, record); }

    // --- names seen in the traffic, totals ---------------------------------------
    // DNS answers (to queries seen), TLS server names and HTTP Host headers of
    // stored packets name addresses here; the host tree shows them.
    const NameTable& TrafficNames() const { return names_.Names(); }
    // Names the address; a name that is no host name (IsHostName) is refused.
    void SetTrafficName(std::string_view address, std::string_view name) { names_.Set(address, name); }
    // The name the tree shows for an address (traffic's, else the reverse
    // look-up's), empty when none.
    QString ShownName(std::string_view address) const { return tree_.ShownName(address); }
    // Totals per program and host of every stored packet.
    TrafficTotals& Totals() { return totals_.Totals(); }
    const TrafficTotals& Totals() const { return totals_.Totals(); }
    // The TCP and UDP conversations of the stored packets.
    const quillet::Conversations& Conversations() const { return conversations_.Of(); }

    // --- whole datagrams, kept in the working capture file ----------------------
    // Makes the working capture file under baseDir (empty: the default
    // directory) unless it is open already; false with DatagramError()
    // when it cannot be made.
    bool OpenSpool(const std::string& baseDir) { return log_.OpenSpool(baseDir); }
    CaptureSpool* Spool() const { return log_.Spool(); }
    // The whole datagram of a stored packet (as captured), its timestamp and,
    // when asked, its original length; false when it was not kept or cannot
    // be read back (DatagramError()).
    bool DatagramOf(std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs,
                    std::uint32_t* originalLength = nullptr)
    {
        return log_.Datagram(seq, bytes, tsUs, originalLength);
    }
    const std::string& DatagramError() const { return log_.Error(); }

    // --- what a capture session asks ---------------------------------------------
    // Enters the program look-up's answers; the rows they change show them.
    void EnterOwners(const std::vector<OwnerAnswer>& answers);
    // The owners of packets from fromSeq on changed (answers, or owners the
    // kernel told late): the program column and a program filter follow.
    void OwnersChanged(std::int64_t fromSeq);
    // The rows shown (pending ones included) and the packet of each.
    std::size_t ShownRows() const { return list_.totalRows(); }
    std::int64_t ShownSeq(std::size_t row) const { return list_.sequenceOf(row); }
    // Every named address with its name, the traffic's names over the
    // reverse look-ups' (what a saved file keeps).
    std::vector<std::pair<std::string, std::string>> NamedAddresses() const;

    // Toolbar button 4: empties the list rows (and the IP tab's pair index);
    // the store and the host tree stay.
    void ClearList();

    // --- tabs -----------------------------------------------------------------
    int TabCount() const { return presenter_->TabCount(); }
    const Tab& TabAt(int index) const { return presenter_->TabAt(index); }
    int SelectedTab() const { return presenter_->SelectedTab(); }
    // Index of the tab with that key, 0 when none.
    int TabIndexOfKey(const QString& key) const { return presenter_->TabIndexOfKey(key); }

    // Live admission test of the selected tab for a newly arrived packet.
    bool Admits(std::string_view srcAddr, std::string_view destAddr);
    // The same for a stored record.
    bool Admits(const clV& record);

    // ts2_Click: selects the tab and rebuilds list and tree from the store
    // for it. Ends the burst (rows inserted, newest followed).
    void ts2_Click(int index);
    // The same without waiting: the rebuild goes on in the background
    // (Presenter()), a rebuild still running is cancelled.
    void ShowTab(int index);

    // --- the display filter ------------------------------------------------------
    // Puts the filter in force (nullptr: none) and rebuilds for it without
    // waiting; new packets are tested against it as they arrive.
    void ApplyDisplayFilter(std::shared_ptr<const DisplayFilter> filter);
    const std::shared_ptr<const DisplayFilter>& DisplayFilterInForce() const { return presenter_->Filter(); }
    ListPresenter& Presenter() { return *presenter_; }
    const ListPresenter& Presenter() const { return *presenter_; }

    // Appends a filter tab (key and caption the name, no image), not
    // selected. Returns an empty text when added, else why the strip cannot
    // take the name (a key already on the strip). Does not register the
    // filter.
    QString AppendFilterTab(const QString& name) { return presenter_->AppendFilterTab(name); }
    // Registers the filter and appends its tab, or neither; returns the
    // refusal ("Filter Name already exists!" or the strip's reason). The one
    // way a filter comes in (the dialog, the totals window's host filter).
    QString AddFilter(const QString& name, std::shared_ptr<const cFilter> filter)
    {
        return presenter_->AddFilter(name, std::move(filter));
    }

    // mnuDelete_Click on the selected tab: only a filter tab is removed,
    // together with its filter in dFiltro. The tab that takes its place (the
    // next one, or the previous one when it was the last) is selected and the
    // views rebuilt for it. Returns false when the selected tab is built in.
    bool DeleteSelectedFilterTab();
    // Which tab becomes selected after deleting index (same rule).
    int TabAfterDeleting(int index) const { return presenter_->TabAfterDeleting(index); }

private:
    class FilterContext;
    class Rows;

    void SelectTab(int index);
    // A record with every field but mData; then stored and shown.
    static clV MakeRecord(const DecodedDatagram& d, std::string_view hora);
    clV MakeRecord(std::string_view protocol, std::string_view srcAddr, std::string_view destAddr,
                   std::string_view srcPort, std::string_view destPort, std::int32_t size, std::string_view hora);
    // ShowPacket with the source's locality already known (it picks the
    // row's image: 4 sent by this machine, else 12).
    void ShowRecord(std::int64_t seq, const clV& record, bool sentByUs);

    PacketLog log_;
    PortDatabases ports_;
    PortPreferences prefs_;
    // Told first: the display filter asks a new packet's conversation.
    ConversationCounter conversations_;
    // Consumers of the log, told of each packet after the rows, in this
    // order; each takes it back when one told later throws.
    ProgramColumn programs_;
    TotalsCounter totals_;
    TrafficNamer names_;
    PacketListModel list_;
    HostTreeModel tree_;
    std::unique_ptr<Rows> rows_;
    int followRow_ = -1;
    bool pairAdded_ = false;  // the last ShowRecord added its pair
    // Last: it stops its threads before the store goes.
    std::unique_ptr<FilterContext> filterContext_;
    std::unique_ptr<ListPresenter> presenter_;

public:
    // The filter registry, and the current filter: the dialog points it at
    // the filter it registers; every match against a filter tab points it at
    // that tab's filter.
    FilterRegistry& dFiltro;
    std::shared_ptr<const cFilter>& cF;
};

}  // namespace quillet
