#pragma once

#include <chrono>
#include <string>

struct xcb_connection_t;

namespace quillet {

// Before the toolkit opens the X display (it aborts the program when it
// cannot), makes sure the display named by DISPLAY accepts a connection,
// trying again for a while: a virtual display that has just been started may
// not listen yet, and an X server resets itself, refusing clients for a
// moment, whenever its last client leaves. The connection stays open until
// this object is destroyed, so the server cannot reset between this check and
// the toolkit's own connection.
class DisplayHold {
public:
    DisplayHold() = default;
    ~DisplayHold();
    DisplayHold(const DisplayHold&) = delete;
    DisplayHold& operator=(const DisplayHold&) = delete;

    // An empty text when the display answered, or when the program will not
    // use X at all (another platform chosen, a Wayland session); else the
    // message for the user.
    std::string Wait(std::chrono::milliseconds patience);

private:
    xcb_connection_t* connection_ = nullptr;
};

}  // namespace quillet
