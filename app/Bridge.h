#pragma once
// The bridging between one serial port and its TCP side (a client socket, or the
// connections a server socket accepted): a queue per direction with back-pressure,
// the choice of where the device's bytes go, several clients on one port, who may
// connect, and a protocol filter (RFC 2217) between the two. The window and the
// service both own one per port and route their components' events to it; it shows
// nothing itself and says what happened through its events.
//
// Back-pressure: while the port's queue is above the high-water mark the sockets are
// left unread (TCP slows their senders); while the TCP side is behind, the device's
// bytes wait in the port. With a shared port the device waits only while every
// client is behind; a client that falls further behind than its limit is
// disconnected, so one stalled client never stalls the others, and a client that
// stays connected loses nothing.
//
// Threading: the GUI thread, with the components' events; handlers may re-enter.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/BridgeFilter.h"
#include "app/PeerAccess.h"
#include "app/SerialWriter.h"
#include "app/TcpSender.h"
#include "comport/ComPort.h"
#include "sockets/SocketComponents.h"

namespace portvale {

// A failed serial write, with the bytes it dropped.
inline constexpr char sSerialWriteFailed[] = "%s; %zu bytes for the com port dropped";

enum class TBridgeDirection { TcpToCom, ComToTcp };
// (direction, the connection the block came from or goes to, the bytes)
using TForwardEvent = std::function<void(TBridgeDirection, TCustomWinSocket*, const std::string&)>;
// (direction, the bytes that arrived)
using TReceivedEvent = std::function<void(TBridgeDirection, const std::string&)>;
// (direction, why, bytes dropped)
using TDropEvent = std::function<void(TBridgeDirection, const char*, std::size_t)>;

// How a listening bridge treats several clients.
struct TClientPolicy {
    static constexpr int kUnlimited = 0x7FFFFFFF;
    int clients = kUnlimited;  // connections kept at once
    // The device's bytes go to every client, not only to the oldest.
    bool share = false;
    // A client beyond `clients` closes the oldest instead of being refused.
    bool kickOld = false;
    // Bytes a sharing client may have waiting before it is disconnected.
    std::size_t maxLag = std::size_t{1} << 20;
    // Connections still in a filter's handshake, which do not count against
    // `clients`: at most this many, and this many from one address; the oldest goes
    // first when a new one comes, so peers that open and stay silent never keep out
    // one that completes its handshake.
    int handshakes = 64;
    int handshakesPerAddress = 8;
};

// Things a front end logs and counts; the text is one line naming the peer.
enum class TBridgeNotice {
    Refused,    // a peer the access list does not admit (at most once a minute per address)
    OverLimit,  // a client beyond the limit, refused
    Kicked,     // the oldest client, closed for a new one
    Lagging,    // a sharing client too far behind, disconnected
    Trouble,    // an error of the bridging itself (a failed serial write or read)
};
using TNoticeEvent = std::function<void(TBridgeNotice, const std::string&)>;

// A peer as "192.0.2.7:40312" or "[2001:db8::7]:40312".
std::string PeerText(const std::string& address, std::uint16_t port);
std::string PeerText(const TCustomWinSocket& socket);

class TBridge {
public:
    TBridge(TCustomComPort& port, TClientSocket& client, TServerSocket& server);
    ~TBridge();
    TBridge(const TBridge&) = delete;
    TBridge& operator=(const TBridge&) = delete;

    // ---- set by the owner ----
    TClientPolicy Policy;
    TPeerAccess Access;
    // The protocols on the TCP side (a TFilterStack), or null for raw bytes. Not owned.
    TBridgeFilter* Filter = nullptr;
    // Every block that arrived on either side (before it is forwarded).
    TReceivedEvent OnReceived;
    // Every block handed on to the other side, and every block with nowhere to go.
    TForwardEvent OnForward;
    TDropEvent OnDrop;
    TNoticeEvent OnNotice;
    // In client mode the device's bytes wait in the port from Connecting() until the
    // connection is made. Set, they wait again whenever the connection ends, for a
    // front end that connects again by itself.
    bool HoldSerialBetweenConnections = false;

