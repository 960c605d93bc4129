#include "platform/serial/TermiosSerialApi.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <thread>

#include "platform/serial/CustomBaudRate.h"
#include "platform/serial/ReceiveFilter.h"
#include "platform/serial/TermiosLineSettings.h"

namespace portvale {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr std::uintptr_t kStatusPending = 0x103;  // Windows' STATUS_PENDING
constexpr std::size_t kMinInputCapacity = 4096;
constexpr Millis kLinePollPeriod{20};
constexpr Millis kDrainPollPeriod{10};
constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr std::uint64_t kWakeTag = 1, kInputTag = 2, kOutputTag = 3;

// ---- last error ----------------------------------------------------------------

thread_local std::uint32_t tLastError = ERROR_SUCCESS;

// The one sink of every failure. The raw errno is kept as the code, so a message can
// show the system's own number (a missing device reads as 2, a busy one as 16).
bool Fail(std::uint32_t code) {
    tLastError = code;
    return false;
}
bool FailErrno(int err) { return Fail(err > 0 ? static_cast<std::uint32_t>(err) : EIO); }
bool Succeed() {
    tLastError = ERROR_SUCCESS;
    return true;
}

// Driver without the feature (ptys have no modem lines and no counters).
bool NotSupported(int err) { return err == ENOTTY || err == EINVAL; }

int IoctlRetry(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
}

// ---- overlapped records --------------------------------------------------------

// One lock orders every record's result fields and its event: once a caller has seen
// a record completed (under this lock), the backend is done with the record and its
// event, so the caller may destroy both.
std::mutex gCompletionMutex;
std::condition_variable gCompletionCv;

void StartRecord(OVERLAPPED* ov) {
    std::lock_guard lock(gCompletionMutex);
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
    if (ov->hEvent) ov->hEvent->Reset();
}

void FinishRecord(OVERLAPPED* ov, std::uint32_t status, std::uint32_t transferred) {
    {
        std::lock_guard lock(gCompletionMutex);
        ov->InternalHigh = transferred;
        ov->Internal = status;
        if (ov->hEvent) ov->hEvent->Set();
    }
    gCompletionCv.notify_all();
}

// A start that fails at once: the result is readable, the event stays reset (a
// waiter looping on the event must not see a failure as a completion and spin).
bool RejectRecord(OVERLAPPED* ov, std::uint32_t code) {
    {
        std::lock_guard lock(gCompletionMutex);
        ov->InternalHigh = 0;
        ov->Internal = code;
    }
    gCompletionCv.notify_all();
    return Fail(code);
}

bool CompleteAtOnce(OVERLAPPED* ov, std::uint32_t transferred, std::uint32_t* out) {
    if (out) *out = transferred;
    FinishRecord(ov, ERROR_SUCCESS, transferred);
    return Succeed();
}

Clock::time_point After(Clock::time_point from, std::uint64_t ms) {
    return from + Millis(static_cast<Millis::rep>(ms));
}

// ---- receive queue -------------------------------------------------------------

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
    OVERLAPPED* ov;
    std::uint32_t* mask;
};

}  // namespace

// ---- one open device -----------------------------------------------------------

struct TermiosSerialApi::Port {
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

    void Wake() const {
        const std::uint64_t one = 1;
        ssize_t n;
        do {
            n = ::write(wakeFd, &one, sizeof one);
        } while (n < 0 && errno == EINTR);
    }

    void EnsureWorker() {
        if (!worker.joinable()) worker = std::thread([this] { WorkerLoop(); });
        Wake();
    }

    bool LinePolling() const {
        return !hungUp && (mask & kLineEvents) && (hasCounters || hasModemLines);
    }

    // ---- events ----

    void Raise(std::uint32_t bits) {
        bits &= mask;
        if (!bits) return;
        if (wait) {
            CompleteWait(bits);
        } else {
            history |= bits;
        }
    }

    void CompleteWait(std::uint32_t bits) {
        if (wait->mask) *wait->mask = bits;
        OVERLAPPED* ov = wait->ov;
        wait.reset();
        FinishRecord(ov, ERROR_SUCCESS, 0);
    }

    bool ReadCounters(serial_icounter_struct& now) const {
        return hasCounters && IoctlRetry(fd, TIOCGICOUNT, &now) == 0;
    }

