#pragma once

#include <QObject>

class QAction;
class QMenu;
class QTreeView;
class QWidget;

namespace quillet {

class HostTreeNames;

// The context menu of the host tree tv: mnuTree, with the checkable entry
// mnuHostNames "显示主机名" (show host names) that turns the host names and
// their look-ups on and off. It shows where tv is right-clicked.
class HostTreeMenu : public QObject {
public:
    HostTreeMenu(QTreeView* tv, HostTreeNames& names, QWidget* menuOwner);

    QMenu* mnuTree() const { return mnuTree_; }
    QAction* mnuHostNames() const { return mnuHostNames_; }

private:
    QMenu* mnuTree_ = nullptr;
    QAction* mnuHostNames_ = nullptr;
};

}  // namespace quillet
