#pragma once
// What the bridge did in this run, for SIGUSR1 and the end of the run: counted on the
// GUI thread, printed as one line of key=value pairs that a script can split on spaces
// and '=':
//
//   tcp_com_bytes=4096 tcp_com_blocks=3 com_tcp_bytes=10 com_tcp_blocks=2
//   dropped_blocks=1 dropped_bytes=5 dropped.com_tcp.no_tcp_connection=1
//   connects=2 disconnects=1 port_losses=0 reconnects=4 refused_peers=0
//   refused_clients=0 lagging_disconnects=0 tls_refusals=0 capture_lost_bytes=0
//
// (one line). A dropped block counts once under its direction and reason, the reason
// in lower case with '_' for anything but letters and digits. capture_lost_bytes is
// there only while a capture is written.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "app/Bridge.h"

namespace portvale::headless {

class BridgeCounters {
public:
    void Forwarded(TBridgeDirection direction, std::size_t bytes);
    void Dropped(TBridgeDirection direction, const std::string& reason, std::size_t bytes);
    void Connected() { ++connects_; }
    void Disconnected() { ++disconnects_; }
    void PortLost() { ++portLosses_; }
    void ReconnectAttempt() { ++reconnects_; }
    // Peers refused by the access list or the client limit, clients dropped for lag.
    void Noticed(TBridgeNotice notice);
    void TlsRefused() { ++tlsRefusals_; }

    std::string Line(std::optional<std::uint64_t> captureLostBytes = std::nullopt) const;

private:
    struct Flow {
        std::uint64_t bytes = 0;
        std::uint64_t blocks = 0;
    };
    Flow tcpToCom_;
    Flow comToTcp_;
    Flow dropped_;
    std::map<std::string, std::uint64_t> droppedByReason_;
    std::uint64_t connects_ = 0;
    std::uint64_t disconnects_ = 0;
    std::uint64_t portLosses_ = 0;
    std::uint64_t reconnects_ = 0;
    std::uint64_t refusedPeers_ = 0;
    std::uint64_t refusedClients_ = 0;
    std::uint64_t laggingDisconnects_ = 0;
    std::uint64_t tlsRefusals_ = 0;
};

// "tcp>com" or "com>tcp", as the log and the capture write it.
const char* DirectionMark(TBridgeDirection direction);

}  // namespace portvale::headless
