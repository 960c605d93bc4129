#pragma once
// Win32-style event objects. The state lives in user space, so setting, resetting,
// testing and waiting for an event already set cost no system call; an eventfd
// mirrors the state once someone asks for a descriptor (to wait for several events
// with poll, or to let the dispatcher watch one). Events made for one transfer and
// never polled therefore never touch the kernel.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace portvale {

constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
constexpr std::uint32_t WAIT_OBJECT_0 = 0;
constexpr std::uint32_t WAIT_TIMEOUT = 258;
constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFFu;

class Event {
public:
    // manualReset: stays signalled until Reset; otherwise a successful wait resets it.
    Event(bool manualReset, bool initialState);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    bool ManualReset() const { return manualReset_; }
    // Readable while signalled, made on first use. Waiting with poll does not consume
    // an auto-reset event; call TryConsume after poll reports it.
    int Fd() const;
    // Closes the descriptor once nobody polls or watches it any more, so an event
    // watched only now and then holds none in between; Fd() makes a fresh one.
    void ReleaseFd();
    // For a manual-reset event: IsSet(). For an auto-reset event: take the signal if
    // it is there (only one waiter wins).
    bool TryConsume();

private:
    void MirrorLocked(bool set) const;

    mutable std::mutex mutex_;  // orders the state with its descriptor
    mutable int fd_ = -1;
    std::atomic<bool> set_{false};
    bool manualReset_;
};

// Waits up to timeoutMs (INFINITE for no limit). WAIT_OBJECT_0 or WAIT_TIMEOUT.
std::uint32_t WaitForSingleObject(Event& event, std::uint32_t timeoutMs);
// Waits for any one of the events (waitAll = false) or all of them (waitAll = true).
// Returns WAIT_OBJECT_0 + index of the event that ended the wait (the lowest index
// when several are signalled), WAIT_TIMEOUT, or WAIT_FAILED for an empty list.
std::uint32_t WaitForMultipleObjects(const std::vector<Event*>& events, bool waitAll,
                                     std::uint32_t timeoutMs);

}  // namespace portvale
