#include "comport/ComSettings.h"

#include "comport/ComPort.h"

namespace portvale {

// ---- TComTimeouts ----

void TComTimeouts::Change(std::int32_t& field, std::int32_t value) {
    if (field == value) return;
    field = value;
    if (ComPort()) ComPort()->ApplyTimeouts();
}

void TComTimeouts::SetReadInterval(std::int32_t value) { Change(readInterval_, value); }
void TComTimeouts::SetReadTotalM(std::int32_t value) { Change(readTotalM_, value); }
void TComTimeouts::SetReadTotalC(std::int32_t value) { Change(readTotalC_, value); }
void TComTimeouts::SetWriteTotalM(std::int32_t value) { Change(writeTotalM_, value); }
void TComTimeouts::SetWriteTotalC(std::int32_t value) { Change(writeTotalC_, value); }

void TComTimeouts::AssignTo(TPersistent& dest) const {
    auto* other = dynamic_cast<TComTimeouts*>(&dest);
    if (!other) return TPersistent::AssignTo(dest);
    other->readInterval_ = readInterval_;
    other->readTotalM_ = readTotalM_;
    other->readTotalC_ = readTotalC_;
    other->writeTotalM_ = writeTotalM_;
    other->writeTotalC_ = writeTotalC_;
}

// ---- TComFlowControl ----

template <typename T>
void TComFlowControl::Change(T& field, T value) {
    if (field == value) return;
    field = value;
    if (ComPort()) ComPort()->ApplyDCB();
}

void TComFlowControl::SetOutCTSFlow(bool value) { Change(outCTSFlow_, value); }
void TComFlowControl::SetOutDSRFlow(bool value) { Change(outDSRFlow_, value); }
void TComFlowControl::SetControlDTR(TDTRFlowControl value) { Change(controlDTR_, value); }
void TComFlowControl::SetControlRTS(TRTSFlowControl value) { Change(controlRTS_, value); }
void TComFlowControl::SetXonXoffOut(bool value) { Change(xonXoffOut_, value); }
void TComFlowControl::SetXonXoffIn(bool value) { Change(xonXoffIn_, value); }
void TComFlowControl::SetDSRSensitivity(bool value) { Change(dsrSensitivity_, value); }
void TComFlowControl::SetTxContinueOnXoff(bool value) { Change(txContinueOnXoff_, value); }
void TComFlowControl::SetXonChar(char value) { Change(xonChar_, value); }
void TComFlowControl::SetXoffChar(char value) { Change(xoffChar_, value); }

TFlowControl TComFlowControl::GetFlowControl() const {
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcHardware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    if (value != fcCustom) {
        controlRTS_ = rtsDisable;
        outCTSFlow_ = false;
        xonXoffIn_ = false;
        xonXoffOut_ = false;
        if (value == fcHardware) {
            controlRTS_ = rtsHandshake;
            outCTSFlow_ = true;
        } else if (value == fcSoftware) {
            xonXoffIn_ = true;
            xonXoffOut_ = true;
        }
    }
    if (ComPort()) ComPort()->ApplyDCB();
}

void TComFlowControl::AssignTo(TPersistent& dest) const {
    auto* other = dynamic_cast<TComFlowControl*>(&dest);
    if (!other) return TPersistent::AssignTo(dest);
    other->outCTSFlow_ = outCTSFlow_;
    other->outDSRFlow_ = outDSRFlow_;
    other->controlDTR_ = controlDTR_;
    other->controlRTS_ = controlRTS_;
    other->xonXoffOut_ = xonXoffOut_;
    other->xonXoffIn_ = xonXoffIn_;
    other->dsrSensitivity_ = dsrSensitivity_;
    other->txContinueOnXoff_ = txContinueOnXoff_;
    other->xonChar_ = xonChar_;
    other->xoffChar_ = xoffChar_;
}

// ---- TComParity ----

template <typename T>
void TComParity::Change(T& field, T value) {
    if (field == value) return;
    field = value;
    if (ComPort()) ComPort()->ApplyDCB();
}

void TComParity::SetBits(TParityBits value) { Change(bits_, value); }
void TComParity::SetCheck(bool value) { Change(check_, value); }
void TComParity::SetReplace(bool value) { Change(replace_, value); }
void TComParity::SetReplaceChar(char value) { Change(replaceChar_, value); }

void TComParity::AssignTo(TPersistent& dest) const {
    auto* other = dynamic_cast<TComParity*>(&dest);
    if (!other) return TPersistent::AssignTo(dest);
    other->bits_ = bits_;
    other->check_ = check_;
    other->replace_ = replace_;
    other->replaceChar_ = replaceChar_;
}

// ---- TComBuffer ----

void TComBuffer::Change(std::int32_t& field, std::int32_t value) {
    if (field == value) return;
    field = (value > 0 && value % 2 == 1) ? value - 1 : value;
    if (ComPort()) ComPort()->ApplyBuffer();
}

void TComBuffer::SetInputSize(std::int32_t value) { Change(inputSize_, value); }
void TComBuffer::SetOutputSize(std::int32_t value) { Change(outputSize_, value); }

void TComBuffer::AssignTo(TPersistent& dest) const {
    auto* other = dynamic_cast<TComBuffer*>(&dest);
    if (!other) return TPersistent::AssignTo(dest);
    other->inputSize_ = inputSize_;
    other->outputSize_ = outputSize_;
}

}  // namespace portvale
