#pragma once

#include <QStatusBar>

#include "session/CaptureSession.h"

class QLabel;

namespace quillet {

// The main window's status bar stB, 315 twips high: panel 1 (96 pixels)
// counts the datagrams received, then stBState, stBDrops (red, bold) and
// stBRate, each hidden while it has no text.
class CaptureStatusBar : public QStatusBar {
public:
    explicit CaptureStatusBar(QWidget* parent);

    QLabel* Panel(StatusPanel panel) const { return panels_[static_cast<int>(panel)]; }
    // A panel's new text; an empty text hides every panel but the first.
    void Show(StatusPanel panel, const QString& text);

private:
    QLabel* panels_[4] = {};
};

}  // namespace quillet