    void CheckLines() {
        if (hungUp || !(mask & (kLineEvents | EV_ERR | EV_BREAK))) return;
        std::uint32_t bits = 0;
        serial_icounter_struct now{};
        if (ReadCounters(now)) {
            if (now.cts != eventBase.cts) bits |= EV_CTS;
            if (now.dsr != eventBase.dsr) bits |= EV_DSR;
            if (now.dcd != eventBase.dcd) bits |= EV_RLSD;
            if (now.rng != eventBase.rng) bits |= EV_RING;
            if (now.brk != eventBase.brk) bits |= EV_BREAK;
            if (now.frame != eventBase.frame || now.parity != eventBase.parity ||
                now.overrun != eventBase.overrun)
                bits |= EV_ERR;
            eventBase = now;
        }
        int lines = 0;
        if (hasModemLines && IoctlRetry(fd, TIOCMGET, &lines) == 0) {
            // Some drivers count no line changes; comparing the lines catches those
            // (a RING pulse shorter than the poll is seen only through the counters).
            const int changed = lines ^ modemBase;
            if (changed & TIOCM_CTS) bits |= EV_CTS;
            if (changed & TIOCM_DSR) bits |= EV_DSR;
            if (changed & TIOCM_CD) bits |= EV_RLSD;
            if ((changed & TIOCM_RI) && !(lines & TIOCM_RI)) bits |= EV_RING;
            modemBase = lines;
        }
        Raise(bits);
    }

    void ResetEventBaselines() {
        serial_icounter_struct now{};
        if (ReadCounters(now)) eventBase = now;
        int lines = 0;
        if (hasModemLines && IoctlRetry(fd, TIOCMGET, &lines) == 0) modemBase = lines;
    }

    void CheckDrained(Clock::time_point now) {
        nextDrainPoll.reset();
        if (!(mask & EV_TXEMPTY)) {
            txPending = false;
            return;
        }
        if (!txPending || hungUp || !writes.empty() || waitingChar) return;
        int queued = 0;
        // A driver that cannot tell its queue (ENOTTY) reports nothing waiting; ptys
        // hand every byte straight to the master side.
        if (IoctlRetry(fd, TIOCOUTQ, &queued) != 0 || queued == 0) {
            txPending = false;
            Raise(EV_TXEMPTY);
        } else {
            // The tty layer gives no wake-up when the last byte leaves the UART.
            nextDrainPoll = now + kDrainPollPeriod;
        }
    }

    // ---- receive ----

