// The main window's panes: window size, both splitters and the lower tabs.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTreeView>

#include "shell/frmMain.h"
#include "splitter/TP_WinSplit.h"

using quillet::TP_WinSplit;
using quillet::frmMain;

namespace {

struct Window {
    QTemporaryDir portDir;  // no port files: the start-up problem is swallowed
    std::unique_ptr<frmMain> w;
    TP_WinSplit* sp = nullptr;
    TP_WinSplit* spBottom = nullptr;
    QWidget* Frame1 = nullptr;
    QWidget* Frame2 = nullptr;

    Window()
    {
        frmMain::Options o;
        o.portDir = portDir.path();
        o.message = [](const QString&) {};
        w = std::make_unique<frmMain>(o);
        w->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        sp = w->findChild<TP_WinSplit*>("sp");
        spBottom = w->findChild<TP_WinSplit*>("spBottom");
        Frame1 = w->findChild<QWidget*>("Frame1");
        Frame2 = w->findChild<QWidget*>("Frame2");
    }

    void resize(int width, int height)
    {
        w->resize(width, height);
        QApplication::processEvents();
    }

    // Drags a splitter's sense bar by (dx, dy) pixels through the window.
    void drag(TP_WinSplit* s, int dx, int dy)
    {
        QWidget* bar = s->senseBar();
        const QPoint from = bar->mapTo(w.get(), bar->rect().center());
        QWindow* win = w->windowHandle();
        QTest::mousePress(win, Qt::LeftButton, {}, from);
        QTest::mouseMove(win, from + QPoint(dx / 2, dy / 2));
        QTest::mouseMove(win, from + QPoint(dx, dy));
        QTest::mouseRelease(win, Qt::LeftButton, {}, from + QPoint(dx, dy));
        QApplication::processEvents();
    }
};

// What must hold after every resize and every drag.
void ExpectLaidOut(const Window& f)
{
    frmMain& w = *f.w;
    // Between the toolbar (330 twips) and the status bar (315 twips).
    const int top = 22;
    const int bottom = 21;
    EXPECT_EQ(w.tB()->height(), top);
    EXPECT_EQ(w.stB()->height(), bottom);
    EXPECT_EQ(f.sp->geometry(), QRect(0, top, w.width(), w.height() - top - bottom));
    // Frame2 above the sense bar, Frame1 below it, both across the splitter.
    const QRect bar = f.sp->senseBar()->geometry();
    EXPECT_EQ(f.Frame2->geometry(), QRect(0, 0, f.sp->width(), bar.top()));
    EXPECT_EQ(f.Frame1->y(), bar.bottom() + 1);
    EXPECT_EQ(f.Frame1->width(), f.sp->width());
    EXPECT_EQ(f.Frame1->y() + f.Frame1->height(), f.sp->height());
    // List over its tabs.
    QAbstractItemView* lv = w.lv();
    EXPECT_EQ(lv->geometry(), QRect(0, 0, f.Frame2->width(), std::max(0, f.Frame2->height() - w.ts2()->height())));
    EXPECT_EQ(w.ts2()->y(), lv->height());
    EXPECT_EQ(w.ts2()->width(), f.Frame2->width());
    // Tree and hex pane (or the text view) over the lower tabs.
    const QRect lower(0, 0, f.Frame1->width(), std::max(0, f.Frame1->height() - w.ts()->height()));
    EXPECT_EQ(f.spBottom->geometry(), lower);
    EXPECT_EQ(w.txtData()->geometry(), lower);
    EXPECT_EQ(w.ts()->y(), f.spBottom->height());
    EXPECT_EQ(w.ts()->width(), f.Frame1->width());
    // Tree left of the bar, hex pane right of it (a hidden splitter places
    // its panes when it is shown again).
    if (!f.spBottom->isVisible())
        return;
    const QRect cut = f.spBottom->senseBar()->geometry();
    EXPECT_EQ(w.tv()->geometry(), QRect(0, 0, cut.left(), f.spBottom->height()));
    EXPECT_EQ(w.Text1()->x(), cut.right() + 1);
    EXPECT_EQ(w.Text1()->x() + w.Text1()->width(), f.spBottom->width());
}

}  // namespace

