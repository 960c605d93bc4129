#pragma once
// One bridge of the service: a serial port and its TCP side as a configuration file
// describes them, with what the unattended run adds (reconnect, keepalive, capture,
// counters, RFC 2217). It owns its components and its bridging unit; nothing of a
// window. Its troubles are its own: a device that is absent is opened when it
// appears, a TCP port that is taken is tried again, and the service's other bridges
// run on.
//
// Output: every line through `print`, which names the bridge.
//
// Threading: the dispatching thread (the capture's writer excepted; the counters are
// read by the metrics endpoint's thread too).

#include <functional>
#include <memory>
#include <string>

#include "app/BridgeSession.h"
#include "framework/Timer.h"
#include "headless/CaptureFile.h"
#include "headless/Counters.h"
#include "headless/ListenAddress.h"
#include "headless/ServiceConfig.h"
#include "headless/UnattendedParts.h"

namespace portvale::headless {

class ServiceBridge {
public:
    using Print = std::function<void(const std::string&)>;

    // Starts at once; throws only for what no retry can mend (a capture file that
    // cannot be created).
    ServiceBridge(BridgeConfig config, Print print);
    // A clean end: the peers see their connections close, the device is released.
    ~ServiceBridge();
    ServiceBridge(const ServiceBridge&) = delete;
    ServiceBridge& operator=(const ServiceBridge&) = delete;

    const BridgeConfig& Config() const { return config_; }
    std::string CountersLine() const;
    // Shared with the metrics endpoint, which may read them after the bridge is gone.
    std::shared_ptr<const BridgeCounters> Counters() const { return counters_; }
    bool PortOpen() const { return session_->Port().Connected(); }
    bool Listening() const { return session_->Server().Active(); }
    // Accepted clients still connected, not counting one that is leaving.
    int Clients() const { return session_->Clients(); }
    // A connecting bridge's connection to its server is up.
    bool ServerConnected() const { return session_->ServerConnected(); }

private:
    void Observe();
    void OpenPort();
    void Listen();
    void Connect();
    void PrintBlock(TBridgeDirection direction, const std::string& bytes) const;

    const BridgeConfig config_;
    const Print print_;
    std::unique_ptr<CaptureFile> capture_;
    std::unique_ptr<TBridgeSession> session_;
    std::unique_ptr<UnattendedParts> parts_;
    std::shared_ptr<BridgeCounters> counters_;
    // A taken TCP port is tried again every few seconds.
    std::unique_ptr<TTimer> listenRetry_;
    ListenAddress listen_;
    bool listenFailed_ = false;
    bool portWasOpen_ = false;
};

}  // namespace portvale::headless
