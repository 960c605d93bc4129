#include "platform/Dispatcher.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace portvale {

namespace {

thread_local int tStepDepth = 0;

constexpr std::uint64_t kPostedWakeId = 0;
constexpr std::uint64_t kSentWakeId = ~std::uint64_t{0};

void SignalEventFd(int fd) {
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    // EAGAIN means the counter is saturated: it is readable anyway.
}

void DrainEventFd(int fd) {
    std::uint64_t value;
    ssize_t n;
    do {
        n = ::read(fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
}

int PollTimeout(Dispatcher::Clock::time_point deadline) {
    const auto now = Dispatcher::Clock::now();
    if (deadline <= now) return 0;
    if (deadline == Dispatcher::Clock::time_point::max()) return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return ms > 1000000 ? 1000000 : static_cast<int>(ms);
}

}  // namespace

struct Dispatcher::Window {
    HWND handle;
    WindowProc proc;
};

struct Dispatcher::SentMessage {
    HWND wnd = 0;
    std::uint32_t msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::function<void()> fn;  // set for a synchronise request
    std::exception_ptr error;
    LRESULT result = 0;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};

Dispatcher& Dispatcher::Instance() {
    // Never destroyed: other threads may still post to it while the process ends.
    static Dispatcher* instance = new Dispatcher();
    return *instance;
}

Dispatcher::Dispatcher() : owner_(std::this_thread::get_id()) {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sentWakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0 || sentWakeFd_ < 0)
        throw std::system_error(errno, std::generic_category(), "dispatcher set-up");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kPostedWakeId;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    ev.data.u64 = kSentWakeId;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, sentWakeFd_, &ev);
}

Dispatcher::~Dispatcher() {
    ::close(sentWakeFd_);
    ::close(wakeFd_);
    ::close(epollFd_);
}

void Dispatcher::BindToCurrentThread() {
    std::lock_guard lock(mutex_);
    owner_ = std::this_thread::get_id();
}

bool Dispatcher::IsGuiThread() const {
    std::lock_guard lock(mutex_);
    return owner_ == std::this_thread::get_id();
}

// ---- hidden windows ----

HWND Dispatcher::AllocateHWnd(WindowProc proc) {
    std::lock_guard lock(mutex_);
    // Handles are never reused, so a message queued for a destroyed window can
    // never reach a newer one.
    const HWND handle = nextHandle_++;
    windows_.emplace(handle, std::make_shared<Window>(Window{handle, std::move(proc)}));
    return handle;
}

void Dispatcher::DeallocateHWnd(HWND wnd) {
    std::vector<std::shared_ptr<SentMessage>> orphans;
    std::shared_ptr<Window> keep;  // released outside the lock: the proc may own objects
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(wnd);
        if (it == windows_.end()) return;
        keep = std::move(it->second);
        windows_.erase(it);
        posted_.erase(std::remove_if(posted_.begin(), posted_.end(),
                                     [wnd](const Posted& p) { return p.wnd == wnd; }),
                      posted_.end());
        for (auto s = sent_.begin(); s != sent_.end();) {
            if (!(*s)->fn && (*s)->wnd == wnd) {
                orphans.push_back(*s);
                s = sent_.erase(s);
            } else {
                ++s;
            }
        }
    }
    for (auto& sent : orphans) Complete(*sent, 0);
}

bool Dispatcher::IsWindow(HWND wnd) const { return FindWindow(wnd) != nullptr; }

std::shared_ptr<Dispatcher::Window> Dispatcher::FindWindow(HWND wnd) const {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(wnd);
    return it == windows_.end() ? nullptr : it->second;
}

bool Dispatcher::PostMessage(HWND wnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    bool wasEmpty;
    {
        std::lock_guard lock(mutex_);
        if (windows_.find(wnd) == windows_.end()) return false;
        wasEmpty = posted_.empty();
        posted_.push_back(Posted{wnd, msg, wParam, lParam});
    }
    // One wake-up per non-empty queue is enough: ProcessPending signals again when it
    // leaves messages behind, so a burst of posts costs one system call, not one each.
    if (wasEmpty) SignalEventFd(wakeFd_);
    return true;
}

LRESULT Dispatcher::SendMessage(HWND wnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (IsGuiThread()) {
        auto window = FindWindow(wnd);
        if (!window) return 0;
        return CallWindow(window, msg, wParam, lParam, nullptr);
    }
    auto sent = std::make_shared<SentMessage>();
    sent->wnd = wnd;
    sent->msg = msg;
    sent->wParam = wParam;
    sent->lParam = lParam;
    {
        std::lock_guard lock(mutex_);
        if (windows_.find(wnd) == windows_.end()) return 0;
        sent_.push_back(sent);
    }
    SignalEventFd(sentWakeFd_);
    std::unique_lock lock(sent->mutex);
    sent->cv.wait(lock, [&] { return sent->done; });
    return sent->result;
}

