#include "gui/DisplayCheck.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace portvale {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "");
}

constexpr char kAdvice[] =
    "Run Portvale from a desktop session, or set QT_QPA_PLATFORM=offscreen to run without a window.";

struct HeldMessage {
    QtMsgType type;
    QString text;
};

QtMessageHandler gPrevious = nullptr;
std::vector<HeldMessage> gHeld;

void HoldOrRefuse(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtFatalMsg) {
        gHeld.push_back({type, text});
        return;
    }
    // Qt aborts once this returns, and nothing of it is usable: say it plainly and
    // leave without running destructors over a half-made application.
    std::fprintf(stderr, "portvale: %s\n", UnreachableDisplayReason().c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

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

QtStartGuard::QtStartGuard() { gPrevious = qInstallMessageHandler(HoldOrRefuse); }

QtStartGuard::~QtStartGuard() { Started(); }

void QtStartGuard::Started() {
    if (!active_) return;
    active_ = false;
    qInstallMessageHandler(gPrevious);
    std::vector<HeldMessage> held = std::move(gHeld);
    gHeld.clear();
    // Through Qt again, so the handler now installed (Qt's own) formats them.
    for (const HeldMessage& m : held) {
        switch (m.type) {
            case QtDebugMsg: qDebug("%s", qUtf8Printable(m.text)); break;
            case QtInfoMsg: qInfo("%s", qUtf8Printable(m.text)); break;
            case QtWarningMsg: qWarning("%s", qUtf8Printable(m.text)); break;
            case QtCriticalMsg: qCritical("%s", qUtf8Printable(m.text)); break;
            case QtFatalMsg: break;
        }
    }
}

}  // namespace portvale
