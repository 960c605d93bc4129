#include "headless/SingleBridge.h"

#include <sys/stat.h>

#include <array>
#include <filesystem>

#include "app/BridgeTexts.h"
#include "app/MessageFormat.h"
#include "app/TcpSettings.h"
#include "comport/ComPortError.h"
#include "framework/Application.h"
#include "framework/SysUtils.h"
#include "headless/Headless.h"
#include "headless/HostPort.h"
#include "headless/LineSettings.h"
#include "headless/ListenAddress.h"
#include "platform/sockets/WinSock.h"

namespace portvale::headless {

namespace {

// The window's file of the serial port's settings, beside TCP.SET.
constexpr char kComPortIni[] = "comport.ini";

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

const char* ModeName(int mode) {
    switch (mode) {
        case 1: return "client";
        case 2: return "server";
        default: return "off";
    }
}

void PrintBlock(const char* mark, const std::string& bytes, int format) {
    std::string line = mark;
    line += ' ';
    line += FormatBytes(bytes, format);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

SingleBridge::SingleBridge(const Options& options, CaptureFile* capture, Print print)
    : options_(options),
      capture_(capture),
      print_(std::move(print)),
      status_(session_, [this](TSessionStatus::Line line, const std::string& text) { ShowLine(line, text); }),
      parts_(session_, options_, capture_, print_) {
    ApplyStartingLine(session_.Port());
    ReadSettingsFiles();
    if (options_.mode) mode_ = *options_.mode;
    if (options_.host) host_ = *options_.host;
    if (options_.port) port_ = *options_.port;
    status_.Set(TSessionStatus::Connection, sNoConnection);
}

SingleBridge::~SingleBridge() {
    parts_.Stop();
    Guarded([&] { Disconnect(); });
    printing_ = false;
    session_.Bridge().OnReceived = nullptr;
    session_.Bridge().OnNotice = nullptr;
    session_.On = {};
}

void SingleBridge::ReadSettingsFiles() {
    const std::string dir = std::filesystem::current_path().string() + "/";
    if (IsFile(dir + kComPortIni)) Guarded([&] { session_.Port().LoadSettings(stIniFile, dir + kComPortIni); });
    // A first start writes the defaults, which are then what it runs with.
    const std::string tcpSet = dir + kTcpSettingsFileName;
    if (!IsFile(tcpSet)) Guarded([&] { TTcpSettings::Defaults().SaveToFile(tcpSet); });
    if (!IsFile(tcpSet)) return;
    Guarded([&] {
        TTcpSettings settings;
        settings.LoadFromFile(tcpSet);
        host_ = settings.HostText();
        port_ = IntToStr(settings.Port());
        const std::int32_t mode = settings.SocketMode();
        mode_ = mode < -1 ? -1 : mode > 2 ? 2 : mode;
        portWanted_ = settings.SerialFlag() != 0;
    });
}

void SingleBridge::ShowLine(TSessionStatus::Line changed, const std::string& changedTo) {
    // As the window's status bar tells of a change: a line set again to its text is
    // none, and the first change prints every line that differs from what was printed.
    if (shown_[changed] == changedTo) return;
    shown_[changed] = changedTo;
    if (!printing_) return;
    for (const auto line : {TSessionStatus::Connection, TSessionStatus::Detail}) {
        const std::string& text = status_.Text(line);
        if (text == printed_[line]) continue;
        printed_[line] = text;
        if (!text.empty()) print_(text);
    }
}

void SingleBridge::Observe() {
    TBridge& bridge = session_.Bridge();
    bridge.OnNotice = [this](TBridgeNotice kind, const std::string& text) {
        parts_.Counters()->Noticed(kind);
        if (kind == TBridgeNotice::Trouble) {
            if (!text.empty()) status_.SetDetail(text);
        } else if (!text.empty()) {
            print_(text);
        }
    };
    if (options_.log) {
        bridge.OnReceived = [this](TBridgeDirection direction, const std::string& bytes) {
            PrintBlock(direction == TBridgeDirection::TcpToCom ? "tcp>com" : "com>tcp", bytes, options_.format);
        };
    }

    TBridgeSession::Observers& on = session_.On;
    on.connectedToServer = [this](TCustomWinSocket*) { status_.ConnectedToServer(); };
    on.disconnectedFromServer = [this](bool) { status_.DisconnectedFromServer(); };
    on.clientConnected = [this](TCustomWinSocket* socket) {
        status_.ClientConnected(socket);
        hadClients_ = true;
    };
    on.clientDisconnected = [this](TCustomWinSocket* socket, int remaining) {
        if (remaining == 0) hadClients_ = false;
        status_.ClientDisconnected(socket);
    };
    on.socketError = [this](TCustomWinSocket* socket, const std::string& text, int code, bool accepted) {
        status_.SocketError(socket, text, code, accepted);
    };
    on.portLost = [this] {
        parts_.PortLost();
        status_.PortLost(true);
    };
    on.portBack = [this] { status_.PortBack(); };
    on.wantPort = [this] { return portWanted_; };
    // In server mode the capture says which client; in client mode there is one.
    parts_.Wire(mode_ == 1, mode_ == 2);
}

std::string SingleBridge::SetUp() {
    Observe();
    // A burst of connections is each accepted or refused, never left waiting unseen.
    TServerSocket& server = session_.Server();
    server.WinSocket()->SetListenQueue(SOMAXCONN);
    if (options_.listenAddress) {
        ListenAddress where;
        ResolveListenAddress(HostPort(*options_.listenAddress, port_), where);
        server.SetAddress(*options_.listenAddress);
        server.WinSocket()->SetListenAddresses(where.addresses);
    }

    const std::optional<std::string> serial =
        options_.serial.empty() ? std::nullopt : std::optional(options_.serial);
    const LineSettings line{serial, options_.baud, options_.dataBits, options_.parity, options_.stopBits,
                            options_.flow};
    if (serial && IsVirtualPortName(*serial)) {
        if (std::string why = parts_.MakeVirtualDevice(line, [](const std::string& text) { PrintLine(text); });
            !why.empty())
            return why;
        if (options_.rfc2217 && mode_ != 1)
            return "--rfc2217 with a virtual device is the client's side: it needs --mode client";
    }
    std::optional<TTlsSettings> tls;
    const bool tlsServer = !options_.tlsCert.empty() && mode_ == 2;
    if (tlsServer || (options_.tls && mode_ == 1))
        tls = TTlsSettings{tlsServer,   options_.tlsCert, options_.tlsKey, options_.tlsClientCa, options_.tlsCa,
                           host_,       options_.tlsMinVersion};
    try {
        parts_.MakeFilters(tls, [](const std::string& text) { PrintLine(text); });
    } catch (const std::exception& error) {
        return std::string("TLS: ") + error.what();
    }
    try {
        ApplyLineSettings(line, session_.Port());
    } catch (const std::exception& error) {
        return std::string("serial settings: ") + error.what();
    }
    return {};
}

std::string SingleBridge::Start() {
    printing_ = true;
    if (std::string failure = SetUp(); !failure.empty()) return failure;
    TComPort& port = session_.Port();
    // The port as after "Com-Port On", but with the reason kept when it fails.
    portWanted_ = true;
    try {
        port.SetConnected(true);
    } catch (const std::exception& error) {
        return "cannot open serial port " + port.Port() + ": " + error.what();
    }
    if (mode_ == 2) {
        // Listening first tells why a listen fails.
        try {
            std::int32_t number = 0;
            if (!TryStrToInt(port_, number) || number < 1 || number > 65535)
                return "'" + port_ + "' is not a TCP port";
            session_.Client().SetActive(false);
            session_.Server().SetPort(number);
            session_.Server().SetActive(true);
        } catch (const std::exception& error) {
            return "cannot listen on TCP port " + port_ + ": " + error.what();
        }
    }
    if (std::string failure = Connect(); !failure.empty()) return failure;
    TServerSocket& server = session_.Server();
    if (mode_ == 2 && !server.Address().empty())
        PrintLine("Listening on " + BoundText(server.WinSocket()->BoundAddresses()) + ", serial port " + port.Port());
    else if (mode_ == 2)
        PrintLine("Listening on TCP port " + port_ + ", serial port " + port.Port());
    else if (mode_ == 1)
        PrintLine("Connecting to " + HostPort(host_, port_) + ", serial port " + port.Port());
    else
        PrintLine(std::string("TCP mode ") + ModeName(mode_) + ", serial port " + port.Port());
    return {};
}

std::string SingleBridge::Connect() {
    // As the window's "TCP Connect" does it, with the port already open.
    status_.portClosedByDisconnect = false;
    status_.Refresh();
    try {
        switch (mode_) {
            case 1:
                session_.Client().SetHost(host_);
                session_.Client().SetPort(TcpPortFromText(port_));
                // Before the attempt: an empty host ends it inside the assignment.
                session_.Bridge().Connecting(true);
                session_.Client().SetActive(true);
                break;
            case 2:
                session_.Bridge().Connecting(false);
                session_.Client().SetActive(false);
                break;
            default:
                session_.Bridge().Connecting(false);
                session_.Client().SetActive(false);
                session_.Server().SetActive(false);
                break;
        }
        if (mode_ != 1) status_.Refresh();
    } catch (const std::exception& error) {
        status_.SetDetail(dynamic_cast<const EComPort*>(&error) ? status_.OpenFailureText(error)
                                                                 : std::string(error.what()));
        Application().MessageBox(sConnectFailed, sConnectFailedCaption, MB_OK);
        return "the connection could not be started";
    }
    return {};
}

void SingleBridge::Disconnect() {
    // As the window's "TCP Disconnect": the server tells nobody of its clients, so
    // the status says itself that they are gone.
    session_.StopPortRetry();
    session_.CloseTcp();
    session_.Port().SetConnected(false);
    status_.TcpClosed(hadClients_);
    hadClients_ = false;
    status_.portClosedByDisconnect = true;
    status_.Refresh();
}

ServiceStatus SingleBridge::Status() const {
    ServiceStatus status;
    status.bridges = 1;
    if (!session_.Port().Connected()) status.portsWaiting = 1;
    if (mode_ == 2) status.clients = session_.Clients();
    if (mode_ == 1) (session_.ServerConnected() ? status.serverConnections : status.connecting) = 1;
    return status;
}

}  // namespace portvale::headless