bool Dispatcher::ReplyMessage(LRESULT result) {
    if (sendStack_.empty() || sendStack_.back() == nullptr) return false;
    SentMessage* sent = sendStack_.back();
    {
        std::lock_guard lock(sent->mutex);
        if (sent->done) return false;
    }
    Complete(*sent, result);
    return true;
}

bool Dispatcher::InSendMessage() const {
    return !sendStack_.empty() && sendStack_.back() != nullptr;
}

LRESULT Dispatcher::DefWindowProc(HWND, std::uint32_t, WPARAM, LPARAM) { return 0; }

void Dispatcher::Complete(SentMessage& sent, LRESULT result) {
    std::lock_guard lock(sent.mutex);
    if (sent.done) return;
    sent.result = result;
    sent.done = true;
    sent.cv.notify_all();
}

LRESULT Dispatcher::CallWindow(const std::shared_ptr<Window>& window, std::uint32_t msg,
                               WPARAM wParam, LPARAM lParam, SentMessage* sent) {
    sendStack_.push_back(sent);
    LRESULT result = 0;
    try {
        result = window->proc(msg, wParam, lParam);
    } catch (...) {
        ReportException(std::current_exception());
    }
    sendStack_.pop_back();
    return result;
}

// ---- synchronise ----

void Dispatcher::Synchronize(const std::function<void()>& fn) {
    if (IsGuiThread()) {
        fn();
        return;
    }
    auto sent = std::make_shared<SentMessage>();
    sent->fn = fn;
    {
        std::lock_guard lock(mutex_);
        sent_.push_back(sent);
    }
    SignalEventFd(sentWakeFd_);
    std::unique_lock lock(sent->mutex);
    sent->cv.wait(lock, [&] { return sent->done; });
    if (sent->error) std::rethrow_exception(sent->error);
}

// ---- file descriptors ----

Dispatcher::WatchId Dispatcher::WatchFd(int fd, std::uint32_t events, FdCallback callback) {
    const WatchId id = nextWatch_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) < 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl(ADD)");
    watches_.emplace(id, std::make_shared<Watch>(Watch{fd, std::move(callback), (events & EPOLLET) != 0}));
    return id;
}

void Dispatcher::ModifyWatch(WatchId id, std::uint32_t events) {
    auto it = watches_.find(id);
    if (it == watches_.end()) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, it->second->fd, &ev) < 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl(MOD)");
    it->second->edgeTriggered = (events & EPOLLET) != 0;
}

void Dispatcher::Unwatch(WatchId id) {
    auto it = watches_.find(id);
    if (it == watches_.end()) return;
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, it->second->fd, nullptr);
    it->second->alive = false;
    watches_.erase(it);
}

// ---- the loop ----

bool Dispatcher::HandleOneSent() {
    std::shared_ptr<SentMessage> sent;
    std::shared_ptr<Window> window;
    {
        std::lock_guard lock(mutex_);
        if (sent_.empty()) return false;
        sent = sent_.front();
        sent_.pop_front();
        if (!sent->fn) {
            auto it = windows_.find(sent->wnd);
            if (it != windows_.end()) window = it->second;
        }
    }
    if (sent->fn) {
        try {
            sent->fn();
        } catch (...) {
            sent->error = std::current_exception();
        }
        Complete(*sent, 0);
    } else {
        LRESULT result = 0;
        if (window) result = CallWindow(window, sent->msg, sent->wParam, sent->lParam, sent.get());
        Complete(*sent, result);
    }
    return true;
}

bool Dispatcher::HandleOnePosted() {
    Posted message{};
    std::shared_ptr<Window> window;
    {
        std::lock_guard lock(mutex_);
        if (posted_.empty()) return false;
        message = posted_.front();
        posted_.pop_front();
        auto it = windows_.find(message.wnd);
        if (it != windows_.end()) window = it->second;
    }
    if (window) CallWindow(window, message.msg, message.wParam, message.lParam, nullptr);
    return true;
}

bool Dispatcher::ProcessSent() {
    DrainEventFd(sentWakeFd_);
    bool any = false;
    while (HandleOneSent()) any = true;
    return any;
}

int Dispatcher::WaitForReady(epoll_event* events, int capacity, int timeoutMs) {
    const int n = ::epoll_wait(epollFd_, events, capacity, timeoutMs);
    return n < 0 ? 0 : n;  // EINTR: nothing ready yet
}

