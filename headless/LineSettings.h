#pragma once
// A serial port's name and line settings from the command line or a configuration
// file; what is unset stays as the port has it.

#include <cstdint>
#include <optional>
#include <string>

#include "comport/ComPort.h"

namespace portvale::headless {

struct LineSettings {
    std::optional<std::string> serial;
    std::optional<std::int32_t> baud;
    std::optional<int> dataBits;  // 5..8
    std::optional<int> parity;    // TParityBits
    std::optional<int> stopBits;  // TStopBits
    std::optional<int> flow;      // TFlowControl
};

// Applied in one update, so a port that is open is set up once.
void ApplyLineSettings(const LineSettings& line, TComPort& port);

}  // namespace portvale::headless
