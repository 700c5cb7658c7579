// Commands of the main window that open the secondary windows or act on the
// packet list.
#include "shell/frmMain.h"

#include <QAbstractItemView>
#include <QModelIndex>
#include <QPlainTextEdit>

#include "filters/frmFiltro.h"
#include "inspect/ListHandlers.h"
#include "ports/frmConfig.h"
#include "views/PacketViewWidgets.h"

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

void frmMain::ShowConfigDialog()
{
    frmConfig::Open(frmConfig_, views_.Prefs());
}

void frmMain::ConnectListHandlers()
{
    QAbstractItemView* list = viewWidgets_->lv();
    connect(list, &QAbstractItemView::clicked, this, &frmMain::lv_Click);
    connect(list, &QAbstractItemView::doubleClicked, this, &frmMain::lv_DblClick);
}

// Shows the clicked packet's payload in the hex dump and text view.
void frmMain::lv_Click(const QModelIndex& index)
{
    lv_ItemClick(index, Text1_, txtData_);
}

// Opens the info window for the double-clicked packet's ports.
void frmMain::lv_DblClick(const QModelIndex& /*index*/)
{
    quillet::lv_DblClick(viewWidgets_->lv(), views_.Ports(), frmInfo_);
}

}  // namespace quillet
