#pragma once
// The unattended run's watch over the TCP connections: every connection gets the
// keepalive; a connection that broke (reset, timed out by the keepalive) is closed,
// so the bridge lets go of it and, in server mode, the next client takes the serial
// data; connects and disconnects are counted, the connections open now kept in the
// counters' gauge, and each connection's peer address is known while it lives. The components' own handlers (the form's) run first; the
// watch only adds to them, and takes itself out when it goes.
//
// Threading: the GUI thread, like the socket events it observes.

#include <functional>
#include <map>
#include <string>

#include "headless/Counters.h"
#include "headless/EventChain.h"
#include "sockets/SocketComponents.h"

namespace portvale::headless {

class ConnectionWatch {
public:
    using Print = std::function<void(const std::string&)>;

    // keepAliveSeconds 0 leaves the system's keepalive setting alone.
    ConnectionWatch(TClientSocket& client, TServerSocket& server, int keepAliveSeconds, BridgeCounters& counters,
                    Print print);

    // "address:port" of the peer of a live connection; empty when there is none.
    std::string Peer(TCustomWinSocket* socket) const;

private:
    void ApplyKeepAlive(TCustomWinSocket* socket);
    void Connected(TCustomWinSocket* socket);
    void Disconnected(TCustomWinSocket* socket);
    void Broken(TCustomWinSocket* socket, TErrorEvent errorEvent, int& errorCode, bool accepted);

    const int keepAliveSeconds_;
    BridgeCounters& counters_;
    const Print print_;
    std::map<TCustomWinSocket*, std::string> live_;
    bool keepAliveFailed_ = false;

    EventChain<void(TObject*, TCustomWinSocket*)> clientConnecting_;
    EventChain<void(TObject*, TCustomWinSocket*)> clientConnect_;
    EventChain<void(TObject*, TCustomWinSocket*)> clientDisconnect_;
    EventChain<void(TObject*, TCustomWinSocket*, TErrorEvent, int&)> clientError_;
    EventChain<void(TObject*, TCustomWinSocket*)> serverConnect_;
    EventChain<void(TObject*, TCustomWinSocket*)> serverDisconnect_;
    EventChain<void(TObject*, TCustomWinSocket*, TErrorEvent, int&)> serverError_;
};

}  // namespace portvale::headless
