#pragma once
// The serial port component: a port (TCustomComPort, published as TComPort) that opens
// the device named by Port, applies its settings, moves bytes with overlapped
// transfers, and turns device events into handler calls through its event thread;
// links (TComLink) let other components observe a port; TComStream reads and writes a
// port as a stream; TComDataPacket (ComDataPacket.h) cuts received text into packets.
//
// Threading: a port belongs to the thread that created it (the GUI thread). With
// smThreadSync (the default) and smWindowSync every handler runs on that thread;
// with smNone handlers run on the event thread and must synchronise themselves.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comport/ComDataPacket.h"
#include "comport/ComPortError.h"
#include "comport/ComSettings.h"
#include "comport/ComTypes.h"
#include "framework/BoundEvent.h"
#include "framework/Component.h"
#include "framework/Stream.h"
#include "framework/Thread.h"
#include "platform/Dispatcher.h"
#include "platform/Event.h"
#include "platform/serial/SerialApi.h"

namespace portvale {

class TComThread;
class TIniFile;
class TRegistry;
class TStringList;

// The message through which the event thread hands events to the port's hidden window
// under smWindowSync; wParam is one event's mask bit.
constexpr std::uint32_t WM_COMPORT_EVENT = WM_USER + 1;

// Handler shapes; Sender is always the port.
using TRxCharEvent = TBoundEvent<void(TObject* sender, std::int32_t count)>;
using TRxBufEvent = TBoundEvent<void(TObject* sender, const char* buffer, std::int32_t count)>;
using TComErrorEvent = TBoundEvent<void(TObject* sender, TComErrors errors)>;
using TComSignalEvent = TBoundEvent<void(TObject* sender, bool onOff)>;

// An observer of a port. The observing component owns it; the port only refers to it
// while it is registered.
class TComLink : public TObject {
public:
    TComSignalEvent OnConn;
    TRxBufEvent OnRxBuf;
    TRxBufEvent OnTxBuf;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnRxFlag;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRing;
    TComSignalEvent OnTx;
    TComSignalEvent OnRx;
};

// The record of one overlapped transfer. Created by InitAsync, destroyed by DoneAsync;
// it serves one operation at a time and must outlive it.
struct TAsync {
    OVERLAPPED Overlapped{};
    TOperationKind Kind = okWrite;
    // The bytes of the last write. The device writes from this copy, so the caller's
    // buffer may go as soon as WriteAsync returns.
    std::unique_ptr<char[]> Data;
    std::int32_t Size = 0;
    std::unique_ptr<Event> CompletionEvent;  // Overlapped.hEvent points to it
    bool Started = false;                    // an operation was started and not yet waited for
};
using PAsync = TAsync*;

void InitAsync(PAsync& async);
void DoneAsync(PAsync& async);

class TCustomComPort : public TComponent {
public:
    explicit TCustomComPort(TComponent* owner);
    ~TCustomComPort() override;

    // ---- lifecycle ----
    void Open();
    // Always leaves the port closed. A failure to abort pending transfers is raised
    // only after the port has been closed.
    void Close();
    bool Connected() const { return connected_; }
    void SetConnected(bool value);
    void Loaded() override;
    void BeginUpdate();
    void EndUpdate();
    // Lets the user edit the port's settings in the modal setup dialog (EditComPort).
    void ShowSetupDialog();

    // ---- settings ----
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    std::int32_t CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(std::int32_t value);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits value);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool value);
    char EventChar() const { return eventChar_; }
    void SetEventChar(char value);
    TComParity& Parity() { return *parity_; }
    const TComParity& Parity() const { return *parity_; }
    void SetParity(const TComParity& value);
    TComFlowControl& FlowControl() { return *flowControl_; }
    const TComFlowControl& FlowControl() const { return *flowControl_; }
    void SetFlowControl(const TComFlowControl& value);
    TComTimeouts& Timeouts() { return *timeouts_; }
    const TComTimeouts& Timeouts() const { return *timeouts_; }
    void SetTimeouts(const TComTimeouts& value);
    TComBuffer& Buffer() { return *buffer_; }
    const TComBuffer& Buffer() const { return *buffer_; }
    void SetBuffer(const TComBuffer& value);
    // Read when the port opens.
    TComEvents Events() const { return events_; }
    void SetEvents(TComEvents value) { events_ = value; }
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod value);
    TStoredProps StoredProps() const { return storedProps_; }
    void SetStoredProps(TStoredProps value) { storedProps_ = value; }
    // False while a link takes received buffers, whatever was stored.
    bool GetTriggersOnRxChar() const;
    bool TriggersOnRxChar() const { return GetTriggersOnRxChar(); }
    void SetTriggersOnRxChar(bool value);
    TThreadPriority EventThreadPriority() const { return eventThreadPriority_; }
    void SetEventThreadPriority(TThreadPriority value);

    // The device settings applied to an open port (nothing while closed, updating,
    // designed or loading).
    virtual void ApplyDCB();
    virtual void ApplyTimeouts();
    virtual void ApplyBuffer();

    // ---- line control ----
    std::int32_t InputCount();
    std::int32_t OutputCount();
    TComSignals Signals();
    std::uint8_t StateFlags();
    TComErrors LastErrors();
    void SetBreak(bool on);
    void SetDTR(bool on);
    void SetRTS(bool on);
    void SetXonXoff(bool on);
    void ClearBuffer(bool input, bool output);

    // ---- transfer ----
    std::int32_t Write(const void* buffer, std::int32_t count);
    std::int32_t WriteStr(const std::string& str);
    std::int32_t Read(void* buffer, std::int32_t count);
    std::int32_t ReadStr(std::string& str, std::int32_t count);
    std::int32_t WriteAsync(const void* buffer, std::int32_t count, PAsync& async);
    std::int32_t WriteStrAsync(const std::string& str, PAsync& async);
    // The buffer (or the string) must stay valid until the read has finished.
    std::int32_t ReadAsync(void* buffer, std::int32_t count, PAsync& async);
    std::int32_t ReadStrAsync(std::string& str, std::int32_t count, PAsync& async);
    std::int32_t WaitForAsync(PAsync& async);
    bool IsAsyncCompleted(PAsync async);
    void AbortAllAsync();
    // stopEvent may be null; timeoutMs -1 waits without limit.
    void WaitForEvent(TComEvents& events, Event* stopEvent, std::int32_t timeoutMs);
    void TransmitChar(char ch);

    // ---- links ----
    void RegisterLink(TComLink* link);
    void UnRegisterLink(TComLink* link);
    bool HasLink() const;
    void NotifyLink(TComLinkEvent event);
    void SendSignalToLink(TComLinkEvent event, bool onOff);
    void TxNotifyLink(const char* buffer, std::int32_t count);

    // ---- persistence (comport/ComPortPersistence.cpp) ----
    void StoreSettings(TStoreType storeType, const std::string& location);
    void LoadSettings(TStoreType storeType, const std::string& location);
    virtual void StoreIniFile(TIniFile& iniFile);
    virtual void LoadIniFile(TIniFile& iniFile);
    virtual void StoreRegistry(TRegistry& registry);
    virtual void LoadRegistry(TRegistry& registry);

    // ---- state ----
    HANDLE DeviceHandle() const { return handle_; }
    bool WorkerRunning() const { return workerRunning_; }
    TComThread* EventWorker() const { return eventWorker_.get(); }
    HWND NotifyWindow() const { return notifyWindow_; }
    std::int32_t UpdateDepth() const { return updateDepth_; }

    // ---- handlers ----
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TComErrorEvent OnError;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TNotifyEvent OnRx80Full;
    // The event thread ended without being stopped: the device is gone (unplugged,
    // hung up). The port stays open until someone closes it.
    TNotifyEvent OnPortLost;

    // The hidden window's procedure (smWindowSync).
    LRESULT WindowMethod(std::uint32_t msg, WPARAM wParam, LPARAM lParam);

