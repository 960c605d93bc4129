#pragma once
// The bridge of `portvale --headless` without a configuration file: one bridge
// session set up from the window's settings files in the current directory (TCP.SET,
// comport.ini) with the command line on top, and what the unattended run adds
// (reconnect, keepalive, capture, counters, TLS, RFC 2217, a virtual device).
//
// Output: the session's two status lines, each change one line as the window's
// panels would show it; the rest as it happens, all through `print`.
//
// Threading: the dispatching thread (the capture's writer excepted; the counters are
// read by the metrics endpoint's thread too).

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "app/BridgeSession.h"
#include "app/SessionStatus.h"
#include "headless/CaptureFile.h"
#include "headless/HeadlessOptions.h"
#include "headless/ServiceManager.h"
#include "headless/UnattendedParts.h"

namespace portvale::headless {

class SingleBridge {
public:
    using Print = std::function<void(const std::string&)>;

    // Reads the settings files of the current directory (TCP.SET written with its
    // defaults when missing, as the window does). `capture` may be null.
    SingleBridge(const Options& options, CaptureFile* capture, Print print);
    // A clean end: the peer sees the connection close, the device is released.
    ~SingleBridge();
    SingleBridge(const SingleBridge&) = delete;
    SingleBridge& operator=(const SingleBridge&) = delete;

    // Sets the bridge up, opens the port, and listens or connects; empty when all is
    // started, else the reason.
    std::string Start();
    ServiceStatus Status() const;
    const std::shared_ptr<BridgeCounters>& Counters() const { return parts_.Counters(); }
    std::string PortName() const { return session_.Port().Port(); }

private:
    void ReadSettingsFiles();
    void Observe();
    std::string SetUp();
    std::string Connect();
    void Disconnect();
    void ShowLine(TSessionStatus::Line line, const std::string& text);

    const Options options_;
    CaptureFile* const capture_;
    const Print print_;
    TBridgeSession session_;
    TSessionStatus status_;
    UnattendedParts parts_;
    // What the window's fields would hold.
    int mode_ = 0;
    std::string host_ = "localhost";
    std::string port_ = "5000";
    // The status lines as last set and as last printed; printing starts once the run
    // does.
    std::array<std::string, 2> shown_;
    std::array<std::string, 2> printed_;
    bool printing_ = false;
    bool hadClients_ = false;
    // The window's "Com-Port On": from TCP.SET until the run opens the port.
    bool portWanted_ = false;
};

}  // namespace portvale::headless
