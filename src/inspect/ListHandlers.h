#pragma once

#include <QPointer>

#include "inspect/frmInfo.h"
#include "ports/PortDatabases.h"

class QAbstractItemView;
class QModelIndex;
class QWidget;

namespace quillet {

// lv_ItemClick: fills the hex dump box Text1 and the text box txtData from
// the payload tag of the clicked row, the line length following the current
// width of Text1.
void lv_ItemClick(const QModelIndex& row, QWidget* Text1, QWidget* txtData);

// lv_DblClick: names both ports of the list's selected row (the port number
// tags of columns 3 and 4, not the texts shown) from all three databases in
// the shared info window. Without a selected row nothing happens; returns
// whether the window was shown.
bool lv_DblClick(const QAbstractItemView* lv, const PortDatabases& db, QPointer<frmInfo>& info);

}  // namespace quillet
