#include "inspect/frmInfo.h"

#include <QLabel>
#include <QPushButton>

#include "ui/FormSupport.h"

namespace quillet {

frmInfo::frmInfo(QWidget* parent) : QFrame(parent, Qt::Window | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("frmInfo"));
    // A fixed one-pixel border around the client area stands in for the
    // window frame the window manager no longer draws.
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    const int border = frameWidth();
    setFixedSize(ClientSizeTwips(5790, 2430) + QSize(2 * border, 2 * border));

    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::ToolTipBase));
    setPalette(pal);
    setAutoFillBackground(true);

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(FormFont(true));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setTextFormat(Qt::PlainText);
    PlaceTwips(Label1, 0, 0, 5775, 1935);

    Command1 = new QPushButton(tr("关闭"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setFont(FormFont());
    PlaceTwips(Command1, 2288, 2040, 1215, 375);

    for (QWidget* child : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(Command1)})
        child->move(child->pos() + QPoint(border, border));

    connect(Command1, &QPushButton::clicked, this, &QWidget::close);
}

frmInfo* frmInfo::ShowText(QPointer<frmInfo>& slot, const QString& text)
{
    frmInfo* info = ShowSingle(slot, [] { return new frmInfo; });
    info->setText(text);
    return info;
}

QString frmInfo::text() const
{
    return Label1->text();
}

void frmInfo::setText(const QString& text)
{
    Label1->setText(text);
}

}  // namespace quillet
