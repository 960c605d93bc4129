#pragma once
// What systemd learns of a headless run that it started with Type=notify: READY=1 once
// every bridge has started, a one-line STATUS= ("3 bridges, 4 clients, 1 port
// waiting") kept current, RELOADING=1 and READY=1 around a reload, STOPPING=1 at the
// end, and WATCHDOG=1 pings when the unit asks for them (WatchdogSec=).
//
// The pings come from a timer on the dispatcher, at half the interval systemd gave:
// a loop that hangs stops pinging, and systemd restarts the service.
//
// Without NOTIFY_SOCKET in the environment (a run from a shell, or Type=exec) it does
// nothing at all: no timer, no window, no message.
//
// Threading: the dispatching thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "framework/Timer.h"
#include "platform/Dispatcher.h"

namespace portvale::headless {

// How the run's bridges are doing, for the STATUS= line.
struct ServiceStatus {
    int bridges = 0;
    // Accepted TCP clients, over every listening bridge.
    int clients = 0;
    // Bridges that connect out: connected to their server, or still trying.
    int serverConnections = 0;
    int connecting = 0;
    // Serial devices absent or lost, opened again when they appear.
    int portsWaiting = 0;
    // Listening bridges whose TCP port is taken, tried again.
    int listenersWaiting = 0;
    // Said after the counts ("reload failed: ..."); empty for nothing.
    std::string note;
};

// "3 bridges, 4 clients, 1 port waiting": bridges and clients always, the rest only
// when there are any, so that a healthy service's line stays short.
std::string StatusText(const ServiceStatus& status);

class ServiceManager {
public:
    using StatusSource = std::function<ServiceStatus()>;

    // Reads NOTIFY_SOCKET and the watchdog's settings; starts pinging when asked to.
    explicit ServiceManager(StatusSource source);
    ~ServiceManager();
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;

    // True when started by a service manager that listens.
    bool Active() const { return active_; }
    // The watchdog's ping interval; zero when the unit asks for no watchdog.
    std::uint32_t PingIntervalMs() const { return watchdog_ ? watchdog_->Interval() : 0; }

    // Every bridge has started: READY=1 with the status.
    void Ready();
    // A reload begins (RELOADING=1); Ready() says when it is done.
    void Reloading(const std::string& what);
    // The run is ending: STOPPING=1; the pings stop.
    void Stopping(const std::string& why);
    // Something may have changed: the status is looked at again once the current
    // handler is done (so a client that is leaving is no longer counted), and sent
    // when its text differs.
    void Changed();

private:
    void Send(const std::string& state);
    void SendStatusIfNew();

    StatusSource source_;
    bool active_ = false;
    bool stopping_ = false;
    bool refreshPosted_ = false;
    // Said once: a manager that cannot be reached would otherwise fill the log.
    bool sendFailed_ = false;
    std::string lastStatus_;
    std::unique_ptr<TTimer> watchdog_;
    HWND window_ = 0;
};

}  // namespace portvale::headless
