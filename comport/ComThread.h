#pragma once
// The event thread of an open port: it waits for device events and a stop signal and
// hands each batch to the port's dispatch, on the thread SyncMethod chooses.

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "comport/ComTypes.h"
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
    // Event threads alive in the process, detached ones included.
    static int LiveCount();

protected:
    void Execute() override;
    void DispatchComMsg();
    void SendEvents();
    void DoEvents();
    // The thread ended on its own: tell the port on the thread SyncMethod chooses.
    void DispatchPortLost();
    void RunMarked(const std::function<void()>& handlers);

private:
    std::atomic<TCustomComPort*> port_;
    HANDLE handle_;
    std::unique_ptr<Event> stopSignal_;
    TComEvents pendingEvents_;
    std::atomic<std::thread::id> dispatchThread_{};
};

}  // namespace portvale