    // Moves what the kernel holds into the receive queue (up to its capacity),
    // raises the receive events and serves pending reads. Called on arrival by the
    // worker and by every call that reads or measures the queue.
    void Ingest() {
        if (hungUp || closed) return;
        char raw[4096];
        bool moved = false, flag = false, hangup = false;
        int hangupErr = EIO;
        for (;;) {
            const std::size_t room = Capacity() > input.size() ? Capacity() - input.size() : 0;
            if (room == 0) {
                // Pending reads may take what is queued and make room for more.
                const std::size_t before = input.size();
                ServeReads();
                if (input.size() < before) continue;
                break;
            }
            const std::size_t want = std::min(room, sizeof raw);
            const ssize_t n = ::read(fd, raw, want);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                // With VMIN=1 and O_NONBLOCK, 0 can only mean a hung-up line; a pty
                // slave whose master closed reads EIO first.
                hangup = true;
                if (n < 0) hangupErr = errno;
                break;
            }
            decoded.clear();
            filter.Decode(raw, static_cast<std::size_t>(n), decoded);
            if (!decoded.empty()) {
                moved = true;
                if (decoded.find(dcb.EvtChar) != std::string::npos) flag = true;
                input.append(decoded);
            }
            if (static_cast<std::size_t>(n) < want) break;  // the kernel queue is empty
        }
        if (moved) {
            std::uint32_t bits = EV_RXCHAR;
            if (flag) bits |= EV_RXFLAG;
            const std::uint64_t threshold = static_cast<std::uint64_t>(inQueueSize) * 8 / 10;
            const bool above = inQueueSize > 0 && input.size() >= threshold;
            if (above && !above80) bits |= EV_RX80FULL;
            above80 = above;
            Raise(bits);
            // Line errors and breaks arrive as (marked) bytes; counting them here
            // needs no poll.
            if (mask & (EV_ERR | EV_BREAK)) CheckLines();
        }
        ServeReads();
        if (hangup) MarkHungUp(hangupErr);
    }

    void CompleteRead(PendingRead& r, std::uint32_t status) {
        FinishRecord(r.ov, status, r.done);
    }

    void ServeReads() {
        const auto now = Clock::now();
        while (!reads.empty()) {
            PendingRead& r = reads.front();
            const std::size_t took = input.take(r.buffer + r.done, r.count - r.done);
            r.done += static_cast<std::uint32_t>(took);
            if (input.size() * 10 < static_cast<std::size_t>(inQueueSize) * 8) above80 = false;
            if (r.done == r.count || r.immediate || (r.returnOnAny && r.done > 0)) {
                CompleteRead(r, ERROR_SUCCESS);
                reads.pop_front();
                continue;
            }
            if (took > 0 && r.interval > 0) r.intervalDeadline = After(now, r.interval);
            break;
        }
    }

    // ---- transmit ----

    // Returns false when the line is gone.
    bool WriteSome(const char* data, std::uint32_t count, std::uint32_t& done, int& err) {
        while (done < count) {
            const ssize_t n = ::write(fd, data + done, count - done);
            if (n > 0) {
                done += static_cast<std::uint32_t>(n);
                txPending = true;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            err = n < 0 ? errno : EIO;
            return false;
        }
        return true;
    }

    void FlushWrites() {
        if (hungUp) return;
        if (waitingChar) {
            std::uint32_t done = 0;
            int err = 0;
            const char c = *waitingChar;
            if (!WriteSome(&c, 1, done, err)) return MarkHungUp(err);
            if (done == 0) return;
            waitingChar.reset();
        }
        while (!writes.empty()) {
            PendingWrite& w = writes.front();
            int err = 0;
            if (!WriteSome(w.data, w.count, w.done, err)) {
                if (err == EIO) return MarkHungUp(err);
                FinishRecord(w.ov, static_cast<std::uint32_t>(err), w.done);
                writes.pop_front();
                continue;
            }
            if (w.done < w.count) return;  // the kernel is full; wait for EPOLLOUT
            FinishRecord(w.ov, ERROR_SUCCESS, w.done);
            writes.pop_front();
        }
    }

    void UpdateOutWatch() {
        const bool want = !writes.empty() || waitingChar.has_value();
        if (want == outWatched || hungUp) return;
        // Level-triggered, and registered only while needed: a registered descriptor
        // reports EPOLLHUP/EPOLLERR even with no events asked for.
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u64 = kOutputTag;
        ::epoll_ctl(epollFd, want ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, outFd, &ev);
        outWatched = want;
    }

    // ---- ends ----

    void AbortReads(std::uint32_t status) {
        for (auto& r : reads) CompleteRead(r, status);
        reads.clear();
    }

    void AbortWrites(std::uint32_t status) {
        for (auto& w : writes) FinishRecord(w.ov, status, w.done);
        writes.clear();
    }

    void AbortWait(std::uint32_t status) {
        if (!wait) return;
        OVERLAPPED* ov = wait->ov;
        wait.reset();
        FinishRecord(ov, status, 0);
    }

    void MarkHungUp(int err) {
        if (hungUp) return;
        hungUp = true;
        hangupError = err > 0 ? err : EIO;
        // A hung-up tty polls ready for everything, for ever: it must leave the epoll
        // set or the worker would spin.
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        if (outWatched) ::epoll_ctl(epollFd, EPOLL_CTL_DEL, outFd, nullptr);
        outWatched = false;
        const auto code = static_cast<std::uint32_t>(hangupError);
        // Reads keep what they already have; only an empty one fails.
        while (!reads.empty()) {
            PendingRead& r = reads.front();
            CompleteRead(r, r.done > 0 ? ERROR_SUCCESS : code);
            reads.pop_front();
        }
        AbortWrites(code);
        AbortWait(code);
        waitingChar.reset();
        txPending = false;
        nextDrainPoll.reset();
    }

    void ExpireDeadlines(Clock::time_point now) {
        for (auto it = reads.begin(); it != reads.end();) {
            const bool total = it->totalDeadline && *it->totalDeadline <= now;
            const bool interval = it->done > 0 && it->intervalDeadline && *it->intervalDeadline <= now;
            if (total || interval) {
                CompleteRead(*it, ERROR_SUCCESS);
                it = reads.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = writes.begin(); it != writes.end();) {
            if (it->deadline && *it->deadline <= now) {
                // Windows completes a timed-out write as a success with the count
                // the driver took; the caller sees the shortfall in that count.
                FinishRecord(it->ov, ERROR_SUCCESS, it->done);
                it = writes.erase(it);
            } else {
                ++it;
            }
        }
        if (LinePolling() && now >= nextLinePoll) {
            CheckLines();
            nextLinePoll = now + kLinePollPeriod;
        }
        if (nextDrainPoll && now >= *nextDrainPoll) CheckDrained(now);
    }

    int NextTimeoutMs(Clock::time_point now) const {
        std::optional<Clock::time_point> next;
        auto consider = [&](const std::optional<Clock::time_point>& t) {
            if (t && (!next || *t < *next)) next = t;
        };
        for (const auto& r : reads) {
            consider(r.totalDeadline);
            if (r.done > 0) consider(r.intervalDeadline);
        }
        for (const auto& w : writes) consider(w.deadline);
        if (LinePolling()) consider(nextLinePoll);
        consider(nextDrainPoll);
        if (!next) return -1;
        if (*next <= now) return 0;
        const auto ms = std::chrono::ceil<Millis>(*next - now).count();
        return static_cast<int>(std::min<Millis::rep>(ms, 24 * 3600 * 1000));
    }

    void WorkerLoop() {
        epoll_event events[4];
        std::unique_lock lock(mutex);
        while (!stopping) {
            const int timeout = NextTimeoutMs(Clock::now());
            lock.unlock();
            const int n = ::epoll_wait(epollFd, events, 4, timeout);
            const int err = errno;
            lock.lock();
            if (stopping) break;
            if (n < 0 && err != EINTR) {
                // The epoll set itself failed (nothing in normal operation can make
                // it); treat the device as gone rather than spin.
                MarkHungUp(EIO);
                break;
            }
            bool arrived = false, hangup = false;
            for (int i = 0; i < std::max(n, 0); ++i) {
                const auto tag = events[i].data.u64;
                if (tag == kWakeTag) {
                    std::uint64_t value;
                    while (::read(wakeFd, &value, sizeof value) < 0 && errno == EINTR) {
                    }
                } else {
                    if (tag == kInputTag) arrived = true;
                    if (events[i].events & (EPOLLHUP | EPOLLERR)) hangup = true;
                }
            }
            if (arrived || hangup) Ingest();
            if (hangup) MarkHungUp(EIO);
            FlushWrites();
            const auto now = Clock::now();
            ExpireDeadlines(now);
            if (txPending && !nextDrainPoll) CheckDrained(now);
            UpdateOutWatch();
        }
    }
};

// ---- the API ------------------------------------------------------------------

namespace {

// A handle's port, locked; false once the handle is closed (a call that found the
// port just before CloseHandle must not touch descriptors that are gone).
class PortLock {
public:
    explicit PortLock(std::shared_ptr<TermiosSerialApi::Port> port) : port_(std::move(port)) {
        if (port_) lock_ = std::unique_lock(port_->mutex);
    }
    explicit operator bool() const { return port_ && !port_->closed; }
    TermiosSerialApi::Port* operator->() const { return port_.get(); }

private:
    std::shared_ptr<TermiosSerialApi::Port> port_;
    std::unique_lock<std::mutex> lock_;
};

}  // namespace

TermiosSerialApi::TermiosSerialApi() = default;

TermiosSerialApi::~TermiosSerialApi() {
    std::vector<HANDLE> open;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : ports_) open.push_back(entry.first);
    }
    for (HANDLE h : open) CloseHandle(h);
}