bool Dispatcher::HandleReadyFds(const epoll_event* events, int n) {
    bool any = false;
    for (int i = 0; i < n; ++i) {
        const std::uint64_t id = events[i].data.u64;
        if (id == kPostedWakeId || id == kSentWakeId) continue;
        auto it = watches_.find(id);
        if (it == watches_.end()) continue;
        auto watch = it->second;  // keeps the callback alive if it unwatches itself
        if (!watch->alive) continue;
        any = true;
        try {
            watch->callback(events[i].events);
        } catch (...) {
            ReportException(std::current_exception());
        }
    }
    return any;
}

int Dispatcher::RefreshReadiness(epoll_event* events, int n) {
    // Handlers that ran may have consumed what made a level-triggered descriptor
    // ready; ask again rather than call back on stale readiness. An edge already
    // reported is not reported again, so those are kept. Wake-ups seen now stay
    // signalled for the next step, whose messages they announce.
    epoll_event kept[64];
    int k = 0;
    for (int i = 0; i < n; ++i) {
        const auto it = watches_.find(events[i].data.u64);
        if (it != watches_.end() && it->second->edgeTriggered) kept[k++] = events[i];
    }
    int m = WaitForReady(events, 64 - k, 0);
    for (int i = 0; i < k; ++i) {
        bool again = false;
        for (int j = 0; j < m && !again; ++j) again = events[j].data.u64 == kept[i].data.u64;
        if (!again) events[m++] = kept[i];
    }
    return m;
}

bool Dispatcher::ProcessPending() { return Step(0); }

bool Dispatcher::Dispatching() { return tStepDepth > 0; }

bool Dispatcher::Step(int timeoutMs) {
    if (!IsGuiThread()) throw std::logic_error("ProcessPending called off the GUI thread");
    struct Depth {
        Depth() { ++tStepDepth; }
        ~Depth() { --tStepDepth; }
    } depth;
    // One epoll_wait both waits and tells what is ready, so a step where only
    // descriptors are ready costs no other system call.
    epoll_event events[64];
    int n = WaitForReady(events, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kSentWakeId) DrainEventFd(sentWakeFd_);
        if (events[i].data.u64 == kPostedWakeId) DrainEventFd(wakeFd_);
    }
    bool any = false;
    while (HandleOneSent()) any = true;
    std::size_t count;
    {
        std::lock_guard lock(mutex_);
        count = posted_.size();
    }
    // Only what was queued when this step began, so a handler that posts to itself
    // cannot keep the step going for ever; sent messages stay ahead of posted ones.
    while (count-- > 0) {
        if (QueuedSentCount() > 0) ProcessSent();
        if (!HandleOnePosted()) break;
        any = true;
    }
    bool leftBehind;
    {
        std::lock_guard lock(mutex_);
        leftBehind = !posted_.empty();
    }
    if (leftBehind) SignalEventFd(wakeFd_);
    if (any) n = RefreshReadiness(events, n);
    if (HandleReadyFds(events, n)) any = true;
    return any;
}

bool Dispatcher::RunUntil(const std::function<bool()>& condition, Clock::time_point deadline) {
    for (int timeout = 0;; timeout = PollTimeout(deadline)) {
        Step(timeout);
        if (condition && condition()) return true;
        if (quit_) return condition ? condition() : false;
        if (Clock::now() >= deadline) return condition ? condition() : false;
    }
}

bool Dispatcher::RunFor(std::chrono::milliseconds span, const std::function<bool()>& condition) {
    return RunUntil(condition, Clock::now() + span);
}

void Dispatcher::Run() {
    quit_ = false;
    RunUntil(nullptr, Clock::time_point::max());
    quit_ = false;
}

void Dispatcher::Quit() {
    quit_ = true;
    SignalEventFd(wakeFd_);
}

bool Dispatcher::WaitServingSent(int fd, Clock::time_point deadline) {
    for (;;) {
        if (IsGuiThread()) ProcessSent();
        pollfd p[2] = {{fd, POLLIN, 0}, {sentWakeFd_, POLLIN, 0}};
        const nfds_t count = IsGuiThread() ? 2 : 1;
        int n;
        do {
            n = ::poll(p, count, PollTimeout(deadline));
        } while (n < 0 && errno == EINTR);
        if (n > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) return true;
        if (n == 0 && Clock::now() >= deadline) return false;
    }
}

void Dispatcher::SetExceptionSink(ExceptionSink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

void Dispatcher::ReportException(std::exception_ptr error) {
    ExceptionSink sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    if (sink) {
        try {
            sink(error);
            return;
        } catch (...) {
            // A failing sink must not take the loop down; fall through to stderr.
        }
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "portvale: unhandled exception: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "portvale: unhandled exception\n");
    }
}

std::size_t Dispatcher::WindowCount() const {
    std::lock_guard lock(mutex_);
    return windows_.size();
}

std::size_t Dispatcher::WatchCount() const { return watches_.size(); }

std::size_t Dispatcher::QueuedSentCount() const {
    std::lock_guard lock(mutex_);
    return sent_.size();
}

}  // namespace portvale
