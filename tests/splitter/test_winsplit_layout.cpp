// Placement of the sense bar, the indicator and the panes, and dragging the
// split, in twips.
#include <gtest/gtest.h>

#include <limits>

#include "RecordingSplitHost.h"
#include "splitter/PropertyBag.h"

using quillet::WinSplitModel;

TEST(WinSplitGeometry, SideBySideAtHalf)
{
    TestSplitter s(0);
    EXPECT_EQ(RectOf(s.m.indicator()), (Rect4{1500, 60, 30, 1880}));
    EXPECT_EQ(RectOf(s.m.senseBar()), (Rect4{1485, 0, 60, 2000}));
    EXPECT_EQ(s.loRect(), (Rect4{0, 0, 1485, 2000}));
    EXPECT_EQ(s.hiRect(), (Rect4{1545, 0, 1455, 2000}));
    EXPECT_EQ(s.m.fields().mLowTw, 300);
    EXPECT_EQ(s.m.fields().mHighTw, 2700);
    EXPECT_EQ(s.m.fields().mCentre, 15.0f);
    EXPECT_EQ(s.m.senseMousePointer(), WinSplitModel::kSizeWE);
    EXPECT_FALSE(s.m.indicatorVisible());

    // A resize places everything again and raises Sized once.
    s.m.setSize(3000, 2000);
    EXPECT_EQ(s.host.sizedCount, 1);
    EXPECT_EQ(s.m.fields().mLaidOutPerCent, 50.0f);
}

TEST(WinSplitGeometry, AboveEachOtherAtHalf)
{
    TestSplitter s(1);
    EXPECT_EQ(RectOf(s.m.indicator()), (Rect4{60, 1000, 2880, 30}));
    EXPECT_EQ(RectOf(s.m.senseBar()), (Rect4{0, 985, 3000, 60}));
    EXPECT_EQ(s.hiRect(), (Rect4{0, 0, 3000, 985}));
    EXPECT_EQ(s.loRect(), (Rect4{0, 1045, 3000, 955}));
    // Positions grow downwards: the LO limit is the lower (larger) one.
    EXPECT_EQ(s.m.fields().mLowTw, 1800);
    EXPECT_EQ(s.m.fields().mHighTw, 200);
    EXPECT_EQ(s.m.senseMousePointer(), WinSplitModel::kSizeNS);
}

TEST(WinSplitGeometry, HiddenPanesAtZeroAndHundred)
{
    TestSplitter s(0);
    s.m.setSPL_Hide(true);
    EXPECT_EQ(s.m.fields().mPerCent, 0.0f);
    EXPECT_EQ(s.m.senseBar().left, -15.0f);
    EXPECT_EQ(s.loRect().width, 0.0f);  // clamped, not -15
    EXPECT_EQ(s.hiRect(), (Rect4{45, 0, 2955, 2000}));

    s.m.setSPL_HideSUP(true);
    EXPECT_EQ(s.m.fields().mPerCent, 100.0f);
    EXPECT_EQ(s.loRect(), (Rect4{0, 0, 2985, 2000}));
    EXPECT_EQ(s.hiRect().left, 3045.0f);
    EXPECT_EQ(s.hiRect().width, 0.0f);

    TestSplitter v(1);
    v.m.setSPL_HideSUP(true);  // the LO pane below takes everything
    EXPECT_EQ(v.hiRect().height, 0.0f);
    EXPECT_EQ(v.loRect(), (Rect4{0, 45, 3000, 1955}));
}

