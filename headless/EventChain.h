#pragma once
// Observing a component's event without taking it from its owner: the handler that
// was installed runs first, then the observer; when the chain goes, the handler it
// found is put back. Chains on one event must end in the reverse order of their
// start (members of one object, or objects of one scope, do).

#include <utility>

#include "framework/BoundEvent.h"

namespace portvale::headless {

template <typename Signature>
class EventChain;

template <typename... Args>
class EventChain<void(Args...)> {
public:
    using Event = TBoundEvent<void(Args...)>;

    template <typename F>
    EventChain(Event& event, F after) : event_(event), before_(event) {
        event_ = Event([before = before_, after = std::move(after)](Args... args) {
            before(args...);
            after(args...);
        });
    }
    ~EventChain() { event_ = before_; }
    EventChain(const EventChain&) = delete;
    EventChain& operator=(const EventChain&) = delete;

private:
    Event& event_;
    Event before_;
};

}  // namespace portvale::headless
