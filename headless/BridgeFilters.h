#pragma once
// The protocols a headless bridge speaks on its TCP side: its filter stack (TLS next
// to the wire, RFC 2217 inside it, either, both or none), with the TLS module loaded
// when asked for and what the layers refuse and report printed and counted.
//
// Threading: the dispatching thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Bridge.h"
#include "app/FilterStack.h"
#include "headless/Counters.h"
#include "headless/VirtualSerial.h"

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
    VirtualSerial* virtualSerial_ = nullptr;
    std::unique_ptr<TFilterStack> stack_;
};

}  // namespace portvale::headless
