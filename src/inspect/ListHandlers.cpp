#include "inspect/ListHandlers.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>

#include "inspect/PayloadPane.h"
#include "inspect/PortInfoText.h"
#include "views/ListRoles.h"

namespace quillet {
namespace {

// The selected row: the current row when it is selected, otherwise the first
// selected one.
QModelIndex SelectedRow(const QAbstractItemView* lv)
{
    const QItemSelectionModel* selection = lv->selectionModel();
    if (!selection)
        return {};
    const QModelIndex current = lv->currentIndex();
    if (current.isValid() && selection->isSelected(current))
        return current;
    const QModelIndexList selected = selection->selectedIndexes();
    return selected.isEmpty() ? QModelIndex() : selected.first();
}

std::string PortTag(const QModelIndex& row, int column)
{
    return row.sibling(row.row(), column).data(kColumnTagRole).toString().toStdString();
}

}  // namespace

void lv_ItemClick(const QModelIndex& row, QWidget* Text1, QWidget* txtData)
{
    if (!row.isValid())
        return;
    ShowPayload(Text1, txtData, row.sibling(row.row(), kColProtocol).data(kRowTagRole).toByteArray());
}

bool lv_DblClick(const QAbstractItemView* lv, const PortDatabases& db, QPointer<frmInfo>& info)
{
    const QModelIndex row = SelectedRow(lv);
    if (!row.isValid())
        return false;
    const std::string text = PortInfoText(PortTag(row, kColSrcPort), PortTag(row, kColDestPort), db);
    frmInfo::ShowText(info, QString::fromStdString(text));
    return true;
}

}  // namespace quillet