std::shared_ptr<TermiosSerialApi::Port> TermiosSerialApi::Find(HANDLE handle) {
    std::lock_guard lock(mutex_);
    const auto it = ports_.find(handle);
    return it == ports_.end() ? nullptr : it->second;
}

std::uint32_t TermiosSerialApi::GetLastError() { return tLastError; }

HANDLE TermiosSerialApi::CreateFile(const std::string& deviceName) {
    const std::string path = DevicePathForPortName(deviceName);
    if (path.empty()) {
        Fail(ENOENT);
        return INVALID_HANDLE_VALUE;
    }
    // O_NOCTTY: a tty opened by a session leader without one would otherwise become
    // its controlling terminal, and a received 0x03 would raise SIGINT in us.
    // O_NONBLOCK: the open must not wait for carrier, and reads and writes must never
    // block a caller.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        FailErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<Port>();
    port->fd = fd;
    auto failOpen = [&](int err) {
        for (int f : {port->outFd, port->epollFd, port->wakeFd, port->fd})
            if (f >= 0) ::close(f);
        FailErrno(err);
        return INVALID_HANDLE_VALUE;
    };
    if (!::isatty(fd)) return failOpen(ENOTTY);
    // TIOCEXCL refuses later opens with EBUSY, but not to root; the flock also holds
    // against root and closes the race between two processes opening at once. It is
    // taken first so that a failed attempt never clears the holder's TIOCEXCL.
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return failOpen(errno == EWOULDBLOCK ? EBUSY : errno);
    if (int err = IoctlRetry(fd, TIOCEXCL, nullptr)) return failOpen(err);

    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        const int err = errno;
        IoctlRetry(fd, TIOCNXCL, nullptr);
        return failOpen(err);
    }
    // Raw at once: a pty slave left in its cooked default would echo every received
    // byte back to the peer.
    MakeRawLine(t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        const int err = errno;
        IoctlRetry(fd, TIOCNXCL, nullptr);
        return failOpen(err);
    }
    port->dcb = DcbFromTermios(t);

    port->outFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    port->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    port->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port->outFd < 0 || port->epollFd < 0 || port->wakeFd < 0) {
        const int err = errno;
        IoctlRetry(fd, TIOCNXCL, nullptr);
        return failOpen(err);
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeTag;
    // Edge-triggered: the tty layer wakes readers after every received chunk, so this
    // fires once per arrival and never for bytes that stay unread. It is registered
    // for EPOLLIN only: the tty's wake-ups are keyed, so write-space wake-ups do not
    // reach it (they would report the waiting input again).
    epoll_event in{};
    in.events = EPOLLIN | EPOLLET;
    in.data.u64 = kInputTag;
    if (::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->wakeFd, &wake) != 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, fd, &in) != 0) {
        const int err = errno;
        IoctlRetry(fd, TIOCNXCL, nullptr);
        return failOpen(err);
    }

    serial_icounter_struct counters{};
    port->hasCounters = IoctlRetry(fd, TIOCGICOUNT, &counters) == 0;
    if (port->hasCounters) port->errorBase = port->eventBase = counters;
    int lines = 0;
    port->hasModemLines = IoctlRetry(fd, TIOCMGET, &lines) == 0;
    port->modemBase = lines;

    std::lock_guard lock(mutex_);
    const HANDLE handle = nextHandle_++;
    ports_.emplace(handle, std::move(port));
    Succeed();
    return handle;
}

