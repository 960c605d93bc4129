#pragma once
// Drives the GUI thread's dispatcher from Qt's event loop: a socket notifier on the
// dispatcher's pollable descriptor runs ProcessPending whenever something is ready.
// Modal Qt loops (message boxes, dialogs) deliver notifier events too, so handlers
// keep running while a dialog is open, as on Windows.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

namespace portvale {

class DispatcherBridge : public QObject {
    Q_OBJECT
public:
    explicit DispatcherBridge(QObject* parent = nullptr);

private:
    void Drain();

    QSocketNotifier* notifier_;
    QTimer* retry_;
};

}  // namespace portvale
