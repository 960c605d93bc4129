#include "app/SessionStatus.h"

#include "app/BridgeTexts.h"
#include "framework/SysUtils.h"
#include "platform/sockets/WinSock.h"

namespace portvale {

TSessionStatus::TSessionStatus(TBridgeSession& session, Show show) : session_(session), show_(std::move(show)) {}

void TSessionStatus::Set(Line line, const std::string& text) {
    text_[line] = text;
    if (show_) show_(line, text);
}

std::string TSessionStatus::Standing() const {
    const TComPort& port = session_.Port();
    if (session_.RetryingPort()) return Format(sComPortLostRetrying, port.Port().c_str());
    const bool wanted = !session_.On.wantPort || session_.On.wantPort();
    if (portClosedByDisconnect && wanted && !port.Connected()) return sComPortClosedByDisconnect;
    const TServerSocket& server = session_.Server();
    if (!server.Active()) return {};
    TBridge& bridge = session_.Bridge();
    const int clients = bridge.RemainingClients(bridge.Leaving());
    const TCustomWinSocket* target = bridge.FirstServerClient();
    if ((clients == 0 || !target) && !server.Address().empty())
        return Format(sListeningOnAddress,
                      PeerText(server.Address(), static_cast<std::uint16_t>(server.Port())).c_str());
    if (clients == 0 || !target) {
        // A listener falls back to IPv4 alone where IPv6 is turned off.
        const bool dualStack = server.WinSocket()->SockAddr().any.sa_family == AF_INET6;
        return Format(sListeningOn, static_cast<int>(server.Port()), dualStack ? "IPv4 and IPv6" : "IPv4");
    }
    return Format(sClientsConnected, clients, clients == 1 ? "client" : "clients", PeerText(*target).c_str());
}

std::string TSessionStatus::OpenFailureText(const std::exception& error) const {
    // The component's own text carries a Windows-style code; the user wants the
    // device's name and the system's reason.
    const TComPort& port = session_.Port();
    return Format(sCannotOpenPort, port.Port().c_str(), PortFailureReason(port, error).c_str());
}

void TSessionStatus::ConnectedToServer() {
    Set(Connection, sConnectedToServer);
    // A connection failure shown before no longer holds.
    Refresh();
}

void TSessionStatus::DisconnectedFromServer() { Set(Connection, sDisconnectedFromServer); }

void TSessionStatus::ClientConnected(TCustomWinSocket* socket) {
    peers_[socket] = PeerText(*socket);
    broken_ = nullptr;
    Set(Connection, sClientConnected);
    Refresh();
}

void TSessionStatus::ClientDisconnected(TCustomWinSocket* socket) {
    Set(Connection, sClientDisconnected);
    peers_.erase(socket);
    // Ended by an error: why stays in the detail, as in client mode.
    if (socket == broken_)
        broken_ = nullptr;
    else
        Refresh();
}

void TSessionStatus::SocketError(TCustomWinSocket* socket, const std::string& text, int code, bool accepted) {
    const auto peer = accepted ? peers_.find(socket) : peers_.end();
    SetDetail(peer != peers_.end() && !peer->second.empty()
                  ? Format(sClientError, peer->second.c_str(), text.c_str(), code)
                  : Format("%s (%d)", text.c_str(), code));
    if (accepted && socket->IsConnected()) broken_ = socket;
}

void TSessionStatus::PortLost(bool wanted) {
    SetDetail(Format(wanted ? sComPortLostRetrying : sComPortLost, session_.Port().Port().c_str()));
}

void TSessionStatus::PortBack() { SetDetail(Format(sComPortBack, session_.Port().Port().c_str())); }

void TSessionStatus::TcpClosed(bool hadClients) {
    peers_.clear();
    broken_ = nullptr;
    if (hadClients) Set(Connection, sClientDisconnected);
}

}  // namespace portvale
