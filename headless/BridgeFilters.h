#pragma once
// The protocols a headless bridge speaks on its TCP side: TLS next to the wire, RFC
// 2217 inside it, either, both or none, set on the bridge as its filter. What they
// refuse and establish is printed and counted.
//
// Threading: the dispatching thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Bridge.h"
#include "app/FilterChain.h"
#include "app/Rfc2217Client.h"
#include "app/Rfc2217Server.h"
#include "headless/VirtualSerial.h"
#include "app/TlsFilter.h"
#include "framework/Timer.h"
#include "headless/Counters.h"

namespace portvale::headless {

class BridgeFilters {
public:
    using Print = std::function<void(const std::string&)>;

    // Throws EConvertError when the TLS settings cannot be used. With a virtual device,
    // RFC 2217 is the client's side, carrying the device's line settings; otherwise
    // the server's.
    BridgeFilters(TBridge& bridge, TCustomComPort& port, const std::optional<TTlsSettings>& tls, bool rfc2217,
                  Print print, BridgeCounters& counters, VirtualSerial* virtualSerial = nullptr);
    ~BridgeFilters();
    BridgeFilters(const BridgeFilters&) = delete;
    BridgeFilters& operator=(const BridgeFilters&) = delete;

private:
    TBridge& bridge_;
    const Print print_;
    BridgeCounters& counters_;
    std::unique_ptr<TTlsFilter> tls_;
    std::unique_ptr<TRfc2217Server> rfc2217_;
    std::unique_ptr<TRfc2217Client> rfc2217Client_;
    VirtualSerial* virtualSerial_ = nullptr;
    std::unique_ptr<TFilterChain> chain_;
    // Ticks while a handshake is under way, to drop the ones that stall.
    std::unique_ptr<TTimer> handshakes_;
};

}  // namespace portvale::headless
