// The splitter's properties (checks, notifications, hide and swap) and its
// settings in the host's property bag.
#include <gtest/gtest.h>

#include <limits>

#include "RecordingSplitHost.h"
#include "splitter/PropertyBag.h"

using quillet::OverflowError;
using quillet::PropertyBag;
using quillet::WinSplitModel;

TEST(WinSplitProperties, PerCentStaysWithinTheLimits)
{
    TestSplitter s;
    s.m.setSPL_PerCent(95);
    EXPECT_EQ(s.m.fields().mPerCent, 90.0f);
    EXPECT_EQ(s.host.notifications, QStringList{"SplitPerCent"});
    EXPECT_EQ(s.host.sizedCount, 1);
    EXPECT_EQ(s.host.controls[s.lo].width, 2685.0f);
    s.m.setSPL_PerCent(5);
    EXPECT_EQ(s.m.SPL_PerCent(), 10);

    // The same value again: no notification, no relayout.
    s.host.clearEvents();
    s.m.setSPL_PerCent(10);
    EXPECT_TRUE(s.host.notifications.isEmpty());
    EXPECT_EQ(s.host.sizedCount, 0);

    // Crossed limits: the lower one wins.
    s.m.setSPL_Limit_LO(80);
    s.m.setSPL_Limit_HI(20);
    s.m.setSPL_PerCent(50);
    EXPECT_EQ(s.m.fields().mPerCent, 80.0f);
}

TEST(WinSplitProperties, LimitsAreCheckedAndMoveTheTravelOnly)
{
    TestSplitter s;
    s.m.setSPL_Limit_LO(3);
    EXPECT_EQ(s.m.SPL_Limit_LO(), 10);
    s.m.setSPL_Limit_HI(120);
    EXPECT_EQ(s.m.SPL_Limit_HI(), 90);
    s.m.setSPL_Limit_HI(5);
    s.m.setSPL_Limit_LO(95);
    EXPECT_EQ(s.m.SPL_Limit_HI(), 5);
    EXPECT_EQ(s.m.SPL_Limit_LO(), 95);
    EXPECT_EQ(s.host.notifications, (QStringList{"Limit_LO", "Limit_HI", "Limit_HI", "Limit_LO"}));
    // The travel limits in twips follow; the split itself stays and nothing is
    // laid out again.
    EXPECT_EQ(s.m.fields().mLowTw, 2850);
    EXPECT_EQ(s.m.fields().mHighTw, 150);
    EXPECT_EQ(s.m.fields().mPerCent, 50.0f);
    EXPECT_EQ(s.host.sizedCount, 0);

    TestSplitter v(1);
    v.m.setSPL_Limit_LO(25);
    EXPECT_EQ(v.m.fields().mLowTw, 1500);
    v.m.setSPL_Limit_HI(75);
    EXPECT_EQ(v.m.fields().mHighTw, 500);
}

TEST(WinSplitProperties, IndicatorFitsInsideTheSenseBar)
{
    TestSplitter s;
    s.m.setSPL_SenseWidth(3);
    EXPECT_EQ(s.m.SPL_Ind_Width(), 1);
    EXPECT_EQ(s.m.fields().mSenseTw, 45);
    EXPECT_EQ(s.m.fields().mIndTw, 15);
    s.m.setSPL_SenseWidth(4);
    s.m.setSPL_Ind_Width(10);
    EXPECT_EQ(s.m.SPL_Ind_Width(), 2);
    // Below a sense width of 3 the indicator keeps one pixel.
    s.m.setSPL_SenseWidth(1);
    EXPECT_EQ(s.m.SPL_Ind_Width(), 1);
    // The sense width itself is not checked.
    s.m.setSPL_SenseWidth(-4);
    EXPECT_EQ(s.m.SPL_SenseWidth(), -4);
    EXPECT_EQ(s.host.notifications,
              (QStringList{"SenseWidth", "SenseWidth", "Ind_Width", "SenseWidth", "SenseWidth"}));

    s.m.setSPL_Ind_Inset(0);
    EXPECT_EQ(s.m.indicator().top, 0.0f);
    EXPECT_EQ(s.m.indicator().height, 2000.0f);
}

TEST(WinSplitProperties, OverflowFailsTheSetter)
{
    TestSplitter s;
    EXPECT_THROW(s.m.setSPL_SenseWidth(std::numeric_limits<qint32>::min()), OverflowError);
    EXPECT_THROW(s.m.setSPL_Limit_LO(std::numeric_limits<qint32>::max()), OverflowError);
    EXPECT_EQ(s.m.SPL_Limit_LO(), std::numeric_limits<qint32>::max());
}

