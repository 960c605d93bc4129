#include "headless/VirtualSerial.h"

#include <sys/epoll.h>

namespace portvale::headless {

namespace {

constexpr char kPrefix[] = "pty:";

}  // namespace

bool IsVirtualPortName(const std::string& name) { return name.rfind(kPrefix, 0) == 0; }

rfc2217::LineSettings RemoteLineOf(const LineSettings& line) {
    using namespace rfc2217;
    rfc2217::LineSettings remote;
    if (line.baud) remote.baud = static_cast<std::uint32_t>(*line.baud);
    if (line.dataBits) remote.dataSize = static_cast<std::uint8_t>(*line.dataBits);
    if (line.parity) {
        static constexpr std::uint8_t kParity[] = {kParityNone, kParityOdd, kParityEven, kParityMark, kParitySpace};
        remote.parity = kParity[*line.parity % 5];
    }
    if (line.stopBits) {
        static constexpr std::uint8_t kStop[] = {kStopOne, kStopOneHalf, kStopTwo};
        remote.stopSize = kStop[*line.stopBits % 3];
    }
    if (line.flow) {
        static constexpr std::uint8_t kFlow[] = {kControlFlowHardware, kControlFlowXonXoff, kControlFlowNone,
                                                 kControlFlowNone};
        remote.flow = kFlow[*line.flow % 4];
    }
    return remote;
}

VirtualSerial::VirtualSerial(const std::string& portName, VirtualDeviceAccess access,
                             rfc2217::LineSettings bridgeLine, Print print)
    : device_(portName.substr(sizeof kPrefix - 1), std::move(access)),
      bridgeLine_(bridgeLine),
      print_(std::move(print)) {
    watch_ = Dispatcher::Instance().WatchFd(device_.StatusFd(), EPOLLIN, [this](std::uint32_t) { Check(); });
}

VirtualSerial::~VirtualSerial() {
    if (watch_) Dispatcher::Instance().Unwatch(watch_);
}

rfc2217::LineSettings VirtualSerial::Line() const {
    return RemoteLineFor(asked_ ? std::optional(device_.Current()) : std::nullopt, bridgeLine_);
}

void VirtualSerial::Check() {
    if (!device_.TakeSettingsChange()) return;
    asked_ = true;
    const rfc2217::LineSettings line = Line();
    if (!client_) return;
    print_("Line settings: " + rfc2217::LineText(line));
    client_->SetLine(line);
}

}  // namespace portvale::headless
