#include "app/Bridge.h"

#include <algorithm>

#include "framework/Application.h"
#include "framework/SysUtils.h"

namespace portvale {

namespace {

// A refused address is logged again after this long; counted every time.
constexpr auto kRefusalLogInterval = std::chrono::minutes(1);
// Addresses remembered for that before old ones are forgotten.
constexpr std::size_t kRefusalsRemembered = 4096;

}  // namespace

std::string PeerText(const std::string& address, std::uint16_t port) {
    const std::string p = std::to_string(port);
    return address.find(':') == std::string::npos ? address + ":" + p : "[" + address + "]:" + p;
}

std::string PeerText(const TCustomWinSocket& socket) { return PeerText(socket.RemoteAddress(), socket.RemotePort()); }

TBridge::TBridge(TCustomComPort& port, TClientSocket& client, TServerSocket& server)
    : port_(port), client_(client), server_(server), serialWriter_(std::make_unique<TSerialWriter>(port)) {
    InitAsync(readAsync_);
    serialWriter_->OnDrained = [this] { ResumeSocketReads(); };
    serialWriter_->OnFailed = [this](const std::string& why, std::size_t dropped) {
        if (dropped > 0 && OnDrop) OnDrop(TBridgeDirection::TcpToCom, "serial write failed", dropped);
        Notice(TBridgeNotice::Trouble, dropped > 0 ? Format(sSerialWriteFailed, why.c_str(), dropped) : why);
        // The queue is empty now: connections left unread while it was full go on.
        ResumeSocketReads();
    };
    tcpSender_.OnDrained = [this] { ResumeSerialReads(); };
    server_.WinSocket()->OnAdmit = [this](const std::string& address, std::uint16_t p) { return Admit(address, p); };
}

TBridge::~TBridge() {
    server_.WinSocket()->OnAdmit = nullptr;
    // Its operation in flight refers to the port's device.
    serialWriter_.reset();
    DoneAsync(readAsync_);
}

void TBridge::Notice(TBridgeNotice kind, const std::string& text) {
    if (OnNotice) OnNotice(kind, text);
}

bool TBridge::Admit(const std::string& address, std::uint16_t port) {
    const std::string peer = PeerText(address, port);
    if (!Access.Allows(address)) {
        const auto now = std::chrono::steady_clock::now();
        if (refusalsLogged_.size() >= kRefusalsRemembered)
            std::erase_if(refusalsLogged_, [&](const auto& entry) { return now - entry.second >= kRefusalLogInterval; });
        auto [it, fresh] = refusalsLogged_.try_emplace(address, now);
        const bool log = fresh || now - it->second >= kRefusalLogInterval;
        if (log) it->second = now;
        Notice(TBridgeNotice::Refused, log ? "Refused " + peer + ": not an allowed address" : std::string());
        return false;
    }
    if (EstablishedClients(nullptr) < Policy.clients) return true;
    if (!Policy.kickOld) {
        Notice(TBridgeNotice::OverLimit, Format("Refused %s: %d %s connected already", peer.c_str(), Policy.clients,
                                                Policy.clients == 1 ? "client" : "clients"));
        return false;
    }
    // A peer that has still to prove itself in a handshake closes nobody yet.
    if (!Filter || !Filter->HoldsNewConnections()) KickOldest(nullptr, peer);
    return true;
}

void TBridge::KickOldest(TCustomWinSocket* keep, const std::string& newPeer) {
    // Each close removes one; the bound keeps a connection that will not go from
    // holding the accept forever.
    for (int guard = EstablishedClients(keep); guard > 0 && EstablishedClients(keep) >= Policy.clients; --guard) {
        TCustomWinSocket* oldest = nullptr;
        const TServerWinSocket* server = server_.WinSocket();
        for (int i = 0; i < server->ActiveConnections() && !oldest; ++i) {
            TCustomWinSocket* c = server->ConnectionAt(i);
            if (c != keep && Takes(c)) oldest = c;
        }
        if (!oldest) break;
        Notice(TBridgeNotice::Kicked, "Closed " + PeerText(*oldest) + " for the new client " + newPeer);
        oldest->CloseConnection();
    }
}

void TBridge::BoundHandshakes(TCustomWinSocket* socket) {
    const std::string address = socket->RemoteAddress();
    // Oldest first: the list is in the order of accepting.
    std::vector<TCustomWinSocket*> pending, fromAddress;
    const TServerWinSocket* server = server_.WinSocket();
    for (int i = 0; i < server->ActiveConnections(); ++i) {
        TCustomWinSocket* c = server->ConnectionAt(i);
        if (c == socket || c == leaving_ || !c->IsConnected() || Filter->Ready(c)) continue;
        pending.push_back(c);
        if (c->RemoteAddress() == address) fromAddress.push_back(c);
    }
    // What stays beside the new one: fewer than each limit.
    const auto keep = [](int limit) { return static_cast<std::size_t>(std::max(limit, 1) - 1); };
    std::vector<TCustomWinSocket*> drop;
    if (fromAddress.size() > keep(Policy.handshakesPerAddress))
        drop.assign(fromAddress.begin(), fromAddress.end() - static_cast<std::ptrdiff_t>(keep(Policy.handshakesPerAddress)));
    std::size_t remaining = pending.size() - drop.size();
    for (std::size_t i = 0; i < pending.size() && remaining > keep(Policy.handshakes); ++i) {
        if (std::find(drop.begin(), drop.end(), pending[i]) != drop.end()) continue;
        drop.push_back(pending[i]);
        --remaining;
    }
    for (TCustomWinSocket* c : drop) {
        Notice(TBridgeNotice::OverLimit, "Closed " + PeerText(*c) + ": too many handshakes under way");
        if (c->IsConnected()) c->CloseConnection();
    }
}

void TBridge::ApplyClientLimit(TCustomWinSocket* socket) {
    if (EstablishedClients(socket) < Policy.clients) return;
    if (Policy.kickOld) {
        KickOldest(socket, PeerText(*socket));
        return;
    }
    Notice(TBridgeNotice::OverLimit, Format("Refused %s: %d %s connected already", PeerText(*socket).c_str(),
                                            Policy.clients, Policy.clients == 1 ? "client" : "clients"));
    socket->CloseConnection();
}

void TBridge::SetMarks(TQueueMarks marks) {
    marks_ = marks;
    serialWriter_->SetMarks(marks);
    tcpSender_.SetMarks(marks);
}

// ---- connections ----

void TBridge::ClientConnected(TCustomWinSocket* socket) {
    if (Filter) Filter->Connected(socket);
    // A secure channel still being set up is no target yet: the bytes wait for it.
    awaitingConnection_ = Filter && !Filter->Ready(socket);
    // What the device sent while the connection was being made goes first.
    ResumeSerialReads();
}

void TBridge::ServerClientConnected(TCustomWinSocket* socket) {
    if (!Filter) return;
    Filter->Connected(socket);
    if (socket->IsConnected() && Filter->HoldsNewConnections() && !Filter->Ready(socket)) BoundHandshakes(socket);
}

void TBridge::BeginDisconnect(TCustomWinSocket* socket) {
    if (Filter) Filter->Disconnected(socket);
    // The leaving connection still says it is connected; serial reads resumed by the
    // forgotten queue must not pick it as their target.
    leaving_ = socket;
    tcpSender_.Forget(socket);
    std::erase(heldSockets_, socket);
}

void TBridge::FilterReady(TCustomWinSocket* socket) {
    if (socket != client_.WinSocket()) {
        ApplyClientLimit(socket);
        if (!socket->IsConnected()) return;
    }
    awaitingConnection_ = false;
    ResumeSerialReads();
}

void TBridge::ClientDisconnected() {
    if (HoldSerialBetweenConnections) {
        // The next connection takes what the device sends meanwhile.
        awaitingConnection_ = true;
        return;
    }
    // No connection is coming: what waits in the port is read (and dropped).
    awaitingConnection_ = false;
    ResumeSerialReads();
}

void TBridge::EndDisconnect() {
    // A shared port may have waited for the client that left.
    if (Policy.share) ResumeSerialReads();
    leaving_ = nullptr;
}

void TBridge::Closed() {
    // The server closes its accepted connections without notifications: the filter
    // forgets them here.
    if (Filter && server_.Active()) {
        const TServerWinSocket* server = server_.WinSocket();
        for (int i = 0; i < server->ActiveConnections(); ++i) Filter->Disconnected(server->ConnectionAt(i));
    }
    awaitingConnection_ = false;
}

void TBridge::PortClosed() {
    serialWriter_->Reset();
    serialHeld_ = false;
}

TCustomWinSocket* TBridge::FirstServerClient() const {
    const TServerWinSocket* server = server_.WinSocket();
    for (int i = 0; i < server->ActiveConnections(); ++i) {
        TCustomWinSocket* c = server->ConnectionAt(i);
        if (c != leaving_ && c->IsConnected()) return c;
    }
    return nullptr;
}

int TBridge::EstablishedClients(TCustomWinSocket* except) const {
    const TServerWinSocket* server = server_.WinSocket();
    int established = 0;
    for (int i = 0; i < server->ActiveConnections(); ++i) {
        TCustomWinSocket* c = server->ConnectionAt(i);
        if (c != except && Takes(c)) ++established;
    }
    return established;
}

int TBridge::RemainingClients(TCustomWinSocket* leaving) const {
    const TServerWinSocket* server = server_.WinSocket();
    int remaining = 0;
    for (int i = 0; i < server->ActiveConnections(); ++i) {
        const TCustomWinSocket* c = server->ConnectionAt(i);
        if (c != leaving && c->IsConnected()) ++remaining;
    }
    return remaining;
}

bool TBridge::Takes(TCustomWinSocket* socket) const {
    return socket != leaving_ && socket->IsConnected() && (!Filter || Filter->Ready(socket));
}

TCustomWinSocket* TBridge::SerialTarget() const {
    if (server_.Active()) {
        const TServerWinSocket* server = server_.WinSocket();
        for (int i = 0; i < server->ActiveConnections(); ++i)
            if (TCustomWinSocket* c = server->ConnectionAt(i); Takes(c)) return c;
    }
    if (client_.Active() && client_.WinSocket() != leaving_ && (!Filter || Filter->Ready(client_.WinSocket())))
        return client_.WinSocket();
    return nullptr;
}

bool TBridge::IsLiveSocket(TCustomWinSocket* socket) const {
    if (socket == client_.WinSocket()) return socket->IsConnected();
    const TServerWinSocket* server = server_.WinSocket();
    for (int i = 0; i < server->ActiveConnections(); ++i)
        if (server->ConnectionAt(i) == socket) return socket->IsConnected();
    return false;
}

// ---- TCP to serial ----

void TBridge::SocketRead(TCustomWinSocket* socket) {
    if (serialWriter_->Pending() >= marks_.high) {
        // Left unread: TCP's own flow control slows the sender until the port catches up.
        if (std::find(heldSockets_.begin(), heldSockets_.end(), socket) == heldSockets_.end())
            heldSockets_.push_back(socket);
        return;
    }
    // At most a slice per notification: a socket's buffer can hold megabytes, and the
    // next notification comes as soon as this receive is made.
    const int slice = static_cast<int>(std::min<std::size_t>(marks_.high, 256 << 10));
    const int available = std::clamp(socket->BytesAvailable(), 0, slice);
    std::string bytes(static_cast<std::size_t>(available), '\0');
    // A receive is made even for nothing: it is what lets the next notification come.
    const int received = socket->ReceiveBuffer(bytes.data(), available);
    bytes.resize(static_cast<std::size_t>(std::clamp(received, 0, available)));
    if (Filter && !bytes.empty()) bytes = Filter->FromTcp(socket, bytes);
    // The handshake that just finished may have ended in a refusal: nothing of a
    // connection that is gone reaches the device.
    if (bytes.empty() || !socket->IsConnected() || socket == leaving_) return;
    if (OnReceived) OnReceived(TBridgeDirection::TcpToCom, bytes);
    if (!port_.Connected()) {
        if (OnDrop) OnDrop(TBridgeDirection::TcpToCom, "serial port closed", bytes.size());
        return;
    }
    if (OnForward) OnForward(TBridgeDirection::TcpToCom, socket, bytes);
    // One block at a time into one queue: blocks of several clients never interleave.
    serialWriter_->Write(std::move(bytes));
}

void TBridge::ResumeSocketReads() {
    // Bytes that arrived while the port was behind are waiting in the sockets, and no
    // notification will come for them until they are read.
    std::vector<TCustomWinSocket*> held;
    held.swap(heldSockets_);
    for (TCustomWinSocket* socket : held)
        if (IsLiveSocket(socket)) Guarded([&] { SocketRead(socket); });
}

// ---- serial to TCP ----

void TBridge::WriteReady(TCustomWinSocket* socket) {
    tcpSender_.WriteReady(socket);
    if (serialHeld_ && Policy.share) ResumeSerialReads();
}

void TBridge::SerialArrived(std::int32_t count) {
    if (SerialMustWait()) {
        // The bytes wait in the port; reading resumes when the TCP side can take them.
        serialHeld_ = true;
        return;
    }
    // Caught here: an error leaving this handler would end the port's event worker.
    try {
        ReadSerial(count);
    } catch (const std::exception& error) {
        Notice(TBridgeNotice::Trouble, error.what());
    }
}

void TBridge::ReadSerial(std::int32_t count) {
    if (count <= 0) return;
    std::string bytes(static_cast<std::size_t>(count), '\0');
    // The bytes are waiting, so the read completes at once.
    port_.ReadAsync(bytes.data(), count, readAsync_);
    const std::int32_t read = port_.WaitForAsync(readAsync_);
    bytes.resize(static_cast<std::size_t>(std::clamp(read, 0, count)));
    if (bytes.empty()) return;
    if (OnReceived) OnReceived(TBridgeDirection::ComToTcp, bytes);
    if (Policy.share && server_.Active() && SerialTarget() && SerialTarget() != client_.WinSocket()) {
        ForwardToClients(std::move(bytes));
    } else if (TCustomWinSocket* target = SerialTarget()) {
        if (OnForward) OnForward(TBridgeDirection::ComToTcp, target, bytes);
        tcpSender_.Send(target, Filter ? Filter->ToTcp(target, bytes) : std::move(bytes));
    } else if (OnDrop) {
        OnDrop(TBridgeDirection::ComToTcp, "no TCP connection", bytes.size());
    }
}

void TBridge::ForwardToClients(std::string bytes) {
    std::vector<TCustomWinSocket*> clients;
    const TServerWinSocket* server = server_.WinSocket();
    for (int i = 0; i < server->ActiveConnections(); ++i) {
        TCustomWinSocket* c = server->ConnectionAt(i);
        if (Takes(c)) clients.push_back(c);
    }
    // One block for all of them: an observer sees it once, with no one connection.
    if (OnForward) OnForward(TBridgeDirection::ComToTcp, clients.size() == 1 ? clients.front() : nullptr, bytes);
    std::vector<TCustomWinSocket*> lagging;
    for (TCustomWinSocket* c : clients) {
        // A send may end a connection (and its handlers may end others).
        if (!IsLiveSocket(c)) continue;
        tcpSender_.Send(c, Filter ? Filter->ToTcp(c, bytes) : bytes);
        if (tcpSender_.Pending(c) > Policy.maxLag) lagging.push_back(c);
    }
    for (TCustomWinSocket* c : lagging) {
        if (!IsLiveSocket(c)) continue;
        Notice(TBridgeNotice::Lagging,
               Format("Disconnected %s: more than %zu bytes behind", PeerText(*c).c_str(), Policy.maxLag));
        c->CloseConnection();
    }
}

void TBridge::HoldSerial(bool hold) {
    serialHoldRequested_ = hold;
    if (!hold) ResumeSerialReads();
}

bool TBridge::SerialMustWait() const {
    if (serialHoldRequested_) return true;
    if (Policy.share && server_.Active()) {
        // Behind at half the limit: reads while every one is behind stay within it.
        const std::size_t behind = std::min(marks_.high, Policy.maxLag / 2);
        const TServerWinSocket* server = server_.WinSocket();
        bool any = false;
        for (int i = 0; i < server->ActiveConnections(); ++i) {
            TCustomWinSocket* c = server->ConnectionAt(i);
            if (!Takes(c)) continue;
            if (tcpSender_.Pending(c) < behind) return false;
            any = true;
        }
        if (any) return true;
    }
    return tcpSender_.Pending() >= marks_.high || (awaitingConnection_ && !SerialTarget());
}

void TBridge::ResumeSerialReads() {
    if (!serialHeld_ || SerialMustWait()) return;
    serialHeld_ = false;
    try {
        if (port_.Connected()) ReadSerial(port_.InputCount());
    } catch (const std::exception& error) {
        Notice(TBridgeNotice::Trouble, error.what());
    }
}

}  // namespace portvale
