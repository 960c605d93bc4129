#include "framework/Thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/Dispatcher.h"

namespace portvale {

namespace {

int NiceFor(TThreadPriority priority) {
    switch (priority) {
        case TThreadPriority::tpIdle: return 19;
        case TThreadPriority::tpLowest: return 10;
        case TThreadPriority::tpLower: return 5;
        case TThreadPriority::tpNormal: return 0;
        case TThreadPriority::tpHigher: return -5;
        case TThreadPriority::tpHighest: return -10;
        case TThreadPriority::tpTimeCritical: return -20;
    }
    return 0;
}

}  // namespace

TThread::TThread(bool createSuspended) {
    // Starting here would call Execute before the derived object exists; see
    // CreateRunning for threads that start at once.
    (void)createSuspended;
}

TThread::~TThread() {
    if (started_) {
        Terminate();
        WaitFor();
    }
}

void TThread::Resume() {
    bool expected = false;
    if (!started_.compare_exchange_strong(expected, true)) return;
    thread_ = std::thread([this] { Body(); });
}

void TThread::SetPriority(TThreadPriority priority) {
    priority_ = priority;
    if (tid_ != 0 && !Finished()) ApplyPriority();
}

void TThread::ApplyPriority() {
    // Linux threads under the normal scheduler have no priority but their nice value,
    // which is per thread. Raising it needs privileges; without them the thread just
    // keeps the normal level.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_.load()), NiceFor(priority_));
}

void TThread::Body() {
    tid_ = static_cast<int>(::syscall(SYS_gettid));
    if (priority_ != TThreadPriority::tpNormal) ApplyPriority();
    try {
        Execute();
    } catch (...) {
        fatal_ = std::current_exception();
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (...) {
            if (!fatal_) fatal_ = std::current_exception();
        }
    }
    if (FreeOnTerminate) {
        // The destructors below wait for the end; mark it, or they would wait for ever.
        finished_.Set();
        thread_.detach();
        delete this;
        return;
    }
    finished_.Set();
}

int TThread::WaitFor() {
    if (!started_) return returnValue_;
    if (thread_.get_id() == std::this_thread::get_id()) return returnValue_;
    auto& dispatcher = Dispatcher::Instance();
    if (dispatcher.IsGuiThread()) {
        dispatcher.WaitServingSent(finished_.Fd(), Dispatcher::Clock::time_point::max());
    } else {
        WaitForSingleObject(finished_, INFINITE);
    }
    if (thread_.joinable()) thread_.join();
    return returnValue_;
}

void TThread::Synchronize(const std::function<void()>& method) {
    Dispatcher::Instance().Synchronize(method);
}

}  // namespace portvale
