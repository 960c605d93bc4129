#pragma once
// The event worker of an open port: it waits for device events and a stop signal and
// hands each batch to the port's dispatch, on the thread SyncMethod chooses.
//
// Two roads. When the handlers run on the dispatching thread (smThreadSync, the
// port opened on that thread) and the backend lets that thread serve the device's
// input, no thread is started: the dispatcher watches the device and the device wait
// itself, takes in what arrived and dispatches in place, so a received byte wakes one
// thread instead of three. Otherwise a thread blocks in the device wait and hands
// batches over. Both look alike from outside: Finished, FatalException, Detach.

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "comport/ComTypes.h"
#include "comport/EventWaitBlock.h"
#include "framework/Thread.h"
#include "platform/Event.h"
#include "platform/serial/SerialApi.h"

namespace portvale {

class TCustomComPort;

class TComThread : public TThread {
public:
    // Sets the device's event mask from the port's Events and starts the thread.
    explicit TComThread(TCustomComPort* port);
    // Stops the thread and waits for its end (Execute uses this object's members).
    ~TComThread() override;

    void Stop();
    TComEvents PendingEvents() const { return pendingEvents_; }

    // True when the calling thread is inside this thread's dispatch (a handler, or a
    // loop nested in one), where waiting for the thread's end would wait for itself.
    bool DispatchingOnCurrentThread() const;
    // Cuts the thread loose from its port: it touches neither port nor device again,
    // ends after the dispatch in progress and frees itself. The port forgets it.
    void Detach();
    // The port goes away while someone waits for this thread: dispatch nothing more.
    void ForgetPort() { port_ = nullptr; }
    // Event workers alive in the process, detached ones included.
    static int LiveCount();
    // True when the dispatching thread serves the port and no thread runs.
    bool ServedByLoop() const { return onLoop_; }

protected:
    void Execute() override;
    void DispatchComMsg();
    void SendEvents();
    void DoEvents();
    // The thread ended on its own: tell the port on the thread SyncMethod chooses.
    void DispatchPortLost();
    void RunMarked(const std::function<void()>& handlers);

    // The dispatching thread's road.
    void StartOnLoop(int input);
    void ArmLoopWait();
    void ServeLoopWait();
    void UnwatchLoop();
    // Ends the road as the thread ends after its loop: the device wait released,
    // the queues purged and the loss reported unless stopped or failed; never
    // touches a device the port has let go of.
    void EndOnLoop(std::exception_ptr fatal);

private:
    std::atomic<TCustomComPort*> port_;
    HANDLE handle_;
    std::unique_ptr<Event> stopSignal_;
    TComEvents pendingEvents_;
    std::atomic<std::thread::id> dispatchThread_{};

    bool onLoop_ = false;
    std::unique_ptr<EventWaitBlock> loopWait_;
    std::uint64_t inputWatch_ = 0;
    std::uint64_t waitWatch_ = 0;
    bool loopWaitPending_ = false;
    bool loopRefused_ = false;
    bool loopDispatching_ = false;
    bool loopEnded_ = false;
};

}  // namespace portvale
