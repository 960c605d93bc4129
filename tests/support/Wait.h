#pragma once
// Waiting in tests: pump the GUI thread's dispatcher until a condition holds or a
// generous deadline passes. Never a fixed sleep.

#include <chrono>
#include <algorithm>
#include <functional>

#include "platform/Dispatcher.h"

namespace portvale::test {

constexpr std::chrono::seconds kDeadline{10};

// Conditions may be made true by other threads without waking the dispatcher, so
// the loop wakes at least every few milliseconds to look again.
inline bool PumpUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = kDeadline) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto& dispatcher = Dispatcher::Instance();
    for (;;) {
        const auto slice = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
        if (dispatcher.RunUntil(condition, slice)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
    }
}

}  // namespace portvale::test
