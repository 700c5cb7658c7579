#include "views/PacketListModel.h"

#include <QCoreApplication>

#include <array>

namespace quillet {

namespace {

QString FromLatin1(std::string_view s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

QString FromUtf8(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

PacketListModel::PacketListModel(const PacketStore& store, const PortDatabases& ports, QObject* parent)
    : QAbstractTableModel(parent), store_(store), ports_(ports)
{
}

QString PacketListModel::Caption(int column)
{
    static const std::array<const char*, kColumnCount> captions = {
        QT_TRANSLATE_NOOP("PacketListModel", "协议"),     QT_TRANSLATE_NOOP("PacketListModel", "原址"),
        QT_TRANSLATE_NOOP("PacketListModel", "目标地址"), QT_TRANSLATE_NOOP("PacketListModel", "源端口"),
        QT_TRANSLATE_NOOP("PacketListModel", "目标端口"), QT_TRANSLATE_NOOP("PacketListModel", "字节数"),
        QT_TRANSLATE_NOOP("PacketListModel", "时间"),     QT_TRANSLATE_NOOP("PacketListModel", "程序"),
    };
    return column >= 0 && column < kColumnCount
               ? QCoreApplication::translate("PacketListModel", captions[static_cast<std::size_t>(column)])
               : QString();
}

void PacketListModel::append(std::int64_t seq, int image, bool bPorts, int prefs)
{
    std::uint64_t row = static_cast<std::uint64_t>(seq) & kSeqMask;
    if (image == 4)
        row |= kSentBit;
    if (bPorts)
        row |= static_cast<std::uint64_t>(1 + (prefs & 3)) << kNamingShift;
    rows_.push_back(row);
}

void PacketListModel::appendMany(std::span<const std::uint64_t> rows, bool bPorts, int prefs)
{
    const std::uint64_t naming = bPorts ? static_cast<std::uint64_t>(1 + (prefs & 3)) << kNamingShift : 0;
    static_assert(kSentRow >> 5 == kSentBit);
    rows_.append(rows.size(), [&](std::size_t i) {
        const std::uint64_t value = rows[i];
        return (value & kSeqMask) | ((value & kSentRow) >> 5) | naming;
    });
}

int PacketListModel::endBurst()
{
    const int total = static_cast<int>(rows_.size());
    if (total == visible_)
        return 0;
    const int first = visible_;
    beginInsertRows(QModelIndex(), first, total - 1);
    visible_ = total;
    endInsertRows();
    return total - first;
}

void PacketListModel::clear()
{
    beginResetModel();
    rows_.clear();
    visible_ = 0;
    endResetModel();
}

void PacketListModel::removeFrom(std::size_t row)
{
    if (row >= rows_.size())
        return;
    if (row >= static_cast<std::size_t>(visible_)) {
        rows_.truncate(row);
        return;
    }
    beginRemoveRows(QModelIndex(), static_cast<int>(row), visible_ - 1);
    rows_.truncate(row);
    visible_ = static_cast<int>(row);
    endRemoveRows();
}

std::size_t PacketListModel::rowAtOrAfter(std::int64_t seq) const
{
    std::size_t low = 0;
    std::size_t high = rows_.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (sequenceOf(mid) < seq)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

void PacketListModel::ProgramsChanged(std::int64_t seq)
{
    const std::size_t low = rowAtOrAfter(seq);
    if (low < static_cast<std::size_t>(visible_))
        emit dataChanged(index(static_cast<int>(low), kColProgram), index(visible_ - 1, kColProgram),
                         {Qt::DisplayRole});
}

QString PacketListModel::portText(std::uint64_t row, std::string_view port) const
{
    const auto naming = static_cast<int>(row >> kNamingShift);
    if (naming == 0)
        return FromLatin1(port);
    return FromUtf8(ports_.PortText(port, naming - 1));
}

QString PacketListModel::text(std::size_t row, int column) const
{
    const std::uint64_t bits = rows_[row];
    const clV& r = store_.at(static_cast<std::int64_t>(bits & kSeqMask));
    switch (column) {
    case kColProtocol:
        return FromLatin1(r.mProtocol.text());
    case kColSrcAddr:
        return FromLatin1(r.mSrcAddr.text());
    case kColDestAddr:
        return FromLatin1(r.mDestAddr.text());
    case kColSrcPort:
        return portText(bits, r.mSrcPort.text());
    case kColDestPort:
        return portText(bits, r.mDestPort.text());
    case kColSize:
        return FromLatin1(r.mSize.text());
    case kColTime:
        return FromUtf8(r.mHora.text());
    case kColProgram:
        return programText ? programText(static_cast<std::int64_t>(bits & kSeqMask), r) : QString();
    default:
        return {};
    }
}

int PacketListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : visible_;
}

int PacketListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant PacketListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= visible_ || index.column() >= kColumnCount)
        return {};
    const auto row = static_cast<std::size_t>(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return text(row, index.column());
    case Qt::DecorationRole:
        if (index.column() == kColProtocol && decoration)
            return decoration(imageOf(row));
        return {};
    case kImageRole:
        return index.column() == kColProtocol ? QVariant(imageOf(row)) : QVariant();
    case kRowTagRole: {
        const std::string data = store_.PayloadOf(recordOf(row));
        return QByteArray(data.data(), static_cast<qsizetype>(data.size()));
    }
    case kColumnTagRole:
        if (index.column() == kColSrcPort)
            return FromLatin1(recordOf(row).mSrcPort.text());
        if (index.column() == kColDestPort)
            return FromLatin1(recordOf(row).mDestPort.text());
        return {};
    case kSequenceRole:
        return QVariant(static_cast<qlonglong>(sequenceOf(row)));
    default:
        return {};
    }
}

QVariant PacketListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return Caption(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

}  // namespace quillet