TEST(WinSplitGeometry, DesignTimeMarginsAroundPanes)
{
    TestSplitter s(0, true, true);
    EXPECT_EQ(s.m.fields().mMargin, 150);
    EXPECT_EQ(s.loRect(), (Rect4{150, 150, 1185, 1700}));
    EXPECT_EQ(s.hiRect(), (Rect4{1695, 150, 1155, 1700}));
    EXPECT_TRUE(s.m.indicatorVisible());
    EXPECT_EQ(s.m.senseBorderStyle(), 1);

    TestSplitter v(1, true, true);
    EXPECT_EQ(v.hiRect(), (Rect4{150, 150, 2700, 685}));
    EXPECT_EQ(v.loRect(), (Rect4{150, 1195, 2700, 655}));

    // Back at run time the gap is gone and the indicator hides.
    v.m.setDesignMode(false);
    EXPECT_EQ(v.m.fields().mMargin, 0);
    EXPECT_EQ(v.loRect(), (Rect4{0, 1045, 3000, 955}));
    EXPECT_FALSE(v.m.indicatorVisible());
    EXPECT_EQ(v.m.senseBorderStyle(), 0);
}

TEST(WinSplitGeometry, TagsInAnyCaseAndSharedTags)
{
    RecordingSplitHost host;
    const int lo = host.add("lo");
    const int hi = host.add("Hi");
    const int other = host.add("LOW");
    const int none = host.add("");
    const int lo2 = host.add("Lo");
    WinSplitModel m(host);
    m.UserControl_InitProperties();
    m.setSize(3000, 2000);

    EXPECT_EQ(RectOf(host.controls[lo]), (Rect4{0, 0, 1485, 2000}));
    EXPECT_EQ(RectOf(host.controls[hi]), (Rect4{1545, 0, 1455, 2000}));
    EXPECT_EQ(RectOf(host.controls[lo2]), RectOf(host.controls[lo]));
    EXPECT_EQ(RectOf(host.controls[other]), (Rect4{-1, -1, -1, -1}));
    EXPECT_EQ(RectOf(host.controls[none]), (Rect4{-1, -1, -1, -1}));
    EXPECT_EQ(host.backCalls, 3);
}

TEST(WinSplitGeometry, NoPanesRaisesNoSizedAfterResize)
{
    TestSplitter s(0, false);
    s.m.setSize(2000, 1000);
    EXPECT_EQ(s.host.sizedCount, 0);
    EXPECT_EQ(s.m.fields().mLaidOutPerCent, 110.0f);
    // The sense bar is still placed.
    EXPECT_EQ(s.m.senseBar().left, 985.0f);

    // A release ends with NewSplit but, with nothing arranged, no Sized.
    s.m.imgSense_MouseUp(1, 0, 0, 0);
    EXPECT_EQ(s.host.sizedCount, 0);
    ASSERT_EQ(s.host.newSplits.size(), 1u);
    EXPECT_EQ(s.host.newSplits[0], 50);
}

TEST(WinSplitGeometry, UnchangedPercentageKeepsPanesButRaisesSized)
{
    TestSplitter s(0);
    s.host.controls[s.lo].width = 7;  // moved by someone else
    s.m.ArrangeViewports();
    EXPECT_EQ(s.host.controls[s.lo].width, 7.0f);
    EXPECT_EQ(s.host.sizedCount, 1);
}

TEST(WinSplitGeometry, FailingStepsAreSkippedOneByOne)
{
    TestSplitter s(0);
    // A pane that refuses its left still gets its other edges.
    s.host.controls[s.lo].refuseLeft = true;
    s.host.controls[s.lo].left = 99;
    s.m.setSize(2000, 1000);
    EXPECT_EQ(RectOf(s.host.controls[s.lo]), (Rect4{99, 0, 985, 1000}));
    EXPECT_EQ(s.hiRect(), (Rect4{1045, 0, 955, 1000}));

    // A sense width whose twips overflow keeps the previous thickness, while
    // the indicator is still recomputed and the panes still arranged.
    TestSplitter t(0);
    t.m.setSPL_SenseWidth(std::numeric_limits<qint32>::max());
    EXPECT_EQ(t.m.fields().mSenseTw, 60);
    t.host.clearEvents();
    t.m.setSPL_Ind_Width(3);
    EXPECT_EQ(t.m.fields().mIndTw, 45);
    EXPECT_EQ(t.m.fields().mCentre, 7.5f);
    EXPECT_EQ(t.m.senseBar().left, 1492.5f);
    EXPECT_EQ(t.loRect().width, 1492.5f);
    EXPECT_EQ(t.host.sizedCount, 1);
}

