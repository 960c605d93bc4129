#include "gui/DisplayCheck.h"

#include <cstdlib>
#include <string>

namespace portvale {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "");
}

constexpr char kAdvice[] =
    "Run Portvale from a desktop session, or set QT_QPA_PLATFORM=offscreen to run without a window.";

}  // namespace

std::string MissingDisplayReason() {
    const std::string platform = Env("QT_QPA_PLATFORM");
    // Qt aborts with a core dump when the X11 platform it was told to use finds no
    // display; any other explicit platform (offscreen, vnc, eglfs, wayland, a list to
    // try in turn) needs no check of ours.
    if (platform == "xcb" || platform.rfind("xcb:", 0) == 0) {
        if (!Env("DISPLAY").empty()) return {};
        return std::string("no display available: QT_QPA_PLATFORM is xcb but DISPLAY is not set. ") + kAdvice;
    }
    if (!platform.empty() || !Env("DISPLAY").empty() || !Env("WAYLAND_DISPLAY").empty()) return {};
    return std::string("no display available: neither DISPLAY nor WAYLAND_DISPLAY is set. ") + kAdvice;
}

std::string UnreachableDisplayReason() {
    std::string named;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const std::string value = Env(name);
        if (value.empty()) continue;
        named += (named.empty() ? "" : ", ") + std::string(name) + "=" + value;
    }
    return "no display available: the display could not be reached (" + named + "). " + kAdvice;
}

}  // namespace portvale
