#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QAbstractTableModel>
#include <QHash>
#include <QString>

#include "core/ChartScale.h"
#include "decode/RecordFields.h"
#include "views/RateHistory.h"

namespace quillet {

class ProgramOwners;

// Totals per program and per remote host of every stored packet, kept as
// packets are stored: a probe of a flat table of hosts and a few additions
// each, nothing allocated but for a new host.
//
// A packet's program is known only once the look-up of its local endpoint
// has answered, later and on another thread. Such a packet waits in a queue
// (a few numbers, no look-up) until Settle() finds its endpoint answered and
// counts it for the program that held the endpoint at that packet; the
// queue empties with every burst's answers, so what it holds is bounded by
// the look-up's delay, not by the flows seen. Hosts are counted at once.
// Counts are from this machine's side: a packet from a local address is
// sent, any other received.
class TrafficTotals {
public:
    struct Counts {
        std::uint64_t sentPackets = 0;
        std::uint64_t recvPackets = 0;
        std::uint64_t sentBytes = 0;
        std::uint64_t recvBytes = 0;
        std::int64_t lastUs = 0;  // timestamp of the newest packet, 0 none
        void Add(bool sent, std::uint64_t bytes, std::int64_t tsUs)
        {
            (sent ? sentPackets : recvPackets) += 1;
            (sent ? sentBytes : recvBytes) += bytes;
            lastUs = std::max(lastUs, tsUs);
        }
    };
    // A row's bytes per second: the newest second's in the row itself, the
    // seconds before in a history made when a second second comes, so most
    // packets touch nothing but the row.
    struct Row {
        Counts counts;
        std::int64_t second = INT64_MIN;  // of the packet added last
        std::uint64_t secondBytes = 0;
        std::uint32_t secondPackets = 0;
        std::unique_ptr<RateHistory> history;
        void Add(bool sent, std::uint64_t bytes, std::int64_t tsUs);
        std::uint64_t BytesAt(std::int64_t s) const;
        // The RateHistory::kSeconds values up to and including lastSecond, oldest first.
        std::vector<double> Values(std::int64_t lastSecond, RateMeasure measure = RateMeasure::Bytes) const;
        // The average per second of each of count points of step seconds from
        // first (step at least CoarseSeconds(), one of the widths of
        // CoarserSeconds, first a multiple of it), oldest first.
        std::vector<double> SpanValues(std::int64_t first, std::int64_t step, std::size_t count,
                                       RateMeasure measure = RateMeasure::Bytes) const;
        std::int64_t CoarseSeconds() const { return history ? history->CoarseSeconds() : kFirstCoarseSeconds; }
    };
    struct ProgramRow : Row {
        QString name;  // the program column's text; empty: no known program
    };
    struct HostRow : Row {
        std::string address;
        std::vector<std::pair<std::uint32_t, std::uint64_t>> programs;  // program row, bytes
    };
    // Hosts beyond this many are not told apart: their packets count in no
    // host's row.
    static constexpr std::size_t kMaxHosts = 1u << 16;
    // Packets waiting for their programs beyond this many are counted, the
    // oldest first, for the owners their endpoints are known to have so far.
    static constexpr std::size_t kMaxWaiting = 1u << 21;

    TrafficTotals();

    // One stored packet. remote: the address of the host at the other end
    // (nullptr when both ends are local; its text is made only for a new
    // host); hasEndpoint: it has a local TCP or UDP endpoint, whose program
    // a look-up may tell; sent: from a local address; bytes: the datagram's
    // length. owner: the packet's program when already known (read from a
    // file).
    void Add(const AddressText* remote, bool hasEndpoint, bool sent, std::uint64_t bytes, std::int64_t tsUs,
             const QString* owner);
    // The packet just added was handed to the program look-up as seq, its
    // endpoint's entry there being entry.
    void AwaitLookUp(std::int64_t seq, std::uint32_t entry);
    // Add() adds all or nothing; this takes back the packet added last (and
    // what AwaitLookUp said of it), as if it had never come, allocating
    // nothing. Only once, and before anything else changes the totals.
    void TakeBackLast() noexcept;
    // Counts the waiting packets whose endpoints are answered for their
    // programs (in the order they came; every one when nothing is asked).
    void Settle(const ProgramOwners& owners);
    // Settle(), then whether any row changed since the last call.
    bool Fold(const ProgramOwners& owners);