bool TermiosSerialApi::CloseHandle(HANDLE handle) {
    std::shared_ptr<Port> port;
    {
        std::lock_guard lock(mutex_);
        const auto it = ports_.find(handle);
        if (it == ports_.end()) return Fail(ERROR_INVALID_HANDLE);
        port = std::move(it->second);
        ports_.erase(it);
    }
    std::thread worker;
    {
        std::lock_guard lock(port->mutex);
        port->closed = true;
        port->AbortReads(ERROR_OPERATION_ABORTED);
        port->AbortWrites(ERROR_OPERATION_ABORTED);
        port->AbortWait(ERROR_OPERATION_ABORTED);
        port->stopping = true;
        port->Wake();
        worker = std::move(port->worker);
    }
    if (worker.joinable()) worker.join();
    std::lock_guard lock(port->mutex);
    // On a hung-up tty the ioctl fails with EIO; the exclusive flag went with the line.
    IoctlRetry(port->fd, TIOCNXCL, nullptr);
    // close is not retried on EINTR: Linux has released the descriptor either way.
    // The flock goes with the last descriptor of the open file (fd and its dup).
    for (int f : {port->outFd, port->epollFd, port->wakeFd, port->fd}) ::close(f);
    port->fd = port->outFd = port->epollFd = port->wakeFd = -1;
    return Succeed();
}

bool TermiosSerialApi::SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    port->inQueueSize = inQueue;
    port->outQueueSize = outQueue;
    return Succeed();
}

bool TermiosSerialApi::SetCommState(HANDLE handle, const DCB& dcb) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (port->hungUp) return FailErrno(port->hangupError);
    termios before{};
    if (::tcgetattr(port->fd, &before) != 0) return FailErrno(errno);
    termios t = before;
    LineRequest request;
    if (int err = ApplyDcbToTermios(dcb, t, request)) return FailErrno(err);
    if (::tcsetattr(port->fd, TCSANOW, &t) != 0) return FailErrno(errno);
    if (request.customRate) {
        std::uint32_t actual = 0;
        int err = SetCustomBaudRate(port->fd, dcb.BaudRate, actual);
        // A driver that cannot make the rate within 2% falls back to another one;
        // refusing is honest where carrying on would garble every byte.
        const std::uint64_t diff = actual > dcb.BaudRate ? actual - dcb.BaudRate : dcb.BaudRate - actual;
        if (!err && diff * 50 > dcb.BaudRate) err = EINVAL;
        if (err) {
            ::tcsetattr(port->fd, TCSANOW, &before);
            return FailErrno(err);
        }
    }
    // Lines a driver does not have (ptys) cannot be driven; that is no reason to
    // refuse the line settings.
    auto drive = [&](int line, bool raise) {
        const int err = IoctlRetry(port->fd, raise ? TIOCMBIS : TIOCMBIC, &line);
        return err == 0 || NotSupported(err) ? 0 : err;
    };
    const std::uint32_t dtr = (dcb.Flags & fDCB_DtrControlMask) >> fDCB_DtrControlShift;
    const std::uint32_t rts = (dcb.Flags & fDCB_RtsControlMask) >> fDCB_RtsControlShift;
    int err = drive(TIOCM_DTR, dtr != DTR_CONTROL_DISABLE);
    if (!err) err = drive(TIOCM_RTS, rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE);
    if (err) return FailErrno(err);

    ReceiveFilter::Options options;
    options.errorMarks = (dcb.Flags & fDCB_Parity) != 0;
    options.replaceErrors = (dcb.Flags & fDCB_ErrorChar) != 0;
    options.replacement = dcb.ErrorChar;
    options.discardNull = (dcb.Flags & fDCB_Null) != 0;
    port->filter.Configure(options);
    port->dcb = dcb;
    return Succeed();
}

