#include "sockets/ClientSocket.h"

#include "framework/SysUtils.h"

namespace portvale {

// ---- TClientWinSocket ----

void TClientWinSocket::SetClientType(TClientType value) {
    if (value == clientType_) return;
    if (IsConnected()) throw ESocketError(sCantChangeWhileActive);
    clientType_ = value;
    SetNotifyMask(value == ctBlocking ? kBlockingNotifyMask : kClientNotifyMask);
}

void TClientWinSocket::ConnectDone(ws::SOCKET) {
    SetConnected(true);
    NotifyEvent(this, skConnect);
}

// ---- TAbstractSocket ----

void TAbstractSocket::SetActive(bool value) {
    if (value == active_) return;
    if (Designing() || Loading()) {
        // While loading, the open follows in Loaded; at design time nothing opens.
        active_ = value;
        return;
    }
    // Active itself follows the socket object's events, not the request.
    ApplyActive(value);
}

void TAbstractSocket::Loaded() {
    TComponent::Loaded();
    ApplyActive(active_);
}

void TAbstractSocket::CheckChangeAllowed() const {
    if (!Loading() && active_) throw ESocketError(sCantChangeWhileActive);
}

void TAbstractSocket::SetPort(std::int32_t value) {
    if (value == port_) return;
    CheckChangeAllowed();
    port_ = value;
}

void TAbstractSocket::SetAddress(const std::string& value) {
    if (SameText(value, address_)) return;
    CheckChangeAllowed();
    address_ = value;
}

void TAbstractSocket::SetHost(const std::string& value) {
    if (SameText(value, host_)) return;
    CheckChangeAllowed();
    host_ = value;
}

void TAbstractSocket::SetService(const std::string& value) {
    if (SameText(value, service_)) return;
    CheckChangeAllowed();
    service_ = value;
}

void TAbstractSocket::InstallSinks(TCustomWinSocket& socket) {
    socket.EventSink = TSocketEventSink(this, &TAbstractSocket::SinkEvent);
    socket.ErrorSink = TSocketErrorSink(this, &TAbstractSocket::SinkError);
}

void TAbstractSocket::SinkEvent(TCustomWinSocket*, TCustomWinSocket* socket,
                                TSocketEventKind kind) {
    DispatchEvent(socket, kind);
}

void TAbstractSocket::SinkError(TCustomWinSocket*, TCustomWinSocket* socket,
                                TErrorEvent errorEvent, int& errorCode) {
    DispatchError(socket, errorEvent, errorCode);
}

// ---- TCustomSocket ----

void TCustomSocket::DispatchEvent(TCustomWinSocket* socket, TSocketEventKind kind) {
    switch (kind) {
        case skLookup: OnLookup(this, socket); break;
        case skConnecting: OnConnecting(this, socket); break;
        case skConnect:
            SetActiveField(true);
            OnConnect(this, socket);
            break;
        case skDisconnect:
            SetActiveField(false);
            OnDisconnect(this, socket);
            break;
        case skListen:
            SetActiveField(true);
            OnListen(this, socket);
            break;
        case skAccept: OnAccept(this, socket); break;
        case skWrite: OnWrite(this, socket); break;
        case skRead: OnRead(this, socket); break;
    }
}

void TCustomSocket::DispatchError(TCustomWinSocket* socket, TErrorEvent errorEvent,
                                  int& errorCode) {
    OnError(this, socket, errorEvent, errorCode);
}

// ---- TClientSocket ----

TClientSocket::TClientSocket(TComponent* owner)
    : TCustomSocket(owner), socket_(std::make_unique<TClientWinSocket>()) {
    InstallSinks(*socket_);
}

TClientSocket::~TClientSocket() {
    // The socket object goes first: it closes an open connection without reporting
    // the disconnect to a component that is already on its way out.
    socket_.reset();
}

void TClientSocket::ApplyActive(bool value) {
    if (value == socket_->IsConnected() || Designing()) return;
    if (socket_->IsConnected()) {
        socket_->Teardown(socket_->SocketDesc());
        return;
    }
    socket_->OpenClient(Host(), Address(), Service(), static_cast<std::uint16_t>(Port() & 0xFFFF),
                        ClientType() == ctBlocking);
}

}  // namespace portvale
