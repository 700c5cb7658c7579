#include "shell/SignalClose.h"

#include <csignal>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>

namespace quillet {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile sig_atomic_t gWriteFd = -1;

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    if (gWriteFd >= 0)
        (void)::write(gWriteFd, &byte, 1);
    errno = saved;
}

}  // namespace

SignalClose::SignalClose(QWidget* window) : window_(window)
{
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    gWriteFd = pipe_[1];
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalClose::Arrived);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : kSignals)
        ::sigaction(sig, &action, nullptr);
}

SignalClose::~SignalClose()
{
    if (pipe_[0] < 0)
        return;
    for (int sig : kSignals)
        ::signal(sig, SIG_DFL);
    gWriteFd = -1;
    delete notifier_;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void SignalClose::Arrived()
{
    char bytes[16];
    while (::read(pipe_[0], bytes, sizeof bytes) > 0) {
    }
    if (window_)
        window_->close();
    QCoreApplication::quit();
}

}  // namespace quillet
