#include "headless/ConnectionWatch.h"

#include "framework/SysUtils.h"
#include "headless/HostPort.h"
#include "platform/sockets/WinSock.h"

namespace portvale::headless {

namespace {

std::string PeerAddress(TCustomWinSocket* socket) {
    const std::string host = socket->RemoteAddress();
    if (host.empty()) return {};
    return HostPort(host, std::to_string(socket->RemotePort()));
}

}  // namespace

ConnectionWatch::ConnectionWatch(TClientSocket& client, TServerSocket& server, int keepAliveSeconds,
                                 BridgeCounters& counters, Print print)
    : keepAliveSeconds_(keepAliveSeconds),
      counters_(counters),
      print_(std::move(print)),
      // Before the connect, so that the keepalive's budget bounds the connect too.
      clientConnecting_(client.OnConnecting, [this](TObject*, TCustomWinSocket* s) { ApplyKeepAlive(s); }),
      clientConnect_(client.OnConnect, [this](TObject*, TCustomWinSocket* s) { Connected(s); }),
      clientDisconnect_(client.OnDisconnect, [this](TObject*, TCustomWinSocket* s) { Disconnected(s); }),
      clientError_(client.OnError,
                   [this](TObject*, TCustomWinSocket* s, TErrorEvent e, int& code) { Broken(s, e, code, false); }),
      serverConnect_(server.OnClientConnect,
                     [this](TObject*, TCustomWinSocket* s) {
                         ApplyKeepAlive(s);
                         Connected(s);
                     }),
      serverDisconnect_(server.OnClientDisconnect, [this](TObject*, TCustomWinSocket* s) { Disconnected(s); }),
      serverError_(server.OnClientError,
                   [this](TObject*, TCustomWinSocket* s, TErrorEvent e, int& code) { Broken(s, e, code, true); }) {}

std::string ConnectionWatch::Peer(TCustomWinSocket* socket) const {
    const auto found = live_.find(socket);
    return found == live_.end() ? std::string() : found->second;
}

void ConnectionWatch::ApplyKeepAlive(TCustomWinSocket* socket) {
    if (keepAliveSeconds_ == 0) return;
    if (ws::SetKeepAlive(socket->SocketDesc(), keepAliveSeconds_) == 0) return;
    // Said once: the bridge works without it, only a dead peer goes unnoticed longer.
    if (!keepAliveFailed_) {
        const int error = ws::WSAGetLastError();
        print_(Format("Keepalive not set: %s (%d)", ws::WSAErrorText(error).c_str(), error));
    }
    keepAliveFailed_ = true;
}

void ConnectionWatch::Connected(TCustomWinSocket* socket) {
    live_[socket] = PeerAddress(socket);
    counters_.Connected();
    counters_.ClientsNow(live_.size());
}

void ConnectionWatch::Disconnected(TCustomWinSocket* socket) {
    // A lookup that failed closes a socket that never connected: not a disconnect.
    if (live_.erase(socket) == 0) return;
    counters_.Disconnected();
    counters_.ClientsNow(live_.size());
}

void ConnectionWatch::Broken(TCustomWinSocket* socket, TErrorEvent errorEvent, int& errorCode, bool accepted) {
    const int code = errorCode;
    if (accepted && code != 0) {
        // Where nothing before this took the error (the window's form shows it in its
        // status bar and absorbs it), it is a line here, never a message box nobody
        // will close.
        const std::string peer = Peer(socket);
        print_(Format("Client %s: %s (%d)", peer.empty() ? "?" : peer.c_str(), ws::WSAErrorText(code).c_str(), code));
        errorCode = 0;
    }
    // A failed receive or send is closed by the socket itself, a failed connect was
    // never open; a connection that ended with an error (reset, timed out) stays
    // open until someone closes it.
    if (live_.count(socket) == 0 || !socket->IsConnected()) return;
    if (errorEvent == erDisconnect || errorEvent == erGeneral) socket->CloseConnection();
}

}  // namespace portvale::headless
