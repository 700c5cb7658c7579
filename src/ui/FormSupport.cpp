#include "ui/FormSupport.h"

#include <QMessageBox>

#include "capture/ReasonText.h"
#include "core/Twips.h"

namespace quillet {

QFont FormFont(bool bold)
{
    QFont font(QStringLiteral("Liberation Mono"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

void PlaceTwips(QWidget* control, int left, int top, int width, int height)
{
    control->setGeometry(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height));
}

QSize ClientSizeTwips(int width, int height)
{
    return QSize(TwipsToPixels(width), TwipsToPixels(height));
}

void ShowMessageBox(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quillet"), text, QMessageBox::Ok, parent);
    // File names, host names and the system's words come in here: never markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MessageBoxSink::ShowMessage(const std::string& text)
{
    ShowMessageBox(parent_, QString::fromStdString(text));
}

void MessageBoxSink::ShowFailure(const std::string& first, const Reason& why)
{
    ShowMessageBox(parent_, FailureText(first, why));
}

std::function<std::string(const std::string&)> HostNameResolver(QWidget* parent)
{
    QPointer<QWidget> owner(parent);
    return [owner](const std::string& name) {
        MessageBoxSink sink(owner);
        return HostNameToAddress(name, sink);
    };
}

int FlatToolBarStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const
{
    switch (metric) {
    case PM_ToolBarFrameWidth:
    case PM_ToolBarItemMargin:
    case PM_ToolBarItemSpacing:
        return 0;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

}  // namespace quillet
