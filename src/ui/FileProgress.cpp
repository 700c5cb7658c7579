#include "ui/FileProgress.h"

#include <algorithm>

#include <QCoreApplication>
#include <QLabel>
#include <QProgressDialog>

namespace quillet {

FileProgress::FileProgress(QWidget* parent, QString label) : parent_(parent), label_(std::move(label))
{
    clock_.start();
}

FileProgress::~FileProgress()
{
    delete dialog_;
}

void FileProgress::Step(int permille)
{
    if (!dialog_ && clock_.elapsed() >= kProgressAfterMs) {
        dialog_ = new QProgressDialog(label_, QCoreApplication::translate("FileProgress", "取消"), 0, 1000, parent_);
        dialog_->setObjectName(QStringLiteral("dlgProgress"));
        // The label names a file: its name is text, not markup.
        auto* label = new QLabel(label_, dialog_);
        label->setObjectName(QStringLiteral("lblProgress"));
        label->setTextFormat(Qt::PlainText);
        dialog_->setLabel(label);
        dialog_->setWindowModality(Qt::WindowModal);
        dialog_->setMinimumDuration(0);
        dialog_->setAutoClose(false);
        dialog_->setAutoReset(false);
        dialog_->show();
    }
    if (dialog_)
        dialog_->setValue(std::clamp(permille, 0, 999));
    QCoreApplication::processEvents(dialog_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
}

bool FileProgress::Cancelled() const
{
    return dialog_ && dialog_->wasCanceled();
}

}  // namespace quillet