    // ---- the components' events, routed here by the owner ----
    void SocketRead(TCustomWinSocket* socket);
    void WriteReady(TCustomWinSocket* socket);
    void SerialArrived(std::int32_t count);
    // Client mode: a connection is being made (true) or no longer awaited (false).
    void Connecting(bool awaiting) { awaitingConnection_ = awaiting; }
    void ClientConnected(TCustomWinSocket* socket);
    void ServerClientConnected(TCustomWinSocket* socket);
    // Between the two, the leaving connection is no target although it still says
    // it is connected.
    void BeginDisconnect(TCustomWinSocket* socket);
    void EndDisconnect();
    // The filter finished setting the connection up (a TLS handshake): it takes data.
    void FilterReady(TCustomWinSocket* socket);
    // The client socket's connection ended (between Begin and EndDisconnect).
    void ClientDisconnected();
    // The owner closed every connection and the listener (without notifications).
    void Closed();
    // The port was closed: what was queued for it goes.
    void PortClosed();

    // ---- sending and state ----
    // Bytes for a connection behind what it has queued (manual sends, the filter's answers).
    void SendToTcp(TCustomWinSocket* socket, std::string bytes) { tcpSender_.Send(socket, std::move(bytes)); }
    // Bytes for the device behind what it has queued.
    void WriteSerial(std::string bytes) { serialWriter_->Write(std::move(bytes)); }
    // While held, the device's bytes wait in the port instead of going to TCP.
    void HoldSerial(bool hold);
    // Where serial data goes: the oldest accepted client still connected, else the
    // connected client socket, else nowhere (null).
    TCustomWinSocket* SerialTarget() const;
    // The oldest accepted connection still connected (not the one leaving), or null.
    TCustomWinSocket* FirstServerClient() const;
    // Accepted connections other than `leaving` that are still connected.
    int RemainingClients(TCustomWinSocket* leaving) const;
    // Of those, the ones past the filter's handshake, not counting `except`.
    int EstablishedClients(TCustomWinSocket* except) const;
    TCustomWinSocket* Leaving() const { return leaving_; }
    // Back-pressure marks of both directions (and the most read from a socket at once).
    void SetMarks(TQueueMarks marks);
    std::size_t SerialBacklog() const { return serialWriter_->Pending(); }
    std::size_t TcpBacklog() const { return tcpSender_.Pending(); }
    std::size_t TcpBacklog(TCustomWinSocket* socket) const { return tcpSender_.Pending(socket); }

private:
    bool Admit(const std::string& address, std::uint16_t port);
    // Makes room among the connections still in their handshake for `socket`.
    void BoundHandshakes(TCustomWinSocket* socket);
    // A connection that finished its handshake takes a client's place, or is refused.
    void ApplyClientLimit(TCustomWinSocket* socket);
    // Closes the oldest clients other than `keep` until fewer than the limit are left.
    void KickOldest(TCustomWinSocket* keep, const std::string& newPeer);
    void Notice(TBridgeNotice kind, const std::string& text);
    bool SerialMustWait() const;
    void ReadSerial(std::int32_t count);
    void ForwardToClients(std::string bytes);
    void ResumeSocketReads();
    void ResumeSerialReads();
    bool IsLiveSocket(TCustomWinSocket* socket) const;
    // A connection that takes the device's data now.
    bool Takes(TCustomWinSocket* socket) const;

    TCustomComPort& port_;
    TClientSocket& client_;
    TServerSocket& server_;
    std::unique_ptr<TSerialWriter> serialWriter_;
    // One record for every serial read, rather than a new one (and its event) each.
    PAsync readAsync_ = nullptr;
    TTcpSender tcpSender_;
    // Sockets whose read notification was left unanswered while the serial queue was
    // full; the socket layer sends no other until they are read.
    std::vector<TCustomWinSocket*> heldSockets_;
    TQueueMarks marks_;
    bool serialHeld_ = false;
    TCustomWinSocket* leaving_ = nullptr;
    bool serialHoldRequested_ = false;
    bool awaitingConnection_ = false;
    // When each refused address was last logged.
    std::map<std::string, std::chrono::steady_clock::time_point> refusalsLogged_;
};

}  // namespace portvale
