// The arrangement of the main window's panes.
#include "shell/frmMain.h"

#include <QAbstractItemView>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTabBar>
#include <QTreeView>
#include <QVBoxLayout>

#include "core/Twips.h"
#include "views/PacketViewWidgets.h"

namespace quillet {

// The window between toolbar and status bar: sp divides it into the list pane
// (Frame2: lv over ts2) and the lower pane (Frame1: spBottom with tv and Text1,
// or txtData in its place, over ts).
void frmMain::BuildLayout()
{
    sp_ = new QSplitter(Qt::Vertical, this);
    sp_->setObjectName(QStringLiteral("sp"));
    sp_->setChildrenCollapsible(false);

    auto* upper = new QVBoxLayout(Frame2_);
    upper->setContentsMargins(0, 0, 0, 0);
    upper->setSpacing(0);
    upper->addWidget(viewWidgets_->lv(), 1);
    upper->addWidget(viewWidgets_->ts2(), 0);

    spBottom_ = new QSplitter(Qt::Horizontal, Frame1_);
    spBottom_->setObjectName(QStringLiteral("spBottom"));
    spBottom_->setChildrenCollapsible(false);
    spBottom_->addWidget(viewWidgets_->tv());
    spBottom_->addWidget(Text1_);

    auto* lower = new QVBoxLayout(Frame1_);
    lower->setContentsMargins(0, 0, 0, 0);
    lower->setSpacing(0);
    lower->addWidget(spBottom_, 1);
    lower->addWidget(txtData_, 1);
    lower->addWidget(ts_, 0);

    sp_->addWidget(Frame2_);
    sp_->addWidget(Frame1_);
    sp_->setStretchFactor(0, 1);
    sp_->setStretchFactor(1, 1);
    connect(sp_, &QSplitter::splitterMoved, this, [this](int, int) { sp_Sized(); });
    setCentralWidget(sp_);
}

void frmMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

// The layouts follow the window's size by themselves.
void frmMain::Form_Resize()
{
    sp_Sized();
}

void frmMain::sp_Sized()
{
}

void frmMain::ts_Click()
{
    const bool hex = ts_->currentIndex() == 0;
    txtData_->setVisible(!hex);
    spBottom_->setVisible(hex);
}

}  // namespace quillet
