#include "platform/serial/TermiosSerialApi.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/serial/CustomBaudRate.h"
#include "platform/serial/OverlappedRecord.h"
#include "platform/serial/TermiosLineSettings.h"
#include "platform/serial/TermiosPort.h"
#include "platform/serial/VirtualDevice.h"

namespace portvale {

using namespace termios_backend;

namespace {

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

bool Reject(OVERLAPPED* ov, std::uint32_t code) {
    RejectRecord(ov, code);
    return Fail(code);
}

bool CompleteAtOnce(OVERLAPPED* ov, std::uint32_t transferred, std::uint32_t* out) {
    if (out) *out = transferred;
    FinishRecord(ov, ERROR_SUCCESS, transferred);
    return Succeed();
}


// A handle's port, locked; false once the handle is closed (a call that found the
// port just before CloseHandle must not touch descriptors that are gone).
class PortLock {
public:
    explicit PortLock(std::shared_ptr<TermiosPort> port) : port_(std::move(port)) {
        if (port_) lock_ = std::unique_lock(port_->mutex);
    }
    explicit operator bool() const { return port_ && !port_->closed; }
    TermiosPort* operator->() const { return port_.get(); }
    TermiosPort& operator*() const { return *port_; }

private:
    std::shared_ptr<TermiosPort> port_;
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

std::shared_ptr<TermiosPort> TermiosSerialApi::Find(HANDLE handle) {
    std::lock_guard lock(mutex_);
    const auto it = ports_.find(handle);
    return it == ports_.end() ? nullptr : it->second;
}

std::uint32_t TermiosSerialApi::GetLastError() { return tLastError; }

namespace {

// The virtual device a port name stands for ("pty:PATH"), or nothing.
std::optional<std::string> VirtualDeviceName(const std::string& deviceName) {
    std::string rest = deviceName;
    if (rest.rfind("\\\\.\\", 0) == 0) rest.erase(0, 4);
    if (rest.rfind("pty:", 0) != 0) return std::nullopt;
    return rest;
}

}  // namespace

HANDLE TermiosSerialApi::CreateFile(const std::string& deviceName) {
    if (const auto name = VirtualDeviceName(deviceName)) return OpenVirtualDevice(*name);
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
    auto port = std::make_shared<TermiosPort>();
    port->fd = fd;
    auto failOpen = [&](int err) {
        for (int f : {port->outFd, port->epollFd, port->wakeFd, port->fd})
            if (f >= 0) ::close(f);
        FailErrno(err);
        return INVALID_HANDLE_VALUE;
    };
    if (!::isatty(fd)) return failOpen(ENOTTY);
    // Known by the device number, so a link to the pty (socat's link=) counts too.
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode))
        port->pseudoTerminal = IsPseudoTerminalMajor(::major(st.st_rdev));
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
    if (RetryOnEintr([&] { return ::tcgetattr(fd, &t); }) != 0) {
        const int err = errno;
        IoctlRetry(fd, TIOCNXCL, nullptr);
        return failOpen(err);
    }
    // Raw at once: a pty slave left in its cooked default would echo every received
    // byte back to the peer.
    MakeRawLine(t);
    if (port->pseudoTerminal) FitFrameToPseudoTerminal(t);
    if (RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &t); }) != 0) {
        const int err = errno;
        IoctlRetry(fd, TIOCNXCL, nullptr);
        return failOpen(err);
    }
    port->dcb = DcbFromTermios(t);
    return Register(std::move(port));
}

