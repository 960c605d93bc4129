// The port's properties: a setter stores its value and, on an open port outside an
// update, applies it to the device at once; those that cannot change on an open port
// refuse.
#include <cstdint>
#include <functional>
#include <string>

#include "comport/ComPort.h"

namespace portvale {

namespace {

ISerialApi& Api() { return SerialApi(); }

[[noreturn]] void RaiseWithSystemCode(int code) {
    throw EComPort(code, static_cast<std::int32_t>(Api().GetLastError()));
}

}  // namespace

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
