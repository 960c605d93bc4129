#pragma once
// Waiting in tests: pump the GUI thread's dispatcher until a condition holds or a
// generous deadline passes. Never a fixed sleep.

#include <chrono>
#include <functional>

#include "platform/Dispatcher.h"

namespace portvale::test {

constexpr std::chrono::seconds kDeadline{10};

inline bool PumpUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = kDeadline) {
    return Dispatcher::Instance().RunFor(limit, condition);
}

}  // namespace portvale::test
