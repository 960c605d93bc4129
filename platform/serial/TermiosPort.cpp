#include "platform/serial/TermiosPort.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/Dispatcher.h"
#include "platform/serial/OverlappedRecord.h"

namespace portvale::termios_backend {

int IoctlRetry(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
}

void TermiosPort::Wake() const {
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(wakeFd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void TermiosPort::EnsureWorker() {
    if (!worker.joinable()) worker = std::thread([this] { WorkerLoop(); });
    Wake();
}

bool TermiosPort::ArrivalsReported() const {
    if (inputWatched && worker.joinable()) return true;
    return inputByLoop && Dispatcher::Dispatching();
}

bool TermiosPort::NeedsWorker() const {
    if (!inputByLoop) return true;
    return !reads.empty() || !writes.empty() || waitingChar.has_value() || LinePolling() ||
           nextDrainPoll.has_value();
}

void TermiosPort::UpdateInputWatch() {
    const bool want = !hungUp && (!inputByLoop || !reads.empty());
    if (want == inputWatched) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kInputTag;
    // Adding polls the device at once, so bytes already waiting are reported.
    ::epoll_ctl(epollFd, want ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, fd, &ev);
    inputWatched = want;
}

bool TermiosPort::LinePolling() const {
    return !hungUp && (mask & kLineEvents) && (hasCounters || hasModemLines);
}

void TermiosPort::Raise(std::uint32_t bits) {
    bits &= mask;
    if (!bits) return;
    if (wait) {
        CompleteWait(bits);
    } else {
        history |= bits;
    }
}

void TermiosPort::CompleteWait(std::uint32_t bits) {
    if (wait->mask) *wait->mask = bits;
    OVERLAPPED* ov = wait->ov;
    wait.reset();
    FinishRecord(ov, ERROR_SUCCESS, 0);
}

bool TermiosPort::ReadCounters(serial_icounter_struct& now) const {
    return hasCounters && IoctlRetry(fd, TIOCGICOUNT, &now) == 0;
}

void TermiosPort::CheckLines() {
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

void TermiosPort::ResetEventBaselines() {
    serial_icounter_struct now{};
    if (ReadCounters(now)) eventBase = now;
    int lines = 0;
    if (hasModemLines && IoctlRetry(fd, TIOCMGET, &lines) == 0) modemBase = lines;
}

void TermiosPort::CheckDrained(Clock::time_point now) {
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
        outputMayBeQueued = false;
        Raise(EV_TXEMPTY);
    } else {
        // The tty layer gives no wake-up when the last byte leaves the UART.
        nextDrainPoll = now + kDrainPollPeriod;
    }
}

void TermiosPort::Ingest() {
    if (hungUp || closed) return;
    // The next arrival is reported (edge-triggered) and clears drained; until then
    // a read would find nothing.
    if (KnownDrained()) return ServeReads();
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
        // A packet's leading byte takes no room in the queue.
        const std::size_t want = std::min(room + (packetMode ? 1 : 0), sizeof raw);
        const ssize_t n = ::read(fd, raw, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            drained = true;
            break;
        }
        if (n <= 0) {
            // With VMIN=1 and O_NONBLOCK, 0 can only mean a hung-up line; a pty
            // slave whose master closed reads EIO first.
            hangup = true;
            if (n < 0) hangupErr = errno;
            break;
        }
        const char* data = raw;
        std::size_t size = static_cast<std::size_t>(n);
        if (packetMode) {
            // A status packet is one byte however much data waits behind it.
            if (raw[0] != 0) {
                NoteStatusPacket();
                continue;
            }
            ++data;
            --size;
        }
        decoded.clear();
        filter.Decode(data, size, decoded);
        if (!decoded.empty()) {
            moved = true;
            if (decoded.find(dcb.EvtChar) != std::string::npos) flag = true;
            input.append(decoded);
        }
        if (static_cast<std::size_t>(n) < want) {  // the kernel queue is empty
            drained = true;
            break;
        }
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

void TermiosPort::NoteStatusPacket() const {
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(statusFd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void TermiosPort::CompleteRead(PendingRead& r, std::uint32_t status) {
    FinishRecord(r.ov, status, r.done);
}

void TermiosPort::ServeReads() {
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

bool TermiosPort::WriteSome(const char* data, std::uint32_t count, std::uint32_t& done, int& err) {
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            txPending = true;
            outputMayBeQueued = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        err = n < 0 ? errno : EIO;
        return false;
    }
    return true;
}

void TermiosPort::FlushWrites() {
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

void TermiosPort::UpdateOutWatch() {
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

void TermiosPort::AbortReads(std::uint32_t status) {
    for (auto& r : reads) CompleteRead(r, status);
    reads.clear();
}

void TermiosPort::AbortWrites(std::uint32_t status) {
    for (auto& w : writes) FinishRecord(w.ov, status, w.done);
    writes.clear();
}

void TermiosPort::AbortWait(std::uint32_t status) {
    if (!wait) return;
    OVERLAPPED* ov = wait->ov;
    wait.reset();
    FinishRecord(ov, status, 0);
}

void TermiosPort::MarkHungUp(int err) {
    if (hungUp) return;
    hungUp = true;
    hangupError = err > 0 ? err : EIO;
    // A hung-up tty polls ready for everything, for ever: it must leave the epoll
    // set or the worker would spin.
    if (inputWatched) ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    if (outWatched) ::epoll_ctl(epollFd, EPOLL_CTL_DEL, outFd, nullptr);
    inputWatched = outWatched = false;
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

void TermiosPort::ExpireDeadlines(Clock::time_point now) {
    bool readEnded = false;
    for (auto it = reads.begin(); it != reads.end();) {
        const bool total = it->totalDeadline && *it->totalDeadline <= now;
        const bool interval = it->done > 0 && it->intervalDeadline && *it->intervalDeadline <= now;
        if (total || interval) {
            CompleteRead(*it, ERROR_SUCCESS);
            it = reads.erase(it);
            readEnded = true;
        } else {
            ++it;
        }
    }
    // The read queued behind an ended one may now take what is waiting.
    if (readEnded) ServeReads();
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

int TermiosPort::NextTimeoutMs(Clock::time_point now) const {
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
    return static_cast<int>(std::min<Millis::rep>(ms, Millis::rep{24} * 3600 * 1000));
}

void TermiosPort::WorkerLoop() {
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
                if (tag == kInputTag) {
                    arrived = true;
                    NoteArrival();
                }
                if (events[i].events & (EPOLLHUP | EPOLLERR)) hangup = true;
            }
        }
        if (arrived || hangup) {
            NoteArrival();
            Ingest();
        }
        if (hangup) MarkHungUp(EIO);
        FlushWrites();
        const auto now = Clock::now();
        ExpireDeadlines(now);
        if (txPending && !nextDrainPoll) CheckDrained(now);
        UpdateOutWatch();
        UpdateInputWatch();
    }
}

}  // namespace portvale::termios_backend
