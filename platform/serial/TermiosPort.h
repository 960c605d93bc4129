#pragma once
// One open device of the termios backend: its descriptors, settings, receive queue,
// pending overlapped operations and the worker thread that finishes them. Every
// member is guarded by mutex; the worker sleeps in epoll without it.

#include <linux/serial.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/serial/ReceiveFilter.h"
#include "platform/serial/SerialApi.h"

namespace portvale::termios_backend {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr std::size_t kMinInputCapacity = 4096;
constexpr Millis kLinePollPeriod{20};
constexpr Millis kDrainPollPeriod{10};
constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr std::uint64_t kWakeTag = 1, kInputTag = 2, kOutputTag = 3;

// A system call returning -1 on failure, repeated while a signal interrupts it.
template <typename Call>
int RetryOnEintr(Call call) {
    int r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

// ioctl, retried on EINTR; returns 0 or the errno.
int IoctlRetry(int fd, unsigned long request, void* arg);

// The moment ms milliseconds after from.
inline Clock::time_point After(Clock::time_point from, std::uint64_t ms) {
    return from + Millis(static_cast<Millis::rep>(ms));
}

// Driver without the feature (ptys have no modem lines and no counters).
inline bool NotSupported(int err) { return err == ENOTTY || err == EINVAL; }

// The receive queue in user space.
class ByteQueue {
public:
    std::size_t size() const { return data_.size() - head_; }
    bool empty() const { return size() == 0; }
    void append(const std::string& bytes) { data_ += bytes; }
    std::size_t take(char* out, std::size_t n) {
        n = std::min(n, size());
        std::memcpy(out, data_.data() + head_, n);
        head_ += n;
        if (head_ == data_.size()) {
            data_.clear();
            head_ = 0;
        } else if (head_ > 65536 && head_ > data_.size() / 2) {
            data_.erase(0, head_);
            head_ = 0;
        }
        return n;
    }
    void clear() {
        data_.clear();
        head_ = 0;
    }

private:
    std::string data_;
    std::size_t head_ = 0;
};

struct PendingRead {
    OVERLAPPED* ov = nullptr;
    char* buffer = nullptr;
    std::uint32_t count = 0;
    std::uint32_t done = 0;
    bool immediate = false;    // return what is queued, even nothing
    bool returnOnAny = false;  // return as soon as one byte is there
    std::uint32_t interval = 0;
    std::optional<Clock::time_point> totalDeadline;
    std::optional<Clock::time_point> intervalDeadline;
};

struct PendingWrite {
    OVERLAPPED* ov = nullptr;
    const char* data = nullptr;
    std::uint32_t count = 0;
    std::uint32_t done = 0;
    std::optional<Clock::time_point> deadline;
};

struct PendingWait {
    OVERLAPPED* ov = nullptr;
    std::uint32_t* mask = nullptr;
};

struct TermiosPort {
    std::mutex mutex;
    int fd = -1;
    int outFd = -1;  // dup of fd: watched for EPOLLOUT, only while writes wait
    int epollFd = -1;
    int wakeFd = -1;
    std::thread worker;
    bool stopping = false;
    bool closed = false;
    bool hungUp = false;
    int hangupError = EIO;
    bool outWatched = false;
    // The dispatching thread watches fd for input (ServeInputOnLoop); the worker
    // watches it too only while a read waits, since its caller may be that thread.
    bool inputByLoop = false;
    bool inputWatched = true;  // fd is in the worker's epoll set
    // The kernel's receive queue was found empty and no arrival was reported since:
    // reading it again would only return EAGAIN.
    bool drained = false;
    bool outputMayBeQueued = false;  // bytes written since TIOCOUTQ last read 0
    bool pseudoTerminal = false;  // a pty slave: no line, so no parity or byte size
    // The master of a virtual device (VirtualDevice.h): reads come as packets, and the
    // line settings belong to the program on the slave, so none are made here.
    bool packetMode = false;
    int statusFd = -1;  // a dup of the device's StatusFd, told of every status packet

    DCB dcb;
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    std::uint32_t inQueueSize = kMinInputCapacity;
    std::uint32_t outQueueSize = kMinInputCapacity;

    std::uint32_t mask = 0;
    std::uint32_t history = 0;
    std::optional<PendingWait> wait;
    std::deque<PendingRead> reads;
    std::deque<PendingWrite> writes;
    std::optional<char> waitingChar;  // TransmitCommChar byte the kernel could not take yet

    ByteQueue input;
    ReceiveFilter filter;
    std::string decoded;
    bool above80 = false;
    bool txPending = false;  // bytes went to the kernel since the last EV_TXEMPTY
    bool outputHeld = false; // SETXOFF in force
    bool hasCounters = false;
    bool hasModemLines = false;
    serial_icounter_struct errorBase{};
    serial_icounter_struct eventBase{};
    int modemBase = 0;
    Clock::time_point nextLinePoll{};
    std::optional<Clock::time_point> nextDrainPoll;

    std::size_t Capacity() const { return std::max<std::size_t>(inQueueSize, kMinInputCapacity); }

    // Worker: started on first need, woken through wakeFd.
    void Wake() const;
    void EnsureWorker();
    // What only the worker can do: wait for the device or for time. Without the
    // dispatching thread on the input, that is everything.
    bool NeedsWorker() const;
    void EnsureWorkerIfNeeded() {
        if (NeedsWorker()) EnsureWorker();
    }
    void UpdateInputWatch();
    // An arrival was reported: the next Ingest reads.
    void NoteArrival() { drained = false; }
    // An arrival since the queue was found drained is sure to be taken in soon
    // without this caller's help: the worker is watching, or the caller runs inside
    // the dispatching thread's loop, which looks at the device before it waits
    // again. A caller that polls outside any loop reads for itself.
    bool ArrivalsReported() const;
    bool KnownDrained() const { return drained && ArrivalsReported(); }
    void WorkerLoop();
    int NextTimeoutMs(Clock::time_point now) const;
    void ExpireDeadlines(Clock::time_point now);

    // Events: raised bits complete the pending wait or are remembered for the next.
    void Raise(std::uint32_t bits);
    void CompleteWait(std::uint32_t bits);
    bool LinePolling() const;
    bool ReadCounters(serial_icounter_struct& now) const;
    void CheckLines();
    void ResetEventBaselines();
    void CheckDrained(Clock::time_point now);

    // Receive. Ingest moves what the kernel holds into the receive queue (up to its
    // capacity), raises the receive events and serves pending reads; the worker calls
    // it on arrival, and so does every call that reads or measures the queue.
    void Ingest();
    void NoteStatusPacket() const;
    void ServeReads();
    void CompleteRead(PendingRead& r, std::uint32_t status);

    // Transmit. WriteSome returns false when the line is gone (err says why).
    bool WriteSome(const char* data, std::uint32_t count, std::uint32_t& done, int& err);
    void FlushWrites();
    void UpdateOutWatch();

    // Ends of pending operations.
    void AbortReads(std::uint32_t status);
    void AbortWrites(std::uint32_t status);
    void AbortWait(std::uint32_t status);
    void MarkHungUp(int err);
};

}  // namespace portvale::termios_backend
