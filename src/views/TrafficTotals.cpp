#include "views/TrafficTotals.h"

#include <algorithm>

#include <QCoreApplication>
#include <QStringList>

#include "programs/ProgramOwners.h"

namespace quillet {

namespace {

std::int64_t SecondOf(std::int64_t tsUs)
{
    return tsUs >= 0 ? tsUs / 1000000 : (tsUs - 999999) / 1000000;
}

}  // namespace

// --- RateHistory ----------------------------------------------------------------

void RateHistory::Add(std::int64_t second, std::uint64_t bytes)
{
    if (newest_ != INT64_MIN && second <= newest_ - kSeconds)
        return;  // older than what is kept
    if (newest_ == INT64_MIN || second - newest_ >= kSeconds) {
        bytes_.fill(0);
        newest_ = second;
    }
    while (newest_ < second)
        bytes_[static_cast<std::size_t>(++newest_ % kSeconds + kSeconds) % kSeconds] = 0;
    bytes_[static_cast<std::size_t>(second % kSeconds + kSeconds) % kSeconds] += bytes;
}

std::uint64_t RateHistory::At(std::int64_t second) const
{
    if (newest_ == INT64_MIN || second > newest_ || second <= newest_ - kSeconds)
        return 0;
    return bytes_[static_cast<std::size_t>(second % kSeconds + kSeconds) % kSeconds];
}

std::vector<double> RateHistory::Values(std::int64_t lastSecond) const
{
    std::vector<double> values(kSeconds);
    for (int i = 0; i < kSeconds; ++i)
        values[static_cast<std::size_t>(i)] = static_cast<double>(At(lastSecond - kSeconds + 1 + i));
    return values;
}

// --- TrafficTotals -----------------------------------------------------------------

void TrafficTotals::Row::AddRate(std::int64_t tsUs, std::uint64_t bytes)
{
    if (tsUs <= 0)
        return;
    if (!history)
        history = std::make_unique<RateHistory>();
    history->Add(SecondOf(tsUs), bytes);
}

TrafficTotals::TrafficTotals()
{
    programs_.emplace_back();  // 0: packets of no known program
    programIds_.insert(QString(), 0);
}

std::uint32_t TrafficTotals::ProgramRowOf(const QString& name)
{
    const auto it = programIds_.constFind(name);
    if (it != programIds_.cend())
        return it.value();
    const auto id = static_cast<std::uint32_t>(programs_.size());
    programs_.emplace_back().name = name;
    programIds_.insert(name, id);
    return id;
}

std::int32_t TrafficTotals::HostOf(std::string_view remote)
{
    if (remote.empty())
        return -1;
    const auto it = hostIds_.find(remote);
    if (it != hostIds_.end())
        return it->second;
    if (hosts_.size() >= kMaxHosts)
        return -1;
    const auto id = static_cast<std::int32_t>(hosts_.size());
    hosts_.emplace_back().address = std::string(remote);
    hostIds_.emplace(std::string(remote), id);
    return id;
}

void TrafficTotals::Credit(std::uint32_t program, std::int32_t host, std::uint64_t bytes)
{
    if (host < 0)
        return;
    auto& list = hosts_[static_cast<std::size_t>(host)].programs;
    const auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.first == program; });
    if (it != list.end())
        it->second += bytes;
    else
        list.emplace_back(program, bytes);
}

void TrafficTotals::Add(const AddressText* remote, std::uint64_t endpoint, bool sent, std::uint64_t bytes,
                        std::int64_t tsUs, const QString* owner)
{
    const std::uint64_t remoteKey = remote ? remote->bits() : 0;
    // Datagrams of one flow mostly come in runs: the last flow is kept at hand.
    if (!flows_.empty() && lastKey_ == FlowKey{remoteKey, endpoint})
        return Count(flows_[lastFlow_], sent, bytes, tsUs, owner);
    auto it = flowIds_.find(FlowKey{remoteKey, endpoint});
    if (it == flowIds_.end()) {
        if (flows_.size() >= kMaxFlows) {
            // Past the limit a packet counts for no host and no program.
            it = flowIds_.find(FlowKey{0, 0});
            remote = nullptr;
            endpoint = 0;
        }
        if (it == flowIds_.end()) {
            Flow flow;
            flow.endpoint = endpoint;
            flow.host = remote ? HostOf(remote->text().view()) : -1;
            it = flowIds_.emplace(FlowKey{remote ? remoteKey : 0, endpoint},
                                  static_cast<std::uint32_t>(flows_.size()))
                     .first;
            flows_.push_back(std::move(flow));
        }
    }
    lastFlow_ = it->second;
    lastKey_ = it->first;
    Count(flows_[lastFlow_], sent, bytes, tsUs, owner);
}

