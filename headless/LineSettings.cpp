#include "headless/LineSettings.h"

#include "framework/SysUtils.h"

namespace portvale::headless {

namespace {

void Apply(const LineSettings& line, TComPort& port) {
    if (line.serial) port.SetPort(*line.serial);
    if (line.baud) {
        // A standard rate by its name, any other as a custom one.
        TBaudRate rate = brCustom;
        for (int r = br110; r <= br256000; ++r)
            if (BaudRateToStr(static_cast<TBaudRate>(r)) == IntToStr(*line.baud)) rate = static_cast<TBaudRate>(r);
        port.SetCustomBaudRate(*line.baud);
        port.SetBaudRate(rate);
    }
    if (line.dataBits) port.SetDataBits(static_cast<TDataBits>(*line.dataBits - 5));
    if (line.parity) port.Parity().SetBits(static_cast<TParityBits>(*line.parity));
    if (line.stopBits) port.SetStopBits(static_cast<TStopBits>(*line.stopBits));
    if (line.flow) port.FlowControl().SetFlowControl(static_cast<TFlowControl>(*line.flow));
}

}  // namespace

void ApplyLineSettings(const LineSettings& line, TComPort& port) {
    ApplyInOneUpdate(port, [&] { Apply(line, port); });
}

}  // namespace portvale::headless
