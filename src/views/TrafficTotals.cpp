#include "views/TrafficTotals.h"

#include <algorithm>

#include <QCoreApplication>
#include <QStringList>

#include "core/ReadableNumbers.h"
#include "programs/ProgramOwners.h"

namespace quillet {

namespace {

std::int64_t SecondOf(std::int64_t tsUs)
{
    return tsUs >= 0 ? tsUs / 1000000 : (tsUs - 999999) / 1000000;
}

}  // namespace

// --- TrafficTotals -----------------------------------------------------------------

void TrafficTotals::Row::Add(bool sent, std::uint64_t bytes, std::int64_t tsUs)
{
    counts.Add(sent, bytes, tsUs);
    if (tsUs <= 0)
        return;
    const std::int64_t s = SecondOf(tsUs);
    if (s == second) {
        secondBytes += bytes;
        ++secondPackets;
        return;
    }
    if (secondPackets != 0) {
        if (!history)
            history = std::make_unique<RateHistory>();
        history->Add(second, secondBytes, secondPackets);
    }
    second = s;
    secondBytes = bytes;
    secondPackets = 1;
}

std::uint64_t TrafficTotals::Row::BytesAt(std::int64_t s) const
{
    return (s == second ? secondBytes : 0) + (history ? history->At(s) : 0);
}

std::vector<double> TrafficTotals::Row::Values(std::int64_t lastSecond, RateMeasure measure) const
{
    std::vector<double> values =
        history ? history->Values(lastSecond, measure) : std::vector<double>(RateHistory::kSeconds);
    if (second <= lastSecond && second > lastSecond - RateHistory::kSeconds)
        values[static_cast<std::size_t>(second - (lastSecond - RateHistory::kSeconds + 1))] +=
            static_cast<double>(measure == RateMeasure::Bytes ? secondBytes : secondPackets);
    return values;
}

std::vector<double> TrafficTotals::Row::SpanValues(std::int64_t first, std::int64_t step, std::size_t count,
                                                   RateMeasure measure) const
{
    std::vector<double> values(count);
    if (step < 1)
        return values;
    if (history)
        history->AddCoarse(first, step, measure, values);
    if (secondPackets != 0 && second >= first && static_cast<std::size_t>((second - first) / step) < count)
        values[static_cast<std::size_t>((second - first) / step)] +=
            static_cast<double>(measure == RateMeasure::Bytes ? secondBytes : secondPackets);
    for (double& v : values)
        v /= static_cast<double>(step);
    return values;
}

namespace {
constexpr unsigned kHostSlotBits = 10;
}

TrafficTotals::TrafficTotals()
    : hostSlots_(std::size_t{1} << kHostSlotBits), hostShift_(64 - kHostSlotBits)
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

std::uint32_t TrafficTotals::ProgramRowOf(std::uint32_t ownerId, const ProgramOwners& owners)
{
    if (ownerId == 0)
        return 0;
    if (ownerId >= ownerRows_.size())
        ownerRows_.resize(ownerId + 1, 0);
    std::uint32_t& row = ownerRows_[ownerId];
    if (row == 0)
        row = ProgramRowOf(owners.OwnerName(ownerId)) + 1;
    return row - 1;
}

std::int32_t TrafficTotals::HostOf(const AddressText& remote)
{
    const std::uint64_t bits = remote.bits();
    if (bits == lastBits_)
        return lastHost_;
    const auto slotOf = [&](std::uint64_t key) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> hostShift_);
    };
    std::size_t mask = hostSlots_.size() - 1;
    std::size_t i = slotOf(bits);
    for (; hostSlots_[i].bits != 0; i = (i + 1) & mask)
        if (hostSlots_[i].bits == bits) {
            lastBits_ = bits;
            return lastHost_ = hostSlots_[i].host;
        }
    if (bits == 0 || hosts_.size() >= kMaxHosts)
        return -1;
    if ((hosts_.size() + 1) * 2 > hostSlots_.size()) {
        std::vector<HostSlot> old(hostSlots_.size() * 2);
        old.swap(hostSlots_);
        --hostShift_;
        mask = hostSlots_.size() - 1;
        for (const HostSlot& slot : old) {
            if (slot.bits == 0)
                continue;
            std::size_t j = slotOf(slot.bits);
            while (hostSlots_[j].bits != 0)
                j = (j + 1) & mask;
            hostSlots_[j] = slot;
        }
        for (i = slotOf(bits); hostSlots_[i].bits != 0; i = (i + 1) & mask) {
        }
    }
    const auto id = static_cast<std::int32_t>(hosts_.size());
    hosts_.emplace_back().address = remote.str();
    hostSlots_[i] = {bits, id};
    lastBits_ = bits;
    return lastHost_ = id;
}

void TrafficTotals::Count(std::uint32_t program, std::int32_t host, bool sent, std::uint64_t bytes,
                          std::int64_t tsUs)
{
    programs_[program].Add(sent, bytes, tsUs);
    if (host < 0)
        return;
    auto& list = hosts_[static_cast<std::size_t>(host)].programs;
    const auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.first == program; });
    if (it != list.end())
        it->second += bytes;
    else
        list.emplace_back(program, bytes);
}

