// The port's lifecycle and its traffic with the device: opening and closing, the
// line's state and control, and the transfers. Its properties are in
// ComPortProperties.cpp, its events and links in ComPortEvents.cpp.
#include "comport/ComPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "comport/ComThread.h"
#include "comport/EventWaitBlock.h"
#include "framework/Application.h"

namespace portvale {

namespace {

ISerialApi& Api() { return SerialApi(); }

[[noreturn]] void RaiseWithSystemCode(int code) {
    throw EComPort(code, static_cast<std::int32_t>(Api().GetLastError()));
}

}  // namespace

// ---- async records ----

void InitAsync(PAsync& async) {
    auto record = std::make_unique<TAsync>();
    record->CompletionEvent = std::make_unique<Event>(true, true);
    record->Overlapped.hEvent = record->CompletionEvent.get();
    async = record.release();
}

void DoneAsync(PAsync& async) {
    delete async;
    async = nullptr;
}

namespace {

// Runs fn with a fresh record and frees the record whatever happens.
template <typename F>
std::int32_t WithAsync(F&& fn) {
    PAsync async = nullptr;
    InitAsync(async);
    try {
        const std::int32_t result = fn(async);
        DoneAsync(async);
        return result;
    } catch (...) {
        DoneAsync(async);
        throw;
    }
}

}  // namespace

// ---- construction ----

TCustomComPort::TCustomComPort(TComponent* owner) : TComponent(owner) {
    parity_ = std::make_unique<TComParity>();
    parity_->SetComPort(this);
    flowControl_ = std::make_unique<TComFlowControl>();
    flowControl_->SetComPort(this);
    timeouts_ = std::make_unique<TComTimeouts>();
    timeouts_->SetComPort(this);
    buffer_ = std::make_unique<TComBuffer>();
    buffer_->SetComPort(this);
}

TCustomComPort::~TCustomComPort() {
    // Observers unregister their links when told; the link list must still exist.
    SendRemovalNotices();
    if (retiringWorker_) retiringWorker_->ForgetPort();
    try {
        Close();
    } catch (...) {
        // A destructor cannot report; the teardown below still runs.
    }
    // A handler that failed during Close may have left it half done.
    if (connected_ || handle_ != INVALID_HANDLE_VALUE || eventWorker_ || notifyWindow_) {
        try {
            AbortAllAsync();
        } catch (...) {
        }
        DestroyWorker();
        workerRunning_ = false;
        if (notifyWindow_) Dispatcher::Instance().DeallocateHWnd(notifyWindow_);
        notifyWindow_ = 0;
        DestroyHandle();
        connected_ = false;
    }
    buffer_.reset();
    flowControl_.reset();
    timeouts_.reset();
    parity_.reset();
}

// ---- lifecycle ----

void TCustomComPort::Open() {
    if (connected_ || Designing()) return;
    const std::weak_ptr<const bool> alive = lifeToken_;
    CallBeforeOpen();
    // A before-open handler may have opened (or destroyed) the port itself.
    if (alive.expired() || connected_) return;
    CreateHandle();
    connected_ = true;
    try {
        SetupComPort();
    } catch (...) {
        DestroyHandle();
        connected_ = false;
        throw;
    }
    try {
        if (events_.Empty()) {
            workerRunning_ = false;
        } else {
            if (syncMethod_ == smWindowSync) {
                notifyWindow_ = Dispatcher::Instance().AllocateHWnd(
                    [this](std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
                        return WindowMethod(msg, wParam, lParam);
                    });
            }
            eventWorker_ = std::make_unique<TComThread>(this);
            workerRunning_ = true;
        }
    } catch (...) {
        // No thread could be started (out of resources): leave nothing half open.
        if (notifyWindow_) Dispatcher::Instance().DeallocateHWnd(notifyWindow_);
        notifyWindow_ = 0;
        DestroyHandle();
        connected_ = false;
        throw;
    }
    CallAfterOpen();
}

void TCustomComPort::Close() {
    if (!connected_ || Designing()) return;
    const std::weak_ptr<const bool> alive = lifeToken_;
    CallBeforeClose();
    // A before-close handler may have closed (or destroyed) the port itself.
    if (alive.expired() || !connected_) return;
    std::exception_ptr abortError;
    try {
        AbortAllAsync();
    } catch (...) {
        // Report it, but only once the port is closed: a device that cannot purge
        // (unplugged, hung up) must still be closable.
        abortError = std::current_exception();
    }
    if (workerRunning_) {
        DestroyWorker();
        // Handlers served while waiting for the thread may have closed or destroyed
        // the port.
        if (alive.expired()) return;
        workerRunning_ = false;
        if (notifyWindow_) {
            Dispatcher::Instance().DeallocateHWnd(notifyWindow_);
            notifyWindow_ = 0;
        }
    }
    if (!connected_) return;
    DestroyHandle();
    connected_ = false;
    CallAfterClose();
    if (abortError) std::rethrow_exception(abortError);
}

void TCustomComPort::DestroyWorker() {
    std::unique_ptr<TComThread> worker = std::move(eventWorker_);
    if (!worker) return;
    if (worker->DispatchingOnCurrentThread()) {
        // Called from a handler of this very thread: the thread waits for the handler,
        // so waiting for the thread would never end. It finishes on its own.
        worker->Detach();
        (void)worker.release();
        return;
    }
    // Stop the thread and wait for its end, serving the hand-overs it has already
    // requested. Should a handler served meanwhile destroy the port, the destructor
    // cuts the thread off from it through retiringWorker_.
    const std::weak_ptr<const bool> alive = lifeToken_;
    retiringWorker_ = worker.get();
    worker.reset();
    if (!alive.expired()) retiringWorker_ = nullptr;
}

void TCustomComPort::SetConnected(bool value) {
    if (Designing() || Loading()) {
        connected_ = value;
        return;
    }
    if (value == connected_) return;
    if (value)
        Open();
    else
        Close();
}

void TCustomComPort::Loaded() {
    TComponent::Loaded();
    if (connected_ && !Designing()) {
        connected_ = false;
        try {
            Open();
        } catch (...) {
            Application().HandleException(std::current_exception());
        }
    }
}

void TCustomComPort::BeginUpdate() { ++updateDepth_; }

void TCustomComPort::EndUpdate() {
    if (updateDepth_ < 1) return;
    if (--updateDepth_ == 0) SetupComPort();
}

void TCustomComPort::CreateHandle() {
    const HANDLE handle = Api().CreateFile("\\\\.\\" + port_);
    if (handle == INVALID_HANDLE_VALUE) RaiseWithSystemCode(CError_OpenFailed);
    handle_ = handle;
}

void TCustomComPort::DestroyHandle() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    Api().CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

void TCustomComPort::SetupComPort() {
    ApplyBuffer();
    ApplyDCB();
    ApplyTimeouts();
}

// ---- line control ----

bool TCustomComPort::QueryCommError(std::uint32_t* errors, COMSTAT* stat) {
    return Api().ClearCommError(handle_, errors, stat);
}

std::int32_t TCustomComPort::InputCount() {
    COMSTAT stat;
    if (!QueryCommError(nullptr, &stat)) RaiseWithSystemCode(CError_ClearComFailed);
    return static_cast<std::int32_t>(stat.cbInQue);
}

std::int32_t TCustomComPort::OutputCount() {
    COMSTAT stat;
    if (!QueryCommError(nullptr, &stat)) RaiseWithSystemCode(CError_ClearComFailed);
    return static_cast<std::int32_t>(stat.cbOutQue);
}

std::uint8_t TCustomComPort::StateFlags() {
    COMSTAT stat;
    if (!QueryCommError(nullptr, &stat)) RaiseWithSystemCode(CError_ClearComFailed);
    return static_cast<std::uint8_t>(stat.Flags & 0x7F);
}

TComErrors TCustomComPort::LastErrors() {
    std::uint32_t word = 0;
    COMSTAT stat;
    if (!QueryCommError(&word, &stat)) RaiseWithSystemCode(CError_ClearComFailed);
    TComErrors errors;
    if (word & CE_FRAME) errors.Include(ceFrame);
    if ((word & CE_RXPARITY) && parity_->Check()) errors.Include(ceRxParity);
    if (word & CE_OVERRUN) errors.Include(ceOverrun);
    if (word & CE_RXOVER) errors.Include(ceRxOver);
    if (word & CE_TXFULL) errors.Include(ceTxFull);
    if (word & CE_BREAK) errors.Include(ceBreak);
    if (word & CE_IOE) errors.Include(ceIO);
    if (word & CE_MODE) errors.Include(ceMode);
    return errors;
}

TComSignals TCustomComPort::Signals() {
    std::uint32_t status = 0;
    if (!Api().GetCommModemStatus(handle_, &status)) RaiseWithSystemCode(CError_ModemStatFailed);
    TComSignals signals;
    if (status & MS_CTS_ON) signals.Include(csCTS);
    if (status & MS_DSR_ON) signals.Include(csDSR);
    if (status & MS_RING_ON) signals.Include(csRing);
    if (status & MS_RLSD_ON) signals.Include(csRLSD);
    return signals;
}

void TCustomComPort::Escape(std::uint32_t function) {
    if (!Api().EscapeCommFunction(handle_, function)) RaiseWithSystemCode(CError_EscapeComFailed);
}

void TCustomComPort::SetBreak(bool on) { Escape(on ? SETBREAK : CLRBREAK); }
void TCustomComPort::SetDTR(bool on) { Escape(on ? SETDTR : CLRDTR); }
void TCustomComPort::SetRTS(bool on) { Escape(on ? SETRTS : CLRRTS); }
void TCustomComPort::SetXonXoff(bool on) { Escape(on ? SETXON : SETXOFF); }

void TCustomComPort::ClearBuffer(bool input, bool output) {
    std::uint32_t flags = 0;
    if (input) flags |= PURGE_RXCLEAR;
    if (output) flags |= PURGE_TXCLEAR;
    if (!Api().PurgeComm(handle_, flags)) RaiseWithSystemCode(CError_PurgeFailed);
}

// ---- transfer ----

std::int32_t TCustomComPort::WriteAsync(const void* buffer, std::int32_t count, PAsync& async) {
    if (!async) throw EComPort(CError_InvalidAsync);
    count = std::max(count, 0);
    async->Kind = okWrite;
    async->Data.reset();
    async->Size = 0;
    if (count > 0) {
        async->Data = std::make_unique<char[]>(static_cast<std::size_t>(count));
        std::memcpy(async->Data.get(), buffer, static_cast<std::size_t>(count));
        async->Size = count;
    }
    std::uint32_t written = 0;
    async->Started = true;
    if (!Api().WriteFile(handle_, async->Data.get(), static_cast<std::uint32_t>(count), &written,
                         &async->Overlapped)) {
        const std::uint32_t error = Api().GetLastError();
        if (error != ERROR_IO_PENDING) {
            async->Started = false;
            throw EComPort(CError_WriteFailed, static_cast<std::int32_t>(error));
        }
    }
    SendSignalToLink(leTx, true);
    return static_cast<std::int32_t>(written);
}

std::int32_t TCustomComPort::WriteStrAsync(const std::string& str, PAsync& async) {
    if (str.empty()) return 0;
    return WriteAsync(str.data(), static_cast<std::int32_t>(str.size()), async);
}

std::int32_t TCustomComPort::Write(const void* buffer, std::int32_t count) {
    return WithAsync([&](PAsync& async) {
        WriteAsync(buffer, count, async);
        return WaitForAsync(async);
    });
}

std::int32_t TCustomComPort::WriteStr(const std::string& str) {
    return WithAsync([&](PAsync& async) {
        WriteStrAsync(str, async);
        return WaitForAsync(async);
    });
}

std::int32_t TCustomComPort::ReadAsync(void* buffer, std::int32_t count, PAsync& async) {
    if (!async) throw EComPort(CError_InvalidAsync);
    count = std::max(count, 0);
    async->Kind = okRead;
    std::uint32_t read = 0;
    async->Started = true;
    if (!Api().ReadFile(handle_, buffer, static_cast<std::uint32_t>(count), &read,
                        &async->Overlapped)) {
        const std::uint32_t error = Api().GetLastError();
        if (error != ERROR_IO_PENDING) {
            async->Started = false;
            throw EComPort(CError_ReadFailed, static_cast<std::int32_t>(error));
        }
    }
    return static_cast<std::int32_t>(read);
}

std::int32_t TCustomComPort::ReadStrAsync(std::string& str, std::int32_t count, PAsync& async) {
    str.assign(static_cast<std::size_t>(std::max(count, 0)), '\0');
    if (count <= 0) return 0;
    return ReadAsync(str.data(), count, async);
}

std::int32_t TCustomComPort::Read(void* buffer, std::int32_t count) {
    return WithAsync([&](PAsync& async) {
        ReadAsync(buffer, count, async);
        return WaitForAsync(async);
    });
}

std::int32_t TCustomComPort::ReadStr(std::string& str, std::int32_t count) {
    const std::int32_t read = WithAsync([&](PAsync& async) {
        ReadStrAsync(str, count, async);
        return WaitForAsync(async);
    });
    str.resize(static_cast<std::size_t>(std::max(read, 0)));
    return read;
}

std::int32_t TCustomComPort::WaitForAsync(PAsync& async) {
    if (!async) throw EComPort(CError_InvalidAsync);
    // A record that never started an operation has nothing to wait for.
    if (!async->Started) return 0;
    std::uint32_t transferred = 0;
    const bool ok = WaitForSingleObject(*async->CompletionEvent, INFINITE) == WAIT_OBJECT_0 &&
                    Api().GetOverlappedResult(handle_, &async->Overlapped, &transferred, false);
    async->Started = false;
    if (!ok)
        RaiseWithSystemCode(async->Kind == okWrite ? CError_WriteFailed : CError_ReadFailed);
    // A read never reports transmitted bytes: the record may still hold the copy of an
    // earlier write, which the links were told of when that write completed.
    if (async->Kind == okRead) {
        if (InputCount() == 0) SendSignalToLink(leRx, false);
    } else if (async->Data) {
        TxNotifyLink(async->Data.get(), async->Size);
    }
    return static_cast<std::int32_t>(transferred);
}

bool TCustomComPort::IsAsyncCompleted(PAsync async) {
    if (!async) throw EComPort(CError_InvalidAsync);
    if (!async->Started) return true;
    std::uint32_t transferred = 0;
    if (Api().GetOverlappedResult(handle_, &async->Overlapped, &transferred, false)) return true;
    const std::uint32_t error = Api().GetLastError();
    if (error == ERROR_IO_INCOMPLETE || error == ERROR_IO_PENDING) return false;
    throw EComPort(CError_AsyncCheck, static_cast<std::int32_t>(error));
}

void TCustomComPort::AbortAllAsync() {
    if (!Api().PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT)) RaiseWithSystemCode(CError_PurgeFailed);
}

