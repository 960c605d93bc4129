#pragma once
// The framework's thread class. A thread is created suspended and starts at its first
// Resume. Synchronize runs a method on the GUI thread and waits for it; an exception
// thrown there comes back into the calling thread. WaitFor on the GUI thread keeps
// serving synchronise requests, so a thread that synchronises while the GUI thread
// waits for its end cannot deadlock.
//
// Destruction: a derived class whose Execute uses its own members must end the thread
// in its own destructor (Terminate, wake it, WaitFor) before those members go; the base
// destructor does the same as a last resort, when only the base is left.

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "framework/BoundEvent.h"
#include "platform/Event.h"

namespace portvale {

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread : public TObject {
public:
    explicit TThread(bool createSuspended = true);
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Creates a T and starts it at once (a thread cannot start inside the base
    // constructor, because Execute is not there yet).
    template <typename T, typename... A>
    static T* CreateRunning(A&&... args) {
        T* thread = new T(std::forward<A>(args)...);
        thread->Resume();
        return thread;
    }

    // Starts a suspended thread. Once started it cannot be suspended again.
    void Resume();
    bool Suspended() const { return !started_; }
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    bool Finished() const { return finished_.IsSet(); }

    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority priority);

    // The thread deletes itself after Execute and OnTerminate; nobody may touch it then.
    bool FreeOnTerminate = false;
    // Runs on the GUI thread once Execute has returned.
    TNotifyEvent OnTerminate;

    // Waits for the end of Execute; returns ReturnValue. Serves synchronise requests
    // while waiting on the GUI thread. A thread never started returns at once.
    int WaitFor();
    int ReturnValue() const { return returnValue_; }
    // The exception that ended Execute, kept and not shown.
    std::exception_ptr FatalException() const { return fatal_; }
    // Kernel thread id, for tests and diagnostics (0 before the thread runs).
    int ThreadId() const { return tid_; }

protected:
    virtual void Execute() = 0;
    // For a thread object whose work is served elsewhere (the dispatching thread) and
    // which is never started: records the end as Execute's would be, so Finished,
    // FatalException and WaitFor answer the same.
    void MarkEnded(std::exception_ptr fatal) {
        fatal_ = std::move(fatal);
        finished_.Set();
    }
    void Synchronize(const std::function<void()>& method);
    void SetReturnValue(int value) { returnValue_ = value; }

private:
    void Body();
    void ApplyPriority();

    std::thread thread_;
    std::atomic<bool> started_{false};
    std::atomic<bool> terminated_{false};
    Event finished_{true, false};
    TThreadPriority priority_ = TThreadPriority::tpNormal;
    std::atomic<int> tid_{0};
    int returnValue_ = 0;
    std::exception_ptr fatal_;
};

}  // namespace portvale
