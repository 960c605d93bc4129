#include "comport/ComPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

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

// ---- settings ----

bool TCustomComPort::Applicable() const {
    return connected_ && updateDepth_ == 0 && !Designing() && !Loading();
}

void TCustomComPort::ApplyDCB() {
    if (!Applicable()) return;
    const TComFlowControl& flow = *flowControl_;
    const bool replace = parity_->Check() && parity_->Replace();
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudRateToDevice(baudRate_, customBaudRate_);
    std::uint32_t flags = fDCB_Binary;
    if (parity_->Check()) flags |= fDCB_Parity;
    if (flow.OutCTSFlow()) flags |= fDCB_OutxCtsFlow;
    if (flow.OutDSRFlow()) flags |= fDCB_OutxDsrFlow;
    flags |= static_cast<std::uint32_t>(flow.ControlDTR()) << fDCB_DtrControlShift;
    if (flow.DSRSensitivity()) flags |= fDCB_DsrSensitivity;
    if (flow.TxContinueOnXoff()) flags |= fDCB_TXContinueOnXoff;
    if (flow.XonXoffOut()) flags |= fDCB_OutX;
    if (flow.XonXoffIn()) flags |= fDCB_InX;
    if (replace) flags |= fDCB_ErrorChar;
    if (discardNull_) flags |= fDCB_Null;
    flags |= static_cast<std::uint32_t>(flow.ControlRTS()) << fDCB_RtsControlShift;
    dcb.Flags = flags;
    const auto limit = static_cast<std::uint16_t>(buffer_->InputSize() / 4);
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.ByteSize = DataBitsToDevice(dataBits_);
    dcb.Parity = ParityToDevice(parity_->Bits());
    dcb.StopBits = StopBitsToDevice(stopBits_);
    dcb.XonChar = flow.XonChar();
    dcb.XoffChar = flow.XoffChar();
    dcb.ErrorChar = replace ? parity_->ReplaceChar() : 0;
    dcb.EvtChar = eventChar_;
    if (!Api().SetCommState(handle_, dcb)) RaiseWithSystemCode(CError_SetStateFailed);
}

void TCustomComPort::ApplyTimeouts() {
    if (!Applicable()) return;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = TimeoutToDevice(timeouts_->ReadInterval());
    t.ReadTotalTimeoutMultiplier = TimeoutToDevice(timeouts_->ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = TimeoutToDevice(timeouts_->ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = TimeoutToDevice(timeouts_->WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = TimeoutToDevice(timeouts_->WriteTotalConstant());
    if (!Api().SetCommTimeouts(handle_, t)) RaiseWithSystemCode(CError_TimeoutsFailed);
}

void TCustomComPort::ApplyBuffer() {
    if (!Applicable()) return;
    if (!Api().SetupComm(handle_, static_cast<std::uint32_t>(buffer_->InputSize()),
                         static_cast<std::uint32_t>(buffer_->OutputSize())))
        RaiseWithSystemCode(CError_SetupComFailed);
}

void TCustomComPort::SetPort(const std::string& value) {
    if (value == port_) return;
    port_ = value;
    if (connected_ && !Designing() && !Loading()) {
        Close();
        Open();
    }
}

namespace {

template <typename T>
bool Store(T& field, T value) {
    if (field == value) return false;
    field = value;
    return true;
}

}  // namespace

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (Store(baudRate_, value)) ApplyDCB();
}
void TCustomComPort::SetCustomBaudRate(std::int32_t value) {
    if (Store(customBaudRate_, value)) ApplyDCB();
}
void TCustomComPort::SetStopBits(TStopBits value) {
    if (Store(stopBits_, value)) ApplyDCB();
}
void TCustomComPort::SetDataBits(TDataBits value) {
    if (Store(dataBits_, value)) ApplyDCB();
}
void TCustomComPort::SetDiscardNull(bool value) {
    if (Store(discardNull_, value)) ApplyDCB();
}
void TCustomComPort::SetEventChar(char value) {
    if (Store(eventChar_, value)) ApplyDCB();
}

void TCustomComPort::SetParity(const TComParity& value) {
    parity_->Assign(value);
    ApplyDCB();
}
void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
    flowControl_->Assign(value);
    ApplyDCB();
}
void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
    timeouts_->Assign(value);
    ApplyTimeouts();
}
void TCustomComPort::SetBuffer(const TComBuffer& value) {
    buffer_->Assign(value);
    ApplyBuffer();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (value == syncMethod_) return;
    if (connected_ && !Designing() && !Loading()) throw EComPort(CError_ConnChangeProp);
    syncMethod_ = value;
}

void TCustomComPort::SetEventThreadPriority(TThreadPriority value) {
    if (value == eventThreadPriority_) return;
    if (connected_ && !Designing() && !Loading()) throw EComPort(CError_ConnChangeProp);
    eventThreadPriority_ = value;
}

