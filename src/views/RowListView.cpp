#include "views/RowListView.h"

#include <algorithm>
#include <limits>

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

namespace quillet {

namespace {

// Viewport coordinates are kept within this, so that no sum overflows.
constexpr std::int64_t kFar = std::int64_t{1} << 30;

int ClampFar(std::int64_t v)
{
    return static_cast<int>(std::clamp(v, -kFar, kFar));
}

// Floor division, for heights above the viewport.
int FloorDiv(int a, int b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

}  // namespace

RowListView::RowListView(QWidget* parent) : QAbstractItemView(parent), header_(new QHeaderView(Qt::Horizontal, this))
{
    header_->setSectionsClickable(true);
    setSelectionBehavior(SelectRows);
    setSelectionMode(SingleSelection);
    setVerticalScrollMode(ScrollPerItem);
    setHorizontalScrollMode(ScrollPerPixel);
    connect(header_, &QHeaderView::sectionResized, this, [this] {
        updateGeometries();
        viewport()->update();
    });
    connect(header_, &QHeaderView::sectionMoved, viewport(), qOverload<>(&QWidget::update));
    connect(header_, &QHeaderView::sectionCountChanged, this, [this] {
        updateGeometries();
        viewport()->update();
    });
    connect(header_, &QHeaderView::geometriesChanged, this, &RowListView::updateGeometries);
    connect(header_, &QHeaderView::sectionHandleDoubleClicked, this, &RowListView::fitColumn);
}

RowListView::~RowListView() = default;

void RowListView::setModel(QAbstractItemModel* newModel)
{
    if (QAbstractItemModel* old = model())
        disconnect(old, nullptr, this, nullptr);
    QAbstractItemView::setModel(newModel);
    header_->setModel(newModel);
    if (newModel) {
        connect(newModel, &QAbstractItemModel::rowsRemoved, this, &RowListView::rowsGone);
        connect(newModel, &QAbstractItemModel::layoutChanged, this, &RowListView::rowsGone);
    }
    updateGeometries();
}

void RowListView::setRowHeight(int pixels)
{
    rowHeight_ = std::max(1, pixels);
    updateGeometries();
    viewport()->update();
}

int RowListView::columnWidth(int column) const
{
    return header_->sectionSize(column);
}

void RowListView::setColumnWidth(int column, int pixels)
{
    header_->resizeSection(column, pixels);
}

int RowListView::rowCount() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int RowListView::topRow() const
{
    return verticalScrollBar()->value();
}

int RowListView::rowsPerPage() const
{
    return std::max(1, viewport()->height() / rowHeight_);
}

int RowListView::rowTop(int row) const
{
    return ClampFar((static_cast<std::int64_t>(row) - topRow()) * rowHeight_);
}

int RowListView::rowAt(int y) const
{
    const std::int64_t row = static_cast<std::int64_t>(topRow()) + FloorDiv(y, rowHeight_);
    return row >= 0 && row < rowCount() ? static_cast<int>(row) : -1;
}

QModelIndex RowListView::indexAt(const QPoint& point) const
{
    const int row = rowAt(point.y());
    const int column = header_->logicalIndexAt(point.x());
    if (row < 0 || column < 0)
        return {};
    return model()->index(row, column, rootIndex());
}

QRect RowListView::visualRect(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != model() || index.parent() != rootIndex() ||
        isIndexHidden(index))
        return {};
    return QRect(header_->sectionViewportPosition(index.column()), rowTop(index.row()),
                 header_->sectionSize(index.column()), rowHeight_);
}

int RowListView::horizontalOffset() const
{
    return horizontalScrollBar()->value();
}

int RowListView::verticalOffset() const
{
    return ClampFar(static_cast<std::int64_t>(topRow()) * rowHeight_);
}

bool RowListView::isIndexHidden(const QModelIndex& index) const
{
    return header_->isSectionHidden(index.column());
}

void RowListView::scrollTo(const QModelIndex& index, ScrollHint hint)
{
    if (!index.isValid() || index.model() != model() || index.parent() != rootIndex())
        return;
    const int row = index.row();
    const int page = rowsPerPage();
    int top = topRow();
    switch (hint) {
    case EnsureVisible:
        if (row < top)
            top = row;
        else if (row >= top + page)
            top = row - page + 1;
        break;
    case PositionAtTop:
        top = row;
        break;
    case PositionAtBottom:
        top = row - page + 1;
        break;
    case PositionAtCenter:
        top = row - page / 2;
        break;
    }
    verticalScrollBar()->setValue(top);

    if (isIndexHidden(index))
        return;
    const int left = header_->sectionPosition(index.column());
    const int right = left + header_->sectionSize(index.column());
    const int shown = horizontalScrollBar()->value();
    if (left < shown)
        horizontalScrollBar()->setValue(left);
    else if (right > shown + viewport()->width())
        horizontalScrollBar()->setValue(std::min(left, right - viewport()->width()));
}

int RowListView::stepColumn(int column, int step) const
{
    for (int v = header_->visualIndex(column) + step; v >= 0 && v < header_->count(); v += step) {
        const int logical = header_->logicalIndex(v);
        if (!header_->isSectionHidden(logical))
            return logical;
    }
    return -1;
}

QModelIndex RowListView::moveCursor(CursorAction action, Qt::KeyboardModifiers /*modifiers*/)
{
    const int rows = rowCount();
    if (rows == 0 || header_->count() == 0)
        return {};
    const QModelIndex current = currentIndex();
    if (!current.isValid()) {
        const int first = stepColumn(-1, 1);
        return first < 0 ? QModelIndex() : model()->index(0, first, rootIndex());
    }
    int row = current.row();
    int column = current.column();
    switch (action) {
    case MoveUp:
        row = std::max(0, row - 1);
        break;
    case MoveDown:
        row = std::min(rows - 1, row + 1);
        break;
    case MovePageUp:
        row = std::max(0, row - rowsPerPage());
        break;
    case MovePageDown:
        row = static_cast<int>(std::min<std::int64_t>(rows - 1, std::int64_t{row} + rowsPerPage()));
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = rows - 1;
        break;
    case MoveLeft:
    case MovePrevious:
        if (const int c = stepColumn(column, -1); c >= 0)
            column = c;
        break;
    case MoveRight:
    case MoveNext:
        if (const int c = stepColumn(column, 1); c >= 0)
            column = c;
        break;
    }
    return model()->index(row, column, rootIndex());
}

void RowListView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command)
{
    if (!selectionModel() || !model())
        return;
    const QRect r = rect.normalized();
    const QModelIndex from = indexAt(r.topLeft());
    const QModelIndex to = indexAt(r.bottomRight());
    const int columns = model()->columnCount(rootIndex());
    if (!from.isValid() || !to.isValid() || columns == 0)
        return;
    const QModelIndex root = rootIndex();
    const QItemSelection rows(model()->index(from.row(), 0, root), model()->index(to.row(), columns - 1, root));
    selectionModel()->select(rows, command);
}

