#include "headless/ServiceBridge.h"

#include <cstring>
#include <filesystem>

#include "app/MessageFormat.h"
#include "app/BridgeTexts.h"
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

constexpr std::uint32_t kListenRetryMs = 5000;
// Enough to keep a port and a connection busy (the kernel's buffers do the rest);
// small enough that a service of many bridges stays small while all of them run.
constexpr TQueueMarks kServiceMarks{16 << 10, 4 << 10};

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
    }
    session_ = std::make_unique<TBridgeSession>();
    parts_ = std::make_unique<UnattendedParts>(*session_, config_, capture_.get(), print_);
    counters_ = parts_->Counters();
    TComPort& port = session_->Port();
    // The window's starting line, but without parity: a file's bridge says what it wants.
    ApplyStartingLine(port);
    port.Parity().SetBits(prNone);
    const LineSettings line{config_.serial, config_.baud, config_.dataBits, config_.parity, config_.stopBits,
                            config_.flow};
    ApplyLineSettings(line, port);
    if (IsVirtualPortName(config_.serial))
        if (const std::string why = parts_->MakeVirtualDevice(line, print_); !why.empty()) print_(why);
    // A burst of connections is each accepted or refused, never left waiting unseen.
    session_->Server().WinSocket()->SetListenQueue(SOMAXCONN);
    listenRetry_ = std::make_unique<TTimer>(nullptr);
    listenRetry_->SetEnabled(false);
    listenRetry_->SetInterval(kListenRetryMs);
    listenRetry_->OnTimer = [this](TObject*) { Listen(); };
    Observe();

    // A virtual device that could not be made will not appear by itself.
    if (!IsVirtualPortName(config_.serial) || parts_->HasVirtualDevice()) OpenPort();
    if (!config_.listen.empty()) {
        Listen();
    } else {
        Connect();
    }
}

ServiceBridge::~ServiceBridge() {
    parts_->Stop();
    listenRetry_->SetEnabled(false);
    Guarded([&] {
        session_->CloseTcp();
        session_->Port().SetConnected(false);
    });
    parts_.reset();
    session_.reset();
    if (capture_) capture_->Drain();
    // The metrics endpoint may read the counters after the capture is gone.
    counters_->CaptureLossFrom(nullptr);
}

void ServiceBridge::Observe() {
    TBridge& b = session_->Bridge();
    b.SetMarks(kServiceMarks);
    b.OnNotice = [this](TBridgeNotice kind, const std::string& text) {
        counters_->Noticed(kind);
        if (!text.empty()) print_(text);
    };
    if (config_.log)
        b.OnReceived = [this](TBridgeDirection direction, const std::string& bytes) { PrintBlock(direction, bytes); };

    TBridgeSession::Observers& on = session_->On;
    on.portLost = [this] {
        parts_->PortLost();
        print_(Format(sComPortLostRetrying, config_.serial.c_str()));
    };
    on.portBack = [this] {
        print_(Format(portWasOpen_ ? sComPortBack : "Com port opened: %s", config_.serial.c_str()));
        portWasOpen_ = true;
    };
    on.connectedToServer = [this](TCustomWinSocket* s) { print_(std::string(sConnectedToServer) + " " + PeerText(*s)); };
    // A failed attempt ends this way too; its reason is already told.
    on.disconnectedFromServer = [this](bool wasUp) {
        if (wasUp) print_(sDisconnectedFromServer);
    };
    on.socketError = [this](TCustomWinSocket* s, const std::string& text, int code, bool accepted) {
        print_(accepted ? Format(sClientError, parts_->Peer(s).c_str(), text.c_str(), code)
                        : Format("%s (%d)", text.c_str(), code));
    };
    on.clientConnected = [this](TCustomWinSocket* s) { print_(std::string(sClientConnected) + " " + PeerText(*s)); };
    on.clientDisconnected = [this](TCustomWinSocket* s, int) {
        print_(std::string(sClientDisconnected) + " " + parts_->Peer(s));
    };
    parts_->Wire(!config_.connect.empty(), true);

    std::optional<TTlsSettings> tls;
    if (TlsEnabled(config_)) {
        std::string host;
        int port = 0;
        if (!config_.connect.empty()) SplitAddressPort(config_.connect, host, port);
        tls = TTlsSettings{config_.connect.empty(), config_.tlsCert, config_.tlsKey, config_.tlsClientCa,
                           config_.tlsCa, host, config_.tlsMinVersion};
    }
    parts_->MakeFilters(tls, print_);
}

void ServiceBridge::OpenPort() {
    std::string why;
    if (session_->OpenPort(why)) {
        portWasOpen_ = true;
        return;
    }
    print_(Format(sCannotOpenPort, config_.serial.c_str(), why.c_str()) + "; opening it when it appears");
    session_->RetryPort();
}

void ServiceBridge::Listen() {
    try {
        session_->Server().WinSocket()->SetListenAddresses(listen_.addresses);
        session_->Server().SetPort(listen_.port);
        session_->Server().SetActive(true);
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
    print_("Listening on " + BoundText(session_->Server().WinSocket()->BoundAddresses()) + ", serial port " + config_.serial);
}

void ServiceBridge::Connect() {
    std::string host;
    int port = 0;
    SplitAddressPort(config_.connect, host, port);
    session_->Client().SetHost(host);
    session_->Client().SetPort(port);
    print_("Connecting to " + HostPort(host, std::to_string(port)) + ", serial port " + config_.serial);
    session_->Bridge().Connecting(true);
    Guarded([&] { session_->Client().SetActive(true); });
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

std::string ServiceBridge::CountersLine() const {
    return "Counters: " + counters_->Line();
}

}  // namespace portvale::headless
