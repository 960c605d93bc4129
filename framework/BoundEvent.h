#pragma once
// Bound events: a target object and one of its methods, empty by default. Calling
// an empty event does nothing, so a component can raise its events unconditionally.
// Parameters passed by reference stay references, so a handler can change them
// (an error handler that sets the error code to 0, for instance).

#include <functional>
#include <utility>

namespace portvale {

template <typename Signature>
class TBoundEvent;

template <typename... Args>
class TBoundEvent<void(Args...)> {
public:
    TBoundEvent() = default;

    template <typename T, typename Method>
    TBoundEvent(T* target, Method method)
        : target_(target), call_([target, method](Args... args) {
              (target->*method)(std::forward<Args>(args)...);
          }) {}

    // An unbound callable (a lambda in a test, for example); Target() is null.
    template <typename F, typename = std::enable_if_t<std::is_invocable_v<F&, Args...> &&
                                                      !std::is_same_v<std::decay_t<F>, TBoundEvent>>>
    TBoundEvent(F&& f) : call_(std::forward<F>(f)) {}

    explicit operator bool() const { return static_cast<bool>(call_); }
    bool Assigned() const { return static_cast<bool>(call_); }
    const void* Target() const { return target_; }
    void Clear() {
        target_ = nullptr;
        call_ = nullptr;
    }

    void operator()(Args... args) const {
        if (call_) call_(std::forward<Args>(args)...);
    }

private:
    const void* target_ = nullptr;
    std::function<void(Args...)> call_;
};

class TObject;
class TComponent;
// (Sender)
using TNotifyEvent = TBoundEvent<void(TObject* sender)>;

// The framework's root object class.
class TObject {
public:
    virtual ~TObject() = default;
};

}  // namespace portvale