QRegion RowListView::visualRegionForSelection(const QItemSelection& selection) const
{
    // Only the rows in sight (and one partly in sight at the foot) matter.
    const int first = topRow();
    const int last = first + rowsPerPage();
    QRegion region;
    for (const QItemSelectionRange& range : selection) {
        if (range.parent() != rootIndex() || !range.isValid())
            continue;
        const int top = std::max(range.top(), first);
        const int bottom = std::min(range.bottom(), last);
        if (top > bottom)
            continue;
        int left = std::numeric_limits<int>::max();
        int right = std::numeric_limits<int>::min();
        for (int c = range.left(); c <= range.right(); ++c) {
            if (header_->isSectionHidden(c))
                continue;
            const int x = header_->sectionViewportPosition(c);
            left = std::min(left, x);
            right = std::max(right, x + header_->sectionSize(c));
        }
        if (left < right)
            region += QRect(left, rowTop(top), right - left, (bottom - top + 1) * rowHeight_);
    }
    return region;
}

void RowListView::updateGeometries()
{
    if (inGeometries_)
        return;
    inGeometries_ = true;
    const int headerHeight =
        header_->isHidden()
            ? 0
            : std::clamp(header_->sizeHint().height(), header_->minimumHeight(), header_->maximumHeight());
    setViewportMargins(0, headerHeight, 0, 0);
    const QRect area = viewport()->geometry();
    header_->setGeometry(area.left(), area.top() - headerHeight, area.width(), headerHeight);

    const int page = rowsPerPage();
    QScrollBar* rows = verticalScrollBar();
    rows->setSingleStep(1);
    rows->setPageStep(page);
    rows->setRange(0, std::max(0, rowCount() - page));

    QScrollBar* pixels = horizontalScrollBar();
    const int width = viewport()->width();
    pixels->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
    pixels->setPageStep(std::max(1, width));
    pixels->setRange(0, std::max(0, header_->length() - width));
    inGeometries_ = false;
    QAbstractItemView::updateGeometries();
}

