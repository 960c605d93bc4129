#pragma once
// Win32-style event objects over eventfd, so that a thread can wait for several of
// them (and for device descriptors) with poll, and the dispatcher can watch them.

#include <cstdint>
#include <initializer_list>
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
    // Readable while signalled. Waiting with poll does not consume an auto-reset
    // event; call TryConsume after poll reports it.
    int Fd() const { return fd_; }
    // For a manual-reset event: IsSet(). For an auto-reset event: take the signal if
    // it is there (only one waiter wins).
    bool TryConsume();

private:
    int fd_;
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