// --- dragging -------------------------------------------------------------

TEST(WinSplitDrag, SideBySideStopsAtTheLimits)
{
    TestSplitter s(0);
    s.m.imgSense_MouseDown(1, 0, 30, 500);
    EXPECT_TRUE(s.m.indicatorVisible());
    EXPECT_EQ(RectOf(s.m.indicator()), (Rect4{1500, 60, 30, 1880}));

    s.m.imgSense_MouseMove(1, 0, 30 - 900, 500);
    EXPECT_EQ(s.m.indicator().left, 600.0f);
    // Only the indicator moves while the button is held.
    EXPECT_EQ(s.m.senseBar().left, 1485.0f);
    EXPECT_EQ(s.loRect().width, 1485.0f);

    s.m.imgSense_MouseMove(1, 0, -5000, 500);
    EXPECT_EQ(s.m.indicator().left, 300.0f);
    s.m.imgSense_MouseUp(1, 0, -5000, 500);
    EXPECT_FALSE(s.m.indicatorVisible());
    EXPECT_EQ(s.m.fields().mPerCent, 10.0f);
    EXPECT_EQ(s.m.senseBar().left, 285.0f);
    EXPECT_EQ(s.loRect(), (Rect4{0, 0, 285, 2000}));
    EXPECT_EQ(s.hiRect(), (Rect4{345, 0, 2655, 2000}));
    EXPECT_EQ(s.host.sizedCount, 1);
    EXPECT_EQ(s.host.newSplits, (std::vector<qint32>{10}));

    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 9000, 0);
    EXPECT_EQ(s.m.indicator().left, 2700.0f);
    s.m.imgSense_MouseUp(1, 0, 9000, 0);
    EXPECT_EQ(s.m.fields().mPerCent, 90.0f);
    EXPECT_EQ(s.host.newSplits, (std::vector<qint32>{10, 90}));
    EXPECT_EQ(s.hiRect(), (Rect4{2745, 0, 255, 2000}));
}

TEST(WinSplitDrag, AboveEachOtherStopsAtTheLimits)
{
    TestSplitter s(1);
    s.m.imgSense_MouseDown(2, 0, 1000, 30);  // any button drags
    EXPECT_EQ(RectOf(s.m.indicator()), (Rect4{60, 1000, 2880, 30}));
    s.m.imgSense_MouseMove(2, 0, 1000, -4000);
    EXPECT_EQ(s.m.indicator().top, 200.0f);
    s.m.imgSense_MouseUp(2, 0, 1000, -4000);
    EXPECT_EQ(s.m.fields().mPerCent, 90.0f);
    EXPECT_EQ(s.hiRect(), (Rect4{0, 0, 3000, 185}));
    EXPECT_EQ(s.loRect(), (Rect4{0, 245, 3000, 1755}));

    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 0, 4000);
    EXPECT_EQ(s.m.indicator().top, 1800.0f);
    s.m.imgSense_MouseUp(1, 0, 0, 4000);
    EXPECT_EQ(s.m.fields().mPerCent, 10.0f);
    EXPECT_EQ(s.host.newSplits, (std::vector<qint32>{90, 10}));

    // A position between the limits is taken as it is.
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 0, -500);
    EXPECT_EQ(s.m.indicator().top, 1300.0f);
    s.m.imgSense_MouseUp(1, 0, 0, -500);
    EXPECT_EQ(s.m.fields().mPerCent, 35.0f);
}

