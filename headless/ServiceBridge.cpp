#include "headless/ServiceBridge.h"

#include <cstring>
#include <filesystem>

#include "app/MessageFormat.h"
#include "app/unPortvale.h"
#include "comport/ComPortError.h"
#include "framework/Application.h"
#include "framework/SysUtils.h"
#include "headless/HeadlessOptions.h"
#include "headless/HostPort.h"
#include "headless/LineSettings.h"
#include "headless/ListenAddress.h"
#include "platform/sockets/WinSock.h"

namespace portvale::headless {

namespace {

constexpr std::uint32_t kPortRetryMs = 1000;
constexpr std::uint32_t kListenRetryMs = 5000;
// Enough to keep a port and a connection busy (the kernel's buffers do the rest);
// small enough that a service of many bridges stays small while all of them run.
constexpr TQueueMarks kServiceMarks{16 << 10, 4 << 10};

std::string Reason(const std::exception& error) {
    const auto* com = dynamic_cast<const EComPort*>(&error);
    if (com && com->SystemCode() > 0) return std::strerror(com->SystemCode());
    return error.what();
}

}  // namespace

ServiceBridge::ServiceBridge(BridgeConfig config, Print print) : config_(std::move(config)), print_(std::move(print)) {
    // A name read again: it may have stopped resolving since the file was checked.
    if (!config_.listen.empty())
        if (const std::string why = ResolveListenAddress(config_.listen, listen_); !why.empty())
            throw std::runtime_error("listen: " + why);
    if (config_.capture) {
        capture_ = std::make_unique<CaptureFile>(
            CaptureFile::Settings{std::filesystem::absolute(*config_.capture).string(),
                                  static_cast<std::uint64_t>(config_.captureMaxMb) * kCaptureMegabyte},
            print_);
        counters_->CaptureLossFrom([capture = capture_.get()] { return capture->LostBytes(); });
    }
    port_ = std::make_unique<TComPort>(nullptr);
    port_->SetBaudRate(br9600);
    port_->SetDataBits(dbEight);
    port_->Parity().SetBits(prNone);
    port_->SetStopBits(sbOneStopBit);
    port_->FlowControl().SetFlowControl(fcNone);
    port_->FlowControl().SetControlDTR(dtrDisable);
    port_->FlowControl().SetControlRTS(rtsDisable);
    port_->SetEvents(kAllComEvents);
    const LineSettings line{config_.serial, config_.baud, config_.dataBits, config_.parity, config_.stopBits,
                            config_.flow};
    ApplyLineSettings(line, *port_);
    if (IsVirtualPortName(config_.serial)) {
        try {
            virtual_ = std::make_unique<VirtualSerial>(
                config_.serial, VirtualDeviceAccess{static_cast<mode_t>(config_.ptyMode), config_.ptyGroup},
                RemoteLineOf(line), print_);
        } catch (const std::exception& error) {
            print_(Format(sCannotOpenPort, config_.serial.c_str(), error.what()));
        }
    }
    client_ = std::make_unique<TClientSocket>(nullptr);
    client_->SetClientType(ctNonBlocking);
    server_ = std::make_unique<TServerSocket>(nullptr);
    server_->SetServerType(stNonBlocking);
    // A burst of connections is each accepted or refused, never left waiting unseen.
    server_->WinSocket()->SetListenQueue(SOMAXCONN);
    bridge_ = std::make_unique<TBridge>(*port_, *client_, *server_);
    portRetry_ = std::make_unique<TTimer>(nullptr);
    portRetry_->SetEnabled(false);
    portRetry_->SetInterval(kPortRetryMs);
    portRetry_->OnTimer = [this](TObject*) { OpenPort(); };
    listenRetry_ = std::make_unique<TTimer>(nullptr);
    listenRetry_->SetEnabled(false);
    listenRetry_->SetInterval(kListenRetryMs);
    listenRetry_->OnTimer = [this](TObject*) { Listen(); };
    Wire();

    // A virtual device that could not be made will not appear by itself.
    if (!IsVirtualPortName(config_.serial) || virtual_) OpenPort();
    if (!config_.listen.empty()) {
        Listen();
    } else {
        Connect();
    }
}

ServiceBridge::~ServiceBridge() {
    if (reconnector_) reconnector_->Stop();
    portRetry_->SetEnabled(false);
    listenRetry_->SetEnabled(false);
    Guarded([&] {
        client_->SetActive(false);
        bridge_->Closed();
        server_->SetActive(false);
        port_->SetConnected(false);
    });
    filters_.reset();
    reconnector_.reset();
    watch_.reset();
    // The components go before the handlers they call.
    client_->OnConnect.Clear();
    client_->OnDisconnect.Clear();
    client_->OnError.Clear();
    server_->OnClientConnect.Clear();
    server_->OnClientDisconnect.Clear();
    port_->OnRxChar.Clear();
    port_->OnAfterOpen.Clear();
    port_->OnAfterClose.Clear();
    port_->OnPortLost.Clear();
    bridge_.reset();
    client_.reset();
    server_.reset();
    port_.reset();
    virtual_.reset();
    if (capture_) capture_->Drain();
    // The metrics endpoint may read the counters after the capture is gone.
    counters_->CaptureLossFrom(nullptr);
}

void ServiceBridge::Wire() {
    TBridge& b = *bridge_;
    b.SetMarks(kServiceMarks);
    b.Policy = TClientPolicy{config_.clients, config_.share, config_.kickOld, static_cast<std::size_t>(config_.maxLag)};
    b.Access = TPeerAccess::Parse(config_.allow);
    b.OnNotice = [this](TBridgeNotice kind, const std::string& text) {
        counters_->Noticed(kind);
        if (!text.empty()) print_(text);
    };
    b.OnForward = [this](TBridgeDirection direction, TCustomWinSocket* socket, const std::string& bytes) {
        counters_->Forwarded(direction, bytes.size());
        if (capture_) capture_->Add(DirectionMark(direction), socket && watch_ ? watch_->Peer(socket) : "", bytes);
    };
    b.OnDrop = [this](TBridgeDirection direction, const char* reason, std::size_t bytes) {
        counters_->Dropped(direction, reason, bytes);
    };
    if (config_.log)
        b.OnReceived = [this](TBridgeDirection direction, const std::string& bytes) { PrintBlock(direction, bytes); };

    port_->OnRxChar = [this](TObject*, std::int32_t count) {
        if (virtual_) virtual_->Check();
        bridge_->SerialArrived(count);
    };
    port_->OnAfterOpen = [this](TObject*) { counters_->PortOpenNow(true); };
    port_->OnAfterClose = [this](TObject*) {
        counters_->PortOpenNow(false);
        bridge_->PortClosed();
    };
    port_->OnPortLost = [this](TObject*) { PortLost(); };

    client_->OnConnect = [this](TObject*, TCustomWinSocket* s) {
        print_(std::string(sConnectedToServer) + " " + PeerText(*s));
        serverConnected_ = true;
        bridge_->ClientConnected(s);
    };
    client_->OnDisconnect = [this](TObject*, TCustomWinSocket* s) {
        bridge_->BeginDisconnect(s);
        // A failed attempt ends this way too; its reason is already told.
        if (serverConnected_) print_(sDisconnectedFromServer);
        serverConnected_ = false;
        bridge_->ClientDisconnected();
        bridge_->EndDisconnect();
    };
    client_->OnError = [this](TObject*, TCustomWinSocket* s, TErrorEvent errorEvent, int& errorCode) {
        const std::string text =
            errorCode == kNoAddressErrorCode ? std::string(sNoAddress) : ws::WSAErrorText(errorCode);
        print_(Format("%s (%d)", text.c_str(), errorCode));
        errorCode = 0;
        // Closed here, a connection that ended with an error ends as an orderly close.
        if ((errorEvent == erDisconnect || errorEvent == erGeneral) && s->IsConnected()) s->CloseConnection();
    };
    client_->OnRead = [this](TObject*, TCustomWinSocket* s) { bridge_->SocketRead(s); };
    client_->OnWrite = [this](TObject*, TCustomWinSocket* s) { bridge_->WriteReady(s); };

    server_->OnClientConnect = [this](TObject*, TCustomWinSocket* s) {
        bridge_->ServerClientConnected(s);
        print_(std::string(sClientConnected) + " " + PeerText(*s));
    };
    server_->OnClientDisconnect = [this](TObject*, TCustomWinSocket* s) {
        bridge_->BeginDisconnect(s);
        print_(std::string(sClientDisconnected) + " " + (watch_ ? watch_->Peer(s) : PeerText(*s)));
        bridge_->EndDisconnect();
    };
    server_->OnClientRead = [this](TObject*, TCustomWinSocket* s) { bridge_->SocketRead(s); };
    server_->OnClientWrite = [this](TObject*, TCustomWinSocket* s) { bridge_->WriteReady(s); };

    // After the handlers above: the watch runs behind them.
    watch_ = std::make_unique<ConnectionWatch>(*client_, *server_, config_.keepAliveSeconds, *counters_, print_);
    if (!config_.connect.empty() && config_.reconnectSeconds > 0) {
        reconnector_ = std::make_unique<ClientReconnector>(*client_, std::chrono::seconds(config_.reconnectSeconds),
                                                           print_, [this] { counters_->ReconnectAttempt(); });
        // Another connection is always coming: the device's bytes wait for it.
        b.HoldSerialBetweenConnections = true;
    }
    std::optional<TTlsSettings> tls;
    if (TlsEnabled(config_)) {
        std::string host;
        int port = 0;
        if (!config_.connect.empty()) SplitAddressPort(config_.connect, host, port);
        tls = TTlsSettings{config_.connect.empty(), config_.tlsCert, config_.tlsKey, config_.tlsClientCa,
                           config_.tlsCa, host, config_.tlsMinVersion};
    }
    filters_ = std::make_unique<BridgeFilters>(b, *port_, tls, config_.rfc2217, print_, *counters_, virtual_.get());
}

void ServiceBridge::OpenPort() {
    if (port_->Connected()) {
        portRetry_->SetEnabled(false);
        return;
    }
    const bool retrying = portRetry_->Enabled();
    try {
        port_->SetConnected(true);
    } catch (const std::exception& error) {
        try {
            port_->SetConnected(false);
        } catch (const std::exception&) {
            // Closing always leaves the port closed; the open's error is the one to tell.
        }
        if (!retrying) {
            print_(Format(sCannotOpenPort, config_.serial.c_str(), Reason(error).c_str()) +
                   "; opening it when it appears");
            portRetry_->SetEnabled(true);
        }
        return;
    }
    portRetry_->SetEnabled(false);
    if (retrying) print_(Format(portWasOpen_ ? sComPortBack : "Com port opened: %s", config_.serial.c_str()));
    portWasOpen_ = true;
}

void ServiceBridge::PortLost() {
    counters_->PortLost();
    counters_->PortOpenNow(false);
    print_(Format(sComPortLostRetrying, config_.serial.c_str()));
    try {
        port_->SetConnected(false);
    } catch (const std::exception&) {
        // The device is gone either way.
    }
    portRetry_->SetEnabled(true);
}

void ServiceBridge::Listen() {
    try {
        server_->WinSocket()->SetListenAddresses(listen_.addresses);
        server_->SetPort(listen_.port);
        server_->SetActive(true);
    } catch (const std::exception& error) {
        if (!listenFailed_)
            print_("Cannot listen on " + config_.listen + ": " + error.what() + "; trying again every " +
                   std::to_string(kListenRetryMs / 1000) + " s");
        listenFailed_ = true;
        listenRetry_->SetEnabled(true);
        return;
    }
    listenRetry_->SetEnabled(false);
    listenFailed_ = false;
    print_("Listening on " + BoundText(server_->WinSocket()->BoundAddresses()) + ", serial port " + config_.serial);
}

void ServiceBridge::Connect() {
    std::string host;
    int port = 0;
    SplitAddressPort(config_.connect, host, port);
    client_->SetHost(host);
    client_->SetPort(port);
    print_("Connecting to " + HostPort(host, std::to_string(port)) + ", serial port " + config_.serial);
    bridge_->Connecting(true);
    Guarded([&] { client_->SetActive(true); });
}

void ServiceBridge::PrintBlock(TBridgeDirection direction, const std::string& bytes) const {
    std::string line = "[" + config_.name + "] ";
    line += DirectionMark(direction);
    line += ' ';
    line += FormatBytes(bytes, mfString);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int ServiceBridge::Clients() const { return bridge_->RemainingClients(bridge_->Leaving()); }

bool ServiceBridge::ServerConnected() const {
    const TCustomWinSocket* socket = client_->WinSocket();
    return client_->Active() && socket->IsConnected() && socket != bridge_->Leaving();
}

std::string ServiceBridge::CountersLine() const {
    return "Counters: " + counters_->Line();
}

}  // namespace portvale::headless