HANDLE TermiosSerialApi::OpenVirtualDevice(const std::string& name) {
    int master = -1, status = -1;
    if (!FindVirtualDevice(name, master, status)) {
        Fail(ENOENT);
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<TermiosPort>();
    port->packetMode = true;
    port->pseudoTerminal = true;
    // Our own descriptors: the device may go while the handle is still open, and
    // then reads its end as a hang-up rather than meet a reused number.
    port->fd = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
    port->statusFd = ::fcntl(status, F_DUPFD_CLOEXEC, 0);
    termios t{};
    if (port->fd < 0 || port->statusFd < 0 || RetryOnEintr([&] { return ::tcgetattr(port->fd, &t); }) != 0) {
        const int err = errno;
        for (int f : {port->fd, port->statusFd})
            if (f >= 0) ::close(f);
        FailErrno(err);
        return INVALID_HANDLE_VALUE;
    }
    // The program on the slave owns the line: no lock, no raw mode, no settings.
    port->dcb = DcbFromTermios(t);
    return Register(std::move(port));
}

HANDLE TermiosSerialApi::Register(std::shared_ptr<TermiosPort> port) {
    const int fd = port->fd;
    auto failOpen = [&](int err) {
        if (!port->packetMode) IoctlRetry(fd, TIOCNXCL, nullptr);
        for (int f : {port->outFd, port->epollFd, port->wakeFd, port->statusFd, port->fd})
            if (f >= 0) ::close(f);
        FailErrno(err);
        return INVALID_HANDLE_VALUE;
    };
    port->outFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    port->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    port->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port->outFd < 0 || port->epollFd < 0 || port->wakeFd < 0) return failOpen(errno);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeTag;
    // Edge-triggered: the tty layer wakes readers after every received chunk, so this
    // fires once per arrival and never again for bytes left in the kernel (the receive
    // queue is full). EPOLLIN only: the tty's wake-ups are keyed, so the wake-ups for
    // free output space, one per drained chunk, do not wake the worker.
    epoll_event in{};
    in.events = EPOLLIN | EPOLLET;
    in.data.u64 = kInputTag;
    if (::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->wakeFd, &wake) != 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, fd, &in) != 0)
        return failOpen(errno);

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
    std::shared_ptr<TermiosPort> port;
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
    if (!port->packetMode) IoctlRetry(port->fd, TIOCNXCL, nullptr);
    // close is not retried on EINTR: Linux has released the descriptor either way.
    // The flock goes with the last descriptor of the open file (fd and its dup).
    for (int f : {port->outFd, port->epollFd, port->wakeFd, port->statusFd, port->fd})
        if (f >= 0) ::close(f);
    port->fd = port->outFd = port->epollFd = port->wakeFd = port->statusFd = -1;
    return Succeed();
}

bool TermiosSerialApi::SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    port->inQueueSize = inQueue;
    port->outQueueSize = outQueue;
    return Succeed();
}

namespace {

ReceiveFilter::Options FilterOptions(const DCB& dcb) {
    ReceiveFilter::Options options;
    options.errorMarks = (dcb.Flags & fDCB_Parity) != 0;
    options.replaceErrors = (dcb.Flags & fDCB_ErrorChar) != 0;
    options.replacement = dcb.ErrorChar;
    options.discardNull = (dcb.Flags & fDCB_Null) != 0;
    return options;
}

// A virtual device's line is the program's: the block is checked and kept for
// GetCommState, and the slave is left as the program set it.
bool KeepVirtualState(TermiosPort& port, const DCB& dcb) {
    termios scratch{};
    LineRequest request;
    if (int err = ApplyDcbToTermios(dcb, scratch, request)) return FailErrno(err);
    ReceiveFilter::Options options = FilterOptions(dcb);
    // The master's own line discipline marks nothing; a 0xFF from the program is data.
    options.errorMarks = false;
    port.filter.Configure(options);
    port.dcb = dcb;
    return Succeed();
}

}  // namespace

