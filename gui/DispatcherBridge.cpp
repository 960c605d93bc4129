#include "gui/DispatcherBridge.h"

#include "platform/Dispatcher.h"

namespace portvale {

DispatcherBridge::DispatcherBridge(QObject* parent)
    : QObject(parent),
      notifier_(new QSocketNotifier(Dispatcher::Instance().PollFd(), QSocketNotifier::Read, this)),
      retry_(new QTimer(this)) {
    Dispatcher::Instance().BindToCurrentThread();
    retry_->setSingleShot(true);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
    connect(retry_, &QTimer::timeout, this, [this] { Drain(); });
    // Anything posted before Qt's loop started.
    retry_->start(0);
}

void DispatcherBridge::Drain() {
    // One step handles everything queued when it began; what handlers queued meanwhile
    // keeps the descriptor readable and brings the notifier back. The notifier stays
    // on while a handler runs: a box or dialog opened by a socket or serial handler
    // runs a nested Qt loop, and the dispatcher must keep turning inside it (it
    // tolerates nesting; every watch takes its readiness before calling out).
    Dispatcher::Instance().ProcessPending();
}

}  // namespace portvale
