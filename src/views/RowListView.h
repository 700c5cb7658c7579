#pragma once

#include <cstdint>

#include <QAbstractItemView>

class QHeaderView;

namespace quillet {

// A list of rows of one height under a header of columns, over any table
// model. Where a row is follows from its number alone: row r starts at
// r * rowHeight() - verticalOffset() in the viewport, so the view keeps
// nothing per row and costs the same at ten rows as at ten million. The
// vertical scroll bar counts rows (its value is the top row); the
// horizontal one counts pixels. Only the rows in sight are painted, each
// cell by the item delegate.
//
// Selection goes by whole rows. The keys move the current row: Up, Down,
// PageUp, PageDown by the rows that fit in the viewport, Home and End to
// the first and the last row; Left and Right move along the row from
// column to column.
class RowListView : public QAbstractItemView {
    Q_OBJECT

public:
    explicit RowListView(QWidget* parent = nullptr);
    ~RowListView() override;

    void setModel(QAbstractItemModel* model) override;

    QHeaderView* horizontalHeader() const { return header_; }
    int rowHeight() const { return rowHeight_; }
    void setRowHeight(int pixels);
    int columnWidth(int column) const;
    void setColumnWidth(int column, int pixels);
    // The row under viewport height y, -1 when none.
    int rowAt(int y) const;
    // The rows that fit whole in the viewport (at least 1).
    int rowsPerPage() const;

    QModelIndex indexAt(const QPoint& point) const override;
    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    void reset() override;
    // Typing goes to the next row whose text in the current column starts
    // with what was typed, looking at most kSearchSpan rows on (wrapping),
    // so a key press costs the same at any row count.
    void keyboardSearch(const QString& search) override;
    static constexpr int kSearchSpan = 4096;

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& index) const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;

private:
    int rowCount() const;
    int topRow() const;
    // Viewport y of a row's top, clamped to a few rows beyond the viewport
    // either way (far rows are out of sight whatever their distance).
    int rowTop(int row) const;
    // The next column shown after (step 1) or before (step -1) the visual
    // position, or -1 at the end of the row.
    int stepColumn(int column, int step) const;
    void rowsGone();
    // Fits a column to its caption and the rows in sight.
    void fitColumn(int column);

    QHeaderView* header_ = nullptr;
    int rowHeight_ = 18;
    bool inGeometries_ = false;
    QString typed_;
    qint64 typedAt_ = 0;
};

}  // namespace quillet
