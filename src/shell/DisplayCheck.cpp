#include "shell/DisplayCheck.h"

#include <cstdlib>
#include <string_view>
#include <thread>

#include <xcb/xcb.h>

namespace quillet {
namespace {

std::string_view Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string_view(v) : std::string_view();
}

// Whether the toolkit will open an X display.
bool UsesX()
{
    const std::string_view platform = Env("QT_QPA_PLATFORM");
    if (!platform.empty())
        return platform.substr(0, 3) == "xcb";
    if (!Env("WAYLAND_DISPLAY").empty() && Env("XDG_SESSION_TYPE") == "wayland")
        return false;
    return !Env("DISPLAY").empty();
}

const char* Reason(int error)
{
    switch (error) {
    case XCB_CONN_CLOSED_PARSE_ERR: return "the display name is not valid";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the display has no such screen";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory";
    default: return "no X server answers there, or it refused this program (check DISPLAY and XAUTHORITY)";
    }
}

}  // namespace

DisplayHold::~DisplayHold()
{
    if (connection_)
        xcb_disconnect(connection_);
}

std::string DisplayHold::Wait(std::chrono::milliseconds patience)
{
    if (connection_ || !UsesX())
        return {};
    const auto deadline = std::chrono::steady_clock::now() + patience;
    int error = 0;
    for (;;) {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        error = xcb_connection_has_error(c);
        if (error == 0) {
            connection_ = c;
            return {};
        }
        xcb_disconnect(c);
        // A malformed name or screen number does not get better by waiting.
        if (error == XCB_CONN_CLOSED_PARSE_ERR || error == XCB_CONN_CLOSED_INVALID_SCREEN ||
            std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "Quillet cannot open the display \"" + std::string(Env("DISPLAY")) + "\": " + Reason(error) + ".\n";
}

}  // namespace quillet
