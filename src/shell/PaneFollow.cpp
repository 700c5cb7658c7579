#include "shell/PaneFollow.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QItemSelectionModel>
#include <QTimer>

namespace quillet {

PaneFollow::PaneFollow(QAbstractItemView* list, std::function<bool()> endingBurst,
                       std::function<void(const QModelIndex& row)> fill, std::function<void()> empty)
    : QObject(list), list_(list), endingBurst_(std::move(endingBurst)), fill_(std::move(fill)),
      empty_(std::move(empty)), timer_(new QTimer(this))
{
    connect(list, &QAbstractItemView::clicked, this, &PaneFollow::Clicked);
    connect(list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { CurrentRowChanged(current); });
    // A reset drops the current row without a signal.
    connect(list->model(), &QAbstractItemModel::modelReset, this, [this] {
        if (!list_->currentIndex().isValid())
            CurrentRowChanged(QModelIndex());
    });
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] {
        const QModelIndex current = list_->currentIndex();
        if (current.isValid()) {
            Fill(current);
            lastFill_.start();
        }
    });
}

void PaneFollow::Fill(const QModelIndex& row)
{
    ++fills_;
    filledOnPress_ = -1;
    fill_(row);
}

void PaneFollow::Clicked(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    // The press that made this row current has filled the panes already.
    if (filledOnPress_ == index.row()) {
        filledOnPress_ = -1;
        return;
    }
    Fill(index);
}

void PaneFollow::CurrentRowChanged(const QModelIndex& current)
{
    if (!current.isValid()) {
        timer_->stop();
        filledOnPress_ = -1;
        empty_();
        return;
    }
    // A big payload takes tens of milliseconds to show: under load the
    // follow refreshes the panes a few times a second, not after every burst.
    if (endingBurst_()) {
        const qint64 since = lastFill_.isValid() ? lastFill_.elapsed() : kIntervalMs;
        if (since < kIntervalMs) {
            if (!timer_->isActive())
                timer_->start(static_cast<int>(kIntervalMs - since));
            return;
        }
        lastFill_.start();
    }
    timer_->stop();
    Fill(current);
    if (QApplication::mouseButtons() & Qt::LeftButton)
        filledOnPress_ = current.row();
}

}  // namespace quillet