bool TermiosSerialApi::SetCommState(HANDLE handle, const DCB& dcb) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (port->hungUp) return FailErrno(port->hangupError);
    if (port->packetMode) return KeepVirtualState(*port, dcb);
    termios before{};
    if (RetryOnEintr([&] { return ::tcgetattr(port->fd, &before); }) != 0) return FailErrno(errno);
    termios t = before;
    LineRequest request;
    if (int err = ApplyDcbToTermios(dcb, t, request)) return FailErrno(err);
    // A pty cannot keep parity or a byte size below 8 and refuses a request for them
    // (see FitFrameToPseudoTerminal); they are accepted as its ignored speed is, and
    // the control block below keeps what was asked. A real UART's refusal still fails.
    if (port->pseudoTerminal) FitFrameToPseudoTerminal(t);
    if (RetryOnEintr([&] { return ::tcsetattr(port->fd, TCSANOW, &t); }) != 0) return FailErrno(errno);
    // Drivers round to what their clock divisor can make and some silently fall back
    // to another rate, for table rates (B460800 on a UART clocked for 115200) as for
    // custom ones; only the read-back tells. Refusing a rate off by more than 2% is
    // honest where carrying on would garble every byte.
    std::uint32_t actual = dcb.BaudRate;
    const int rateErr = request.customRate ? SetCustomBaudRate(port->fd, dcb.BaudRate, actual) : 0;
    // A tty without termios2 reads (none known) keeps a table rate unchecked.
    if (!rateErr && !request.customRate && ReadBackBaudRate(port->fd, actual) != 0) actual = dcb.BaudRate;
    // A pty has no line to clock; what it reads back says nothing, as its speed does.
    if (port->pseudoTerminal) actual = dcb.BaudRate;
    if (rateErr) {
        RetryOnEintr([&] { return ::tcsetattr(port->fd, TCSANOW, &before); });
        return FailErrno(rateErr);
    }
    const std::uint64_t diff = actual > dcb.BaudRate ? actual - dcb.BaudRate : dcb.BaudRate - actual;
    if (diff * 50 > dcb.BaudRate) {
        RetryOnEintr([&] { return ::tcsetattr(port->fd, TCSANOW, &before); });
        return Fail(ERROR_RATE_NOT_SUPPORTED);
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

    port->filter.Configure(FilterOptions(dcb));
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
        port->EnsureWorkerIfNeeded();
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
    if (!port) return Reject(overlapped, ERROR_INVALID_HANDLE);
    if (port->mask == 0 || port->wait) return Reject(overlapped, EINVAL);
    if (port->hungUp) return Reject(overlapped, static_cast<std::uint32_t>(port->hangupError));
    if (const std::uint32_t bits = port->history & port->mask) {
        port->history = 0;
        if (mask) *mask = bits;
        return CompleteAtOnce(overlapped, 0, nullptr);
    }
    port->wait = PendingWait{overlapped, mask};
    port->EnsureWorkerIfNeeded();
    return Fail(ERROR_IO_PENDING);
}

bool TermiosSerialApi::GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped,
                                           std::uint32_t* transferred, bool wait) {
    if (!overlapped) return Fail(EINVAL);
    std::uint32_t status = 0, count = 0;
    if (!ReadRecord(overlapped, wait, status, count)) return Fail(ERROR_IO_INCOMPLETE);
    if (transferred) *transferred = count;
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
            // A queue found empty since, or output the kernel was seen rid of, needs
            // no question: this is asked once or twice for every received chunk.
            if (!port->KnownDrained()) IoctlRetry(port->fd, FIONREAD, &kernelIn);
            if (port->outputMayBeQueued) {
                IoctlRetry(port->fd, TIOCOUTQ, &kernelOut);
                if (kernelOut == 0) port->outputMayBeQueued = false;
            }
        }
        std::uint64_t out = static_cast<std::uint32_t>(std::max(kernelOut, 0));
        for (const auto& w : port->writes) out += w.count - w.done;
        if (port->waitingChar) out += 1;
        s.cbInQue = static_cast<std::uint32_t>(port->input.size() +
                                               static_cast<std::size_t>(std::max(kernelIn, 0)));
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
        if (!port->hungUp && RetryOnEintr([&] { return ::tcflush(port->fd, TCOFLUSH); }) != 0) err = errno;
    }
    if ((flags & PURGE_RXCLEAR)) {
        port->input.clear();
        port->filter.Reset();
        port->above80 = false;
        if (!port->hungUp && RetryOnEintr([&] { return ::tcflush(port->fd, TCIFLUSH); }) != 0) err = errno;
    }
    if (!port->hungUp) port->UpdateOutWatch();
    return err ? FailErrno(err) : Succeed();
}