TEST(WinSplitProperties, HideAndUnhideRestoreThePercentage)
{
    TestSplitter s;
    s.m.setSPL_PerCent(37);
    s.host.clearEvents();
    s.m.setSPL_Hide(true);
    EXPECT_EQ(s.m.fields().mPerCent, 0.0f);
    EXPECT_NE(s.m.fields().mHideLO, 0);
    EXPECT_TRUE(s.m.SPL_Hide());
    EXPECT_EQ(s.host.notifications, (QStringList{"SplitPerCent", "SplitHide"}));
    EXPECT_EQ(s.host.sizedCount, 1);
    s.m.setSPL_Hide(false);
    EXPECT_EQ(s.m.fields().mPerCent, 37.0f);
    EXPECT_EQ(s.m.fields().mHideLO, 0);
    EXPECT_FALSE(s.m.SPL_Hide());

    // From one hidden state to the other and back keeps the first percentage.
    s.m.setSPL_Hide(true);
    s.m.setSPL_HideSUP(true);
    EXPECT_EQ(s.m.fields().mPerCent, 100.0f);
    EXPECT_EQ(s.m.fields().mHideLO, 0);
    EXPECT_NE(s.m.fields().mHideHI, 0);
    s.host.clearEvents();
    s.m.setSPL_HideSUP(false);
    EXPECT_EQ(s.m.fields().mPerCent, 37.0f);
    EXPECT_EQ(s.m.fields().mHideHI, 0);
    EXPECT_EQ(s.host.notifications, (QStringList{"SplitPerCent", "SplitHideSUP"}));
}

TEST(WinSplitProperties, UnhideWhileShownKeepsTheSplitAndStillLaysOut)
{
    TestSplitter s;
    s.m.setSPL_PerCent(62);
    s.host.clearEvents();
    s.m.setSPL_Hide(false);
    EXPECT_EQ(s.m.fields().mPerCent, 62.0f);
    EXPECT_EQ(s.m.fields().mHideLO, 0);
    EXPECT_EQ(s.m.fields().mHideHI, 0);
    EXPECT_EQ(s.host.notifications, (QStringList{"SplitPerCent", "SplitHide"}));
    EXPECT_EQ(s.host.sizedCount, 1);
    EXPECT_FALSE(s.m.SPL_HideSUP());
}

TEST(WinSplitProperties, ReadingTheHideFlagsAtTheirPercentageSetsThem)
{
    RecordingSplitHost host;
    WinSplitModel m(host);
    PropertyBag bag;
    bag.set("splitpercent", 100.0f);
    m.UserControl_ReadProperties(bag);
    EXPECT_EQ(m.fields().mHideHI, 0);
    EXPECT_FALSE(m.SPL_Hide());
    EXPECT_TRUE(m.SPL_HideSUP());
    EXPECT_NE(m.fields().mHideHI, 0);
    EXPECT_EQ(m.fields().mHideLO, 0);
}

TEST(WinSplitProperties, SwapExchangesTheTagsEveryTime)
{
    TestSplitter s;
    s.host.controls[s.lo].tag = "lo";
    const int other = s.host.add("Middle");
    s.m.setSPL_PerCent(30);
    s.m.setSPL_SwappedCtls(true);
    EXPECT_TRUE(s.m.SPL_SwappedCtls());
    EXPECT_EQ(s.m.fields().mSwapped, -1);
    EXPECT_EQ(s.host.controls[s.lo].tag, "HI");
    EXPECT_EQ(s.host.controls[s.hi].tag, "LO");
    EXPECT_EQ(s.host.controls[other].tag, "Middle");
    // The former HI pane now takes the left 30 %.
    EXPECT_EQ(RectOf(s.host.controls[s.hi]), (Rect4{0, 0, 885, 2000}));
    EXPECT_EQ(RectOf(s.host.controls[s.lo]), (Rect4{945, 0, 2055, 2000}));
    EXPECT_TRUE(s.host.notifications.contains("SPL_SwappedCtls"));

    // Setting the same value swaps again.
    s.m.setSPL_SwappedCtls(true);
    EXPECT_EQ(s.host.controls[s.lo].tag, "LO");
    s.m.setSPL_SwappedCtls(false);
    EXPECT_EQ(s.m.fields().mSwapped, 0);
    EXPECT_EQ(s.host.controls[s.lo].tag, "HI");
}

