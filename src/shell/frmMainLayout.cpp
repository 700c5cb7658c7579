// The arrangement of the main window's panes.
#include "shell/frmMain.h"

#include <iterator>

#include <QAbstractItemView>
#include <QComboBox>
#include <QIcon>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QToolBar>
#include <QTreeView>

#include "core/Twips.h"
#include "ui/FormSupport.h"
#include "ui/ImageList1.h"
#include "splitter/PropertyBag.h"
#include "splitter/TP_WinSplit.h"

namespace quillet {

namespace {

// The designed settings of the two splitters, as the window keeps them.
PropertyBag DesignedSettings(int orientation)
{
    PropertyBag bag;
    if (orientation != 0)
        bag.set(QStringLiteral("Orientation"), orientation);
    bag.set(QStringLiteral("Ind_Color"), 0x8000000Du);  // the system highlight colour
    return bag;
}

int Clamp0(int v)
{
    return v < 0 ? 0 : v;
}

}  // namespace

// Between toolbar and status bar the splitter sp divides the window into the
// list pane Frame2 ("HI", above: lv over ts2) and the lower pane Frame1 ("LO",
// below: the splitter spBottom with tv "LO" left and Text1 "HI" right, or
// txtData in its place, over ts). Positions are the designed ones; resizing
// and the splitters place everything at run time (Form_Resize, sp_Sized).
void frmMain::BuildLayout()
{
    // A 32 x 32 window icon from the page with the digits.
    QIcon icon(ImageList1::pixmap(8).scaled(32, 32, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    icon.addPixmap(ImageList1::pixmap(8));
    setWindowIcon(icon);

    sp_ = new TP_WinSplit(this);
    sp_->setObjectName(QStringLiteral("sp"));
    PlaceTwips(sp_, 0, 360, 11175, 6135);
    sp_->readProperties(DesignedSettings(1));

    sp_->addControl(Frame2_, QStringLiteral("HI"));
    PlaceTwips(Frame2_, 60, 60, 10935, 2895);
    PlaceTwips(viewWidgets_->ts2(), 0, 2460, 6495, 375);
    PlaceTwips(viewWidgets_->lv(), 60, 360, 10470, 1920);

    sp_->addControl(Frame1_, QStringLiteral("LO"));
    PlaceTwips(Frame1_, 150, 3263, 10875, 2722);
    PlaceTwips(txtData_, 0, 0, 1995, 615);
    PlaceTwips(ts_, 0, 2220, 6495, 375);

    spBottom_ = new TP_WinSplit(Frame1_);
    spBottom_->setObjectName(QStringLiteral("spBottom"));
    PlaceTwips(spBottom_, 0, 0, 10815, 2235);
    spBottom_->readProperties(DesignedSettings(0));
    spBottom_->addControl(viewWidgets_->tv(), QStringLiteral("LO"));
    PlaceTwips(viewWidgets_->tv(), 150, 150, 5093, 1935);
    spBottom_->addControl(Text1_, QStringLiteral("HI"));
    PlaceTwips(Text1_, 5603, 150, 5062, 1935);

    spBottom_->relayout();
    connect(sp_, &TP_WinSplit::Sized, this, [this] { sp_Sized(); });
    sp_->relayout();
}

// Tab and Shift+Tab go from control to control, top to bottom and left to
// right: the address chooser, the list and its tabs, the host tree, the
// lower tabs, then the hex dump (or the text view in its place). The list
// and the text boxes give the Tab key up instead of using it.
void frmMain::SetTabOrder()
{
    QAbstractItemView* list = viewWidgets_->lv();
    list->setTabKeyNavigation(false);
    Text1_->setTabChangesFocus(true);
    txtData_->setTabChangesFocus(true);
    ts_->setFocusPolicy(Qt::StrongFocus);
    viewWidgets_->ts2()->setFocusPolicy(Qt::StrongFocus);

    QWidget* const chain[] = {Combo1_, list, viewWidgets_->ts2(), viewWidgets_->tv(), ts_, Text1_, txtData_};
    for (std::size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
}

void frmMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

// The splitter takes the window between toolbar and status bar; it then lays
// out its panes and reports Sized, and the panes' contents follow once more.
// A window too small for any split area keeps the last good layout.
void frmMain::Form_Resize()
{
    const int top = tB_->isVisibleTo(this) ? tB_->height() : 0;
    const int bottom = stB_->isVisibleTo(this) ? stB_->height() : 0;
    const int h = height() - bottom - top;
    if (h >= 0)
        sp_->setGeometry(0, top, width(), h);
    sp_Sized();
}

// The contents of both panes of sp, in this order: the lower pane's splitter
// and text box over its tab strip, then the list over its tab strip. A pane
// lower than its tab strip gives the box above the strip no height at all.
void frmMain::sp_Sized()
{
    QAbstractItemView* list = viewWidgets_->lv();
    QTabBar* tabs2 = viewWidgets_->ts2();

    spBottom_->setGeometry(0, 0, Frame1_->width(), Clamp0(Frame1_->height() - ts_->height()));
    txtData_->setGeometry(0, 0, Frame1_->width(), Clamp0(Frame1_->height() - ts_->height()));
    ts_->resize(Frame1_->width(), ts_->height());
    ts_->move(ts_->x(), spBottom_->height());

    list->setGeometry(0, 0, Frame2_->width(), Clamp0(Frame2_->height() - tabs2->height()));
    tabs2->resize(Frame2_->width(), tabs2->height());
    tabs2->move(tabs2->x(), list->height());
}

// Tab 1 of ts shows the host tree and the hex dump, tab 2 the text view.
void frmMain::ts_Click()
{
    switch (ts_->currentIndex() + 1) {
    case 1:
        spBottom_->setVisible(true);
        txtData_->setVisible(false);
        break;
    case 2:
        spBottom_->setVisible(false);
        txtData_->setVisible(true);
        break;
    default:
        break;
    }
}

}  // namespace quillet
