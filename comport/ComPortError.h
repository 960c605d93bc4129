#pragma once
// The serial port's exception: a component code with its fixed text and, where the
// system gave one, the system's error code (an errno value here) appended.

#include <cstdint>
#include <string>

#include "framework/Exceptions.h"

namespace portvale {

constexpr int CError_OpenFailed = 1;
constexpr int CError_WriteFailed = 2;
constexpr int CError_ReadFailed = 3;
constexpr int CError_InvalidAsync = 4;
constexpr int CError_PurgeFailed = 5;
constexpr int CError_AsyncCheck = 6;
constexpr int CError_SetStateFailed = 7;
constexpr int CError_TimeoutsFailed = 8;
constexpr int CError_SetupComFailed = 9;
constexpr int CError_ClearComFailed = 10;
constexpr int CError_ModemStatFailed = 11;
constexpr int CError_EscapeComFailed = 12;
constexpr int CError_TransmitFailed = 13;
constexpr int CError_ConnChangeProp = 14;
constexpr int CError_EnumPortsFailed = 15;
constexpr int CError_StoreFailed = 16;
constexpr int CError_LoadFailed = 17;
constexpr int CError_RegFailed = 18;
constexpr int CError_LedStateFailed = 19;
constexpr int CError_ThreadCreated = 20;
constexpr int CError_WaitFailed = 21;
constexpr int CError_HasLink = 22;
constexpr int CError_RegError = 23;

// The text of a component code ("" for an unknown code).
std::string ComErrorText(int code);

class EComPort : public Exception {
public:
    // Message: the code's text followed by " (win error code: <systemCode>)".
    EComPort(int code, std::int32_t systemCode);
    // Message: the code's text alone; SystemCode is -1.
    explicit EComPort(int code);

    std::int32_t SystemCode() const { return systemCode_; }
    std::int32_t ComCode() const { return comCode_; }

private:
    std::int32_t systemCode_;
    std::int32_t comCode_;
};

}  // namespace portvale
