#include "comport/ComThread.h"

#include <sys/epoll.h>

#include <vector>

#include "comport/ComPort.h"
#include "comport/EventWaitBlock.h"
#include "platform/Dispatcher.h"

namespace portvale {

namespace {

std::atomic<int> liveThreads{0};

// How long a cleared event mask may take to end a pending device wait.
constexpr std::uint32_t kWaitReleaseGraceMs = 2000;

// The order in which a batch is dispatched: errors before the data of the same batch.
struct EventCall {
    TComEvent event;
    void (TCustomComPort::*call)();
};

}  // namespace

void RetireEventWaitBlock(std::unique_ptr<EventWaitBlock> block, bool pending) {
    if (pending && WaitForSingleObject(block->event, kWaitReleaseGraceMs) != WAIT_OBJECT_0) {
        (void)block.release();
    }
}

TComThread::TComThread(TCustomComPort* port)
    : TThread(true), port_(port), handle_(port->DeviceHandle()),
      stopSignal_(std::make_unique<Event>(true, false)) {
    ++liveThreads;
    try {
        SetPriority(port->EventThreadPriority());
        ISerialApi& api = SerialApi();
        // Handlers bound for the dispatching thread may as well be served there.
        const int input = port->SyncMethod() == smThreadSync && Dispatcher::Instance().IsGuiThread()
                              ? api.ServeInputOnLoop(handle_)
                              : -1;
        api.SetCommMask(handle_, EventsToMask(port->Events()));
        if (input >= 0)
            StartOnLoop(input);
        else
            Resume();
    } catch (...) {
        UnwatchLoop();
        --liveThreads;
        throw;
    }
}

TComThread::~TComThread() {
    Stop();
    if (onLoop_ && !loopEnded_) EndOnLoop(nullptr);
    WaitFor();
    --liveThreads;
}

int TComThread::LiveCount() { return liveThreads.load(); }

void TComThread::Stop() {
    stopSignal_->Set();
    std::this_thread::yield();
}

bool TComThread::DispatchingOnCurrentThread() const {
    return dispatchThread_.load() == std::this_thread::get_id();
}

void TComThread::Detach() {
    port_ = nullptr;
    FreeOnTerminate = true;
    stopSignal_->Set();
    // The port closes the device next; its descriptor must leave the dispatcher
    // first, or a device opened meanwhile under the same number would lose its watch.
    UnwatchLoop();
}

// ---- the dispatching thread's road ----

void TComThread::StartOnLoop(int input) {
    onLoop_ = true;
    loopWait_ = std::make_unique<EventWaitBlock>(false);
    Dispatcher& dispatcher = Dispatcher::Instance();
    inputWatch_ = dispatcher.WatchFd(input, EPOLLIN | EPOLLET, [this](std::uint32_t readiness) {
        SerialApi().ServiceInput(handle_, readiness);
        ServeLoopWait();
    });
    // Events raised elsewhere (the backend's worker: drained output, line changes,
    // a write that had to wait) end the device wait; its event brings them here.
    waitWatch_ = dispatcher.WatchFd(loopWait_->event.Fd(), EPOLLIN, [this](std::uint32_t) { ServeLoopWait(); });
    ArmLoopWait();
}

void TComThread::ArmLoopWait() {
    ISerialApi& api = SerialApi();
    loopWait_->mask = 0;
    // Completed at once (events raised meanwhile): its event is set, and the watch
    // dispatches on the next turn of the loop, never inside the call that armed it.
    if (api.WaitCommEvent(handle_, &loopWait_->mask, &loopWait_->overlapped) ||
        api.GetLastError() == ERROR_IO_PENDING) {
        loopWaitPending_ = true;
        return;
    }
    // Refused (the device is gone): the watch ends the road on the loop.
    loopRefused_ = true;
    loopWait_->event.Set();
}

void TComThread::ServeLoopWait() {
    // A handler running a nested loop (a modal box) must not see its batch again;
    // what arrives meanwhile waits in the device's event history.
    if (loopDispatching_ || loopEnded_) return;
    if (!loopRefused_) {
        ISerialApi& api = SerialApi();
        std::uint32_t unused = 0;
        const bool completed = api.GetOverlappedResult(handle_, &loopWait_->overlapped, &unused, false);
        if (!completed && api.GetLastError() == ERROR_IO_INCOMPLETE) return;  // woken for nothing
        loopWaitPending_ = false;
        loopWait_->event.Reset();
        if (completed) {
            pendingEvents_ = MaskToEvents(loopWait_->mask);
            loopDispatching_ = true;
            std::exception_ptr fatal;
            try {
                RunMarked([this] { DoEvents(); });
            } catch (...) {
                fatal = std::current_exception();
            }
            loopDispatching_ = false;
            // A handler closed the port, which let go of this worker.
            if (FreeOnTerminate) {
                delete this;
                return;
            }
            // As on the thread, an exception from a handler ends the road.
            if (fatal) return EndOnLoop(fatal);
        }
        // A wait that ended in failure has no events; the next wait tells whether the
        // device still works.
        ArmLoopWait();
    }
    if (loopRefused_) {
        EndOnLoop(nullptr);
        if (FreeOnTerminate) delete this;
    }
}

void TComThread::UnwatchLoop() {
    if (inputWatch_ == 0 && waitWatch_ == 0) return;
    Dispatcher& dispatcher = Dispatcher::Instance();
    if (inputWatch_) dispatcher.Unwatch(inputWatch_);
    if (waitWatch_) dispatcher.Unwatch(waitWatch_);
    inputWatch_ = waitWatch_ = 0;
}

void TComThread::EndOnLoop(std::exception_ptr fatal) {
    UnwatchLoop();
    loopEnded_ = true;
    ISerialApi& api = SerialApi();
    const bool attached = port_.load() != nullptr;
    if (attached && !fatal) api.SetCommMask(handle_, 0);
    RetireEventWaitBlock(std::move(loopWait_), loopWaitPending_);
    loopWaitPending_ = false;
    if (attached && !fatal) {
        api.PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR);
        if (!stopSignal_->IsSet()) {
            try {
                DispatchPortLost();
            } catch (...) {
                fatal = std::current_exception();
            }
        }
    }
    MarkEnded(fatal);
}