TEST(MainLayout, StartSizeAndPanes)
{
    Window f;
    ASSERT_TRUE(f.sp && f.spBottom && f.Frame1 && f.Frame2);
    EXPECT_EQ(f.w->size(), QSize(746, 459));  // 11190 x 6885 twips
    EXPECT_EQ(f.w->windowTitle(), "Quillet");
    EXPECT_TRUE(f.w->windowIcon().availableSizes().contains(QSize(32, 32)));
    EXPECT_EQ(f.sp->SPL_Orientation(), 1);
    EXPECT_EQ(f.spBottom->SPL_Orientation(), 0);
    EXPECT_EQ(f.sp->SPL_Ind_Color(), 0x8000000Du);
    EXPECT_EQ(TP_WinSplit::tag(f.Frame2), "HI");
    EXPECT_EQ(TP_WinSplit::tag(f.Frame1), "LO");
    EXPECT_EQ(TP_WinSplit::tag(f.w->tv()), "LO");
    EXPECT_EQ(TP_WinSplit::tag(f.w->Text1()), "HI");
    EXPECT_EQ(f.w->ts()->height(), 25);   // 375 twips
    EXPECT_EQ(f.w->ts2()->height(), 25);
    EXPECT_TRUE(f.spBottom->isVisible());
    EXPECT_FALSE(f.w->txtData()->isVisible());
    EXPECT_FALSE(f.sp->indicator()->isVisible());
    ExpectLaidOut(f);
    // At 50 % of the 416-pixel split area the indicator (2 pixels) is at
    // 208 and the sense bar (4 pixels) one pixel before it: Frame2 above it
    // is 207 pixels high, Frame1 below it 416 - 211 = 205.
    EXPECT_EQ(f.sp->height(), 416);
    EXPECT_EQ(f.sp->senseBar()->geometry(), QRect(0, 207, 746, 4));
    EXPECT_EQ(f.Frame2->height(), 207);
    EXPECT_EQ(f.Frame1->height(), 205);
}

TEST(MainLayout, ResizeKeepsThePanesInPlace)
{
    Window f;
    f.resize(600, 400);
    ExpectLaidOut(f);
    EXPECT_EQ(f.Frame2->width(), 600);
    f.resize(900, 600);
    ExpectLaidOut(f);
    EXPECT_EQ(f.spBottom->width(), 900);

    // As small as the window goes: no pane gets a negative height.
    f.resize(300, 20);
    EXPECT_EQ(f.sp->y() + f.sp->height(), f.w->stB()->y());
    for (QWidget* pane : {static_cast<QWidget*>(f.Frame1), f.Frame2, static_cast<QWidget*>(f.spBottom),
                          static_cast<QWidget*>(f.w->lv()), static_cast<QWidget*>(f.w->txtData())})
        EXPECT_GE(pane->height(), 0) << pane->objectName().toStdString();
    EXPECT_EQ(f.w->lv()->height(), std::max(0, f.Frame2->height() - f.w->ts2()->height()));
    EXPECT_EQ(f.spBottom->height(), std::max(0, f.Frame1->height() - f.w->ts()->height()));
    f.resize(700, 450);
    ExpectLaidOut(f);
}

TEST(MainLayout, DraggingEachSplitterMovesItsPanes)
{
    Window f;
    const int listBefore = f.w->lv()->height();
    const int lowerBefore = f.spBottom->height();
    f.drag(f.sp, 0, 60);
    ExpectLaidOut(f);
    EXPECT_EQ(f.w->lv()->height(), listBefore + 60);
    EXPECT_EQ(f.spBottom->height(), lowerBefore - 60);

    const int treeBefore = f.w->tv()->width();
    f.drag(f.spBottom, -100, 0);
    ExpectLaidOut(f);
    EXPECT_EQ(f.w->tv()->width(), treeBefore - 100);
    EXPECT_EQ(f.spBottom->SPL_PerCent(), 37);
}

TEST(MainLayout, LowerPaneBelowItsTabsGetsNoHeight)
{
    Window f;
    f.resize(600, 160);
    // To the lower limit: the lower pane is shorter than its tab strip.
    f.drag(f.sp, 0, 400);
    EXPECT_LT(f.Frame1->height(), f.w->ts()->height());
    EXPECT_EQ(f.spBottom->height(), 0);
    EXPECT_EQ(f.w->txtData()->height(), 0);
    EXPECT_EQ(f.w->ts()->y(), 0);
    ExpectLaidOut(f);
}

TEST(MainLayout, TextTabTakesTheSameRectangle)
{
    Window f;
    f.w->ts()->setCurrentIndex(1);
    EXPECT_FALSE(f.spBottom->isVisible());
    EXPECT_TRUE(f.w->txtData()->isVisible());
    f.resize(640, 420);
    ExpectLaidOut(f);
    EXPECT_EQ(f.w->txtData()->geometry(), f.spBottom->geometry());
    f.w->ts()->setCurrentIndex(0);
    EXPECT_TRUE(f.spBottom->isVisible());
    EXPECT_FALSE(f.w->txtData()->isVisible());
    EXPECT_EQ(f.w->tv()->height(), f.spBottom->height());
}
