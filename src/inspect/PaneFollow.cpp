#include "inspect/PaneFollow.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QItemSelectionModel>
#include <QTimer>

#include "inspect/ListHandlers.h"
#include "inspect/PayloadPane.h"

namespace quillet {

PaneFollow::PaneFollow(QAbstractItemView* list, QWidget* Text1, QWidget* txtData, std::function<bool()> endingBurst,
                       QObject* parent)
    : QObject(parent), list_(list), Text1_(Text1), txtData_(txtData), endingBurst_(std::move(endingBurst)),
      later_(new QTimer(this))
{
    connect(list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { CurrentRowChanged(current); });
    // A reset drops the current row without a signal.
    connect(list->model(), &QAbstractItemModel::modelReset, this, [this] {
        if (!list_->currentIndex().isValid())
            CurrentRowChanged(QModelIndex());
    });
    later_->setSingleShot(true);
    connect(later_, &QTimer::timeout, this, [this] {
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
    lv_ItemClick(row, Text1_, txtData_);
}

void PaneFollow::Click(const QModelIndex& index)
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
        later_->stop();
        filledOnPress_ = -1;
        ShowPayload(Text1_, txtData_, QByteArray());
        return;
    }
    if (endingBurst_ && endingBurst_()) {
        const qint64 since = lastFill_.isValid() ? lastFill_.elapsed() : kIntervalMs;
        if (since < kIntervalMs) {
            if (!later_->isActive())
                later_->start(static_cast<int>(kIntervalMs - since));
            return;
        }
        lastFill_.start();
    }
    later_->stop();
    Fill(current);
    if (QApplication::mouseButtons() & Qt::LeftButton)
        filledOnPress_ = current.row();
}

}  // namespace quillet