protected:
    virtual void CreateHandle();
    virtual void DestroyHandle();
    virtual void SetupComPort();

    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(std::int32_t count);
    virtual void DoRxBuf(const char* buffer, std::int32_t count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool onOff);
    virtual void DoDSRChange(bool onOff);
    virtual void DoError(TComErrors errors);
    virtual void DoRLSDChange(bool onOff);
    virtual void DoRx80Full();
    virtual void DoPortLost();

    // One per device event, on the dispatching thread: gather the event's data, tell
    // the links, call the handler.
    void CallRxChar();
    void CallTxEmpty();
    void CallRxFlag();
    void CallRing();
    void CallBreak();
    void CallRx80Full();
    void CallPortLost();
    void CallError();
    void CallCTSChange();
    void CallDSRChange();
    void CallRLSDChange();
    void CallBeforeOpen();
    void CallAfterOpen();
    void CallBeforeClose();
    void CallAfterClose();

private:
    void CallSignalChange(TComSignal signal, TComLinkEvent event, void (TCustomComPort::*handler)(bool));
    friend class TComThread;

    bool Applicable() const;
    bool QueryCommError(std::uint32_t* errors, COMSTAT* stat);
    void Escape(std::uint32_t function);
    // Ends the event thread; returns without waiting when called from inside the
    // thread's own dispatch, which must not wait for itself.
    void DestroyWorker();

    std::unique_ptr<TComThread> eventWorker_;
    TComThread* retiringWorker_ = nullptr;  // being stopped and waited for
    bool workerRunning_ = false;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HWND notifyWindow_ = 0;
    std::int32_t updateDepth_ = 0;
    std::vector<TComLink*> linkList_;
    bool triggersOnRxChar_ = true;
    TThreadPriority eventThreadPriority_ = TThreadPriority::tpNormal;
    bool rxBufLinked_ = false;
    bool connected_ = false;
    TBaudRate baudRate_ = br9600;
    std::int32_t customBaudRate_ = 9600;
    std::string port_ = "COM1";
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    char eventChar_ = 0;
    TComEvents events_ = kAllComEvents;
    std::unique_ptr<TComBuffer> buffer_;
    std::unique_ptr<TComParity> parity_;
    std::unique_ptr<TComTimeouts> timeouts_;
    std::unique_ptr<TComFlowControl> flowControl_;
    TSyncMethod syncMethod_ = smThreadSync;
    TStoredProps storedProps_{spBasic};
    // Expires with the port: code that called out to a handler checks it before it
    // touches the port again, since a handler may destroy the port.
    std::shared_ptr<const bool> lifeToken_ = std::make_shared<const bool>(true);
};

// The names of the system's serial ports (the registry's SERIALCOMM list), sorted as
// text without regard to case; EComPort 23 "Registry error" when it cannot be read.
void EnumComPorts(TStringList& ports);

// Several settings taken to the device at once: `apply` between BeginUpdate and
// EndUpdate. EndUpdate runs when `apply` fails too (its error is the one raised),
// or the port, left in update mode, would take no later setting to the device.
void ApplyInOneUpdate(TCustomComPort& port, const std::function<void()>& apply);

// The published port the application places on its forms.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

// A port seen as a stream; Seek does nothing.
class TComStream : public TStream {
public:
    explicit TComStream(TCustomComPort* port) : port_(port) {}
    std::int32_t Read(void* buffer, std::int32_t count) override { return port_->Read(buffer, count); }
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        return port_->Write(buffer, count);
    }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }

private:
    TCustomComPort* port_;
};

}  // namespace portvale
