#include "framework/Timer.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>

#include "framework/Exceptions.h"
#include "framework/SysUtils.h"
#include "platform/Dispatcher.h"

namespace portvale {

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0) throw Exception(Format("Cannot create a timer (error %d)", errno));
    watch_ = Dispatcher::Instance().WatchFd(fd_, EPOLLIN, [this](std::uint32_t) { Tick(); });
}

TTimer::~TTimer() {
    Dispatcher::Instance().Unwatch(watch_);
    ::close(fd_);
}

void TTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    Arm();
}

void TTimer::SetInterval(std::uint32_t milliseconds) {
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    Arm();
}

void TTimer::Arm() {
    itimerspec timing{};
    if (enabled_ && interval_ > 0) {
        timing.it_value.tv_sec = interval_ / 1000;
        timing.it_value.tv_nsec = static_cast<long>(interval_ % 1000) * 1000000L;
        timing.it_interval = timing.it_value;
    }
    ::timerfd_settime(fd_, 0, &timing, nullptr);
    // A disarmed timer may still have an expiry waiting to be read; it must not tick.
    std::uint64_t expirations;
    while (::read(fd_, &expirations, sizeof expirations) > 0) {
    }
}

void TTimer::Tick() {
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations)) return;
    if (enabled_) OnTimer(this);
}

}  // namespace portvale