    const std::vector<ProgramRow>& Programs() const { return programs_; }
    const std::vector<HostRow>& Hosts() const { return hosts_; }
    // Newest and oldest timestamps of the packets counted (0 none).
    std::int64_t NewestUs() const { return newestUs_; }
    std::int64_t OldestUs() const { return oldestUs_; }

private:
    // A packet whose program is not known yet.
    struct Waiting {
        std::int64_t seq = 0;  // as handed to the look-up; 0: not looked up, no program
        std::int64_t tsUs = 0;
        std::int32_t host = -1;
        std::uint32_t entry = 0;  // the endpoint's in the look-ups' table
        std::uint32_t bytes = 0;
        bool sent = false;
    };
    struct HostSlot {
        std::uint64_t bits = 0;  // the address's bits(); 0 free
        std::int32_t host = -1;
    };
    // A row as it was before the packet added last.
    struct RowBefore {
        Counts counts;
        std::int64_t second = 0;
        std::uint64_t secondBytes = 0;
        std::uint32_t secondPackets = 0;
        bool hadHistory = false;
        bool historySaved = false;  // in the spare history
    };
    // What the packet added last changed, to take it back.
    struct Undo {
        bool valid = false;
        bool changed = false;
        bool lastWaits = false;
        std::int64_t newestUs = 0;
        std::int64_t oldestUs = 0;
        std::uint64_t lastBits = 0;
        std::int32_t lastHost = -1;
        std::size_t hosts = 0, programs = 0, waiting = 0;
        std::int32_t host = -1;  // its row, when counted
        RowBefore hostRow;
        std::int64_t program = -1;  // its row, when counted
        RowBefore programRow;
        std::size_t hostPrograms = 0;     // of the host's program list
        std::ptrdiff_t hostProgram = -1;  // the entry of that list its bytes went to, when it was there
        std::uint64_t bytes = 0;
    };
    // Keeps the row as it is before a packet of tsUs is added to it (a copy
    // of its history in spare when adding changes it).
    static void Keep(const Row& row, std::int64_t tsUs, RowBefore& before, std::unique_ptr<RateHistory>& spare);
    static void Restore(Row& row, const RowBefore& before, const std::unique_ptr<RateHistory>& spare) noexcept;

    std::uint32_t ProgramRowOf(const QString& name);
    std::uint32_t ProgramRowOf(std::uint32_t ownerId, const ProgramOwners& owners);
    std::int32_t HostOf(const AddressText& remote);
    void Count(std::uint32_t program, std::int32_t host, bool sent, std::uint64_t bytes, std::int64_t tsUs);

    std::vector<ProgramRow> programs_;
    QHash<QString, std::uint32_t> programIds_;
    std::vector<std::uint32_t> ownerRows_;  // program row by the look-ups' owner number + 1, 0 not yet
    std::vector<HostRow> hosts_;
    std::vector<HostSlot> hostSlots_;  // open addressing, at most half full
    unsigned hostShift_ = 0;
    std::uint64_t lastBits_ = 0;
    std::int32_t lastHost_ = -1;
    std::vector<Waiting> waiting_;
    std::size_t waited_ = 0;  // the entries before this are counted
    bool lastWaits_ = false;  // the packet added last waits in waiting_
    std::int64_t newestUs_ = 0;
    std::int64_t oldestUs_ = 0;
    bool changed_ = false;
    Undo undo_;
    std::unique_ptr<RateHistory> spare_[2];  // of the host's row, of the program's
};

// lvPrograms and lvHosts: one row per program or remote host, one column per
// caption, over a TrafficTotals. Refresh() tells views about rows added and
// changed since the last call. Qt::DisplayRole gives the texts as a person
// reads them (counts grouped, "1.2 MiB", "3.4 MB/s"), Qt::ToolTipRole the
// exact figure of a size or rate, Qt::TextAlignmentRole puts figures on the
// right, kSortRole gives the value sorted by (numbers as numbers).
class TotalsTableModel : public QAbstractTableModel {
public:
    enum class Kind { Programs, Hosts };
    // What a column holds.
    enum class Column { Text, Count, Bytes, Rate, Time };
    static constexpr int kSortRole = Qt::UserRole + 1;

    TotalsTableModel(const TrafficTotals& totals, Kind kind, QObject* parent = nullptr);

    // The name shown for a host address; the time text of a timestamp.
    std::function<QString(const std::string& address)> hostName;
    std::function<QString(std::int64_t tsUs)> timeText;
    // While capturing, the present time: "速率" gives the bytes of the second
    // before it; 0: of the newest packet's second.
    std::int64_t nowUs = 0;

    void Refresh();
    // The bytes (or packets) per second of a row over the five minutes up to lastSecond.
    std::vector<double> RateOf(int row, std::int64_t lastSecond, RateMeasure measure = RateMeasure::Bytes) const;
    // The same over a longer span: count points of step seconds from first
    // (TrafficTotals::Row::SpanValues); and the shortest step a row keeps.
    std::vector<double> RateOver(int row, std::int64_t first, std::int64_t step, std::size_t count,
                                 RateMeasure measure = RateMeasure::Bytes) const;
    std::int64_t CoarseSecondsOf(int row) const;
    // The address of a host row.
    QString AddressOf(int row) const;
    Column ColumnKind(int column) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const TrafficTotals::Row& RowAt(int row) const;
    QVariant Cell(int row, int column) const;

    const TrafficTotals& totals_;
    Kind kind_;
    int rows_ = 0;
};

}  // namespace quillet
