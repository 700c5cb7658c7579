#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include <QAbstractTableModel>
#include <QString>

#include "views/Conversations.h"

namespace quillet {

// lvConversations: one row per conversation, the newest kMaxRows of them
// in the order they began (past kMaxRows the oldest rows leave as new ones
// come). Refresh() tells views about rows removed, rows added and rows
// whose conversations had packets since the last call, so a refresh costs
// what changed, and at most kMaxRows rows. The roles are those of
// TotalsTableModel: Qt::DisplayRole readable, Qt::ToolTipRole the exact
// figure (the handshake's two parts for a TCP round trip),
// Qt::TextAlignmentRole figures on the right, kSortRole numbers as numbers.
class ConversationsModel : public QAbstractTableModel {
public:
    static constexpr int kSortRole = Qt::UserRole + 1;
    static constexpr int kMaxRows = 20000;
    enum Column {
        kProtocol, kStream, kAddressA, kPortA, kAddressB, kPortB, kPacketsAB, kBytesAB, kPacketsBA, kBytesBA,
        kStart, kDuration, kProgram, kRoundTrip, kColumns
    };

    explicit ConversationsModel(const Conversations& conversations, QObject* parent = nullptr);

    // The name shown for an address (empty: none); the time text of a
    // timestamp; the program column's text of a stored packet.
    std::function<QString(const AddressText& address)> hostName;
    std::function<QString(std::int64_t tsUs)> timeText;
    std::function<QString(std::int64_t seq)> programOf;

    void Refresh();
    // Conversations not shown for the cap: the oldest.
    std::size_t Hidden() const { return conversations_.size() - static_cast<std::size_t>(rows_); }
    // The conversation (Conversations::At) of a row.
    std::uint32_t ConversationAt(int row) const { return first_ + static_cast<std::uint32_t>(row); }
    // Whether a column holds free text (left-aligned, not a figure).
    static bool IsText(int column);
    // The round trip column's text and tool tip (the handshake's two parts,
    // or the DNS answer's time); empty where none was seen.
    static QString RoundTripText(const Conversations::Conversation& c);
    static QString RoundTripTip(const Conversations::Conversation& c);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QVariant Display(const Conversations::Conversation& c, int row, int column) const;
    QVariant Sort(const Conversations::Conversation& c, int row, int column) const;
    QString Tip(const Conversations::Conversation& c, int column) const;
    const QString& ProgramAt(int row) const;

    const Conversations& conversations_;
    std::uint32_t first_ = 0;  // the conversation of row 0
    int rows_ = 0;
    std::int64_t refreshedSeq_ = 0;  // packets up to this one are shown
    // The program of each row once known; an unknown one is asked again
    // once each refresh.
    mutable std::deque<QString> programs_;
    mutable std::deque<std::uint32_t> askedAt_;
    std::uint32_t refreshes_ = 1;
};

}  // namespace quillet
