#pragma once
// The four settings objects a port owns: time-outs, flow control, parity and driver
// buffer sizes. Each setter stores the value and lets its port re-apply the group to
// an open device; Assign copies values only, without applying anything.

#include <cstdint>

#include "comport/ComTypes.h"
#include "framework/Persistent.h"

namespace portvale {

class TCustomComPort;

// Common part: the non-owning link to the port that applies the values.
class TComSettingsObject : public TPersistent {
public:
    TCustomComPort* ComPort() const { return comPort_; }
    void SetComPort(TCustomComPort* port) { comPort_ = port; }

private:
    TCustomComPort* comPort_ = nullptr;
};

class TComTimeouts : public TComSettingsObject {
public:
    std::int32_t ReadInterval() const { return readInterval_; }
    std::int32_t ReadTotalMultiplier() const { return readTotalM_; }
    std::int32_t ReadTotalConstant() const { return readTotalC_; }
    std::int32_t WriteTotalMultiplier() const { return writeTotalM_; }
    std::int32_t WriteTotalConstant() const { return writeTotalC_; }
    void SetReadInterval(std::int32_t value);
    void SetReadTotalM(std::int32_t value);
    void SetReadTotalC(std::int32_t value);
    void SetWriteTotalM(std::int32_t value);
    void SetWriteTotalC(std::int32_t value);

protected:
    void AssignTo(TPersistent& dest) const override;

private:
    void Change(std::int32_t& field, std::int32_t value);

    std::int32_t readInterval_ = -1;
    std::int32_t readTotalM_ = 0;
    std::int32_t readTotalC_ = 0;
    std::int32_t writeTotalM_ = 100;
    std::int32_t writeTotalC_ = 1000;
};

class TComFlowControl : public TComSettingsObject {
public:
    bool OutCTSFlow() const { return outCTSFlow_; }
    bool OutDSRFlow() const { return outDSRFlow_; }
    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    bool XonXoffOut() const { return xonXoffOut_; }
    bool XonXoffIn() const { return xonXoffIn_; }
    bool DSRSensitivity() const { return dsrSensitivity_; }
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    char XonChar() const { return xonChar_; }
    char XoffChar() const { return xoffChar_; }
    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(char value);
    void SetXoffChar(char value);

    // The summary of RTS control, CTS flow and both XON/XOFF directions.
    TFlowControl GetFlowControl() const;
    TFlowControl FlowControl() const { return GetFlowControl(); }
    // Writes the fields the summary stands for (fcCustom writes none), then applies.
    void SetFlowControl(TFlowControl value);

protected:
    void AssignTo(TPersistent& dest) const override;

private:
    template <typename T>
    void Change(T& field, T value);

    bool outCTSFlow_ = false;
    bool outDSRFlow_ = false;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    char xonChar_ = 17;
    char xoffChar_ = 19;
};

class TComParity : public TComSettingsObject {
public:
    TParityBits Bits() const { return bits_; }
    bool Check() const { return check_; }
    bool Replace() const { return replace_; }
    char ReplaceChar() const { return replaceChar_; }
    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(char value);

protected:
    void AssignTo(TPersistent& dest) const override;

private:
    template <typename T>
    void Change(T& field, T value);

    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    char replaceChar_ = 0;
};

class TComBuffer : public TComSettingsObject {
public:
    std::int32_t InputSize() const { return inputSize_; }
    std::int32_t OutputSize() const { return outputSize_; }
    // Odd positive sizes are stored one less: drivers want even queue sizes.
    void SetInputSize(std::int32_t value);
    void SetOutputSize(std::int32_t value);

protected:
    void AssignTo(TPersistent& dest) const override;

private:
    void Change(std::int32_t& field, std::int32_t value);

    std::int32_t inputSize_ = 1024;
    std::int32_t outputSize_ = 1024;
};

}  // namespace portvale