TEST(WinSplitProperties, OrientationColoursAndDescriptions)
{
    TestSplitter s;
    s.m.setSPL_Orientation(2);  // any value but 0 stacks the panes
    EXPECT_EQ(s.m.senseMousePointer(), WinSplitModel::kSizeNS);
    EXPECT_EQ(RectOf(s.host.controls[s.hi]), (Rect4{0, 0, 3000, 985}));
    EXPECT_EQ(s.m.SPL_Ind_Color(), WinSplitModel::kSystemHighlight);
    s.host.clearEvents();
    s.m.setSPL_Ind_Color(0x0000FF);
    s.m.setBackClr(0x00FFFFFF);
    EXPECT_EQ(s.m.SPL_Ind_Color(), 0x0000FFu);
    EXPECT_EQ(s.m.BackClr(), 0x00FFFFFFu);
    EXPECT_EQ(s.host.notifications, (QStringList{"Ind_Color", "BackClr"}));
    EXPECT_EQ(s.host.sizedCount, 1);  // the back colour lays nothing out
    EXPECT_TRUE(WinSplitModel::propertyDescription("spl_limit_lo").startsWith("Returns/sets Lower"));
    EXPECT_TRUE(WinSplitModel::propertyDescription("BackClr").isEmpty());
}

// --- persistence -----------------------------------------------------------

TEST(WinSplitPersistence, NewInstanceStoresOnlyTheIndicatorColour)
{
    TestSplitter s;
    PropertyBag bag;
    s.m.UserControl_WriteProperties(bag);
    EXPECT_EQ(bag.keys(), QStringList{"ind_color"});
    EXPECT_EQ(bag.read("IND_COLOR", 0u), WinSplitModel::kSystemHighlight);

    s.m.setSPL_Orientation(1);
    s.m.UserControl_WriteProperties(bag);
    EXPECT_EQ(bag.keys(), (QStringList{"ind_color", "orientation"}));
    EXPECT_EQ(bag.read("Orientation", 0), 1);
}

TEST(WinSplitPersistence, IndicatorColourDefaultsDifferForWriteAndRead)
{
    TestSplitter s;
    s.m.setSPL_Ind_Color(0xFF0000);
    PropertyBag bag;
    s.m.UserControl_WriteProperties(bag);
    EXPECT_FALSE(bag.contains("Ind_Color"));
    RecordingSplitHost host2;
    WinSplitModel loaded(host2);
    loaded.UserControl_ReadProperties(bag);
    EXPECT_EQ(loaded.SPL_Ind_Color(), 0x8000000Du);

    s.m.setSPL_Ind_Color(0x00FF00);
    s.m.UserControl_WriteProperties(bag);
    loaded.UserControl_ReadProperties(bag);
    EXPECT_EQ(loaded.SPL_Ind_Color(), 0x00FF00u);
}

TEST(WinSplitPersistence, BackColourIsNeverStored)
{
    TestSplitter s;
    s.m.setBackClr(0x123456);
    PropertyBag bag;
    s.m.UserControl_WriteProperties(bag);
    EXPECT_FALSE(bag.contains("BackClr"));
    RecordingSplitHost host2;
    WinSplitModel loaded(host2);
    loaded.UserControl_ReadProperties(bag);
    EXPECT_EQ(loaded.BackClr(), WinSplitModel::kButtonFace);
}

