#pragma once
// One running bridge: its serial port, its client and server sockets and the bridging
// unit between them, with every event of the components wired to the bridge here and
// nowhere else (the order of a disconnect, an error absorbed and its connection
// closed, a lost port looked for again). Front ends (the window, each bridge of the
// service) make a session and observe it: they show, print or count what happened and
// say when to connect, listen or open the port; they never wire a component.
//
// Threading: the dispatching thread. Observers run inside the components' events and
// may re-enter the session.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Bridge.h"
#include "comport/ComPort.h"
#include "framework/Timer.h"
#include "sockets/SocketComponents.h"

namespace portvale {

class TBridgeSession {
public:
    // What happened, told once the bridge has taken it. Any of them may stay empty.
    struct Observers {
        // The client socket reached its server; the bridge starts sending after this.
        std::function<void(TCustomWinSocket*)> connectedToServer;
        // The client socket's connection ended, or an attempt failed (`wasUp` false:
        // its reason came as an error before).
        std::function<void(bool wasUp)> disconnectedFromServer;
        // A client of the server was taken by the bridge (or refused by it).
        std::function<void(TCustomWinSocket*)> clientConnected;
        // A client left; `remaining` are still connected. The bridge still knows the
        // leaving one while this runs.
        std::function<void(TCustomWinSocket*, int remaining)> clientDisconnected;
        // A socket error, already absorbed: `text` is the reason. `accepted` is a
        // client of the server. A connection the error ended is closed after this.
        std::function<void(TCustomWinSocket*, const std::string& text, int code, bool accepted)> socketError;
        // The device went away; the port is closed after this, and looked for again
        // while `wantPort` says so.
        std::function<void()> portLost;
        // The port opened again by a retry.
        std::function<void()> portBack;
        // After each open and close of the port.
        std::function<void(bool open)> portOpen;
        // Before the bridge reads what the device sent.
        std::function<void()> serialArriving;
        // Whether a lost or absent port is still wanted; always, when empty.
        std::function<bool()> wantPort;
    };

    // The components belong to `owner` when it is given (the window finds them by
    // name), else to the session.
    explicit TBridgeSession(TComponent* owner = nullptr);
    ~TBridgeSession();
    TBridgeSession(const TBridgeSession&) = delete;
    TBridgeSession& operator=(const TBridgeSession&) = delete;

    TComPort& Port() const { return *port_; }
    TClientSocket& Client() const { return *client_; }
    TServerSocket& Server() const { return *server_; }
    TBridge& Bridge() const { return *bridge_; }

    Observers On;

    // Opens the port; false with `why` set when it cannot, the port left closed.
    bool OpenPort(std::string& why);
    // Looks for the port once a second until it opens (portBack) or is no longer wanted.
    void RetryPort();
    void StopPortRetry();
    bool RetryingPort() const { return portRetry_->Enabled(); }

    // Ends the TCP side: the client's connection, the server's clients (the server
    // tells nobody of them: the bridge forgets them here) and the listener.
    void CloseTcp();
    // The client socket's connection is up and not leaving.
    bool ServerConnected() const;
    // Accepted clients still connected, not counting one that is leaving.
    int Clients() const { return bridge_->RemainingClients(bridge_->Leaving()); }

private:
    void Wire();
    void PortLost();
    void RetryTick();
    bool Wanted() const { return !On.wantPort || On.wantPort(); }

    std::unique_ptr<TComPort> ownPort_;
    std::unique_ptr<TClientSocket> ownClient_;
    std::unique_ptr<TServerSocket> ownServer_;
    TComPort* port_ = nullptr;
    TClientSocket* client_ = nullptr;
    TServerSocket* server_ = nullptr;
    std::unique_ptr<TBridge> bridge_;
    std::unique_ptr<TTimer> portRetry_;
    bool serverConnected_ = false;
};

// The line a port starts with before its settings file: COM1 at 9600 8O1, no flow
// control, DTR and RTS off, every event.
void ApplyStartingLine(TComPort& port);

// A TCP port typed as text: its number, or EConvertError saying why it is none.
std::int32_t TcpPortFromText(const std::string& text);

// The port's reason for not opening, without the component's Windows-style code: the
// system's text, or the rate the device refused.
std::string PortFailureReason(const TCustomComPort& port, const std::exception& error);

}  // namespace portvale
