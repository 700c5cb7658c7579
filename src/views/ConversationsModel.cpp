#include "views/ConversationsModel.h"

#include <QCoreApplication>

#include "core/ReadableNumbers.h"

namespace quillet {

namespace {

const char* const kCaptions[] = {
    QT_TRANSLATE_NOOP("ConversationsModel", "协议"),     QT_TRANSLATE_NOOP("ConversationsModel", "流"),
    QT_TRANSLATE_NOOP("ConversationsModel", "地址 A"),   QT_TRANSLATE_NOOP("ConversationsModel", "端口 A"),
    QT_TRANSLATE_NOOP("ConversationsModel", "地址 B"),   QT_TRANSLATE_NOOP("ConversationsModel", "端口 B"),
    QT_TRANSLATE_NOOP("ConversationsModel", "A→B 包"),   QT_TRANSLATE_NOOP("ConversationsModel", "A→B 字节"),
    QT_TRANSLATE_NOOP("ConversationsModel", "B→A 包"),   QT_TRANSLATE_NOOP("ConversationsModel", "B→A 字节"),
    QT_TRANSLATE_NOOP("ConversationsModel", "开始"),     QT_TRANSLATE_NOOP("ConversationsModel", "时长"),
    QT_TRANSLATE_NOOP("ConversationsModel", "程序"),     QT_TRANSLATE_NOOP("ConversationsModel", "往返"),
};
static_assert(sizeof kCaptions / sizeof kCaptions[0] == ConversationsModel::kColumns);

QString Text(const std::string& s)
{
    return QString::fromStdString(s);
}

QString Tr(const char* text)
{
    return QCoreApplication::translate("ConversationsModel", text);
}

}  // namespace

ConversationsModel::ConversationsModel(const Conversations& conversations, QObject* parent)
    : QAbstractTableModel(parent), conversations_(conversations)
{
}

bool ConversationsModel::IsText(int column)
{
    return column == kProtocol || column == kAddressA || column == kAddressB || column == kProgram;
}

void ConversationsModel::Refresh()
{
    ++refreshes_;
    // Past kMaxRows the oldest rows leave for the newest conversations.
    const std::size_t total = conversations_.size();
    const auto first = static_cast<std::uint32_t>(total - std::min<std::size_t>(total, kMaxRows));
    if (first > first_ && rows_ > 0) {
        const int leaving = static_cast<int>(std::min<std::size_t>(first - first_, static_cast<std::size_t>(rows_)));
        beginRemoveRows({}, 0, leaving - 1);
        programs_.erase(programs_.begin(), programs_.begin() + leaving);
        askedAt_.erase(askedAt_.begin(), askedAt_.begin() + leaving);
        rows_ -= leaving;
        first_ += static_cast<std::uint32_t>(leaving);
        endRemoveRows();
    }
    if (rows_ == 0)
        first_ = first;
    // Runs of rows whose conversations had packets since the last refresh.
    std::int64_t newest = refreshedSeq_;
    int runFrom = -1;
    const auto endRun = [&](int end) {
        if (runFrom >= 0)
            Q_EMIT dataChanged(index(runFrom, 0), index(end - 1, kColumns - 1));
        runFrom = -1;
    };
    bool unknownProgram = false;
    for (int row = 0; row < rows_; ++row) {
        const std::int64_t last = conversations_.LastPacketOf(ConversationAt(row));
        newest = std::max(newest, last);
        unknownProgram |= programs_[static_cast<std::size_t>(row)].isEmpty();
        if (last > refreshedSeq_) {
            if (runFrom < 0)
                runFrom = row;
        } else {
            endRun(row);
        }
    }
    endRun(rows_);
    // Programs answered since: the column again, for the rows still without one.
    if (unknownProgram && rows_ > 0)
        Q_EMIT dataChanged(index(0, kProgram), index(rows_ - 1, kProgram));
    const int rows = static_cast<int>(total - first_);
    if (rows > rows_) {
        beginInsertRows({}, rows_, rows - 1);
        programs_.resize(static_cast<std::size_t>(rows));
        askedAt_.resize(static_cast<std::size_t>(rows), 0);
        for (int row = rows_; row < rows; ++row)
            newest = std::max(newest, conversations_.LastPacketOf(ConversationAt(row)));
        rows_ = rows;
        endInsertRows();
    }
    refreshedSeq_ = newest;
}

const QString& ConversationsModel::ProgramAt(int row) const
{
    const auto i = static_cast<std::size_t>(row);
    if (programs_[i].isEmpty() && askedAt_[i] != refreshes_ && programOf) {
        askedAt_[i] = refreshes_;
        programs_[i] = programOf(conversations_.FirstPacketOf(ConversationAt(row)));
    }
    return programs_[i];
}

int ConversationsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rows_;
}

int ConversationsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant ConversationsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
        return {};
    return Tr(kCaptions[section]);
}

QVariant ConversationsModel::Display(const Conversations::Conversation& c, int row, int column) const
{
    const auto address = [&](const AddressText& a) {
        const auto text = a.text();
        QString shown = QString::fromUtf8(text.view().data(), static_cast<qsizetype>(text.view().size()));
        if (const QString name = hostName ? hostName(a) : QString(); !name.isEmpty())
            shown = QStringLiteral("%1 (%2)").arg(shown, name);
        return shown;
    };
    switch (column) {
    case kProtocol: return c.protocol == 6 ? QStringLiteral("TCP") : QStringLiteral("UDP");
    case kStream: return Text(GroupedCount(c.stream));
    case kAddressA: return address(c.addrA);
    case kPortA: return QString::number(c.portA);
    case kAddressB: return address(c.addrB);
    case kPortB: return QString::number(c.portB);
    case kPacketsAB: return Text(GroupedCount(c.packets[0]));
    case kBytesAB: return Text(ByteSizeText(c.bytes[0]));
    case kPacketsBA: return Text(GroupedCount(c.packets[1]));
    case kBytesBA: return Text(ByteSizeText(c.bytes[1]));
    case kStart: return c.firstUs != 0 && timeText ? timeText(c.firstUs) : QString();
    case kDuration: return Text(DurationText(c.lastUs - c.firstUs));
    case kProgram: return ProgramAt(row);
    case kRoundTrip: return RoundTripText(c);
    default: return {};
    }
}

QVariant ConversationsModel::Sort(const Conversations::Conversation& c, int row, int column) const
{
    const auto number = [](std::uint64_t v) { return QVariant(static_cast<qulonglong>(v)); };
    switch (column) {
    case kStream: return number(c.stream);
    case kPortA: return number(c.portA);
    case kPortB: return number(c.portB);
    case kPacketsAB: return number(c.packets[0]);
    case kBytesAB: return number(c.bytes[0]);
    case kPacketsBA: return number(c.packets[1]);
    case kBytesBA: return number(c.bytes[1]);
    case kStart: return static_cast<qlonglong>(c.firstUs);
    case kDuration: return static_cast<qlonglong>(c.lastUs - c.firstUs);
    case kRoundTrip: return static_cast<qlonglong>(c.RoundTripUs());
    default: return Display(c, row, column);
    }
}

QString ConversationsModel::Tip(const Conversations::Conversation& c, int column) const
{
    switch (column) {
    case kBytesAB: return Text(ExactBytesText(c.bytes[0]));
    case kBytesBA: return Text(ExactBytesText(c.bytes[1]));
    case kDuration: return Text(ExactDurationText(c.lastUs - c.firstUs));
    case kRoundTrip: return RoundTripTip(c);
    default: return {};
    }
}

QString ConversationsModel::RoundTripText(const Conversations::Conversation& c)
{
    return Text(DurationText(c.RoundTripUs()));
}

QString ConversationsModel::RoundTripTip(const Conversations::Conversation& c)
{
    if (c.synToSynAckUs >= 0 && c.synAckToAckUs >= 0)
        return Tr("SYN 到 SYN/ACK：%1\nSYN/ACK 到 ACK：%2")
            .arg(Text(ExactDurationText(c.synToSynAckUs)), Text(ExactDurationText(c.synAckToAckUs)));
    if (c.dnsAnswerUs >= 0)
        return Tr("查询到应答：%1").arg(Text(ExactDurationText(c.dnsAnswerUs)));
    return {};
}

QVariant ConversationsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rows_ || index.column() >= kColumns)
        return {};
    const int column = index.column();
    const Conversations::Conversation& c = conversations_.At(ConversationAt(index.row()));
    switch (role) {
    case Qt::TextAlignmentRole:
        return IsText(column) ? QVariant() : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::DisplayRole: return Display(c, index.row(), column);
    case Qt::ToolTipRole: {
        const QString tip = Tip(c, column);
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    case kSortRole: return Sort(c, index.row(), column);
    default: return {};
    }
}

}  // namespace quillet
