#pragma once

#include <functional>

#include <QElapsedTimer>
#include <QObject>

class QAbstractItemView;
class QModelIndex;
class QTimer;
class QWidget;

namespace quillet {

// The payload panes (hex dump Text1, text view txtData) follow the current
// row of the list however it changes: mouse, keyboard, the follow of new
// rows once per burst, a rebuild; a list emptied or rebuilt without a current
// row empties them. A click on the row a mouse press has just filled does not
// fill them again. At the end of a burst (endingBurst() true) the panes are
// filled at most once per kFillIntervalMs; a later burst's row is filled when
// the interval is over.
class PaneFollow : public QObject {
public:
    PaneFollow(QAbstractItemView* list, QWidget* Text1, QWidget* txtData, std::function<bool()> endingBurst,
               QObject* parent);

    // How often the panes were filled from a row (emptying them not counted).
    int Fills() const { return fills_; }
    static constexpr int kFillIntervalMs = 100;

private:
    void Clicked(const QModelIndex& index);
    void CurrentRowChanged(const QModelIndex& current);
    void Fill(const QModelIndex& row);

    QAbstractItemView* list_;
    QWidget* Text1_;
    QWidget* txtData_;
    std::function<bool()> endingBurst_;
    int fills_ = 0;
    QElapsedTimer lastFollowFill_;
    QTimer* followFill_ = nullptr;
    // The row filled when a mouse press made it current.
    int filledOnPress_ = -1;
};

}  // namespace quillet
