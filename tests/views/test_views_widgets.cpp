#include <malloc.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QTabBar>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include "ViewsTestSupport.h"
#include "views/ListRoles.h"
#include "views/PacketViewWidgets.h"
#include "views/RowListView.h"

namespace quillet {
namespace {

using namespace test;

QApplication& App()
{
    static int argc = 1;
    static char name[] = "test_views_widgets";
    static char* argv[] = {name, nullptr};
    // Lives until the process ends, after every widget is gone.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

class ViewWidgets : public ::testing::Test {
protected:
    ViewWidgets()
    {
        Prepare(views);
        window.resize(800, 600);
        w = std::make_unique<PacketViewWidgets>(views, &window, &window, &window, &window);
        window.show();
    }
    ~ViewWidgets() override { w.reset(); }

    template <typename T>
    T* Find(const char* name)
    {
        return window.findChild<T*>(QString::fromLatin1(name));
    }

    int CurrentRow() { return w->lv()->selectionModel()->currentIndex().row(); }
    QList<int> SelectedRows()
    {
        QList<int> rows;
        for (const QModelIndex& i : w->lv()->selectionModel()->selectedRows())
            rows.push_back(i.row());
        return rows;
    }

    QApplication& app = App();  // before any widget
    PacketViews views;
    QWidget window;
    std::unique_ptr<PacketViewWidgets> w;
};

TEST_F(ViewWidgets, ControlsCarryTheirNamesCaptionsImagesAndWidths)
{
    auto* lv = Find<RowListView>("lv");
    auto* tv = Find<QTreeView>("tv");
    auto* ts2 = Find<QTabBar>("ts2");
    auto* popUp = Find<QMenu>("PopUp");
    ASSERT_TRUE(lv && tv && ts2 && popUp);
    EXPECT_EQ(lv, w->lv());
    auto* del = popUp->findChild<QAction*>("mnuDelete");
    ASSERT_NE(del, nullptr);
    EXPECT_EQ(del->text(), "Delete Filter");

    ASSERT_EQ(ts2->count(), 4);
    const QStringList captions = {"全部", "接收", "发送", "IP"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ts2->tabText(i), captions[i]);
        EXPECT_FALSE(ts2->tabIcon(i).isNull());
    }
    EXPECT_EQ(ts2->currentIndex(), 0);

    const int pixels[kColumnCount] = {87, 113, 113, 80, 80, 96, 100, 133};
    for (int c = 0; c < kColumnCount; ++c) {
        EXPECT_EQ(lv->columnWidth(c), pixels[c]) << c;
        EXPECT_EQ(lv->model()->headerData(c, Qt::Horizontal).toString(), PacketListModel::Caption(c));
    }
    // The column header sits above the rows and has the model's columns.
    QHeaderView* header = lv->horizontalHeader();
    EXPECT_TRUE(header->isVisible());
    EXPECT_EQ(header->count(), lv->model()->columnCount());
    EXPECT_LE(header->geometry().bottom(), lv->viewport()->geometry().top());
    EXPECT_GT(header->height(), 0);
    // The tree's roots, with their images.
    ASSERT_EQ(tv->model()->rowCount(), 2);
    EXPECT_EQ(tv->model()->index(0, 0).data().toString(), "来源");
    EXPECT_EQ(tv->model()->index(1, 0).data().toString(), "目标");
    EXPECT_EQ(tv->model()->index(0, 0).data(Qt::DecorationRole).typeId(), QMetaType::QIcon);
}

TEST_F(ViewWidgets, NewRowsAreFollowedOncePerBurstUnlessNoFollow)
{
    Store(views, kOther, kLocal);
    Store(views, kLocal, kOther);
    Store(views, kOther, kLocal);
    w->EndBurst();
    ASSERT_EQ(w->lv()->model()->rowCount(), 3);
    EXPECT_EQ(CurrentRow(), 2);
    EXPECT_EQ(SelectedRows(), QList<int>{2});
    // Row tag and column tags reach a reader of the view's model.
    const QModelIndex row1 = w->lv()->model()->index(1, 3);
    EXPECT_EQ(row1.data(kColumnTagRole).toString(), "1025");
    EXPECT_EQ(row1.data(kRowTagRole).toByteArray(), QByteArray("payload"));
    EXPECT_EQ(w->lv()->model()->index(1, 0).data(Qt::DecorationRole).typeId(), QMetaType::QIcon);

    views.bNoFollow = true;
    Store(views, kOther, kLocal);
    w->EndBurst();
    EXPECT_EQ(w->lv()->model()->rowCount(), 4);
    EXPECT_EQ(SelectedRows(), QList<int>{2});

    // Many rows in one burst: the newest is scrolled into view.
    views.bNoFollow = false;
    for (int i = 0; i < 2000; ++i)
        Store(views, kOther, kLocal);
    w->EndBurst();
    QApplication::processEvents();
    EXPECT_EQ(CurrentRow(), 2003);
    const QRect rowRect = w->lv()->visualRect(w->lv()->model()->index(2003, 0));
    EXPECT_TRUE(w->lv()->viewport()->rect().intersects(rowRect));
}

// Heap bytes in use, small blocks and mapped ones.
std::size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Stores rows in bursts and ends each; returns the heap growth. each(last)
// runs after every burst with its newest row.
template <typename Each>
std::size_t StoreInBursts(PacketViews& v, int rows, int burst, Each each)
{
    const std::size_t before = HeapInUse();
    for (int done = 0; done < rows;) {
        for (int i = 0; i < burst; ++i, ++done)
            Store(v, i % 2 ? kOther : kLocal, kOther);
        v.EndBurst();
        QApplication::processEvents();
        each(done - 1);
    }
    return HeapInUse() - before;
}

// A million rows in large bursts: the list keeps nothing per row (its heap
// share is measured against the same rows without a list), places every
// row by its number alone, and each follow lands on the newest row at the
// end of the scroll range. Keys and clicks still work on it afterwards.
TEST_F(ViewWidgets, AMillionRowsKeepNoRowStateAndArePlacedByNumber)
{
    constexpr int kRows = 1000000;
    constexpr int kBurst = 100000;
    std::size_t bare = 0;
    {
        PacketViews alone;
        Prepare(alone);
        bare = StoreInBursts(alone, kRows, kBurst, [](int) {});
    }
    auto* lv = Find<RowListView>("lv");
    ASSERT_NE(lv, nullptr);
    QScrollBar* bar = lv->verticalScrollBar();
    const std::size_t shown = StoreInBursts(views, kRows, kBurst, [&](int last) {
        ASSERT_EQ(CurrentRow(), last);
        EXPECT_EQ(bar->value(), bar->maximum()) << last;
    });
    EXPECT_LT((double(shown) - double(bare)) / kRows, 1.0) << shown << " against " << bare;

    const int last = kRows - 1;
    ASSERT_EQ(lv->model()->rowCount(), kRows);
    EXPECT_EQ(SelectedRows(), QList<int>{last});
    const int height = lv->rowHeight();
    ASSERT_GT(height, 0);
    const int page = lv->rowsPerPage();
    EXPECT_EQ(page, lv->viewport()->height() / height);
    EXPECT_EQ(bar->maximum(), kRows - page);

    // Row r starts at r * height less the offset of the top row; indexAt is
    // the inverse, and rows out of sight are placed the same way.
    auto check = [&](int row) {
        for (int c : {0, kColumnCount - 1}) {
            const QModelIndex index = lv->model()->index(row, c);
            const QRect rect = lv->visualRect(index);
            EXPECT_EQ(rect.top(), row * height - bar->value() * height) << row;
            EXPECT_EQ(rect.height(), height);
            EXPECT_EQ(rect.left(), lv->horizontalHeader()->sectionViewportPosition(c));
            EXPECT_EQ(rect.width(), lv->columnWidth(c));
            if (lv->viewport()->rect().contains(rect.center())) {
                EXPECT_EQ(lv->indexAt(rect.center()), index) << row;
            }
        }
    };
    for (int row : {0, 1, kRows / 2, last - page, last - 1, last})
        check(row);
    // The newest row is the one at the foot of the viewport.
    const QRect lastRect = lv->visualRect(lv->model()->index(last, 0));
    EXPECT_TRUE(lv->viewport()->rect().contains(lastRect)) << lastRect.y() << " " << lv->viewport()->height();
    EXPECT_GT(lastRect.bottom() + height, lv->viewport()->rect().bottom());
    EXPECT_FALSE(lv->indexAt(QPoint(2, lastRect.bottom() + height + 1)).isValid());

    lv->scrollTo(lv->model()->index(kRows / 2, 0), QAbstractItemView::PositionAtTop);
    EXPECT_EQ(bar->value(), kRows / 2);
    check(kRows / 2 + 3);
    EXPECT_EQ(lv->indexAt(QPoint(2, 0)).row(), kRows / 2);

    // A click selects the row under it, whole.
    QTest::mouseClick(lv->viewport(), Qt::LeftButton, {}, QPoint(5, 2 * height + height / 2));
    EXPECT_EQ(CurrentRow(), kRows / 2 + 2);
    EXPECT_EQ(SelectedRows(), QList<int>{kRows / 2 + 2});

    // The keys move the current row and bring it into view.
    lv->setFocus();
    const std::pair<Qt::Key, int> moves[] = {
        {Qt::Key_End, last},           {Qt::Key_Down, last},       {Qt::Key_PageUp, last - page},
        {Qt::Key_Up, last - page - 1}, {Qt::Key_PageDown, last - 1}, {Qt::Key_PageDown, last},
        {Qt::Key_Home, 0},             {Qt::Key_Up, 0},            {Qt::Key_PageDown, page},
    };
    for (const auto& [key, row] : moves) {
        QTest::keyClick(lv, key);
        EXPECT_EQ(CurrentRow(), row) << key;
        EXPECT_TRUE(lv->viewport()->rect().contains(lv->visualRect(lv->model()->index(row, 0)))) << key;
    }
    QTest::keyClick(lv, Qt::Key_Home);
    EXPECT_EQ(bar->value(), 0);

    // Typing goes to the next row whose first column starts with the
    // letters; letters no row starts with leave the current row alone.
    const QString first = lv->model()->index(0, 0).data().toString();
    ASSERT_FALSE(first.isEmpty());
    QTest::keyClicks(lv, first.left(1));
    EXPECT_EQ(CurrentRow(), 1);
    QTest::qWait(QApplication::keyboardInputInterval() + 50);
    QTest::keyClicks(lv, QStringLiteral("#~"));
    EXPECT_EQ(CurrentRow(), 1);
    QTest::keyClick(lv, Qt::Key_Home);

    // Not following: the list stays where the user left it.
    views.bNoFollow = true;
    for (int i = 0; i < 1000; ++i)
        Store(views, kOther, kLocal);
    w->EndBurst();
    QApplication::processEvents();
    EXPECT_EQ(CurrentRow(), 0);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->maximum(), kRows + 1000 - page);

