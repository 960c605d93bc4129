#pragma once
// A bridge session's status as two lines: the connection ("Client Connected",
// "Disconnected from Server", ...) and what the user needs to know next (the listener
// and its clients, a lost port being looked for, why something failed). The window
// shows them in its two status panels; a bridge without a window prints each change.
//
// Threading: the dispatching thread, with the session.

#include <array>
#include <exception>
#include <functional>
#include <map>
#include <string>

#include "app/BridgeSession.h"

namespace portvale {

class TSessionStatus {
public:
    enum Line { Connection = 0, Detail = 1 };
    // Called for every line set, changed or not.
    using Show = std::function<void(Line line, const std::string& text)>;

    TSessionStatus(TBridgeSession& session, Show show);

    const std::string& Text(Line line) const { return text_[line]; }
    void Set(Line line, const std::string& text);
    void SetDetail(const std::string& text) { Set(Detail, text); }
    // The detail set to what holds now, dropping a text that no longer does.
    void Refresh() { SetDetail(Standing()); }
    // A lost port being retried, a port a disconnect closed, the listener and its
    // clients, or nothing.
    std::string Standing() const;
    // "Cannot open DEVICE: reason" for a port that would not open.
    std::string OpenFailureText(const std::exception& error) const;

    // What the session told.
    void ConnectedToServer();
    void DisconnectedFromServer();
    void ClientConnected(TCustomWinSocket* socket);
    void ClientDisconnected(TCustomWinSocket* socket);
    void SocketError(TCustomWinSocket* socket, const std::string& text, int code, bool accepted);
    void PortLost(bool wanted);
    void PortBack();
    // The TCP side was closed by the user: its clients are gone without a word.
    void TcpClosed(bool hadClients);

    // The user's disconnect closed the port while the port is wanted on.
    bool portClosedByDisconnect = false;

private:
    TBridgeSession& session_;
    const Show show_;
    std::array<std::string, 2> text_;
    // Accepted connections by the peer they were accepted from: a reset connection no
    // longer knows its peer when its error is reported.
    std::map<const TCustomWinSocket*, std::string> peers_;
    // The accepted connection whose error the detail shows; its disconnect keeps it.
    const TCustomWinSocket* broken_ = nullptr;
};

}  // namespace portvale
