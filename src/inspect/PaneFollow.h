#pragma once

#include <functional>

#include <QElapsedTimer>
#include <QObject>

class QAbstractItemView;
class QModelIndex;
class QTimer;
class QWidget;

namespace quillet {

// The payload panes (the hex dump Text1 and the text view txtData) follow
// the current row of a list however it changes (mouse, keyboard, the follow
// of new rows once per burst, a rebuild); a list emptied or rebuilt without
// a current row empties them. A big payload takes tens of milliseconds to
// show: while a burst ends (endingBurst() true) the panes are filled at most
// once per kIntervalMs, a later burst's row when the interval is over. The
// click that ends the mouse press which made a row current does not fill
// them again.
class PaneFollow : public QObject {
public:
    PaneFollow(QAbstractItemView* list, QWidget* Text1, QWidget* txtData, std::function<bool()> endingBurst,
               QObject* parent);

    // A click on a row of the list.
    void Click(const QModelIndex& index);
    // How often the panes were filled from a row; emptying them is not counted.
    int Fills() const { return fills_; }
    static constexpr int kIntervalMs = 100;

private:
    void CurrentRowChanged(const QModelIndex& current);
    void Fill(const QModelIndex& row);

    QAbstractItemView* list_;
    QWidget* Text1_;
    QWidget* txtData_;
    std::function<bool()> endingBurst_;
    QTimer* later_;
    QElapsedTimer lastFill_;  // the last fill by the follow of new rows
    int filledOnPress_ = -1;
    int fills_ = 0;
};

}  // namespace quillet
