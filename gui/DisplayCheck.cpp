#include "gui/DisplayCheck.h"

#include <cstdlib>
#include <string>

namespace portvale {

std::string MissingDisplayReason() {
    auto value = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    };
    const std::string platform = value("QT_QPA_PLATFORM");
    // Qt aborts with a core dump when the X11 platform it was told to use finds no
    // display; any other explicit platform (offscreen, vnc, eglfs, wayland, a list to
    // try in turn) needs no check of ours.
    if (platform == "xcb" || platform.rfind("xcb:", 0) == 0) {
        if (!value("DISPLAY").empty()) return {};
        return "no display available: QT_QPA_PLATFORM is xcb but DISPLAY is not set. Run "
               "Portvale from a desktop session, or set QT_QPA_PLATFORM=offscreen to run "
               "without a window.";
    }
    if (!platform.empty() || !value("DISPLAY").empty() || !value("WAYLAND_DISPLAY").empty())
        return {};
    return "no display available: neither DISPLAY nor WAYLAND_DISPLAY is set. Run Portvale "
           "from a desktop session, or set QT_QPA_PLATFORM=offscreen to run without a window.";
}

}  // namespace portvale
