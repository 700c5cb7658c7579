#pragma once

#include <QElapsedTimer>
#include <QString>

class QProgressDialog;
class QWidget;

namespace quillet {

// The progress of one long file operation: a window-modal dialog once it
// takes a while, Cancel, and the event loop between chunks.
class FileProgress {
public:
    // A progress dialog appears once the work has taken this long.
    static constexpr qint64 kProgressAfterMs = 500;

    FileProgress(QWidget* parent, QString label);
    ~FileProgress();
    FileProgress(const FileProgress&) = delete;
    FileProgress& operator=(const FileProgress&) = delete;

    // Between chunks: shows the fraction done (0..1000) and serves events.
    // User input reaches the window only through the dialog.
    void Step(int permille);
    bool Cancelled() const;

private:
    QWidget* parent_;
    QString label_;
    QElapsedTimer clock_;
    QProgressDialog* dialog_ = nullptr;
};

}  // namespace quillet
