#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include <QAbstractTableModel>

#include "core/ChunkedArray.h"
#include "ports/PortDatabases.h"
#include "views/ListRoles.h"
#include "views/PacketStore.h"

namespace quillet {

// The rows of the packet list lv: eight columns over records of the store.
// A row holds only the packet's sequence number, its image and how its port
// columns were named when it was made, so a row keeps its texts until the
// list is emptied, whatever the preferences say later. The port databases
// are read-only once rows exist.
//
// Rows are appended to a pending burst (append) and become visible to views
// in one insertion when the burst ends (endBurst); appending costs the same
// however long the list is.
//
// Roles: Qt::DisplayRole texts; kRowTagRole, kColumnTagRole, kImageRole,
// kSequenceRole (views/ListRoles.h); Qt::DecorationRole on column 0 through
// the decoration hook, which the widget layer sets to give icons.
class PacketListModel : public QAbstractTableModel {
public:
    PacketListModel(const PacketStore& store, const PortDatabases& ports, QObject* parent = nullptr);

    // Appends a row for packet seq. image: 4 or 12. bPorts/prefs: how the
    // port columns are named, fixed for this row.
    void append(std::int64_t seq, int image, bool bPorts, int prefs);
    // Appends rows for many packets at once, each value a sequence number
    // with kSentRow set for a row of image 4.
    static constexpr std::uint64_t kSentRow = std::uint64_t{1} << 63;
    void appendMany(std::span<const std::uint64_t> rows, bool bPorts, int prefs);
    // Makes the pending rows visible in one insertion. Returns the number of
    // rows inserted.
    int endBurst();
    // Removes every row (pending ones too).
    void clear();

    // Rows visible to views, and rows including the pending burst.
    int visibleRows() const { return visible_; }
    std::size_t totalRows() const { return rows_.size(); }
    // Drops rows appended since there were rows, as long as they are not
    // visible yet (a store that failed half way).
    void dropPending(std::size_t rows)
    {
        if (rows >= static_cast<std::size_t>(visible_) && rows < rows_.size())
            rows_.truncate(rows);
    }
    bool burstPending() const { return rows_.size() != static_cast<std::size_t>(visible_); }
    // Removes the rows from row on, visible or pending.
    void removeFrom(std::size_t row);
    // The first row whose packet is seq or later (rows are in the store's
    // order), totalRows() when none.
    std::size_t rowAtOrAfter(std::int64_t seq) const;

    // Per row, whatever its visibility.
    std::int64_t sequenceOf(std::size_t row) const { return static_cast<std::int64_t>(rows_[row] & kSeqMask); }
    int imageOf(std::size_t row) const { return (rows_[row] & kSentBit) ? 4 : 12; }
    const clV& recordOf(std::size_t row) const { return store_.at(sequenceOf(row)); }
    // The text a column of the row shows (UTF-8 or Latin-1 bytes as stored).
    QString text(std::size_t row, int column) const;

    // Icon for an image number, set by the widget layer; not set: no icon.
    std::function<QVariant(int image)> decoration;
    // The program column's text for a packet; not set: empty.
    std::function<QString(std::int64_t seq, const clV& record)> programText;

    // The program column changed for the packets from seq on: one change
    // notice for the visible rows showing them.
    void ProgramsChanged(std::int64_t seq);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The column captions, in column order.
    static QString Caption(int column);

private:
    // Bits of a row: sequence number, sent image, port naming (0 numbers,
    // 1 + prefs names).
    static constexpr std::uint64_t kSeqMask = (std::uint64_t{1} << 58) - 1;
    static constexpr std::uint64_t kSentBit = std::uint64_t{1} << 58;
    static constexpr unsigned kNamingShift = 59;

    QString portText(std::uint64_t row, std::string_view port) const;

    const PacketStore& store_;
    const PortDatabases& ports_;
    // One value per row, in blocks: growing never copies the rows.
    ChunkedArray<std::uint64_t> rows_;
    int visible_ = 0;
};

}  // namespace quillet