void TrafficTotals::Keep(const Row& row, std::int64_t tsUs, RowBefore& before, std::unique_ptr<RateHistory>& spare)
{
    before = {row.counts, row.second, row.secondBytes, row.secondPackets, row.history != nullptr, false};
    // Row::Add() folds the second it holds into the history when a packet of another comes.
    if (row.history && tsUs > 0 && row.secondPackets != 0 && SecondOf(tsUs) != row.second) {
        if (!spare)
            spare = std::make_unique<RateHistory>();
        *spare = *row.history;
        before.historySaved = true;
    }
}

void TrafficTotals::Restore(Row& row, const RowBefore& before, const std::unique_ptr<RateHistory>& spare) noexcept
{
    row.counts = before.counts;
    row.second = before.second;
    row.secondBytes = before.secondBytes;
    row.secondPackets = before.secondPackets;
    if (!before.hadHistory)
        row.history.reset();
    else if (before.historySaved)
        *row.history = *spare;
}

void TrafficTotals::Add(const AddressText* remote, bool hasEndpoint, bool sent, std::uint64_t bytes,
                        std::int64_t tsUs, const QString* owner)
{
    // Only what this packet may change is noted (nothing is cleared but the rows' marks).
    undo_.valid = true;
    undo_.host = -1;
    undo_.program = -1;
    undo_.changed = changed_;
    undo_.lastWaits = lastWaits_;
    undo_.newestUs = newestUs_;
    undo_.oldestUs = oldestUs_;
    undo_.lastBits = lastBits_;
    undo_.lastHost = lastHost_;
    undo_.hosts = hosts_.size();
    undo_.programs = programs_.size();
    undo_.waiting = waiting_.size();
    try {
        newestUs_ = std::max(newestUs_, tsUs);
        if (tsUs > 0 && (oldestUs_ == 0 || tsUs < oldestUs_))
            oldestUs_ = tsUs;
        changed_ = true;
        const std::int32_t host = remote ? HostOf(*remote) : -1;
        if (host >= 0) {
            Row& row = hosts_[static_cast<std::size_t>(host)];
            Keep(row, tsUs, undo_.hostRow, spare_[0]);
            undo_.host = host;
            row.Add(sent, bytes, tsUs);
        }
        lastWaits_ = hasEndpoint && !owner;
        if (lastWaits_) {
            waiting_.push_back({0, tsUs, host, ProgramOwners::kNoEntry,
                                static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, UINT32_MAX)), sent});
            return;
        }
        // The program is known now: none, or the one the file names.
        const std::uint32_t program = owner ? ProgramRowOf(*owner) : 0;
        Keep(programs_[program], tsUs, undo_.programRow, spare_[1]);
        undo_.program = program;
        if (host >= 0) {
            const auto& list = hosts_[static_cast<std::size_t>(host)].programs;
            undo_.hostPrograms = list.size();
            const auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.first == program; });
            undo_.hostProgram = it != list.end() ? it - list.begin() : -1;
            undo_.bytes = bytes;
        }
        Count(program, host, sent, bytes, tsUs);
    } catch (...) {
        TakeBackLast();
        throw;
    }
}

void TrafficTotals::TakeBackLast() noexcept
{
    if (!undo_.valid)
        return;
    const Undo& u = undo_;
    if (u.program >= 0) {
        Restore(programs_[static_cast<std::size_t>(u.program)], u.programRow, spare_[1]);
        if (u.host >= 0) {
            auto& list = hosts_[static_cast<std::size_t>(u.host)].programs;
            if (list.size() > u.hostPrograms)
                list.pop_back();
            else if (u.hostProgram >= 0)
                list[static_cast<std::size_t>(u.hostProgram)].second -= u.bytes;
        }
    }
    if (programs_.size() > u.programs) {
        programIds_.remove(programs_.back().name);
        programs_.pop_back();
    }
    if (u.host >= 0)
        Restore(hosts_[static_cast<std::size_t>(u.host)], u.hostRow, spare_[0]);
    // The newest host first: nothing made after it probed past its slot.
    while (hosts_.size() > u.hosts) {
        const auto id = static_cast<std::int32_t>(hosts_.size() - 1);
        for (HostSlot& slot : hostSlots_)
            if (slot.host == id && slot.bits != 0) {
                slot = HostSlot{};
                break;
            }
        hosts_.pop_back();
    }
    if (waiting_.size() > u.waiting)
        waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(u.waiting), waiting_.end());
    newestUs_ = u.newestUs;
    oldestUs_ = u.oldestUs;
    changed_ = u.changed;
    lastWaits_ = u.lastWaits;
    lastBits_ = u.lastBits;
    lastHost_ = u.lastHost;
    undo_.valid = false;
}

void TrafficTotals::AwaitLookUp(std::int64_t seq, std::uint32_t entry)
{
    if (lastWaits_) {
        waiting_.back().seq = seq;
        waiting_.back().entry = entry;
    }
}

