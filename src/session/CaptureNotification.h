#pragma once

#include <cstdint>

namespace quillet {

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