TEST(WinSplitPersistence, RoundTripRestoresEverythingButTheHideFlags)
{
    TestSplitter s(1);
    s.m.setSPL_Limit_LO(12);
    s.m.setSPL_Limit_HI(70);
    s.m.setSPL_SenseWidth(8);
    s.m.setSPL_Ind_Width(5);
    s.m.setSPL_Ind_Inset(1);
    s.m.setSPL_SwappedCtls(true);
    // A fractional split from a drag: 35.25 % of 2000 twips.
    s.m.imgSense_MouseDown(1, 0, 0, 0);
    s.m.imgSense_MouseMove(1, 0, 0, 1295 - 1000);
    s.m.imgSense_MouseUp(1, 0, 0, 0);
    ASSERT_EQ(s.m.fields().mPerCent, 35.25f);

    PropertyBag bag;
    s.m.UserControl_WriteProperties(bag);
    EXPECT_EQ(bag.keys(), (QStringList{"splitpercent", "orientation", "sensewidth", "limit_lo",
                                       "limit_hi", "ind_width", "ind_inset", "ind_color",
                                       "spl_swappedctls"}));

    // Through the text form and back.
    PropertyBag copy;
    ASSERT_TRUE(copy.fromText(bag.toText()));

    RecordingSplitHost host2;
    host2.add("HI");
    host2.add("LO");
    WinSplitModel loaded(host2);
    loaded.setSize(3000, 2000);
    loaded.UserControl_ReadProperties(copy);
    const auto& a = s.m.fields();
    const auto& b = loaded.fields();
    EXPECT_EQ(b.mPerCent, 35.25f);
    EXPECT_EQ(b.mOrientation, a.mOrientation);
    EXPECT_EQ(b.mLimitLO, 12);
    EXPECT_EQ(b.mLimitHI, 70);
    EXPECT_EQ(b.mSenseWidth, 8);
    EXPECT_EQ(b.mIndWidth, 5);
    EXPECT_EQ(b.mIndInset, 1);
    EXPECT_EQ(b.mSwapped, -1);
    // Loading lays out and swaps no tags: the pane tagged HI gets the rectangle
    // the saved splitter gave its (swapped) HI pane.
    EXPECT_EQ(host2.controls[0].tag, "HI");
    EXPECT_EQ(s.host.controls[s.lo].tag, "HI");
    EXPECT_EQ(RectOf(host2.controls[0]), (Rect4{0, 0, 3000, 1272.5f}));
    EXPECT_EQ(RectOf(host2.controls[0]), RectOf(s.host.controls[s.lo]));

    // Hide flags are written but not read back.
    s.m.setSPL_Hide(true);
    s.m.UserControl_WriteProperties(bag);
    EXPECT_EQ(bag.read("SplitHide", false), true);
    loaded.UserControl_ReadProperties(bag);
    EXPECT_EQ(loaded.fields().mPerCent, 0.0f);
    EXPECT_EQ(loaded.fields().mHideLO, 0);
}

TEST(WinSplitPersistence, ReadingChecksNothing)
{
    RecordingSplitHost host;
    WinSplitModel m(host);
    PropertyBag bag;
    bag.set("SplitPerCent", 95);
    bag.set("LIMIT_LO", 3);
    bag.set("ind_width", 40);
    m.UserControl_ReadProperties(bag);
    EXPECT_EQ(m.fields().mPerCent, 95.0f);
    EXPECT_EQ(m.SPL_Limit_LO(), 3);
    EXPECT_EQ(m.SPL_Limit_HI(), 90);
    EXPECT_EQ(m.SPL_Ind_Width(), 40);
    EXPECT_EQ(m.SPL_SenseWidth(), 4);
}

TEST(PropertyBag, KeysIgnoreCaseAndDefaultsAreNotStored)
{
    PropertyBag bag;
    bag.write("Orientation", qint32(1), qint32(0));
    bag.write("ORIENTATION", qint32(2), qint32(0));
    EXPECT_EQ(bag.keys(), QStringList{"orientation"});
    EXPECT_EQ(bag.read("orientation", qint32(0)), 2);
    // Writing the default drops the stored value.
    bag.write("orientation", qint32(0), qint32(0));
    EXPECT_EQ(bag.count(), 0);
    EXPECT_EQ(bag.read("Orientation", qint32(7)), 7);
    bag.write("SplitPerCent", 50.0f, 50.0f);
    bag.write("SplitHide", true, false);
    bag.write("Ind_Color", 0x8000000Du, 0xFF0000u);
    EXPECT_EQ(bag.keys(), (QStringList{"splithide", "ind_color"}));
    EXPECT_TRUE(bag.read("splitHIDE", false));
    EXPECT_EQ(bag.read("ind_color", 0u), 0x8000000Du);
}

TEST(PropertyBag, TextFormRoundTripsAndRejectsGarbage)
{
    PropertyBag bag;
    bag.write("Ind_Color", 0x8000000Du, 0xFF0000u);
    bag.write("SplitPerCent", 12.5f, 50.0f);
    bag.write("SplitHide", true, false);
    bag.write("Limit_LO", qint32(-3), qint32(10));
    const QString text = bag.toText();
    EXPECT_EQ(text, "ind_color = &H8000000D\nsplitpercent = 12.5\nsplithide = -1\nlimit_lo = -3\n");

    PropertyBag back;
    ASSERT_TRUE(back.fromText("' designed settings\n\n" + text));
    EXPECT_EQ(back.read("Ind_Color", 0u), 0x8000000Du);
    EXPECT_EQ(back.read("SplitPerCent", 0.0f), 12.5f);
    EXPECT_TRUE(back.read("SplitHide", false));
    EXPECT_EQ(back.read("Limit_LO", qint32(0)), -3);

    EXPECT_FALSE(back.fromText("orientation 1"));
    EXPECT_FALSE(back.fromText("orientation = one"));
    EXPECT_FALSE(back.fromText("= 1"));
    EXPECT_EQ(back.count(), 4);  // unchanged by the failed reads
}
