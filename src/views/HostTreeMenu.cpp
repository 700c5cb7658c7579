#include "views/HostTreeMenu.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QTreeView>

#include "views/HostTreeNames.h"

namespace quillet {

HostTreeMenu::HostTreeMenu(QTreeView* tv, HostTreeNames& names, QWidget* menuOwner) : QObject(menuOwner)
{
    mnuTree_ = new QMenu(menuOwner);
    mnuTree_->setObjectName(QStringLiteral("mnuTree"));
    mnuHostNames_ = mnuTree_->addAction(QCoreApplication::translate("HostTreeMenu", "显示主机名"));
    mnuHostNames_->setObjectName(QStringLiteral("mnuHostNames"));
    mnuHostNames_->setCheckable(true);
    mnuHostNames_->setChecked(names.Enabled());
    connect(mnuHostNames_, &QAction::toggled, this, [&names](bool on) { names.SetEnabled(on); });

    tv->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tv, &QWidget::customContextMenuRequested, this,
            [this, tv](const QPoint& pos) { mnuTree_->popup(tv->viewport()->mapToGlobal(pos)); });
}

}  // namespace quillet
