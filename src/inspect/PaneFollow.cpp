#include "inspect/PaneFollow.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QByteArray>
#include <QItemSelectionModel>
#include <QModelIndex>
#include <QTimer>

#include "inspect/ListHandlers.h"
#include "inspect/PayloadPane.h"

namespace quillet {

PaneFollow::PaneFollow(QAbstractItemView* list, QWidget* Text1, QWidget* txtData, std::function<bool()> endingBurst,
                       QObject* parent)
    : QObject(parent), list_(list), Text1_(Text1), txtData_(txtData), endingBurst_(std::move(endingBurst))
{
    connect(list, &QAbstractItemView::clicked, this, &PaneFollow::Clicked);
    connect(list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { CurrentRowChanged(current); });
    // A reset drops the current row without a signal.
    connect(list->model(), &QAbstractItemModel::modelReset, this, [this] {
        if (!list_->currentIndex().isValid())
            CurrentRowChanged(QModelIndex());
    });
    followFill_ = new QTimer(this);
    followFill_->setSingleShot(true);
    connect(followFill_, &QTimer::timeout, this, [this] {
        const QModelIndex current = list_->currentIndex();
        if (current.isValid()) {
            Fill(current);
            lastFollowFill_.start();
        }
    });
}

void PaneFollow::Fill(const QModelIndex& row)
{
    ++fills_;
    filledOnPress_ = -1;
    lv_ItemClick(row, Text1_, txtData_);
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
        followFill_->stop();
        filledOnPress_ = -1;
        ShowPayload(Text1_, txtData_, QByteArray());
        return;
    }
    // A big payload takes tens of milliseconds to show: under load the
    // follow refreshes the panes a few times a second, not after every burst.
    if (endingBurst_ && endingBurst_()) {
        const qint64 since = lastFollowFill_.isValid() ? lastFollowFill_.elapsed() : kFillIntervalMs;
        if (since < kFillIntervalMs) {
            if (!followFill_->isActive())
                followFill_->start(static_cast<int>(kFillIntervalMs - since));
            return;
        }
        lastFollowFill_.start();
    }
    followFill_->stop();
    Fill(current);
    if (QApplication::mouseButtons() & Qt::LeftButton)
        filledOnPress_ = current.row();
}

}  // namespace quillet
