#include "shell/CaptureStatusBar.h"

#include <QLabel>
#include <QProgressBar>

#include "core/Twips.h"

namespace quillet {

CaptureStatusBar::CaptureStatusBar(QWidget* parent) : QStatusBar(parent)
{
    setObjectName(QStringLiteral("stB"));
    setSizeGripEnabled(true);
    const char* const names[] = {nullptr, "stBState", "stBDrops", "stBRate"};
    for (int i = 0; i < 4; ++i) {
        auto* label = new QLabel(this);
        // The state names the interface: its name is text, not markup.
        label->setTextFormat(Qt::PlainText);
        if (names[i])
            label->setObjectName(QString::fromLatin1(names[i]));
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        addWidget(label);
        // Empty before the first start: no empty frames in the bar.
        if (i > 0)
            label->hide();
        panels_[i] = label;
    }
    panels_[0]->setFixedWidth(96);
    shown_ = new QLabel(this);
    shown_->setObjectName(QStringLiteral("stBShown"));
    shown_->setFrameShape(QFrame::StyledPanel);
    shown_->setFrameShadow(QFrame::Sunken);
    addWidget(shown_);
    shown_->hide();
    unread_ = new QLabel(this);
    unread_->setObjectName(QStringLiteral("stBUnread"));
    unread_->setTextFormat(Qt::PlainText);
    unread_->setFrameShape(QFrame::StyledPanel);
    unread_->setFrameShadow(QFrame::Sunken);
    unread_->setStyleSheet(QStringLiteral("QLabel { color: #c00000; }"));
    addWidget(unread_);
    unread_->hide();
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("prgFilter"));
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(120);
    addWidget(progress_);
    progress_->hide();
    Panel(StatusPanel::Drops)->setStyleSheet(QStringLiteral("QLabel { color: #c00000; font-weight: bold; }"));
    setFixedHeight(TwipsToPixels(315));
}

void CaptureStatusBar::Show(StatusPanel panel, const QString& text)
{
    QLabel* label = Panel(panel);
    label->setText(text);
    if (panel != StatusPanel::Count)  // panel 1 is always shown
        label->setVisible(!text.isEmpty());
}

}  // namespace quillet