    // Emptied, the list has nothing to scroll.
    views.ClearList();
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_FALSE(lv->indexAt(QPoint(2, 2)).isValid());
}

TEST_F(ViewWidgets, ClickingATabRebuildsForIt)
{
    Store(views, kLocal, kOther);
    Store(views, kOther, kLocal);
    w->EndBurst();
    QTabBar* ts2 = w->ts2();
    ts2->setCurrentIndex(2);  // "发送"
    EXPECT_EQ(views.SelectedTab(), PacketViews::kTabSent);
    EXPECT_EQ(RowSeqs(views.ListModel()), std::vector<std::int64_t>{1});
    EXPECT_EQ(w->lv()->model()->rowCount(), 1);
    views.ClearList();
    EXPECT_EQ(w->lv()->model()->rowCount(), 0);
    // A click on the tab already selected rebuilds as well.
    QTest::mouseClick(ts2, Qt::LeftButton, {}, ts2->tabRect(2).center());
    EXPECT_EQ(w->lv()->model()->rowCount(), 1);
    QTest::mouseClick(ts2, Qt::LeftButton, {}, ts2->tabRect(0).center());
    EXPECT_EQ(views.SelectedTab(), PacketViews::kTabAll);
    EXPECT_EQ(w->lv()->model()->rowCount(), 2);
}

TEST_F(ViewWidgets, FilterTabsAppendWithoutSelectionAndRefuseTakenKeys)
{
    Store(views, kOther, kLocal);
    w->EndBurst();
    EXPECT_EQ(w->AppendFilterTab("mine"), "");
    QTabBar* ts2 = w->ts2();
    ASSERT_EQ(ts2->count(), 5);
    EXPECT_EQ(ts2->tabText(4), "mine");
    EXPECT_EQ(ts2->tabData(4).toString(), "mine");
    EXPECT_TRUE(ts2->tabIcon(4).isNull());
    EXPECT_EQ(ts2->currentIndex(), 0);
    EXPECT_EQ(w->lv()->model()->rowCount(), 1);  // not rebuilt
    EXPECT_FALSE(w->AppendFilterTab("mine").isEmpty());
    EXPECT_EQ(ts2->count(), 5);
}

// However a filter comes in (the views' AddFilter, the host filter), it is
// registered and its tab reaches the strip, once per name.
TEST_F(ViewWidgets, FiltersAddedAnyWayReachTheRegistryAndTheStrip)
{
    auto mine = std::make_shared<cFilter>();
    mine->bSrc = true;
    mine->Src = kOther;
    EXPECT_EQ(views.AddFilter("mine", mine), "");
    w->AddHostFilter(kLocal2);
    w->AddHostFilter(kLocal2);
    EXPECT_FALSE(views.AddFilter("mine", mine).isEmpty());
    QTabBar* ts2 = w->ts2();
    ASSERT_EQ(ts2->count(), 6);
    EXPECT_EQ(ts2->tabData(4).toString(), "mine");
    EXPECT_EQ(ts2->tabData(5).toString(), kLocal2);
    EXPECT_TRUE(views.dFiltro.exists("mine"));
    ASSERT_TRUE(views.dFiltro.exists(kLocal2));
    EXPECT_EQ(views.cF, *views.dFiltro.find(kLocal2));
}

TEST_F(ViewWidgets, RightClickOffersDeleteOnlyOnFilterTabsAndDeleteRemovesTabAndFilter)
{
    Store(views, "1.1.1.1", kLocal);
    Store(views, "2.2.2.2", kLocal);
    w->EndBurst();
    auto one = std::make_shared<cFilter>();
    one->bSrc = true;
    one->Src = "1.1.1.1";
    auto two = std::make_shared<cFilter>();
    two->bSrc = true;
    two->Src = "2.2.2.2";
    ASSERT_EQ(w->AppendFilterTab("one"), "");
    views.dFiltro.assign("one", one);
    ASSERT_EQ(w->AppendFilterTab("two"), "");
    views.dFiltro.assign("two", two);

    int shown = 0;
    QObject::connect(w.get(), &PacketViewWidgets::popUpAboutToShow, [&] { ++shown; });
    QTabBar* ts2 = w->ts2();
    for (int builtIn = 0; builtIn < 4; ++builtIn) {
        ts2->setCurrentIndex(builtIn);
        QTest::mouseClick(ts2, Qt::RightButton, {}, ts2->tabRect(4).center());
    }
    EXPECT_EQ(shown, 0);
    EXPECT_FALSE(w->PopUp()->isVisible());

    ts2->setCurrentIndex(4);
    EXPECT_EQ(RowSeqs(views.ListModel()), std::vector<std::int64_t>{1});
    QTest::mouseClick(ts2, Qt::LeftButton, {}, ts2->tabRect(4).center());
    QTest::mouseClick(ts2, Qt::RightButton, {}, ts2->tabRect(0).center());  // the selected tab decides
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(w->PopUp()->isVisible());
    w->PopUp()->hide();

    w->mnuDelete()->trigger();
    ASSERT_EQ(ts2->count(), 5);
    EXPECT_EQ(ts2->tabText(4), "two");
    EXPECT_EQ(ts2->currentIndex(), 4);
    EXPECT_EQ(views.SelectedTab(), 5);
    EXPECT_FALSE(views.dFiltro.exists("one"));
    EXPECT_EQ(RowSeqs(views.ListModel()), std::vector<std::int64_t>{2});
    EXPECT_EQ(w->lv()->model()->rowCount(), 1);

    w->mnuDelete()->trigger();
    EXPECT_EQ(ts2->count(), 4);
    EXPECT_EQ(ts2->currentIndex(), 3);
    EXPECT_EQ(views.SelectedTab(), PacketViews::kTabIp);
    EXPECT_EQ(w->lv()->model()->rowCount(), 2);

    // On a built-in tab the menu item does nothing.
    w->mnuDelete()->trigger();
    EXPECT_EQ(ts2->count(), 4);
}

}  // namespace
}  // namespace quillet