TEST(WinSplitDrag, ReleaseWithoutMoveKeepsTheSplit)
{
    TestSplitter s(0);
    s.m.setSPL_PerCent(37);
    s.host.clearEvents();
    s.host.controls[s.lo].width = 7;
    s.m.imgSense_MouseDown(1, 0, 20, 20);
    s.m.imgSense_MouseUp(1, 0, 20, 20);
    EXPECT_EQ(s.m.fields().mPerCent, 37.0f);
    EXPECT_EQ(s.host.sizedCount, 1);
    EXPECT_EQ(s.host.newSplits, (std::vector<qint32>{37}));
    // The percentage did not change, so the panes were not placed again.
    EXPECT_EQ(s.host.controls[s.lo].width, 7.0f);
}

TEST(WinSplitDrag, SecondPressOnlyRecordsThePressPosition)
{
    TestSplitter s(0);
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, -300, 0);
    EXPECT_EQ(s.m.indicator().left, 1200.0f);
    s.m.imgSense_MouseDown(1, 0, -300, 0);
    EXPECT_EQ(s.m.indicator().left, 1200.0f);
    // Moves now count from the second press, from the unmoved sense bar.
    s.m.imgSense_MouseMove(1, 0, -200, 0);
    EXPECT_EQ(s.m.indicator().left, 1600.0f);
}

TEST(WinSplitDrag, HiddenLoPaneIgnoresPresses)
{
    TestSplitter s(0);
    s.m.setSPL_Hide(true);
    s.host.clearEvents();
    const Rect4 before = RectOf(s.m.indicator());
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 1500, 0);
    EXPECT_FALSE(s.m.indicatorVisible());
    EXPECT_EQ(s.m.fields().mDragging, 0);
    EXPECT_EQ(RectOf(s.m.indicator()), before);
    s.m.imgSense_MouseUp(1, 0, 1500, 0);
    EXPECT_EQ(s.m.fields().mPerCent, 0.0f);
    EXPECT_EQ(s.host.sizedCount, 1);
    EXPECT_EQ(s.host.newSplits, (std::vector<qint32>{0}));

    // Setting a percentage leaves the pane flagged hidden: still no drag.
    s.m.setSPL_PerCent(50);
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    EXPECT_EQ(s.m.fields().mDragging, 0);
    s.m.setSPL_Hide(false);
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    EXPECT_NE(s.m.fields().mDragging, 0);
}

TEST(WinSplitDrag, HiddenHiPaneStillDrags)
{
    TestSplitter s(0);
    s.m.setSPL_HideSUP(true);
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, -1200, 0);
    s.m.imgSense_MouseUp(1, 0, -1200, 0);
    EXPECT_EQ(s.m.fields().mPerCent, 60.0f);
    EXPECT_EQ(s.hiRect(), (Rect4{1845, 0, 1155, 2000}));
}

TEST(WinSplitDrag, NewSplitRoundsHalvesToEven)
{
    TestSplitter s(0);
    // Indicator at 375 of 3000 twips: 12.5 %.
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 375 - 1500, 0);
    s.m.imgSense_MouseUp(1, 0, 0, 0);
    EXPECT_EQ(s.m.fields().mPerCent, 12.5f);
    EXPECT_EQ(s.m.SPL_PerCent(), 12);
    // Indicator at 405: 13.5 %.
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 405 - 375, 0);
    s.m.imgSense_MouseUp(1, 0, 0, 0);
    EXPECT_EQ(s.m.fields().mPerCent, 13.5f);
    EXPECT_EQ(s.host.newSplits, (std::vector<qint32>{12, 14}));
}

TEST(WinSplitDrag, ZeroExtentKeepsThePercentage)
{
    TestSplitter s(0);
    s.m.setSize(0, 0);
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 10, 0);
    s.m.imgSense_MouseUp(1, 0, 10, 0);
    EXPECT_EQ(s.m.fields().mPerCent, 50.0f);
    EXPECT_EQ(s.m.fields().mDragging, 0);
    EXPECT_EQ(s.host.newSplits, (std::vector<qint32>{50}));
}
