#include "views/PacketViewWidgets.h"

#include <array>

#include <QAction>
#include <QEvent>
#include <QHeaderView>
#include <QIcon>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QTreeView>

#include "core/Twips.h"
#include "ui/ImageList1.h"
#include "views/PacketViews.h"
#include "views/RowListView.h"

namespace quillet {

namespace {

constexpr std::array<int, kColumnCount> kColumnTwips = {1300, 1700, 1700, 1200, 1200, 1440, 1500, 2000};

// Paints a list cell as one line of text, elided at the right, after the
// row's image in the first column. The list repaints its visible rows after
// every burst, so a cell is drawn with one shaped run of text instead of a
// full text layout.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group = (option.state & QStyle::State_Active) ? QPalette::Active
                                                                                 : QPalette::Inactive;
        if (selected)
            painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        QRect rect = option.rect.adjusted(kMargin, 0, -kMargin, 0);
        if (index.column() == 0) {
            const QVariant icon = index.data(Qt::DecorationRole);
            if (icon.isValid()) {
                const QSize size = option.decorationSize;
                const QRect at(rect.left(), rect.top() + (rect.height() - size.height()) / 2, size.width(),
                               size.height());
                qvariant_cast<QIcon>(icon).paint(painter, at);
                rect.setLeft(at.right() + 1 + kMargin);
            }
        }
        const QString text = index.data(Qt::DisplayRole).toString();
        if (text.isEmpty() || rect.width() <= 0)
            return;
        painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        const QString shown = option.fontMetrics.horizontalAdvance(text) <= rect.width()
                                  ? text
                                  : option.fontMetrics.elidedText(text, Qt::ElideRight, rect.width());
        painter->setFont(option.font);
        painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    }

private:
    static constexpr int kMargin = 3;
};

}  // namespace

int PacketViewWidgets::ColumnWidthTwips(int column)
{
    return column >= 0 && column < kColumnCount ? kColumnTwips[static_cast<std::size_t>(column)] : 0;
}

PacketViewWidgets::PacketViewWidgets(PacketViews& views, QWidget* listParent, QWidget* treeParent,
                                     QWidget* tabsParent, QWidget* menuOwner)
    : QObject(menuOwner), views_(views)
{
    // Icons of ImageList1 as item data, made once for this set of widgets.
    icons_.resize(ImageList1::kCount + 1);
    for (int n = 1; n <= ImageList1::kCount; ++n)
        icons_[static_cast<std::size_t>(n)] = QVariant(ImageList1::icon(n));
    auto decoration = [this](int image) {
        return image >= 1 && image <= ImageList1::kCount ? icons_[static_cast<std::size_t>(image)] : QVariant();
    };
    views_.ListModel().decoration = decoration;
    views_.TreeModel().decoration = decoration;

    // The list over the program's own model. Rows have one fixed height,
    // so the list places them by number and never measures them.
    auto* table = new RowListView(listParent);
    table->setObjectName(QStringLiteral("lv"));
    table->setModel(&views_.ListModel());
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTextElideMode(Qt::ElideRight);
    table->setIconSize(QSize(ImageList1::kSize, ImageList1::kSize));
    table->setRowHeight(ImageList1::kSize + 2);
    QHeaderView* header = table->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    for (int c = 0; c < kColumnCount; ++c)
        table->setColumnWidth(c, TwipsToPixels(kColumnTwips[static_cast<std::size_t>(c)]));
    table->setItemDelegate(new RowDelegate(table));
    lv_ = table;

    tv_ = new QTreeView(treeParent);
    tv_->setObjectName(QStringLiteral("tv"));
    tv_->setModel(&views_.TreeModel());
    tv_->setHeaderHidden(true);
    tv_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tv_->setUniformRowHeights(true);

    ts2_ = new QTabBar(tabsParent);
    ts2_->setObjectName(QStringLiteral("ts2"));
    ts2_->setIconSize(QSize(ImageList1::kSize, ImageList1::kSize));
    ts2_->setExpanding(false);
    ts2_->setSelectionBehaviorOnRemove(QTabBar::SelectRightTab);
    SyncTabs();
    ts2_->installEventFilter(this);
    connect(ts2_, &QTabBar::currentChanged, this, [this](int) {
        if (!syncing_)
            ts2_Click();
    });
    // A click on the tab already selected also rebuilds.
    connect(ts2_, &QTabBar::tabBarClicked, this, [this](int index) {
        if (!syncing_ && index >= 0 && index == ts2_->currentIndex())
            ts2_Click();
    });

    PopUp_ = new QMenu(menuOwner);
    PopUp_->setObjectName(QStringLiteral("PopUp"));
    mnuDelete_ = PopUp_->addAction(tr("Delete Filter"));
    mnuDelete_->setObjectName(QStringLiteral("mnuDelete"));
    connect(mnuDelete_, &QAction::triggered, this, [this] { mnuDelete_Click(); });

    views_.onFollow = [this](int row) { Follow(row); };
    // However a filter comes in, its tab comes to the strip.
    views_.Presenter().onTabAppended = [this](const QString& name) {
        syncing_ = true;
        const int at = ts2_->addTab(name);
        ts2_->setTabData(at, name);
        syncing_ = false;
    };
}