void RowListView::scrollContentsBy(int dx, int dy)
{
    if (dx)
        header_->setOffset(horizontalScrollBar()->value());
    const std::int64_t pixelsY = static_cast<std::int64_t>(dy) * rowHeight_;
    if (std::abs(pixelsY) >= viewport()->height() || std::abs(dx) >= viewport()->width())
        viewport()->update();
    else
        viewport()->scroll(dx, static_cast<int>(pixelsY));
}

void RowListView::rowsInserted(const QModelIndex& parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    if (parent != rootIndex())
        return;
    updateGeometries();
    // Rows appended below the rows in sight change nothing painted.
    if (start <= topRow() + rowsPerPage())
        viewport()->update();
}

void RowListView::rowsGone()
{
    updateGeometries();
    viewport()->update();
}

void RowListView::reset()
{
    QAbstractItemView::reset();
    rowsGone();
}

void RowListView::fitColumn(int column)
{
    if (!model())
        return;
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    int width = header_->sectionSizeHint(column);
    const int rows = rowCount();
    const int last = std::min(rows - 1, topRow() + rowsPerPage());
    for (int row = topRow(); row <= last; ++row) {
        const QModelIndex index = model()->index(row, column, rootIndex());
        width = std::max(width, itemDelegateForIndex(index)->sizeHint(option, index).width());
    }
    setColumnWidth(column, width);
}

void RowListView::paintEvent(QPaintEvent* event)
{
    const int rows = rowCount();
    if (rows == 0 || header_->count() == 0)
        return;
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QStyle::State state = option.state;
    const QRect area = event->rect();
    const int first = rowAt(std::max(0, area.top()));
    if (first < 0)
        return;
    const int bottom = rowAt(area.bottom());
    const int last = bottom < 0 ? rows - 1 : bottom;
    int firstColumn = header_->visualIndexAt(area.left());
    int lastColumn = header_->visualIndexAt(area.right());
    if (firstColumn < 0)
        firstColumn = 0;
    if (lastColumn < 0)
        lastColumn = header_->count() - 1;
    const QModelIndex current = currentIndex();
    const bool focused = hasFocus();
    const QItemSelectionModel* selection = selectionModel();
    const QModelIndex root = rootIndex();

    for (int row = first; row <= last; ++row) {
        const int y = rowTop(row);
        for (int v = firstColumn; v <= lastColumn; ++v) {
            const int column = header_->logicalIndex(v);
            if (header_->isSectionHidden(column))
                continue;
            const QModelIndex index = model()->index(row, column, root);
            option.rect = QRect(header_->sectionViewportPosition(column), y, header_->sectionSize(column), rowHeight_);
            option.state = state;
            if (selection && selection->isSelected(index))
                option.state |= QStyle::State_Selected;
            if (focused && index == current)
                option.state |= QStyle::State_HasFocus;
            if (!(model()->flags(index) & Qt::ItemIsEnabled))
                option.state &= ~QStyle::State_Enabled;
            itemDelegateForIndex(index)->paint(&painter, option, index);
        }
    }
}

void RowListView::keyboardSearch(const QString& search)
{
    const int rows = rowCount();
    if (!model() || rows == 0 || search.isEmpty())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const bool goOn = now - typedAt_ < QApplication::keyboardInputInterval();
    typedAt_ = now;
    typed_ = goOn ? typed_ + search : search;
    const QModelIndex current = currentIndex();
    const int column = current.isValid() ? current.column() : 0;
    // A new search starts after the current row; a growing one at it.
    int row = current.isValid() ? current.row() + (goOn ? 0 : 1) : 0;
    const int span = std::min(rows, kSearchSpan);
    for (int n = 0; n < span; ++n, ++row) {
        if (row >= rows)
            row = 0;
        const QModelIndex at = model()->index(row, column, rootIndex());
        if (at.data(Qt::DisplayRole).toString().startsWith(typed_, Qt::CaseInsensitive)) {
            selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            scrollTo(at);
            return;
        }
    }
}

}  // namespace quillet
