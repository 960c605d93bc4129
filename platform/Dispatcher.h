#pragma once
// The GUI thread's message dispatcher: hidden windows that receive posted and sent
// messages, synchronise requests from other threads, and readiness of file
// descriptors. It stands in for the Windows message queue and window procedures.
//
// Threading: the dispatcher belongs to one thread, the GUI thread (the first thread
// that asks for it, or the one that calls BindToCurrentThread). Messages are handled
// and fd callbacks run on that thread only. PostMessage, SendMessage and Synchronize
// may be called from any thread.
//
// Order: within one ProcessPending step, sent messages and synchronise requests are
// handled first, in their arrival order, then posted messages in posting order, then
// ready file descriptors. Handlers may re-enter the dispatcher (a modal loop calls
// RunUntil), so everything here tolerates nesting.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct epoll_event;

namespace portvale {

using HWND = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr std::uint32_t WM_NULL = 0x0000;
constexpr std::uint32_t WM_USER = 0x0400;

// A window procedure: (message, wParam, lParam) -> result.
using WindowProc = std::function<LRESULT(std::uint32_t, WPARAM, LPARAM)>;
// Receives every exception that escapes a handler run by the dispatcher.
using ExceptionSink = std::function<void(std::exception_ptr)>;
// Called with the epoll events that are ready on a watched descriptor.
using FdCallback = std::function<void(std::uint32_t events)>;

class Dispatcher {
public:
    using Clock = std::chrono::steady_clock;
    using WatchId = std::uint64_t;

    // The process-wide dispatcher; created on first use and bound to that thread.
    static Dispatcher& Instance();

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // Make the calling thread the GUI thread (tests and front ends call it at start).
    void BindToCurrentThread();
    bool IsGuiThread() const;

    // ---- hidden windows ----
    HWND AllocateHWnd(WindowProc proc);
    // Destroys the window; its queued posted messages are dropped, blocked senders
    // are released with result 0. Safe to call from inside the window's own handler.
    void DeallocateHWnd(HWND wnd);
    bool IsWindow(HWND wnd) const;

    // Thread-safe, FIFO. False when the window does not exist.
    bool PostMessage(HWND wnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
    // From the GUI thread: calls the window procedure directly. From another
    // thread: queues the message and blocks until it is handled (or replied to early)
    // and returns the result; 0 when the window does not exist or goes away.
    LRESULT SendMessage(HWND wnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
    // Inside the handler of a message sent from another thread: release the sender
    // now with this result. True when there was a sender to release.
    bool ReplyMessage(LRESULT result);
    // True while the current handler runs for a message sent from another thread.
    bool InSendMessage() const;
    static LRESULT DefWindowProc(HWND wnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam);

    // ---- synchronise ----
    // Runs fn on the GUI thread and waits for it. An exception thrown by fn is
    // rethrown in the caller. Called on the GUI thread, it runs fn directly.
    void Synchronize(const std::function<void()>& fn);

    // ---- file descriptors ----
    // Watch fd for the given epoll events (EPOLLIN, EPOLLOUT, EPOLLET, ...). The
    // callback runs on the GUI thread. The fd must stay open until Unwatch.
    WatchId WatchFd(int fd, std::uint32_t events, FdCallback callback);
    void ModifyWatch(WatchId id, std::uint32_t events);
    // Safe from inside the watch's own callback; no callback runs after it returns.
    void Unwatch(WatchId id);

    // ---- the loop ----
    // The descriptor that turns readable whenever there is something to process.
    int PollFd() const { return epollFd_; }
    // Handles everything that is ready now; returns whether anything was handled.
    bool ProcessPending();
    // True on the GUI thread while a step of the loop runs (a handler, a callback, a
    // loop nested in one): whatever becomes ready meanwhile is looked at before the
    // loop waits again.
    static bool Dispatching();
    // Handles only sent messages and synchronise requests (what a thread waiting on
    // the GUI thread must still serve); returns whether anything was handled.
    bool ProcessSent();
    // Runs the loop until condition() holds (checked after each step), Quit is called,
    // or the deadline passes. Returns condition()'s last value.
    bool RunUntil(const std::function<bool()>& condition, Clock::time_point deadline);
    bool RunFor(std::chrono::milliseconds span, const std::function<bool()>& condition);
    // Runs until Quit.
    void Run();
    void Quit();
    // Waits until fd is readable or the deadline passes. On the GUI thread, sent
    // messages and synchronise requests that arrive meanwhile are handled, so a
    // thread the GUI thread waits for can still synchronise. True when fd is readable.
    bool WaitServingSent(int fd, Clock::time_point deadline);

    void SetExceptionSink(ExceptionSink sink);
    // Hands an exception to the sink (or writes it to stderr when there is none).
    void ReportException(std::exception_ptr error);

    // Number of live windows and watches (for leak checks in tests).
    std::size_t WindowCount() const;
    std::size_t WatchCount() const;
    // Sent messages and synchronise requests waiting to be handled.
    std::size_t QueuedSentCount() const;

private:
    Dispatcher();
    ~Dispatcher();

    struct Window;
    struct SentMessage;
    struct Posted {
        HWND wnd;
        std::uint32_t msg;
        WPARAM wParam;
        LPARAM lParam;
    };
    struct Watch {
        int fd;
        FdCallback callback;
        bool edgeTriggered = false;
        bool alive = true;
    };

    bool HandleOneSent();
    bool HandleOnePosted();
    bool Step(int timeoutMs);
    int WaitForReady(epoll_event* events, int capacity, int timeoutMs);
    int RefreshReadiness(epoll_event* events, int n);
    bool HandleReadyFds(const epoll_event* events, int n);
    LRESULT CallWindow(const std::shared_ptr<Window>& window, std::uint32_t msg, WPARAM wParam,
                       LPARAM lParam, SentMessage* sent);
    std::shared_ptr<Window> FindWindow(HWND wnd) const;
    void Complete(SentMessage& sent, LRESULT result);

    int epollFd_ = -1;
    int wakeFd_ = -1;      // posted messages waiting
    int sentWakeFd_ = -1;  // sent messages or synchronise requests waiting
    std::thread::id owner_;

    mutable std::mutex mutex_;
    std::map<HWND, std::shared_ptr<Window>> windows_;
    HWND nextHandle_ = 0x1000;
    std::deque<Posted> posted_;
    std::deque<std::shared_ptr<SentMessage>> sent_;

    std::map<WatchId, std::shared_ptr<Watch>> watches_;  // GUI thread only
    WatchId nextWatch_ = 1;

    std::vector<SentMessage*> sendStack_;  // GUI thread only: sent messages being handled
    std::atomic<bool> quit_{false};
    ExceptionSink sink_;
};

}  // namespace portvale