bool TermiosSerialApi::GetCommState(HANDLE handle, DCB& dcb) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    dcb = port->dcb;
    return Succeed();
}

bool TermiosSerialApi::SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    port->timeouts = timeouts;
    return Succeed();
}

bool TermiosSerialApi::GetCommTimeouts(HANDLE handle, COMMTIMEOUTS& timeouts) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    timeouts = port->timeouts;
    return Succeed();
}

bool TermiosSerialApi::SetCommMask(HANDLE handle, std::uint32_t mask) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    port->mask = mask;
    port->history = 0;
    if (port->wait) port->CompleteWait(0);
    if (mask != 0 && !port->hungUp) {
        port->ResetEventBaselines();
        port->nextLinePoll = Clock::now();
        port->EnsureWorker();
    }
    return Succeed();
}

bool TermiosSerialApi::GetCommMask(HANDLE handle, std::uint32_t& mask) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    mask = port->mask;
    return Succeed();
}

namespace {

// The blocking form of an overlapped call: a private record, waited for at once.
template <typename Start>
bool RunBlocking(ISerialApi& api, HANDLE handle, std::uint32_t* transferred, Start start) {
    Event done(true, false);
    OVERLAPPED ov;
    ov.hEvent = &done;
    if (start(&ov)) return true;
    if (api.GetLastError() != ERROR_IO_PENDING) return false;
    return api.GetOverlappedResult(handle, &ov, transferred, true);
}

}  // namespace

bool TermiosSerialApi::WaitCommEvent(HANDLE handle, std::uint32_t* mask, OVERLAPPED* overlapped) {
    if (!overlapped)
        return RunBlocking(*this, handle, nullptr,
                           [&](OVERLAPPED* ov) { return WaitCommEvent(handle, mask, ov); });
    StartRecord(overlapped);
    PortLock port(Find(handle));
    if (!port) return RejectRecord(overlapped, ERROR_INVALID_HANDLE);
    if (port->mask == 0 || port->wait) return RejectRecord(overlapped, EINVAL);
    if (port->hungUp) return RejectRecord(overlapped, static_cast<std::uint32_t>(port->hangupError));
    if (const std::uint32_t bits = port->history & port->mask) {
        port->history = 0;
        if (mask) *mask = bits;
        return CompleteAtOnce(overlapped, 0, nullptr);
    }
    port->wait = PendingWait{overlapped, mask};
    port->EnsureWorker();
    return Fail(ERROR_IO_PENDING);
}

bool TermiosSerialApi::GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped,
                                           std::uint32_t* transferred, bool wait) {
    if (!overlapped) return Fail(EINVAL);
    std::unique_lock lock(gCompletionMutex);
    if (overlapped->Internal == kStatusPending) {
        if (!wait) return Fail(ERROR_IO_INCOMPLETE);
        gCompletionCv.wait(lock, [&] { return overlapped->Internal != kStatusPending; });
    }
    if (transferred) *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
    const auto status = static_cast<std::uint32_t>(overlapped->Internal);
    return status == ERROR_SUCCESS ? Succeed() : Fail(status);
}

