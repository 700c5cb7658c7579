#pragma once

#include <cstdint>

#include <QEvent>

#include "session/CaptureNotification.h"

namespace quillet {

// A window message: an event with two parameters and a result. The hooked
// window's own handling and the hook's handlers may set the result; the
// sender reads it back after a synchronous send.
class WindowMessage : public QEvent {
public:
    WindowMessage(int type, std::intptr_t wParam, std::intptr_t lParam)
        : QEvent(static_cast<QEvent::Type>(type)), wParam(wParam), lParam(lParam)
    {
    }

    std::intptr_t wParam;
    std::intptr_t lParam;
    std::int32_t result = 0;
};

}  // namespace quillet
