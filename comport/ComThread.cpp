#include "comport/ComThread.h"

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
    SetPriority(port->EventThreadPriority());
    SerialApi().SetCommMask(handle_, EventsToMask(port->Events()));
    Resume();
}

TComThread::~TComThread() {
    Stop();
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
