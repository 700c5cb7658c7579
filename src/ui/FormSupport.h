#pragma once

#include <functional>
#include <string>

#include <QFont>
#include <QPointer>
#include <QProxyStyle>
#include <QString>
#include <QWidget>

#include "capture/mdlwinsock.h"

namespace quillet {

// The program's form font: Courier New 8.25 pt, whose metric twin on this
// system is Liberation Mono.
QFont FormFont(bool bold = false);

// Places a control at a position given in twips relative to its container.
void PlaceTwips(QWidget* control, int left, int top, int width, int height);

// Size of a window's client area given in twips.
QSize ClientSizeTwips(int width, int height);

// A toolbar style without frame, margin or spacing around the items, so that
// the toolbar is exactly as high as its buttons.
class FlatToolBarStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override;
};

// A modal message box with the text, an OK button, no icon and the program's
// title "Quillet".
void ShowMessageBox(QWidget* parent, const QString& text);

// Shows the messages of the network routines in message boxes.
class MessageBoxSink : public MessageSink {
public:
    explicit MessageBoxSink(QWidget* parent = nullptr) : parent_(parent) {}
    void ShowMessage(const std::string& text) override;
    void ShowFailure(const std::string& first, const Reason& why) override;

private:
    QPointer<QWidget> parent_;
};

// The host name look-up of the network routines, its messages shown in
// message boxes over parent.
std::function<std::string(const std::string& name)> HostNameResolver(QWidget* parent = nullptr);

// One window of a kind at a time: makes it with make() when none is open,
// otherwise keeps the open one with everything in it, then shows it and
// brings it forward. The window is destroyed when it closes, so the next
// opening makes a fresh one.
template <typename Window, typename Make>
Window* ShowSingle(QPointer<Window>& slot, Make make)
{
    if (!slot) {
        slot = make();
        slot->setAttribute(Qt::WA_DeleteOnClose);
        // A secondary window never keeps the program running on its own.
        slot->setAttribute(Qt::WA_QuitOnClose, false);
    }
    slot->show();
    slot->raise();
    slot->activateWindow();
    return slot;
}

}  // namespace quillet
