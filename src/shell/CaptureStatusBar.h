#pragma once

#include <QStatusBar>

#include "session/CaptureSession.h"

class QLabel;
class QProgressBar;

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
    // After the panels: the rows a display filter shows (stBShown) and the
    // progress of a filter that reads payloads (prgFilter); hidden at start.
    QLabel* Shown() const { return shown_; }
    // Beside it: how many rows a payload filter could not read (stBUnread).
    QLabel* Unread() const { return unread_; }
    QProgressBar* FilterProgress() const { return progress_; }

private:
    QLabel* panels_[4] = {};
    QLabel* shown_ = nullptr;
    QLabel* unread_ = nullptr;
    QProgressBar* progress_ = nullptr;
};

}  // namespace quillet
