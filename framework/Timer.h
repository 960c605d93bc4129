#pragma once
// A timer component: OnTimer runs on the GUI thread every Interval milliseconds while
// Enabled. It rests on a timerfd that the dispatcher watches, so waiting costs no
// thread and no polling; a tick that comes while the handler of the last one is
// still running (a nested loop) is merged into one.

#include <cstdint>

#include "framework/BoundEvent.h"
#include "framework/Component.h"

namespace portvale {

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    // Enabling (re)starts a full interval.
    void SetEnabled(bool value);
    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t milliseconds);

    TNotifyEvent OnTimer;

private:
    void Arm();
    void Tick();

    int fd_ = -1;
    std::uint64_t watch_ = 0;
    bool enabled_ = false;
    std::uint32_t interval_ = 1000;
};

}  // namespace portvale
