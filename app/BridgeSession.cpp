#include "app/BridgeSession.h"

#include <cstring>

#include "app/BridgeTexts.h"
#include "comport/ComPortError.h"
#include "framework/Exceptions.h"
#include "framework/Persistent.h"
#include "framework/SysUtils.h"
#include "framework/Application.h"
#include "platform/serial/SerialApi.h"
#include "platform/sockets/WinSock.h"

namespace portvale {

namespace {

constexpr std::uint32_t kPortRetryMs = 1000;

template <class Component>
Component* Make(TComponent* owner, std::unique_ptr<Component>& own, const char* name) {
    auto* component = new Component(owner);
    if (!owner) own.reset(component);
    component->SetName(name);
    return component;
}

// A port number that is not a TCP port: refused rather than wrapped to another one.
class ETcpPortRange : public EConvertError {
public:
    ETcpPortRange() : EConvertError(sTcpPortRange) {}
};

}  // namespace

void ApplyStartingLine(TComPort& port) {
    port.SetPort("COM1");
    port.SetBaudRate(br9600);
    port.SetDataBits(dbEight);
    port.Parity().SetBits(prOdd);
    port.SetStopBits(sbOneStopBit);
    port.FlowControl().SetFlowControl(fcNone);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.SetEvents(kAllComEvents);
}

std::int32_t TcpPortFromText(const std::string& text) {
    std::int32_t port;
    if (!TryStrToInt(text, port)) throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
    if (port < 1 || port > 65535) throw ETcpPortRange();
    return port;
}

std::string PortFailureReason(const TCustomComPort& port, const std::exception& error) {
    const auto* com = dynamic_cast<const EComPort*>(&error);
    if (com && com->SystemCode() == static_cast<std::int32_t>(ERROR_RATE_NOT_SUPPORTED))
        return "the device cannot run at " + BaudRateText(port.BaudRate(), port.CustomBaudRate()) + " baud";
    if (com && com->SystemCode() > 0) return std::strerror(com->SystemCode());
    return error.what();
}

TBridgeSession::TBridgeSession(TComponent* owner) {
    port_ = Make(owner, ownPort_, "ComPort1");
    client_ = Make(owner, ownClient_, "ClientSocket1");
    client_->SetClientType(ctNonBlocking);
    server_ = Make(owner, ownServer_, "ServerSocket1");
    server_->SetServerType(stNonBlocking);
    bridge_ = std::make_unique<TBridge>(*port_, *client_, *server_);
    portRetry_ = std::make_unique<TTimer>(nullptr);
    portRetry_->SetEnabled(false);
    portRetry_->SetInterval(kPortRetryMs);
    portRetry_->OnTimer = [this](TObject*) { RetryTick(); };
    Wire();
}

TBridgeSession::~TBridgeSession() {
    portRetry_->SetEnabled(false);
    // Closing the sockets and the port raises their events; nobody is left to tell.
    client_->OnConnect.Clear();
    client_->OnDisconnect.Clear();
    client_->OnError.Clear();
    client_->OnRead.Clear();
    client_->OnWrite.Clear();
    server_->OnClientConnect.Clear();
    server_->OnClientDisconnect.Clear();
    server_->OnClientRead.Clear();
    server_->OnClientWrite.Clear();
    server_->OnClientError.Clear();
    port_->OnRxChar.Clear();
    port_->OnAfterOpen.Clear();
    port_->OnAfterClose.Clear();
    port_->OnPortLost.Clear();
    // Its operation in flight refers to the port's device; the components follow.
    bridge_.reset();
    ownClient_.reset();
    ownServer_.reset();
    ownPort_.reset();
}

void TBridgeSession::Wire() {
    port_->OnRxChar = [this](TObject*, std::int32_t count) {
        if (On.serialArriving) On.serialArriving();
        bridge_->SerialArrived(count);
    };
    port_->OnAfterOpen = [this](TObject*) {
        if (On.portOpen) On.portOpen(true);
    };
    port_->OnAfterClose = [this](TObject*) {
        if (On.portOpen) On.portOpen(false);
        bridge_->PortClosed();
    };
    port_->OnPortLost = [this](TObject*) { PortLost(); };

    client_->OnConnect = [this](TObject*, TCustomWinSocket* s) {
        serverConnected_ = true;
        if (On.connectedToServer) On.connectedToServer(s);
        // What the device sent while the connection was being made goes first.
        bridge_->ClientConnected(s);
    };
    client_->OnDisconnect = [this](TObject*, TCustomWinSocket* s) {
        bridge_->BeginDisconnect(s);
        const bool wasUp = serverConnected_;
        serverConnected_ = false;
        if (On.disconnectedFromServer) On.disconnectedFromServer(wasUp);
        bridge_->ClientDisconnected();
        bridge_->EndDisconnect();
    };
    client_->OnError = [this](TObject*, TCustomWinSocket* s, TErrorEvent event, int& code) {
        const std::string text = code == kNoAddressErrorCode ? std::string(sNoAddress) : ws::WSAErrorText(code);
        if (On.socketError) On.socketError(s, text, code, false);
        code = 0;
        // The socket layer leaves a connection that ended with an error (a reset)
        // open, "connected" until a send fails; closed here, it ends as a close does.
        if ((event == erDisconnect || event == erGeneral) && s->IsConnected()) s->CloseConnection();
    };
    client_->OnRead = [this](TObject*, TCustomWinSocket* s) { bridge_->SocketRead(s); };
    client_->OnWrite = [this](TObject*, TCustomWinSocket* s) { bridge_->WriteReady(s); };

    server_->OnClientConnect = [this](TObject*, TCustomWinSocket* s) {
        bridge_->ServerClientConnected(s);
        if (On.clientConnected) On.clientConnected(s);
    };
    server_->OnClientDisconnect = [this](TObject*, TCustomWinSocket* s) {
        bridge_->BeginDisconnect(s);
        if (On.clientDisconnected) On.clientDisconnected(s, bridge_->RemainingClients(s));
        bridge_->EndDisconnect();
    };
    server_->OnClientError = [this](TObject*, TCustomWinSocket* s, TErrorEvent event, int& code) {
        // A client that resets or times out is routine on a network: the others are
        // served on.
        if (On.socketError) On.socketError(s, ws::WSAErrorText(code), code, true);
        code = 0;
        // A failed send or receive is closed by the socket itself once this returns.
        if ((event == erDisconnect || event == erGeneral) && s->IsConnected()) s->CloseConnection();
    };
    server_->OnClientRead = [this](TObject*, TCustomWinSocket* s) { bridge_->SocketRead(s); };
    server_->OnClientWrite = [this](TObject*, TCustomWinSocket* s) { bridge_->WriteReady(s); };
}

bool TBridgeSession::OpenPort(std::string& why) {
    try {
        port_->SetConnected(true);
        return true;
    } catch (const std::exception& error) {
        why = PortFailureReason(*port_, error);
    }
    try {
        port_->SetConnected(false);
    } catch (const std::exception&) {
        // Closing always leaves the port closed; the open's error is the one to tell.
    }
    return false;
}

void TBridgeSession::RetryPort() { portRetry_->SetEnabled(true); }

void TBridgeSession::StopPortRetry() { portRetry_->SetEnabled(false); }

void TBridgeSession::RetryTick() {
    if (!Wanted() || port_->Connected()) {
        StopPortRetry();
        return;
    }
    std::string notYet;
    if (!OpenPort(notYet)) return;
    StopPortRetry();
    if (On.portBack) On.portBack();
}

void TBridgeSession::PortLost() {
    if (On.portLost) On.portLost();
    try {
        port_->SetConnected(false);
    } catch (const std::exception&) {
        // The device is gone either way.
    }
    // Still wanted: it opens again by the same name when it is back.
    if (Wanted()) RetryPort();
}

void TBridgeSession::CloseTcp() {
    bridge_->Connecting(false);
    client_->SetActive(false);
    bridge_->Closed();
    server_->SetActive(false);
}

bool TBridgeSession::ServerConnected() const {
    const TCustomWinSocket* socket = client_->WinSocket();
    return client_->Active() && socket->IsConnected() && socket != bridge_->Leaving();
}

}  // namespace portvale
