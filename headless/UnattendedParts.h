#pragma once
// What an unattended run adds to a bridge session, the same for the single bridge of
// the command line and for each bridge of a configuration file: the counters, the
// capture of what was forwarded, the client policy and the access list, the watch
// over the connections (keepalive, broken ones closed), a client's reconnect, a
// virtual device and the filter stack (TLS, RFC 2217). Each front end keeps its texts.
//
// Threading: the dispatching thread (the capture's writer excepted; the counters are
// read by the metrics endpoint's thread too).

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/BridgeSession.h"
#include "headless/BridgeFilters.h"
#include "headless/BridgeKeys.h"
#include "headless/CaptureFile.h"
#include "headless/ConnectionWatch.h"
#include "headless/Counters.h"
#include "headless/LineSettings.h"
#include "headless/Reconnect.h"
#include "headless/VirtualSerial.h"

namespace portvale::headless {

class UnattendedParts {
public:
    using Print = std::function<void(const std::string&)>;

    // `capture` may be null and outlives the parts; `print` tells what they report.
    UnattendedParts(TBridgeSession& session, const BridgeConfig& config, CaptureFile* capture, Print print);
    // The port must be closed by now: a virtual device goes after the port.
    ~UnattendedParts();
    UnattendedParts(const UnattendedParts&) = delete;
    UnattendedParts& operator=(const UnattendedParts&) = delete;

    const std::shared_ptr<BridgeCounters>& Counters() const { return counters_; }
    // The peer of a live connection, as the watch knows it; empty for none.
    std::string Peer(TCustomWinSocket* socket) const { return watch_ ? watch_->Peer(socket) : std::string(); }

    // The virtual device the configuration names (made before the port opens it);
    // the reason when it cannot be made.
    std::string MakeVirtualDevice(const LineSettings& line, Print print);
    bool HasVirtualDevice() const { return virtual_ != nullptr; }
    // Sets the parts to work on the session. `reconnects`: a client that connects
    // again after each end; `namePeers`: the capture names the peer of each block.
    void Wire(bool reconnects, bool namePeers);
    // The filter stack over the bridge; throws EConvertError when the TLS settings
    // cannot be used.
    void MakeFilters(const std::optional<TTlsSettings>& tls, Print print);
    // A lost port counted.
    void PortLost();
    // No more reconnects: the end is near.
    void Stop();

private:
    TBridgeSession& session_;
    const BridgeConfig& config_;
    CaptureFile* const capture_;
    const Print print_;
    const std::shared_ptr<BridgeCounters> counters_ = std::make_shared<BridgeCounters>();
    std::unique_ptr<VirtualSerial> virtual_;
    std::unique_ptr<ConnectionWatch> watch_;
    std::unique_ptr<ClientReconnector> reconnector_;
    std::unique_ptr<BridgeFilters> filters_;
};

}  // namespace portvale::headless
