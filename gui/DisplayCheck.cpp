#include "gui/DisplayCheck.h"

#include <cstdlib>

namespace portvale {

std::string MissingDisplayReason() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    // An explicit platform (offscreen, vnc, eglfs, ...) needs no desktop session.
    if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return {};
    return "no display available: neither DISPLAY nor WAYLAND_DISPLAY is set. Run Portvale "
           "from a desktop session, or set QT_QPA_PLATFORM=offscreen to run without a window.";
}

}  // namespace portvale
