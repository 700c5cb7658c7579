#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QAbstractTableModel>
#include <QHash>
#include <QString>

#include "core/TextMap.h"
#include "decode/RecordFields.h"

namespace quillet {

class ProgramOwners;

// Bytes per second over the last five minutes, by the second of the packets'
// timestamps.
class RateHistory {
public:
    static constexpr int kSeconds = 300;
    void Add(std::int64_t second, std::uint64_t bytes);
    // Bytes in that second (0 when it is outside the five minutes kept).
    std::uint64_t At(std::int64_t second) const;
    // The kSeconds values up to and including lastSecond, oldest first.
    std::vector<double> Values(std::int64_t lastSecond) const;

private:
    std::array<std::uint64_t, kSeconds> bytes_{};
    std::int64_t newest_ = INT64_MIN;
};

// Totals per program and per remote host of every stored packet, kept as
// packets are stored (a hash probe and a few additions each).
//
// A packet's program is known only once the look-up of its local endpoint
// has answered, later and on another thread. So packets are counted per
// flow (remote address, local endpoint) as they come; the flows' counts are
// folded into their programs by Fold() once their endpoints are answered.
// Hosts are counted at once. Counts are from this machine's side: a packet
// from a local address is sent, any other received.
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
        void Add(const Counts& o)
        {
            sentPackets += o.sentPackets;
            recvPackets += o.recvPackets;
            sentBytes += o.sentBytes;
            recvBytes += o.recvBytes;
            lastUs = std::max(lastUs, o.lastUs);
        }
    };
    struct Row {
        Counts counts;
        std::unique_ptr<RateHistory> history;  // made with the first timed packet
        void AddRate(std::int64_t tsUs, std::uint64_t bytes);
    };
    struct ProgramRow : Row {
        QString name;  // the program column's text; empty: no known program
    };
    struct HostRow : Row {
        std::string address;
        std::vector<std::pair<std::uint32_t, std::uint64_t>> programs;  // program row, bytes
    };
    // Hosts and flows beyond these are not told apart: their packets count
    // in the rows of no host and no program.
    static constexpr std::size_t kMaxHosts = 1u << 16;
    static constexpr std::size_t kMaxFlows = 1u << 20;

    TrafficTotals();

    // One stored packet. remote: the address of the host at the other end
    // (nullptr when both ends are local; its text is made only for a new
    // flow); endpoint: the local endpoint's key (0 none); sent: from a local
    // address; bytes: the datagram's length. owner: the packet's program when
    // already known (read from a file).
    void Add(const AddressText* remote, std::uint64_t endpoint, bool sent, std::uint64_t bytes, std::int64_t tsUs,
             const QString* owner);
    // The packet just added was handed to the program look-up as seq.
    void AwaitLookUp(std::int64_t seq);
    // Folds the flows whose programs are known into the programs' rows.
    // Returns whether any row changed since the last call.
    bool Fold(const ProgramOwners& owners);

    const std::vector<ProgramRow>& Programs() const { return programs_; }
    const std::vector<HostRow>& Hosts() const { return hosts_; }
    // Newest timestamp of any packet counted (0 none).
    std::int64_t NewestUs() const { return newestUs_; }

private:
    struct FlowKey {
        std::uint64_t remote, endpoint;
        bool operator==(const FlowKey&) const = default;
    };
    struct FlowHash {
        std::size_t operator()(const FlowKey& k) const noexcept
        {
            return std::hash<std::uint64_t>{}(k.remote * 0x9E3779B97F4A7C15ull ^ k.endpoint);
        }
    };
    struct Flow {
        std::uint64_t endpoint = 0;
        std::int32_t host = -1;
        bool queued = false;          // in pending_
        std::int64_t awaitSeq = 0;    // newest packet handed to the look-up, 0 none
        Counts counts;                // not yet folded into a program
        std::vector<std::pair<std::int64_t, std::uint64_t>> seconds;  // bytes by second, not yet folded
    };
    std::uint32_t ProgramRowOf(const QString& name);
    void Credit(std::uint32_t program, std::int32_t host, std::uint64_t bytes);
    std::int32_t HostOf(std::string_view remote);
    void Count(Flow& flow, bool sent, std::uint64_t bytes, std::int64_t tsUs, const QString* owner);

    std::vector<ProgramRow> programs_;
    QHash<QString, std::uint32_t> programIds_;
    std::vector<HostRow> hosts_;
    std::unordered_map<std::string, std::int32_t, TextHash, std::equal_to<>> hostIds_;
    std::unordered_map<FlowKey, std::uint32_t, FlowHash> flowIds_;
    std::vector<Flow> flows_;
    std::vector<std::uint32_t> pending_;  // flows with counts to fold
    std::uint32_t lastFlow_ = 0;
    FlowKey lastKey_{};
    std::int64_t newestUs_ = 0;
    bool changed_ = false;
};

// lvPrograms and lvHosts: one row per program or remote host, one column per
// caption, over a TrafficTotals. Refresh() tells views about rows added and
// changed since the last call. Qt::DisplayRole gives the texts,
// kSortRole the value sorted by (numbers as numbers).
class TotalsTableModel : public QAbstractTableModel {
public:
    enum class Kind { Programs, Hosts };
    static constexpr int kSortRole = Qt::UserRole + 1;

    TotalsTableModel(const TrafficTotals& totals, Kind kind, QObject* parent = nullptr);

    // The name shown for a host address; the time text of a timestamp.
    std::function<QString(const std::string& address)> hostName;
    std::function<QString(std::int64_t tsUs)> timeText;
    // While capturing, the present time: "速率" gives the bytes of the second
    // before it; 0: of the newest packet's second.
    std::int64_t nowUs = 0;

    void Refresh();
    // The history of a row (nullptr when it has none).
    const RateHistory* HistoryOf(int row) const;
    // The address of a host row.
    QString AddressOf(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const TrafficTotals::Row& RowAt(int row) const;
    QVariant Cell(int row, int column, bool sort) const;

    const TrafficTotals& totals_;
    Kind kind_;
    int rows_ = 0;
};

}  // namespace quillet
