#include "headless/ServiceManager.h"

#include <dlfcn.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>

#include "framework/SysUtils.h"
#include "headless/Headless.h"

namespace portvale::headless {

namespace {

constexpr std::uint32_t kRefreshMessage = WM_USER + 1;

std::string Counted(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// CLOCK_MONOTONIC, the clock systemd reads MONOTONIC_USEC= by (steady_clock's on Linux).
std::uint64_t MonotonicMicroseconds() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// systemd takes a state line up to the first newline as one field; a note that
// carries one (an error text) must not start a field of its own.
std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// libsystemd, loaded only under the service manager: with the compression and
// crypto libraries it brings, it is most of a megabyte of a process at rest that
// a run without systemd need not carry.
struct Systemd {
    decltype(&sd_notify) notify = nullptr;
    decltype(&sd_watchdog_enabled) watchdogEnabled = nullptr;
};

const Systemd& Library() {
    static const Systemd library = [] {
        Systemd s;
        if (void* handle = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL)) {
            s.notify = reinterpret_cast<decltype(&sd_notify)>(::dlsym(handle, "sd_notify"));
            s.watchdogEnabled = reinterpret_cast<decltype(&sd_watchdog_enabled)>(::dlsym(handle, "sd_watchdog_enabled"));
        }
        return s;
    }();
    return library;
}

}  // namespace

std::string StatusText(const ServiceStatus& s) {
    std::string text = Counted(s.bridges, "bridge", "bridges") + ", " + Counted(s.clients, "client", "clients");
    if (s.serverConnections > 0) text += ", " + Counted(s.serverConnections, "server connection", "server connections");
    if (s.connecting > 0) text += ", " + std::to_string(s.connecting) + " connecting";
    if (s.portsWaiting > 0) text += ", " + Counted(s.portsWaiting, "port", "ports") + " waiting";
    if (s.listenersWaiting > 0) text += ", " + Counted(s.listenersWaiting, "listener", "listeners") + " waiting";
    if (!s.note.empty()) text += "; " + s.note;
    return OneLine(text);
}

ServiceManager::ServiceManager(StatusSource source) : source_(std::move(source)) {
    // The whole cost of a run without systemd: this one look.
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket && *socket;
    if (!active_) return;

    Dispatcher& dispatcher = Dispatcher::Instance();
    window_ = dispatcher.AllocateHWnd([this](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        if (msg != kRefreshMessage) return 0;
        refreshPosted_ = false;
        if (!stopping_) SendStatusIfNew();
        return 0;
    });

    std::uint64_t usec = 0;
    if (Library().watchdogEnabled && Library().watchdogEnabled(0, &usec) > 0 && usec > 0) {
        // Half the interval, as systemd advises: one late ping is not yet a restart.
        const std::uint64_t half = std::max<std::uint64_t>(usec / 2000u, 1u);
        watchdog_ = std::make_unique<TTimer>(nullptr);
        watchdog_->SetInterval(static_cast<std::uint32_t>(std::min<std::uint64_t>(half, UINT32_MAX)));
        watchdog_->OnTimer = [this](TObject*) {
            Send("WATCHDOG=1");
            SendStatusIfNew();
        };
        watchdog_->SetEnabled(true);
    }
}

ServiceManager::~ServiceManager() {
    watchdog_.reset();
    if (window_) Dispatcher::Instance().DeallocateHWnd(window_);
}

void ServiceManager::Ready() {
    if (!active_) return;
    lastStatus_ = StatusText(source_());
    Send("READY=1\nSTATUS=" + lastStatus_);
}

void ServiceManager::Reloading(const std::string& what) {
    if (!active_) return;
    lastStatus_ = OneLine("Reloading " + what);
    // The time lets a newer systemd match this reload to the one it asked for.
    Send(Format("RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=", static_cast<unsigned long long>(MonotonicMicroseconds())) +
         lastStatus_);
}

void ServiceManager::Stopping(const std::string& why) {
    if (!active_) return;
    stopping_ = true;
    if (watchdog_) watchdog_->SetEnabled(false);
    lastStatus_ = OneLine(why);
    Send("STOPPING=1\nSTATUS=" + lastStatus_);
}

void ServiceManager::Changed() {
    if (!active_ || stopping_ || refreshPosted_) return;
    refreshPosted_ = Dispatcher::Instance().PostMessage(window_, kRefreshMessage, 0, 0);
}

void ServiceManager::SendStatusIfNew() {
    const std::string text = StatusText(source_());
    if (text == lastStatus_) return;
    lastStatus_ = text;
    Send("STATUS=" + text);
}

void ServiceManager::Send(const std::string& state) {
    // A manager that went away cannot be told; the bridges run on regardless.
    const int sent = Library().notify ? Library().notify(0, state.c_str()) : -ENOENT;
    if (sent < 0 && !sendFailed_) {
        PrintLine("Cannot reach the service manager at NOTIFY_SOCKET; running on without telling it");
        sendFailed_ = true;
    }
}

}  // namespace portvale::headless
