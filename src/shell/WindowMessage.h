#pragma once

#include <cstdint>

#include <QEvent>

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

// The capture notification (WM_USER + 1): wParam the capture handle, lParam
// the event in its low 16 bits and an error code in its high 16 bits.
inline constexpr int kCaptureNotification = 1025;
// The one event it carries: data can be read.
inline constexpr std::intptr_t FD_READ = 1;

// Composes lParam from an event and an error code.
inline constexpr std::intptr_t MakeSelectLParam(int event, int error)
{
    return static_cast<std::intptr_t>(static_cast<std::uint32_t>(event & 0xFFFF)
                                      | (static_cast<std::uint32_t>(error & 0xFFFF) << 16));
}

}  // namespace quillet