bool TermiosSerialApi::ClearCommError(HANDLE handle, std::uint32_t* errors, COMSTAT* stat) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    port->Ingest();
    std::uint32_t word = 0;
    serial_icounter_struct now{};
    if (!port->hungUp && port->ReadCounters(now)) {
        const auto& base = port->errorBase;
        if (now.frame != base.frame) word |= CE_FRAME;
        if (now.parity != base.parity) word |= CE_RXPARITY;
        if (now.overrun != base.overrun) word |= CE_OVERRUN;
        if (now.brk != base.brk) word |= CE_BREAK;
        if (now.buf_overrun != base.buf_overrun) word |= CE_RXOVER;
        port->errorBase = now;
    }
    if (errors) *errors = word;
    if (stat) {
        COMSTAT s;
        int kernelIn = 0, kernelOut = 0;
        if (!port->hungUp) {
            // Bytes still in the kernel (the receive queue is full) count as waiting.
            IoctlRetry(port->fd, FIONREAD, &kernelIn);
            IoctlRetry(port->fd, TIOCOUTQ, &kernelOut);
        }
        std::uint64_t out = static_cast<std::uint32_t>(std::max(kernelOut, 0));
        for (const auto& w : port->writes) out += w.count - w.done;
        if (port->waitingChar) out += 1;
        s.cbInQue = static_cast<std::uint32_t>(port->input.size() + static_cast<std::size_t>(std::max(kernelIn, 0)));
        s.cbOutQue = static_cast<std::uint32_t>(std::min<std::uint64_t>(out, MAXDWORD));
        int lines = 0;
        if (!port->hungUp && port->hasModemLines && out > 0 && (port->dcb.Flags & fDCB_OutxCtsFlow) &&
            IoctlRetry(port->fd, TIOCMGET, &lines) == 0 && !(lines & TIOCM_CTS))
            s.Flags |= 1u << 0;
        if (port->outputHeld) s.Flags |= 1u << 3;
        if (port->waitingChar) s.Flags |= 1u << 6;
        *stat = s;
    }
    return Succeed();
}

bool TermiosSerialApi::PurgeComm(HANDLE handle, std::uint32_t flags) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (flags & PURGE_TXABORT) port->AbortWrites(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXABORT) port->AbortReads(ERROR_OPERATION_ABORTED);
    int err = 0;
    // A hung-up line has nothing left to flush (and fails the flush with EIO).
    if ((flags & PURGE_TXCLEAR)) {
        port->waitingChar.reset();
        if (!port->hungUp && ::tcflush(port->fd, TCOFLUSH) != 0) err = errno;
    }
    if ((flags & PURGE_RXCLEAR)) {
        port->input.clear();
        port->filter.Reset();
        port->above80 = false;
        if (!port->hungUp && ::tcflush(port->fd, TCIFLUSH) != 0) err = errno;
    }
    if (!port->hungUp) port->UpdateOutWatch();
    return err ? FailErrno(err) : Succeed();
}

bool TermiosSerialApi::EscapeCommFunction(HANDLE handle, std::uint32_t function) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (port->hungUp) return FailErrno(port->hangupError);
    const int fd = port->fd;
    int line = 0, err = 0;
    switch (function) {
        case SETDTR: line = TIOCM_DTR; err = IoctlRetry(fd, TIOCMBIS, &line); break;
        case CLRDTR: line = TIOCM_DTR; err = IoctlRetry(fd, TIOCMBIC, &line); break;
        case SETRTS: line = TIOCM_RTS; err = IoctlRetry(fd, TIOCMBIS, &line); break;
        case CLRRTS: line = TIOCM_RTS; err = IoctlRetry(fd, TIOCMBIC, &line); break;
        case SETBREAK: err = IoctlRetry(fd, TIOCSBRK, nullptr); break;
        case CLRBREAK: err = IoctlRetry(fd, TIOCCBRK, nullptr); break;
        case SETXOFF:
            if (::tcflow(fd, TCOOFF) != 0) err = errno; else port->outputHeld = true;
            break;
        case SETXON:
            if (::tcflow(fd, TCOON) != 0) err = errno; else port->outputHeld = false;
            break;
        case RESETDEV: break;  // nothing to reset on a tty
        default: err = EINVAL; break;
    }
    return err ? FailErrno(err) : Succeed();
}

bool TermiosSerialApi::GetCommModemStatus(HANDLE handle, std::uint32_t* status) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (port->hungUp) return FailErrno(port->hangupError);
    int lines = 0;
    const int err = IoctlRetry(port->fd, TIOCMGET, &lines);
    if (err && !NotSupported(err)) return FailErrno(err);
    std::uint32_t value = 0;
    if (!err) {
        if (lines & TIOCM_CTS) value |= MS_CTS_ON;
        if (lines & TIOCM_DSR) value |= MS_DSR_ON;
        if (lines & TIOCM_RI) value |= MS_RING_ON;
        if (lines & TIOCM_CD) value |= MS_RLSD_ON;
    }
    if (status) *status = value;
    return Succeed();
}

bool TermiosSerialApi::TransmitCommChar(HANDLE handle, char c) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (port->hungUp) return FailErrno(port->hangupError);
    // One priority byte at a time, as on Windows.
    if (port->waitingChar) return FailErrno(EBUSY);
    std::uint32_t done = 0;
    int err = 0;
    if (!port->WriteSome(&c, 1, done, err)) {
        if (err == EIO) port->MarkHungUp(err);
        return FailErrno(err);
    }
    if (done == 0) port->waitingChar = c;  // goes out ahead of the queued writes
    if (port->waitingChar || (port->mask & EV_TXEMPTY)) port->EnsureWorker();
    return Succeed();
}