void TComThread::Execute() {
    ISerialApi& api = SerialApi();
    auto wait = std::make_unique<EventWaitBlock>(true);
    const std::vector<Event*> waitList{stopSignal_.get(), &wait->event};
    bool pending = false;
    for (;;) {
        wait->mask = 0;
        if (!api.WaitCommEvent(handle_, &wait->mask, &wait->overlapped)) {
            // A wait the device refuses to start would never end; treat it like a stop
            // rather than spin (an unplugged device refuses every wait).
            if (api.GetLastError() != ERROR_IO_PENDING) break;
        }
        pending = true;
        if (WaitForMultipleObjects(waitList, false, INFINITE) != WAIT_OBJECT_0 + 1) break;
        std::uint32_t unused = 0;
        const bool completed = api.GetOverlappedResult(handle_, &wait->overlapped, &unused, false);
        // A wait still running keeps its block; a new one could not start beside it.
        if (!completed && api.GetLastError() == ERROR_IO_INCOMPLETE) break;
        pending = false;
        // A wait that ended in failure has no events to report, but the device may
        // still work: the next wait tells, and a device that is gone refuses it above.
        if (!completed) continue;
        pendingEvents_ = MaskToEvents(wait->mask);
        DispatchComMsg();
        // Detached inside the dispatch: the port has closed the device already.
        if (!port_.load()) return;
    }
    api.SetCommMask(handle_, 0);
    RetireEventWaitBlock(std::move(wait), pending);
    api.PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR);
    // Ended without being told to: the device refused to wait (unplugged, or the pty's
    // other side closed). Say so once, or the port would sit open and silent.
    if (!stopSignal_->IsSet()) DispatchPortLost();
}

void TComThread::RunMarked(const std::function<void()>& handlers) {
    // Marks the thread the handlers run on while they run, so that a Close from a
    // handler knows not to wait for this thread.
    struct Mark {
        std::atomic<std::thread::id>& slot;
        explicit Mark(std::atomic<std::thread::id>& s) : slot(s) { slot = std::this_thread::get_id(); }
        ~Mark() { slot = std::thread::id(); }
    } mark(dispatchThread_);
    handlers();
}

void TComThread::DispatchPortLost() {
    TCustomComPort* port = port_.load();
    if (!port) return;
    auto dispatchHere = [this] {
        RunMarked([this] {
            if (TCustomComPort* p = port_.load()) p->CallPortLost();
        });
    };
    if (port->SyncMethod() == smNone)
        dispatchHere();
    else
        Synchronize(dispatchHere);
}

void TComThread::DispatchComMsg() {
    TCustomComPort* port = port_.load();
    if (!port) return;
    auto dispatchHere = [this] { RunMarked([this] { DoEvents(); }); };
    switch (port->SyncMethod()) {
        case smThreadSync: Synchronize(dispatchHere); break;
        case smWindowSync: SendEvents(); break;
        case smNone: dispatchHere(); break;
    }
}


void TComThread::DoEvents() {
    static constexpr EventCall kDispatchOrder[] = {
        {evError, &TCustomComPort::CallError},     {evRxChar, &TCustomComPort::CallRxChar},
        {evTxEmpty, &TCustomComPort::CallTxEmpty}, {evBreak, &TCustomComPort::CallBreak},
        {evRing, &TCustomComPort::CallRing},       {evCTS, &TCustomComPort::CallCTSChange},
        {evDSR, &TCustomComPort::CallDSRChange},   {evRxFlag, &TCustomComPort::CallRxFlag},
        {evRLSD, &TCustomComPort::CallRLSDChange}, {evRx80Full, &TCustomComPort::CallRx80Full},
    };
    for (const EventCall& step : kDispatchOrder) {
        if (!pendingEvents_.Contains(step.event)) continue;
        // A handler may have closed (or destroyed) the port.
        TCustomComPort* port = port_.load();
        if (!port) return;
        (port->*step.call)();
    }
}

void TComThread::SendEvents() {
    // The same order as DoEvents.
    static constexpr TComEvent kSendOrder[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                               evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
    for (const TComEvent event : kSendOrder) {
        if (!pendingEvents_.Contains(event)) continue;
        TCustomComPort* port = port_.load();
        if (!port) return;
        Dispatcher::Instance().SendMessage(port->NotifyWindow(), WM_COMPORT_EVENT,
                                           EventsToMask(TComEvents{event}), 0);
    }
}

}  // namespace portvale