bool TCustomComPort::GetTriggersOnRxChar() const { return triggersOnRxChar_ && !rxBufLinked_; }

void TCustomComPort::SetTriggersOnRxChar(bool value) {
    if (rxBufLinked_) throw EComPort(CError_HasLink);
    triggersOnRxChar_ = value;
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

// ---- dispatch ----

void TCustomComPort::CallRxChar() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    std::int32_t count = InputCount();
    if (count > 0) {
        SendSignalToLink(leRx, true);
        if (alive.expired()) return;
    }
    if (count > 0 && !GetTriggersOnRxChar()) {
        std::vector<char> data;
        std::int32_t got = 0;
        bool read = false;
        auto readNow = [&] {
            data.assign(static_cast<std::size_t>(count), 0);
            read = true;
            got = Read(data.data(), count);
            // Only what the read delivered is data; the rest of the buffer is not.
            if (got > 0) DoRxBuf(data.data(), got);
        };
        for (std::size_t i = 0; i < linkList_.size(); ++i) {
            TComLink* link = linkList_[i];
            if (!link->OnRxBuf) continue;
            if (!read) {
                readNow();
                if (alive.expired()) return;
            }
            if (got > 0) link->OnRxBuf(this, data.data(), got);
            if (alive.expired()) return;
        }
        if (!read && !triggersOnRxChar_) readNow();
        if (read) count = 0;
    }
    if (count > 0) DoRxChar(count);
}

void TCustomComPort::CallTxEmpty() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    SendSignalToLink(leTx, false);
    if (alive.expired()) return;
    NotifyLink(leTxEmpty);
    if (alive.expired()) return;
    DoTxEmpty();
}

void TCustomComPort::CallRxFlag() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    NotifyLink(leRxFlag);
    if (!alive.expired()) DoRxFlag();
}

void TCustomComPort::CallRing() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    NotifyLink(leRing);
    if (!alive.expired()) DoRing();
}

void TCustomComPort::CallBreak() { DoBreak(); }
void TCustomComPort::CallRx80Full() { DoRx80Full(); }

void TCustomComPort::CallPortLost() {
    if (connected_) DoPortLost();
}

void TCustomComPort::CallError() {
    const TComErrors errors = LastErrors();
    if (!errors.Empty()) DoError(errors);
}

void TCustomComPort::CallSignalChange(TComSignal signal, TComLinkEvent event,
                                      void (TCustomComPort::*handler)(bool)) {
    const std::weak_ptr<const bool> alive = lifeToken_;
    const bool on = Signals().Contains(signal);
    SendSignalToLink(event, on);
    if (!alive.expired()) (this->*handler)(on);
}

void TCustomComPort::CallCTSChange() { CallSignalChange(csCTS, leCTS, &TCustomComPort::DoCTSChange); }
void TCustomComPort::CallDSRChange() { CallSignalChange(csDSR, leDSR, &TCustomComPort::DoDSRChange); }
void TCustomComPort::CallRLSDChange() { CallSignalChange(csRLSD, leRLSD, &TCustomComPort::DoRLSDChange); }

void TCustomComPort::CallBeforeOpen() { DoBeforeOpen(); }

void TCustomComPort::CallAfterOpen() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    const std::function<void()> steps[] = {[this] { SendSignalToLink(leConn, true); },
                                           [this] { DoAfterOpen(); },
                                           [this] { CallCTSChange(); },
                                           [this] { CallDSRChange(); },
                                           [this] { CallRLSDChange(); }};
    for (const auto& step : steps) {
        step();
        if (alive.expired()) return;
    }
}

void TCustomComPort::CallBeforeClose() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    const std::function<void()> steps[] = {[this] { SendSignalToLink(leCTS, false); },
                                           [this] { SendSignalToLink(leDSR, false); },
                                           [this] { SendSignalToLink(leRLSD, false); },
                                           [this] { DoCTSChange(false); },
                                           [this] { DoDSRChange(false); },
                                           [this] { DoRLSDChange(false); },
                                           [this] { DoBeforeClose(); }};
    for (const auto& step : steps) {
        step();
        if (alive.expired()) return;
    }
}

void TCustomComPort::CallAfterClose() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    SendSignalToLink(leConn, false);
    if (!alive.expired()) DoAfterClose();
}

