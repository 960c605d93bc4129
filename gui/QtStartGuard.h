#pragma once
// Qt's start under watch: a display that is named but cannot be reached ends in the
// same plain sentence and exit code 2 as a missing one (DisplayCheck.h).

namespace portvale {

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