void TrafficTotals::Count(Flow& flow, bool sent, std::uint64_t bytes, std::int64_t tsUs, const QString* owner)
{
    newestUs_ = std::max(newestUs_, tsUs);
    changed_ = true;
    if (flow.host >= 0) {
        HostRow& host = hosts_[static_cast<std::size_t>(flow.host)];
        host.counts.Add(sent, bytes, tsUs);
        host.AddRate(tsUs, bytes);
    }
    if (flow.endpoint == 0 || owner) {
        // The program is known now: none, or the one the file names.
        const std::uint32_t program = owner ? ProgramRowOf(*owner) : 0;
        ProgramRow& row = programs_[program];
        row.counts.Add(sent, bytes, tsUs);
        row.AddRate(tsUs, bytes);
        Credit(program, flow.host, bytes);
        return;
    }
    flow.counts.Add(sent, bytes, tsUs);
    if (tsUs > 0) {
        const std::int64_t second = SecondOf(tsUs);
        if (flow.seconds.empty() || flow.seconds.back().first != second) {
            // Only five minutes are charted: older seconds need not wait for a fold.
            if (flow.seconds.size() >= RateHistory::kSeconds)
                flow.seconds.erase(flow.seconds.begin());
            flow.seconds.emplace_back(second, bytes);
        } else {
            flow.seconds.back().second += bytes;
        }
    }
    if (!flow.queued) {
        flow.queued = true;
        pending_.push_back(lastFlow_);
    }
}

void TrafficTotals::AwaitLookUp(std::int64_t seq)
{
    if (lastFlow_ < flows_.size() && flows_[lastFlow_].queued)
        flows_[lastFlow_].awaitSeq = seq;
}

bool TrafficTotals::Fold(const ProgramOwners& owners)
{
    std::size_t kept = 0;
    for (const std::uint32_t id : pending_) {
        Flow& flow = flows_[id];
        // Waits for the answer about its newest packet, unless nothing is
        // asked any more (an endpoint past the look-ups' limit is never).
        if (flow.awaitSeq > owners.AnsweredThrough() && (owners.Unanswered() || owners.HasPending())) {
            pending_[kept++] = id;
            continue;
        }
        const QString* owner = flow.awaitSeq != 0 ? owners.OwnerAt(flow.endpoint, flow.awaitSeq) : nullptr;
        const std::uint32_t program = owner && !owner->isEmpty() ? ProgramRowOf(*owner) : 0;
        ProgramRow& row = programs_[program];
        row.counts.Add(flow.counts);
        for (const auto& [second, bytes] : flow.seconds) {
            if (!row.history)
                row.history = std::make_unique<RateHistory>();
            row.history->Add(second, bytes);
        }
        Credit(program, flow.host, flow.counts.sentBytes + flow.counts.recvBytes);
        flow.counts = {};
        flow.seconds.clear();
        flow.awaitSeq = 0;
        flow.queued = false;
        changed_ = true;
    }
    pending_.resize(kept);
    const bool changed = changed_;
    changed_ = false;
    return changed;
}

// --- TotalsTableModel ------------------------------------------------------------------

