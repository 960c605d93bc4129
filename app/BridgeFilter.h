#pragma once
// What the bridge asks of the protocols on its TCP side, its one filter (in use, a
// TFilterStack of layers): it sees each TCP connection come and go, takes the bytes
// of both directions before they are forwarded, and gives back those to forward.
// Runs on the GUI thread with the bridge.

#include <string>

namespace portvale {

class TCustomWinSocket;

class TBridgeFilter {
public:
    virtual ~TBridgeFilter() = default;
    virtual void Connected(TCustomWinSocket* socket) = 0;
    virtual void Disconnected(TCustomWinSocket* socket) = 0;
    // The bytes received from the connection; the result goes to the device.
    virtual std::string FromTcp(TCustomWinSocket* socket, const std::string& bytes) = 0;
    // The bytes read from the device for the connection; the result goes on the wire.
    virtual std::string ToTcp(TCustomWinSocket* socket, const std::string& bytes) = 0;
    // Whether the connection takes the device's data yet (a secure channel may still
    // be being set up).
    virtual bool Ready(TCustomWinSocket* socket) { return socket != nullptr; }
    // Whether a new connection waits for the filter before it takes data (a
    // handshake): such a connection counts as a client only once it is ready.
    virtual bool HoldsNewConnections() const { return false; }
};

}  // namespace portvale
