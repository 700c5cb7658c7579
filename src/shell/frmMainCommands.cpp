// Commands of the main window that open the secondary windows or act on the
// packet list.
#include "shell/frmMain.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDateTime>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QModelIndex>
#include <QPlainTextEdit>
#include <QTimer>

#include "filters/frmFiltro.h"
#include "inspect/ListHandlers.h"
#include "inspect/PayloadPane.h"
#include "ports/frmConfig.h"
#include "views/PacketViewWidgets.h"
#include "views/frmTotals.h"

namespace quillet {

void frmMain::ToggleFollow()
{
    views_.bNoFollow = !views_.bNoFollow;
}

void frmMain::ShowFilterDialog()
{
    FilterDialogContext context;
    context.dFiltro = &views_.dFiltro;
    context.cF = &views_.cF;
    context.appendTab = [this](const QString& name) { return viewWidgets_->AppendFilterTab(name); };
    context.resolve = [this](const std::string& name) { return HostNameToAddress(name, *sink_); };
    context.message = [this](const QString& text) { Tell(text); };
    frmFiltro::Open(frmFiltro_, context);
}

frmTotals* frmMain::ShowTotals()
{
    if (!frmTotals_) {
        frmTotals_ = new frmTotals(views_, this);
        frmTotals_->setAttribute(Qt::WA_DeleteOnClose);
        frmTotals_->now = [this]() -> std::int64_t {
            return CaptureOpen() ? QDateTime::currentMSecsSinceEpoch() * 1000 : 0;
        };
        frmTotals_->onHostFilter = [this](const QString& address) { AddHostFilter(address); };
    }
    frmTotals_->Refresh();
    frmTotals_->show();
    frmTotals_->raise();
    frmTotals_->activateWindow();
    return frmTotals_;
}

void frmMain::AddHostFilter(const QString& address)
{
    const std::string key = address.toStdString();
    if (views_.dFiltro.exists(key))
        return;
    auto filter = std::make_shared<cFilter>();
    filter->bSrc = true;
    filter->bDest = true;
    filter->Src = key;
    filter->Dest = key;
    if (viewWidgets_->AppendFilterTab(address).isEmpty()) {
        views_.dFiltro.assign(key, filter);
        views_.cF = filter;
    }
}

void frmMain::ShowConfigDialog()
{
    frmConfig::Open(frmConfig_, views_.Prefs());
}

// The payload panes follow the current row of lv however it changes (mouse,
// keyboard, the follow of new rows once per burst, a rebuild); a list
// emptied or rebuilt without a current row empties them. Return or Enter
// on the list opens the info window as a double-click does.
void frmMain::ConnectListHandlers()
{
    QAbstractItemView* list = viewWidgets_->lv();
    connect(list, &QAbstractItemView::clicked, this, &frmMain::lv_Click);
    connect(list, &QAbstractItemView::doubleClicked, this, &frmMain::lv_DblClick);
    connect(list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { lv_CurrentRowChanged(current); });
    // A reset drops the current row without a signal.
    connect(list->model(), &QAbstractItemModel::modelReset, this, [this] {
        if (!viewWidgets_->lv()->currentIndex().isValid())
            lv_CurrentRowChanged(QModelIndex());
    });
    list->installEventFilter(this);

    followFill_ = new QTimer(this);
    followFill_->setSingleShot(true);
    connect(followFill_, &QTimer::timeout, this, [this] {
        const QModelIndex current = viewWidgets_->lv()->currentIndex();
        if (current.isValid()) {
            FillPanes(current);
            lastFollowFill_.start();
        }
    });
}

void frmMain::FillPanes(const QModelIndex& row)
{
    ++paneFills_;
    filledOnPress_ = -1;
    lv_ItemClick(row, Text1_, txtData_);
}

// Shows the clicked packet's payload in the hex dump and text view.
void frmMain::lv_Click(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    // The press that made this row current has filled the panes already.
    if (filledOnPress_ == index.row()) {
        filledOnPress_ = -1;
        return;
    }
    FillPanes(index);
}

void frmMain::lv_CurrentRowChanged(const QModelIndex& current)
{
    if (!current.isValid()) {
        followFill_->stop();
        filledOnPress_ = -1;
        ShowPayload(Text1_, txtData_, QByteArray());
        return;
    }
    // A big payload takes tens of milliseconds to show: under load the
    // follow refreshes the panes a few times a second, not after every burst.
    if (endingBurst_) {
        const qint64 since = lastFollowFill_.isValid() ? lastFollowFill_.elapsed() : kFollowFillIntervalMs;
        if (since < kFollowFillIntervalMs) {
            if (!followFill_->isActive())
                followFill_->start(static_cast<int>(kFollowFillIntervalMs - since));
            return;
        }
        lastFollowFill_.start();
    }
    followFill_->stop();
    FillPanes(current);
    if (QApplication::mouseButtons() & Qt::LeftButton)
        filledOnPress_ = current.row();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (viewWidgets_ && watched == viewWidgets_->lv() && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && mods == Qt::NoModifier) {
            lv_DblClick(viewWidgets_->lv()->currentIndex());
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// Opens the info window for the double-clicked packet's ports.
void frmMain::lv_DblClick(const QModelIndex& /*index*/)
{
    quillet::lv_DblClick(viewWidgets_->lv(), views_.Ports(), frmInfo_);
}

}  // namespace quillet