PacketViewWidgets::~PacketViewWidgets()
{
    views_.onFollow = nullptr;
    views_.Presenter().onTabAppended = nullptr;
    views_.ListModel().decoration = nullptr;
    views_.TreeModel().decoration = nullptr;
}

void PacketViewWidgets::SyncTabs()
{
    syncing_ = true;
    while (ts2_->count() > 0)
        ts2_->removeTab(ts2_->count() - 1);
    for (int i = 1; i <= views_.TabCount(); ++i) {
        const PacketViews::Tab& tab = views_.TabAt(i);
        const int at = tab.image ? ts2_->addTab(ImageList1::icon(tab.image), tab.caption) : ts2_->addTab(tab.caption);
        if (!tab.key.isNull())
            ts2_->setTabData(at, tab.key);
    }
    ts2_->setCurrentIndex(views_.SelectedTab() - 1);
    syncing_ = false;
}

void PacketViewWidgets::Follow(int row)
{
    // Selecting one row and moving the scroll bar to its end cost the same
    // at any row count: the scroll bar's end is the newest row's place, since
    // every row has one height. The selection does not scroll by itself
    // (auto-scroll off), so the list moves once.
    const QModelIndex index = views_.ListModel().index(row, 0);
    const bool autoScroll = lv_->hasAutoScroll();
    lv_->setAutoScroll(false);
    lv_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    lv_->setAutoScroll(autoScroll);
    if (row == views_.ListModel().visibleRows() - 1)
        lv_->scrollToBottom();
    else
        lv_->scrollTo(index);
}

void PacketViewWidgets::EndBurst()
{
    views_.EndBurst();
}

QString PacketViewWidgets::AppendFilterTab(const QString& name)
{
    return views_.AppendFilterTab(name);  // the strip follows
}

void PacketViewWidgets::AddHostFilter(const QString& address)
{
    const std::string key = address.toStdString();
    if (views_.dFiltro.exists(key))
        return;
    auto filter = std::make_shared<cFilter>();
    filter->bSrc = true;
    filter->bDest = true;
    filter->Src = key;
    filter->Dest = key;
    views_.AddFilter(address, std::move(filter));
}

void PacketViewWidgets::ts2_Click()
{
    // The rebuild goes on in slices; the next click cancels it.
    views_.ShowTab(ts2_->currentIndex() + 1);
}

void PacketViewWidgets::ts2_MouseUp(Qt::MouseButton button, const QPoint& globalPos)
{
    if (button != Qt::RightButton || views_.SelectedTab() < PacketViews::kFirstFilterTab)
        return;
    emit popUpAboutToShow();
    PopUp_->popup(globalPos);
}

void PacketViewWidgets::mnuDelete_Click()
{
    if (!views_.DeleteSelectedFilterTab())
        return;
    // The views are rebuilt for the tab now selected; the strip follows.
    SyncTabs();
}

bool PacketViewWidgets::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ts2_ && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        ts2_MouseUp(mouse->button(), mouse->globalPosition().toPoint());
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace quillet