bool TermiosSerialApi::EscapeCommFunction(HANDLE handle, std::uint32_t function) {
    PortLock port(Find(handle));
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (port->hungUp) return FailErrno(port->hangupError);
    // A pty has no lines to drive, and its flow belongs to the program on the slave.
    if (port->packetMode) return function >= SETXOFF && function <= CLRBREAK ? Succeed() : FailErrno(EINVAL);
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
            if (RetryOnEintr([&] { return ::tcflow(fd, TCOOFF); }) != 0)
                err = errno;
            else
                port->outputHeld = true;
            break;
        case SETXON:
            if (RetryOnEintr([&] { return ::tcflow(fd, TCOON); }) != 0)
                err = errno;
            else
                port->outputHeld = false;
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
    if (done == 0) {
        port->waitingChar = c;  // goes out ahead of the queued writes
        port->EnsureWorker();
    } else {
        port->CheckDrained(Clock::now());
        if (port->nextDrainPoll) port->EnsureWorker();
    }
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
    if (!port) return Reject(overlapped, ERROR_INVALID_HANDLE);
    if (count == 0) return CompleteAtOnce(overlapped, 0, read);
    if (!buffer) return Reject(overlapped, EFAULT);

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
        // Bytes left in the kernel by a full receive queue were counted as waiting;
        // a read of that count gets them too.
        while (r.done > 0 && !port->hungUp) {
            port->Ingest();
            const std::size_t more = port->input.take(r.buffer + r.done, count - r.done);
            if (more == 0) break;
            r.done += static_cast<std::uint32_t>(more);
        }
        if (port->hungUp && r.done == 0)
            return Reject(overlapped, static_cast<std::uint32_t>(port->hangupError));
        if (r.done == count || r.immediate || (r.returnOnAny && r.done > 0) || port->hungUp)
            return CompleteAtOnce(overlapped, r.done, read);
        if (r.done > 0 && r.interval > 0) r.intervalDeadline = After(now, r.interval);
    } else if (port->hungUp) {
        return Reject(overlapped, static_cast<std::uint32_t>(port->hangupError));
    }
    port->reads.push_back(r);
    port->UpdateInputWatch();
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
    if (!port) return Reject(overlapped, ERROR_INVALID_HANDLE);
    if (port->hungUp) return Reject(overlapped, static_cast<std::uint32_t>(port->hangupError));
    if (count == 0) return CompleteAtOnce(overlapped, 0, written);
    if (!buffer) return Reject(overlapped, EFAULT);

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
            return Reject(overlapped, static_cast<std::uint32_t>(err));
        }
        if (w.done == count) {
            CompleteAtOnce(overlapped, w.done, written);
            // Asked here rather than by the worker, which then has nothing to do
            // unless the device still holds the bytes.
            port->CheckDrained(Clock::now());
            if (port->nextDrainPoll) port->EnsureWorker();
            return Succeed();
        }
    }
    port->writes.push_back(w);
    port->EnsureWorker();
    return Fail(ERROR_IO_PENDING);
}

int TermiosSerialApi::ServeInputOnLoop(HANDLE handle) {
    PortLock port(Find(handle));
    if (!port || port->hungUp) return -1;
    port->inputByLoop = true;
    port->UpdateInputWatch();
    // Started now and left asleep until something must wait, so a port holds the
    // same threads all its life, whatever its traffic.
    port->EnsureWorker();
    return port->fd;
}

void TermiosSerialApi::ServiceInput(HANDLE handle, std::uint32_t readiness) {
    PortLock port(Find(handle));
    if (!port) return;
    port->NoteArrival();
    port->Ingest();
    if (readiness & (EPOLLHUP | EPOLLERR)) port->MarkHungUp(EIO);
}

}  // namespace portvale
