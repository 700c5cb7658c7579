// The splitter widget dragged with synthesized mouse events.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include "splitter/OleColor.h"
#include "splitter/PropertyBag.h"
#include "splitter/TP_WinSplit.h"

using quillet::PropertyBag;
using quillet::TP_WinSplit;

namespace {

// A top-level splitter of 200 x 134 pixels (3000 x 2010 twips) holding a
// "LO" and a "HI" pane.
struct Fixture {
    TP_WinSplit sp;
    QLabel* lo;
    QLabel* hi;

    explicit Fixture(int orientation)
    {
        sp.setObjectName("sp");
        lo = new QLabel("lo", &sp);
        hi = new QLabel("hi", &sp);
        TP_WinSplit::setTag(lo, "Lo");
        sp.addControl(hi, "HI");
        sp.setSPL_Orientation(orientation);
        sp.resize(200, 134);
        sp.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&sp));
    }
    QFrame* sense() { return sp.findChild<QFrame*>("imgSense"); }
    QFrame* indicator() { return sp.findChild<QFrame*>("picIndicator"); }
};

}  // namespace

TEST(TP_WinSplitWidget, PanesFollowASideBySideDrag)
{
    Fixture f(0);
    QFrame* sense = f.sense();
    ASSERT_NE(sense, nullptr);
    ASSERT_NE(f.indicator(), nullptr);
    // 1485 twips = 99 pixels; the bar is 4 pixels wide.
    EXPECT_EQ(sense->geometry(), QRect(99, 0, 4, 134));
    EXPECT_EQ(f.lo->geometry(), QRect(0, 0, 99, 134));
    EXPECT_EQ(f.hi->geometry(), QRect(103, 0, 97, 134));
    EXPECT_EQ(sense->cursor().shape(), Qt::SplitHCursor);
    EXPECT_FALSE(f.indicator()->isVisible());

    QSignalSpy sized(&f.sp, &TP_WinSplit::Sized);
    QSignalSpy split(&f.sp, &TP_WinSplit::NewSplit);
    QTest::mousePress(sense, Qt::LeftButton, {}, QPoint(2, 60));
    EXPECT_TRUE(f.indicator()->isVisible());
    EXPECT_EQ(f.indicator()->geometry(), QRect(100, 4, 2, 126));
    EXPECT_EQ(f.indicator()->palette().color(QPalette::Window),
              QApplication::palette().color(QPalette::Highlight));

    // 40 pixels to the left, outside the bar: the pointer stays with it.
    QTest::mouseMove(sense, QPoint(-38, 60));
    EXPECT_EQ(f.indicator()->x(), 60);
    EXPECT_EQ(f.lo->width(), 99);  // panes wait for the release
    QTest::mouseRelease(sense, Qt::LeftButton, {}, QPoint(-38, 60));

    EXPECT_FALSE(f.indicator()->isVisible());
    EXPECT_EQ(f.sp.SPL_PerCent(), 30);
    EXPECT_EQ(sense->geometry(), QRect(59, 0, 4, 134));
    EXPECT_EQ(f.lo->geometry(), QRect(0, 0, 59, 134));
    EXPECT_EQ(f.hi->geometry(), QRect(63, 0, 137, 134));
    ASSERT_EQ(split.size(), 1);
    EXPECT_EQ(split[0][0].toInt(), 30);
    EXPECT_EQ(sized.size(), 1);
}

TEST(TP_WinSplitWidget, StackedDragStopsAtTheLimitThroughTheWindow)
{
    Fixture f(1);
    QFrame* sense = f.sense();
    // Indicator top 1005 twips = 67 px; bar from 1005 - 15 = 990 tw = 66 px.
    EXPECT_EQ(sense->geometry(), QRect(0, 66, 200, 4));
    EXPECT_EQ(sense->cursor().shape(), Qt::SplitVCursor);
    EXPECT_EQ(f.hi->geometry(), QRect(0, 0, 200, 66));
    EXPECT_EQ(f.lo->geometry(), QRect(0, 70, 200, 64));

    // Events delivered to the window, as a real pointer would: the press lands
    // on the bar, the moves far below the HI pane still reach it.
    QWindow* win = f.sp.windowHandle();
    ASSERT_NE(win, nullptr);
    QSignalSpy split(&f.sp, &TP_WinSplit::NewSplit);
    QTest::mousePress(win, Qt::LeftButton, {}, QPoint(100, 67));
    QTest::mouseMove(win, QPoint(100, 30));
    QTest::mouseMove(win, QPoint(100, -300));
    // The upper limit: 90 % leaves the HI pane 201 twips, shown as 13 px.
    EXPECT_EQ(f.indicator()->y(), 13);
    QTest::mouseRelease(win, Qt::LeftButton, {}, QPoint(100, -300));
    ASSERT_EQ(split.size(), 1);
    EXPECT_EQ(split[0][0].toInt(), 90);
    EXPECT_EQ(f.hi->height(), 12);
    EXPECT_LT(f.hi->height(), f.lo->height());
    EXPECT_EQ(f.lo->y() + f.lo->height(), 134);
}

TEST(TP_WinSplitWidget, HiddenLoPaneIgnoresThePointer)
{
    Fixture f(0);
    f.sp.setSPL_Hide(true);
    EXPECT_EQ(f.lo->width(), 0);
    QFrame* sense = f.sense();
    QSignalSpy split(&f.sp, &TP_WinSplit::NewSplit);
    QTest::mousePress(sense, Qt::LeftButton, {}, QPoint(2, 60));
    EXPECT_FALSE(f.indicator()->isVisible());
    QTest::mouseMove(sense, QPoint(100, 60));
    QTest::mouseRelease(sense, Qt::LeftButton, {}, QPoint(100, 60));
    EXPECT_EQ(f.lo->width(), 0);
    ASSERT_EQ(split.size(), 1);
    EXPECT_EQ(split[0][0].toInt(), 0);
    f.sp.setSPL_Hide(false);
    EXPECT_EQ(f.lo->width(), 99);
}

TEST(TP_WinSplitWidget, SwapDesignModeAndSettings)
{
    Fixture f(0);
    f.sp.setSPL_PerCent(25);
    f.sp.setSPL_SwappedCtls(true);
    EXPECT_EQ(TP_WinSplit::tag(f.lo), "HI");
    EXPECT_EQ(TP_WinSplit::tag(f.hi), "LO");
    EXPECT_EQ(f.hi->geometry(), QRect(0, 0, 49, 134));

    f.sp.setDesignMode(true);
    EXPECT_TRUE(f.indicator()->isVisible());
    EXPECT_EQ(f.hi->geometry(), QRect(10, 10, 29, 114));
    EXPECT_EQ(f.sense()->frameShape(), QFrame::Box);
    f.sp.setDesignMode(false);
    EXPECT_FALSE(f.indicator()->isVisible());

    PropertyBag bag;
    f.sp.setSPL_Ind_Color(0x0000FF);
    f.sp.writeProperties(bag);
    EXPECT_EQ(bag.read("_extentx", qint32(0)), 3000);
    EXPECT_EQ(bag.read("_extenty", qint32(0)), 2010);
    TP_WinSplit other;
    other.resize(200, 134);
    other.readProperties(bag);
    EXPECT_EQ(other.SPL_PerCent(), 25);
    EXPECT_TRUE(other.SPL_SwappedCtls());
    EXPECT_EQ(other.indicator()->palette().color(QPalette::Window), QColor(255, 0, 0));
    EXPECT_EQ(quillet::OleColorToQColor(0x00332211, QPalette()), QColor(0x11, 0x22, 0x33));
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
