#include "headless/UnattendedParts.h"

#include "app/BridgeTexts.h"
#include "framework/SysUtils.h"

namespace portvale::headless {

UnattendedParts::UnattendedParts(TBridgeSession& session, const BridgeConfig& config, CaptureFile* capture,
                                 Print print)
    : session_(session), config_(config), capture_(capture), print_(std::move(print)) {
    if (capture_) counters_->CaptureLossFrom([capture = capture_] { return capture->LostBytes(); });
}

UnattendedParts::~UnattendedParts() {
    TBridge& bridge = session_.Bridge();
    bridge.OnForward = nullptr;
    bridge.OnDrop = nullptr;
    session_.On.portOpen = nullptr;
    session_.On.serialArriving = nullptr;
    filters_.reset();
    reconnector_.reset();
    watch_.reset();
    virtual_.reset();
}

std::string UnattendedParts::MakeVirtualDevice(const LineSettings& line, Print print) {
    try {
        virtual_ = std::make_unique<VirtualSerial>(
            config_.serial, VirtualDeviceAccess{static_cast<mode_t>(config_.ptyMode), config_.ptyGroup},
            RemoteLineOf(line), std::move(print));
    } catch (const std::exception& error) {
        return Format(sCannotOpenPort, config_.serial.c_str(), error.what());
    }
    return {};
}

void UnattendedParts::Wire(bool reconnects, bool namePeers) {
    TBridge& bridge = session_.Bridge();
    static_assert(kAnyNumberOfClients == TClientPolicy::kUnlimited);
    bridge.Policy =
        TClientPolicy{config_.clients, config_.share, config_.kickOld, static_cast<std::size_t>(config_.maxLag)};
    bridge.Access = TPeerAccess::Parse(config_.allow);
    bridge.OnForward = [this, namePeers](TBridgeDirection direction, TCustomWinSocket* socket,
                                         const std::string& bytes) {
        counters_->Forwarded(direction, bytes.size());
        if (capture_) capture_->Add(DirectionMark(direction), namePeers && socket ? Peer(socket) : "", bytes);
    };
    bridge.OnDrop = [this](TBridgeDirection direction, const char* reason, std::size_t bytes) {
        counters_->Dropped(direction, reason, bytes);
    };
    session_.On.portOpen = [this](bool open) { counters_->PortOpenNow(open); };
    // The settings are looked at before the data that follows them goes on.
    session_.On.serialArriving = [this] {
        if (virtual_) virtual_->Check();
    };
    // After the session's handlers: the watch runs behind them.
    watch_ = std::make_unique<ConnectionWatch>(session_.Client(), session_.Server(), config_.keepAliveSeconds,
                                               *counters_, print_);
    if (reconnects && config_.reconnectSeconds > 0)
        reconnector_ = std::make_unique<ClientReconnector>(
            session_.Client(), std::chrono::seconds(config_.reconnectSeconds), print_,
            [this] { counters_->ReconnectAttempt(); });
    // Another connection is always coming: the device's bytes wait for it.
    bridge.HoldSerialBetweenConnections = reconnector_ != nullptr;
}

void UnattendedParts::MakeFilters(const std::optional<TTlsSettings>& tls, Print print) {
    filters_ = std::make_unique<BridgeFilters>(session_.Bridge(), session_.Port(), tls, config_.rfc2217,
                                               std::move(print), *counters_, virtual_.get());
}

void UnattendedParts::PortLost() {
    counters_->PortLost();
    counters_->PortOpenNow(false);
}

void UnattendedParts::Stop() {
    if (reconnector_) reconnector_->Stop();
}

}  // namespace portvale::headless