void TCustomComPort::WaitForEvent(TComEvents& events, Event* stopEvent, std::int32_t timeoutMs) {
    if (workerRunning_) throw EComPort(CError_ThreadCreated);
    ISerialApi& api = Api();
    auto wait = std::make_unique<EventWaitBlock>(false);
    std::vector<Event*> waitList{&wait->event};
    if (stopEvent) waitList.push_back(stopEvent);
    api.SetCommMask(handle_, EventsToMask(events));
    bool ok = api.WaitCommEvent(handle_, &wait->mask, &wait->overlapped);
    std::uint32_t error = ok ? ERROR_SUCCESS : api.GetLastError();
    const bool started = ok || error == ERROR_IO_PENDING;
    if (started) {
        const std::uint32_t result =
            WaitForMultipleObjects(waitList, false, static_cast<std::uint32_t>(timeoutMs));
        ok = result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1 || result == WAIT_TIMEOUT;
        if (!ok) error = static_cast<std::uint32_t>(errno);
        api.SetCommMask(handle_, 0);
    }
    const std::uint32_t mask = wait->mask;
    RetireEventWaitBlock(std::move(wait), started);
    if (!ok) throw EComPort(CError_WaitFailed, static_cast<std::int32_t>(error));
    events = MaskToEvents(mask);
}

void TCustomComPort::TransmitChar(char ch) {
    if (!Api().TransmitCommChar(handle_, ch)) RaiseWithSystemCode(CError_TransmitFailed);
}

}  // namespace portvale
