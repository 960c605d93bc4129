#pragma once
// Whether the window can open here, and what the user reads when it cannot: one plain
// sentence on standard error and exit code 2, never Qt's abort with its advice to
// reinstall.

#include <string>

namespace portvale {

// Empty when Qt can open a window here; otherwise a plain sentence saying why not.
std::string MissingDisplayReason();

// The sentence for a display that is named but cannot be reached (no server behind
// DISPLAY, a refused X authority, a Wayland socket gone).
std::string UnreachableDisplayReason();

// Held while Qt starts (from before the QApplication is made until Started): Qt
// ends a start whose platform cannot open its display with a fatal message and an
// abort; this prints UnreachableDisplayReason instead and exits with 2. Qt's
// warnings meanwhile are held back, and passed on only once the start succeeded,
// so a failed start shows the one sentence alone. One at a time; GUI thread.
class QtStartGuard {
public:
    QtStartGuard();
    ~QtStartGuard();
    QtStartGuard(const QtStartGuard&) = delete;
    QtStartGuard& operator=(const QtStartGuard&) = delete;
    // The platform is up: passes the held warnings on and restores Qt's handler.
    void Started();

private:
    bool active_ = true;
};

}  // namespace portvale
