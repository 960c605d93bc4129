#include "gui/QtStartGuard.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "gui/DisplayCheck.h"

namespace portvale {

namespace {

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