bool TermiosSerialApi::ReadFile(HANDLE handle, void* buffer, std::uint32_t count,
                                std::uint32_t* read, OVERLAPPED* overlapped) {
    if (!overlapped)
        return RunBlocking(*this, handle, read, [&](OVERLAPPED* ov) {
            return ReadFile(handle, buffer, count, read, ov);
        });
    StartRecord(overlapped);
    if (read) *read = 0;
    PortLock port(Find(handle));
    if (!port) return RejectRecord(overlapped, ERROR_INVALID_HANDLE);
    if (count == 0) return CompleteAtOnce(overlapped, 0, read);
    if (!buffer) return RejectRecord(overlapped, EFAULT);

    const COMMTIMEOUTS& to = port->timeouts;
    const auto now = Clock::now();
    PendingRead r;
    r.ov = overlapped;
    r.buffer = static_cast<char*>(buffer);
    r.count = count;
    r.immediate = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                  to.ReadTotalTimeoutConstant == 0;
    r.returnOnAny = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
                    to.ReadTotalTimeoutConstant > 0 && to.ReadTotalTimeoutConstant < MAXDWORD;
    if (r.returnOnAny) {
        r.totalDeadline = After(now, to.ReadTotalTimeoutConstant);
    } else if (!r.immediate) {
        const std::uint64_t total = static_cast<std::uint64_t>(to.ReadTotalTimeoutMultiplier) * count +
                                    to.ReadTotalTimeoutConstant;
        if (total > 0) r.totalDeadline = After(now, total);
        if (to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD)
            r.interval = to.ReadIntervalTimeout;
    }

    if (port->reads.empty()) {
        port->Ingest();
        r.done = static_cast<std::uint32_t>(port->input.take(r.buffer, count));
        if (r.done > 0 && !port->hungUp) port->Ingest();  // refill what was taken
        if (port->hungUp && r.done == 0)
            return RejectRecord(overlapped, static_cast<std::uint32_t>(port->hangupError));
        if (r.done == count || r.immediate || (r.returnOnAny && r.done > 0) || port->hungUp)
            return CompleteAtOnce(overlapped, r.done, read);
        if (r.done > 0 && r.interval > 0) r.intervalDeadline = After(now, r.interval);
    } else if (port->hungUp) {
        return RejectRecord(overlapped, static_cast<std::uint32_t>(port->hangupError));
    }
    port->reads.push_back(r);
    port->EnsureWorker();
    return Fail(ERROR_IO_PENDING);
}

bool TermiosSerialApi::WriteFile(HANDLE handle, const void* buffer, std::uint32_t count,
                                 std::uint32_t* written, OVERLAPPED* overlapped) {
    if (!overlapped)
        return RunBlocking(*this, handle, written, [&](OVERLAPPED* ov) {
            return WriteFile(handle, buffer, count, written, ov);
        });
    StartRecord(overlapped);
    if (written) *written = 0;
    PortLock port(Find(handle));
    if (!port) return RejectRecord(overlapped, ERROR_INVALID_HANDLE);
    if (port->hungUp) return RejectRecord(overlapped, static_cast<std::uint32_t>(port->hangupError));
    if (count == 0) return CompleteAtOnce(overlapped, 0, written);
    if (!buffer) return RejectRecord(overlapped, EFAULT);

    PendingWrite w;
    w.ov = overlapped;
    w.data = static_cast<const char*>(buffer);
    w.count = count;
    const COMMTIMEOUTS& to = port->timeouts;
    const std::uint64_t total =
        static_cast<std::uint64_t>(to.WriteTotalTimeoutMultiplier) * count + to.WriteTotalTimeoutConstant;
    if (total > 0) w.deadline = After(Clock::now(), total);

    // Behind queued writes a direct write would overtake them.
    if (port->writes.empty() && !port->waitingChar) {
        int err = 0;
        if (!port->WriteSome(w.data, w.count, w.done, err)) {
            if (err == EIO) port->MarkHungUp(err);
            return RejectRecord(overlapped, static_cast<std::uint32_t>(err));
        }
        if (w.done == count) {
            if (port->mask & EV_TXEMPTY) port->EnsureWorker();
            return CompleteAtOnce(overlapped, w.done, written);
        }
    }
    port->writes.push_back(w);
    port->EnsureWorker();
    return Fail(ERROR_IO_PENDING);
}

}  // namespace portvale
