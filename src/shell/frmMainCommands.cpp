// Commands of the main window that open the secondary windows or act on the
// packet list.
#include "shell/frmMain.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QModelIndex>
#include <QPlainTextEdit>

#include "filters/frmFiltro.h"
#include "inspect/ListHandlers.h"
#include "inspect/PaneFollow.h"
#include "inspect/frmStream.h"
#include "ports/frmConfig.h"
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
    context.addFilter = [this](const QString& name, std::shared_ptr<const cFilter> filter) {
        return views_.AddFilter(name, std::move(filter));
    };
    context.resolve = [this](const std::string& name) { return HostNameToAddress(name, session_->Sink()); };
    context.message = [this](const QString& text) { Tell(text); };
    frmFiltro::Open(frmFiltro_, context);
}

frmTotals* frmMain::ShowTotals()
{
    frmTotals* totals = frmTotals::Open(frmTotals_, views_, this, [this] { return CaptureOpen(); },
                                        [this](const QString& address) { viewWidgets_->AddHostFilter(address); });
    // A double-click on a conversation follows it from its first packet.
    totals->onFollowStream = [this](std::uint32_t conversation) {
        const Conversations& conversations = views_.Conversations();
        if (conversation < conversations.size())
            ShowStreamOf(conversations.FirstPacketOf(conversation));
    };
    return totals;
}

frmStream* frmMain::ShowStream(int row)
{
    const PacketListModel& rows = views_.ListModel();
    if (row < 0 || row >= rows.rowCount())
        return nullptr;
    return ShowStreamOf(rows.sequenceOf(static_cast<std::size_t>(row)));
}

frmStream* frmMain::ShowStreamOf(std::int64_t seq)
{
    frmStream* window = frmStream::Open(frmStream_, views_, seq, this);
    window->onFilter = [this](const QString& filter) { return SetDisplayFilter(filter); };
    return window;
}

void frmMain::ShowConfigDialog()
{
    frmConfig::Open(frmConfig_, views_.Prefs());
}

// The payload panes follow the current row of lv (PaneFollow). Return or
// Enter on the list opens the info window as a double-click does.
void frmMain::ConnectListHandlers()
{
    QAbstractItemView* list = viewWidgets_->lv();
    connect(list, &QAbstractItemView::doubleClicked, this, &frmMain::lv_DblClick);
    list->installEventFilter(this);
    paneFollow_ = new PaneFollow(list, Text1_, txtData_, [this] { return session_->EndingBurst(); }, this);
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
