#include "comport/ComPortError.h"

#include <array>

#include "framework/SysUtils.h"

namespace portvale {

namespace {

constexpr std::array<const char*, 23> kTexts = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

}  // namespace

std::string ComErrorText(int code) {
    if (code < 1 || code > static_cast<int>(kTexts.size())) return "";
    return kTexts[static_cast<std::size_t>(code - 1)];
}

EComPort::EComPort(int code, std::int32_t systemCode)
    : Exception(ComErrorText(code) + Format(" (win error code: %d)", systemCode)),
      systemCode_(systemCode),
      comCode_(code) {}

EComPort::EComPort(int code) : Exception(ComErrorText(code)), systemCode_(-1), comCode_(code) {}

}  // namespace portvale
