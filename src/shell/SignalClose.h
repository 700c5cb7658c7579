#pragma once

#include <QObject>

class QSocketNotifier;
class QWidget;

namespace quillet {

// SIGTERM, SIGINT and SIGHUP (logout, Ctrl+C, a closed terminal) end the
// program as the window's close button does: the handler only writes a byte
// to a pipe; on the GUI thread the window is closed and the event loop left,
// so the capture stops and the working directory goes with the window.
// One at a time; the handlers are the default ones again once it is gone.
class SignalClose : public QObject {
public:
    explicit SignalClose(QWidget* window);
    ~SignalClose() override;
    SignalClose(const SignalClose&) = delete;
    SignalClose& operator=(const SignalClose&) = delete;

private:
    void Arrived();

    QWidget* window_;
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quillet