void TrafficTotals::Settle(const ProgramOwners& owners)
{
    undo_.valid = false;  // the last packet stays
    // A packet waits for the answer about it, unless nothing is asked any
    // more (an endpoint past the look-ups' limit is never), or the queue is
    // past its limit.
    const bool asking = owners.Unanswered() || owners.HasPending();
    const std::int64_t answered = owners.AnsweredThrough();
    const std::size_t size = waiting_.size();
    const std::size_t over = size - waited_ > kMaxWaiting ? size - waited_ - kMaxWaiting : 0;
    std::size_t n = waited_;
    for (; n < size; ++n) {
        const Waiting& w = waiting_[n];
        if (n - waited_ >= over && asking && w.seq > answered)
            break;
        const std::uint32_t owner = w.seq != 0 ? owners.OwnerIdAt(w.entry, w.seq) : 0;
        Count(ProgramRowOf(owner, owners), w.host, w.sent, w.bytes, w.tsUs);
    }
    if (n == waited_)
        return;
    changed_ = true;
    waited_ = n;
    // The counted ones go when the queue empties or they are most of it:
    // a long queue is not moved for every burst.
    if (waited_ == size) {
        waiting_.clear();
        waited_ = 0;
        lastWaits_ = false;
    } else if (waited_ * 2 > size) {
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(waited_));
        waited_ = 0;
    }
}

bool TrafficTotals::Fold(const ProgramOwners& owners)
{
    Settle(owners);
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

std::vector<double> TotalsTableModel::RateOf(int row, std::int64_t lastSecond, RateMeasure measure) const
{
    if (row < 0 || row >= rows_)
        return std::vector<double>(RateHistory::kSeconds);
    return RowAt(row).Values(lastSecond, measure);
}

std::vector<double> TotalsTableModel::RateOver(int row, std::int64_t first, std::int64_t step, std::size_t count,
                                               RateMeasure measure) const
{
    if (row < 0 || row >= rows_)
        return std::vector<double>(count);
    return RowAt(row).SpanValues(first, step, count, measure);
}

std::int64_t TotalsTableModel::CoarseSecondsOf(int row) const
{
    return row < 0 || row >= rows_ ? kFirstCoarseSeconds : RowAt(row).CoarseSeconds();
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

TotalsTableModel::Column TotalsTableModel::ColumnKind(int column) const
{
    // The columns both tables share, counted from "发送包".
    const int first = kind_ == Kind::Programs ? 1 : 2;
    switch (column - first) {
    case 0:
    case 1: return Column::Count;
    case 2:
    case 3: return Column::Bytes;
    default: break;
    }
    if (column == columnCount() - 1)
        return Column::Time;
    return kind_ == Kind::Programs && column == 5 ? Column::Rate : Column::Text;
}

// A figure as a number (qulonglong), a time as its timestamp (qlonglong), a
// text as the text.
QVariant TotalsTableModel::Cell(int row, int column) const
{
    const TrafficTotals::Row& r = RowAt(row);
    const TrafficTotals::Counts& c = r.counts;
    const int first = kind_ == Kind::Programs ? 1 : 2;
    const auto number = [](std::uint64_t v) { return QVariant(static_cast<qulonglong>(v)); };
    switch (column - first) {
    case 0: return number(c.sentPackets);
    case 1: return number(c.recvPackets);
    case 2: return number(c.sentBytes);
    case 3: return number(c.recvBytes);
    default: break;
    }
    if (column == columnCount() - 1)
        return static_cast<qlonglong>(c.lastUs);
    if (kind_ == Kind::Programs) {
        if (column == 0)
            return totals_.Programs()[static_cast<std::size_t>(row)].name;
        // "速率": the bytes of the last whole second while capturing, else of
        // the newest packet's second.
        const std::int64_t second = nowUs > 0 ? nowUs / 1000000 - 1 : totals_.NewestUs() / 1000000;
        return number(r.BytesAt(second));
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
    if (!index.isValid() || index.row() >= rows_)
        return {};
    const Column kind = ColumnKind(index.column());
    if (role == Qt::TextAlignmentRole)
        return kind == Column::Text ? QVariant() : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != kSortRole)
        return {};
    const QVariant value = Cell(index.row(), index.column());
    if (role == kSortRole || kind == Column::Text)
        return role == Qt::ToolTipRole ? QVariant() : value;
    const auto text = [](const std::string& t) { return QString::fromStdString(t); };
    const std::uint64_t n = value.toULongLong();
    switch (kind) {
    case Column::Count: return role == Qt::DisplayRole ? text(GroupedCount(n)) : QVariant();
    case Column::Bytes: return text(role == Qt::DisplayRole ? ByteSizeText(n) : ExactBytesText(n));
    case Column::Rate: return text(role == Qt::DisplayRole ? ByteRateText(n) : ExactRateText(n));
    case Column::Time: {
        const qlonglong us = value.toLongLong();
        return role == Qt::DisplayRole && us != 0 && timeText ? timeText(us) : QVariant();
    }
    case Column::Text: break;
    }
    return {};
}

}  // namespace quillet
