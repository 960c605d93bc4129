#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

namespace portvale {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline, bool infinite) {
    if (infinite) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

Event::Event(bool manualReset, bool initialState) : set_(initialState), manualReset_(manualReset) {}

Event::~Event() {
    if (fd_ >= 0) ::close(fd_);
}

int Event::Fd() const {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) {
        fd_ = ::eventfd(set_.load() ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return fd_;
}

void Event::ReleaseFd() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Event::MirrorLocked(bool set) const {
    if (fd_ < 0) return;
    ssize_t n;
    if (set) {
        const std::uint64_t one = 1;
        do {
            n = ::write(fd_, &one, sizeof one);
        } while (n < 0 && errno == EINTR);
    } else {
        std::uint64_t value;
        do {
            n = ::read(fd_, &value, sizeof value);
        } while (n < 0 && errno == EINTR);
    }
}

void Event::Set() {
    std::lock_guard lock(mutex_);
    if (set_.exchange(true)) return;
    MirrorLocked(true);
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    if (!set_.exchange(false)) return;
    MirrorLocked(false);
}

bool Event::IsSet() const { return set_.load(); }

bool Event::TryConsume() {
    if (manualReset_) return IsSet();
    // Of two racing waiters only one finds the state set under the lock.
    std::lock_guard lock(mutex_);
    if (!set_.exchange(false)) return false;
    MirrorLocked(false);
    return true;
}

std::uint32_t WaitForSingleObject(Event& event, std::uint32_t timeoutMs) {
    return WaitForMultipleObjects({&event}, false, timeoutMs);
}

std::uint32_t WaitForMultipleObjects(const std::vector<Event*>& events, bool waitAll,
                                     std::uint32_t timeoutMs) {
    if (events.empty()) return WAIT_FAILED;
    // Already signalled: no descriptor, no poll.
    if (!waitAll) {
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i]->TryConsume()) return WAIT_OBJECT_0 + static_cast<std::uint32_t>(i);
    } else if (std::all_of(events.begin(), events.end(), [](Event* e) { return e->IsSet(); })) {
        bool won = true;
        for (Event* e : events) won = e->TryConsume() && won;
        if (won) return WAIT_OBJECT_0;
    }
    if (timeoutMs == 0) return WAIT_TIMEOUT;
    const bool infinite = timeoutMs == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
    std::vector<pollfd> fds(events.size());
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
        int n;
        do {
            n = ::poll(fds.data(), fds.size(), RemainingMs(deadline, infinite));
        } while (n < 0 && errno == EINTR);
        if (n < 0) return WAIT_FAILED;
        if (n > 0) {
            if (waitAll) {
                bool all = true;
                for (auto& p : fds) all = all && (p.revents & POLLIN);
                if (all) {
                    // Auto-reset events are consumed only once all are signalled; a
                    // racing waiter that takes one first sends us back to waiting.
                    bool won = true;
                    for (Event* e : events) won = e->TryConsume() && won;
                    if (won) return WAIT_OBJECT_0;
                }
            } else {
                for (std::size_t i = 0; i < events.size(); ++i)
                    if ((fds[i].revents & POLLIN) && events[i]->TryConsume())
                        return WAIT_OBJECT_0 + static_cast<std::uint32_t>(i);
            }
        }
        if (!infinite && Clock::now() >= deadline) return WAIT_TIMEOUT;
        if (waitAll && n > 0) {
            // Not all signalled yet: wait for a change instead of spinning on the
            // ones already readable.
            std::vector<pollfd> pending;
            for (std::size_t i = 0; i < events.size(); ++i)
                if (!(fds[i].revents & POLLIN)) pending.push_back(pollfd{events[i]->Fd(), POLLIN, 0});
            if (!pending.empty()) {
                int m;
                do {
                    m = ::poll(pending.data(), pending.size(), RemainingMs(deadline, infinite));
                } while (m < 0 && errno == EINTR);
            }
        }
    }
}

}  // namespace portvale
