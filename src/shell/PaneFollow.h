#pragma once

#include <functional>

#include <QElapsedTimer>
#include <QModelIndex>
#include <QObject>

class QAbstractItemView;
class QTimer;

namespace quillet {

// The payload panes follow the current row of a list however it changes
// (mouse, keyboard, the follow of new rows once per burst, a rebuild); a
// list emptied or rebuilt without a current row empties them. A click on
// the row a mouse press just made current does not fill them again. At the
// end of a burst (endingBurst true) they are filled at most once per
// kIntervalMs; a later burst's row is filled when the interval is over.
class PaneFollow : public QObject {
public:
    PaneFollow(QAbstractItemView* list, std::function<bool()> endingBurst,
               std::function<void(const QModelIndex& row)> fill, std::function<void()> empty);
    static constexpr int kIntervalMs = 100;
    // How often the panes were filled from a row; emptying is not counted.
    int Fills() const { return fills_; }

private:
    void Fill(const QModelIndex& row);
    void Clicked(const QModelIndex& index);
    void CurrentRowChanged(const QModelIndex& current);

    QAbstractItemView* list_;
    std::function<bool()> endingBurst_;
    std::function<void(const QModelIndex&)> fill_;
    std::function<void()> empty_;
    QTimer* timer_;
    QElapsedTimer lastFill_;
    int fills_ = 0;
    int filledOnPress_ = -1;
};

}  // namespace quillet
