#pragma once

#include <vector>

#include <QObject>
#include <QPoint>
#include <QString>
#include <QVariant>

class QAction;
class QMenu;
class QTabBar;
class QAbstractItemView;
class QTreeView;
class QWidget;

namespace quillet {

class PacketViews;

// The widgets over PacketViews: the packet list lv, the host tree tv, the tab
// strip ts2 under the list, and its popup menu PopUp with mnuDelete
// ("Delete Filter"). Each has its design name as objectName.
//
// Usage by the main window:
//   PacketViews views;                                  // state, whole run
//   PacketViewWidgets w(views, listParent, treeParent, tabsParent, window);
//   ...receive path: views.StorePacket(d, ts); ... w.EndBurst();
//   clear button:    views.ClearList();
//   pause button:    views.bNoFollow = !views.bNoFollow;
//   filter dialog:   appendTab = [&](const QString& n) { return w.AppendFilterTab(n); }
// The row tag and the column tags are roles of lv's model (views/ListRoles.h).
class PacketViewWidgets : public QObject {
    Q_OBJECT

public:
    // Creates lv under listParent, tv under treeParent, ts2 under tabsParent
    // and PopUp (with mnuDelete) owned by menuOwner. The strip gets the tabs
    // the views have; tab 1 is selected.
    PacketViewWidgets(PacketViews& views, QWidget* listParent, QWidget* treeParent, QWidget* tabsParent,
                      QWidget* menuOwner);
    ~PacketViewWidgets() override;

    QAbstractItemView* lv() const { return lv_; }
    QTreeView* tv() const { return tv_; }
    QTabBar* ts2() const { return ts2_; }
    QMenu* PopUp() const { return PopUp_; }
    QAction* mnuDelete() const { return mnuDelete_; }
    PacketViews& Views() const { return views_; }

    // End of a receive burst: rows and nodes inserted, newest row followed.
    void EndBurst();

    // Appends a filter tab to the strip and the views. Empty text when added,
    // else the reason the strip cannot take the name.
    QString AppendFilterTab(const QString& name);
    // Adds a filter tab for the host (source or destination), named by its
    // address, as the filter dialog would; an existing one is kept.
    void AddHostFilter(const QString& address);

    // The handlers, callable directly.
    void ts2_Click();                                        // rebuild for the selected tab
    void ts2_MouseUp(Qt::MouseButton button, const QPoint& globalPos);
    void mnuDelete_Click();

    // Column widths in twips, in column order.
    static int ColumnWidthTwips(int column);

signals:
    // Before PopUp is shown (tests close it; it is modal while open).
    void popUpAboutToShow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Follow(int row);
    void SyncTabs();

    PacketViews& views_;
    QAbstractItemView* lv_ = nullptr;
    QTreeView* tv_ = nullptr;
    QTabBar* ts2_ = nullptr;
    QMenu* PopUp_ = nullptr;
    QAction* mnuDelete_ = nullptr;
    bool syncing_ = false;
    std::vector<QVariant> icons_;  // ImageList1 icons by number
};

}  // namespace quillet