void TCustomComPort::DoAfterClose() { OnAfterClose(this); }
void TCustomComPort::DoAfterOpen() { OnAfterOpen(this); }
void TCustomComPort::DoBeforeClose() { OnBeforeClose(this); }
void TCustomComPort::DoBeforeOpen() { OnBeforeOpen(this); }
void TCustomComPort::DoRxChar(std::int32_t count) { OnRxChar(this, count); }
void TCustomComPort::DoRxBuf(const char* buffer, std::int32_t count) { OnRxBuf(this, buffer, count); }
void TCustomComPort::DoTxEmpty() { OnTxEmpty(this); }
void TCustomComPort::DoBreak() { OnBreak(this); }
void TCustomComPort::DoRing() { OnRing(this); }
void TCustomComPort::DoRxFlag() { OnRxFlag(this); }
void TCustomComPort::DoCTSChange(bool onOff) { OnCTSChange(this, onOff); }
void TCustomComPort::DoDSRChange(bool onOff) { OnDSRChange(this, onOff); }
void TCustomComPort::DoError(TComErrors errors) { OnError(this, errors); }
void TCustomComPort::DoRLSDChange(bool onOff) { OnRLSDChange(this, onOff); }
void TCustomComPort::DoRx80Full() { OnRx80Full(this); }

void TCustomComPort::DoPortLost() { OnPortLost(this); }

LRESULT TCustomComPort::WindowMethod(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_COMPORT_EVENT) return Dispatcher::DefWindowProc(notifyWindow_, msg, wParam, lParam);
    Dispatcher& dispatcher = Dispatcher::Instance();
    if (dispatcher.InSendMessage()) dispatcher.ReplyMessage(0);
    try {
        if (connected_) {
            switch (wParam) {
                case EV_RXCHAR: CallRxChar(); break;
                case EV_RXFLAG: CallRxFlag(); break;
                case EV_TXEMPTY: CallTxEmpty(); break;
                case EV_CTS: CallCTSChange(); break;
                case EV_DSR: CallDSRChange(); break;
                case EV_RLSD: CallRLSDChange(); break;
                case EV_BREAK: CallBreak(); break;
                case EV_ERR: CallError(); break;
                case EV_RING: CallRing(); break;
                case EV_RX80FULL: CallRx80Full(); break;
                default: break;
            }
        }
    } catch (...) {
        Application().HandleException(std::current_exception());
    }
    return 0;
}

// ---- links ----

void TCustomComPort::RegisterLink(TComLink* link) {
    if (std::find(linkList_.begin(), linkList_.end(), link) != linkList_.end())
        throw EComPort(CError_RegFailed);
    linkList_.push_back(link);
    rxBufLinked_ = HasLink();
}

void TCustomComPort::UnRegisterLink(TComLink* link) {
    auto it = std::find(linkList_.begin(), linkList_.end(), link);
    if (it == linkList_.end()) throw EComPort(CError_RegFailed);
    linkList_.erase(it);
    rxBufLinked_ = HasLink();
}

bool TCustomComPort::HasLink() const {
    return std::any_of(linkList_.begin(), linkList_.end(),
                       [](const TComLink* link) { return static_cast<bool>(link->OnRxBuf); });
}

// The walks go by index: a callback may register or unregister links, or even
// destroy the port.
void TCustomComPort::SendSignalToLink(TComLinkEvent event, bool onOff) {
    for (std::size_t i = 0; i < linkList_.size(); ++i) {
        TComLink* link = linkList_[i];
        const TComSignalEvent* callback = nullptr;
        switch (event) {
            case leConn: callback = &link->OnConn; break;
            case leCTS: callback = &link->OnCTSChange; break;
            case leDSR: callback = &link->OnDSRChange; break;
            case leRLSD: callback = &link->OnRLSDChange; break;
            case leTx: callback = &link->OnTx; break;
            case leRx: callback = &link->OnRx; break;
            default: break;
        }
        if (callback && *callback) {
            const std::weak_ptr<const bool> alive = lifeToken_;
            (*callback)(this, onOff);
            if (alive.expired()) return;
        }
    }
}

void TCustomComPort::NotifyLink(TComLinkEvent event) {
    for (std::size_t i = 0; i < linkList_.size(); ++i) {
        TComLink* link = linkList_[i];
        const TNotifyEvent* callback = nullptr;
        switch (event) {
            case leRing: callback = &link->OnRing; break;
            case leTxEmpty: callback = &link->OnTxEmpty; break;
            case leRxFlag: callback = &link->OnRxFlag; break;
            default: break;
        }
        if (callback && *callback) {
            const std::weak_ptr<const bool> alive = lifeToken_;
            (*callback)(this);
            if (alive.expired()) return;
        }
    }
}

void TCustomComPort::TxNotifyLink(const char* buffer, std::int32_t count) {
    for (std::size_t i = 0; i < linkList_.size(); ++i) {
        TComLink* link = linkList_[i];
        if (!link->OnTxBuf) continue;
        const std::weak_ptr<const bool> alive = lifeToken_;
        link->OnTxBuf(this, buffer, count);
        if (alive.expired()) return;
    }
}

void ApplyInOneUpdate(TCustomComPort& port, const std::function<void()>& apply) {
    port.BeginUpdate();
    try {
        apply();
    } catch (...) {
        try {
            port.EndUpdate();
        } catch (...) {
            // The apply's error says what went wrong; this one follows from it.
        }
        throw;
    }
    port.EndUpdate();
}

}  // namespace portvale