namespace {

const char* const kProgramCaptions[] = {
    QT_TRANSLATE_NOOP("TotalsTableModel", "程序"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "发送包"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "接收包"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "发送字节"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "接收字节"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "速率"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "最近"),
};
const char* const kHostCaptions[] = {
    QT_TRANSLATE_NOOP("TotalsTableModel", "主机"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "名称"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "发送包"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "接收包"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "发送字节"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "接收字节"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "程序"),
    QT_TRANSLATE_NOOP("TotalsTableModel", "最近"),
};

}  // namespace

TotalsTableModel::TotalsTableModel(const TrafficTotals& totals, Kind kind, QObject* parent)
    : QAbstractTableModel(parent), totals_(totals), kind_(kind)
{
}

void TotalsTableModel::Refresh()
{
    const int rows = static_cast<int>(kind_ == Kind::Programs ? totals_.Programs().size() : totals_.Hosts().size());
    if (rows_ > 0)
        Q_EMIT dataChanged(index(0, 0), index(rows_ - 1, columnCount() - 1));
    if (rows > rows_) {
        beginInsertRows({}, rows_, rows - 1);
        rows_ = rows;
        endInsertRows();
    }
}

const TrafficTotals::Row& TotalsTableModel::RowAt(int row) const
{
    if (kind_ == Kind::Programs)
        return totals_.Programs()[static_cast<std::size_t>(row)];
    return totals_.Hosts()[static_cast<std::size_t>(row)];
}

const RateHistory* TotalsTableModel::HistoryOf(int row) const
{
    return row >= 0 && row < rows_ ? RowAt(row).history.get() : nullptr;
}

QString TotalsTableModel::AddressOf(int row) const
{
    if (kind_ != Kind::Hosts || row < 0 || row >= rows_)
        return {};
    return QString::fromStdString(totals_.Hosts()[static_cast<std::size_t>(row)].address);
}

int TotalsTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rows_;
}

int TotalsTableModel::columnCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return kind_ == Kind::Programs ? 7 : 8;
}

QVariant TotalsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount())
        return {};
    return QCoreApplication::translate("TotalsTableModel",
                                       kind_ == Kind::Programs ? kProgramCaptions[section] : kHostCaptions[section]);
}

QVariant TotalsTableModel::Cell(int row, int column, bool sort) const
{
    const TrafficTotals::Row& r = RowAt(row);
    const TrafficTotals::Counts& c = r.counts;
    // The columns both tables share, counted from "发送包".
    const int first = kind_ == Kind::Programs ? 1 : 2;
    const auto number = [&](std::uint64_t v) -> QVariant {
        return sort ? QVariant(static_cast<qulonglong>(v)) : QVariant(QString::number(v));
    };
    switch (column - first) {
    case 0: return number(c.sentPackets);
    case 1: return number(c.recvPackets);
    case 2: return number(c.sentBytes);
    case 3: return number(c.recvBytes);
    default: break;
    }
    const int last = columnCount() - 1;
    if (column == last) {
        if (sort)
            return static_cast<qlonglong>(c.lastUs);
        return c.lastUs != 0 && timeText ? timeText(c.lastUs) : QString();
    }
    if (kind_ == Kind::Programs) {
        if (column == 0)
            return totals_.Programs()[static_cast<std::size_t>(row)].name;
        // "速率": the bytes of the last whole second while capturing, else of
        // the newest packet's second.
        const std::int64_t second = nowUs > 0 ? nowUs / 1000000 - 1 : totals_.NewestUs() / 1000000;
        return number(r.history ? r.history->At(second) : 0);
    }
    const TrafficTotals::HostRow& host = totals_.Hosts()[static_cast<std::size_t>(row)];
    if (column == 0)
        return QString::fromStdString(host.address);
    if (column == 1)
        return hostName ? hostName(host.address) : QString();
    // "程序": the programs that talked to the host, most bytes first.
    auto list = host.programs;
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    QStringList names;
    for (const auto& [program, bytes] : list)
        if (const QString& name = totals_.Programs()[program].name; !name.isEmpty())
            names << name;
    return names.join(QStringLiteral(", "));
}

QVariant TotalsTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rows_ || (role != Qt::DisplayRole && role != kSortRole))
        return {};
    return Cell(index.row(), index.column(), role == kSortRole);
}

}  // namespace quillet
