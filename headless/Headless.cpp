#include "headless/Headless.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>

#include "app/unPortvale.h"
#include "framework/Application.h"
#include "framework/SysUtils.h"
#include "headless/BridgeFilters.h"
#include "headless/CaptureFile.h"
#include "headless/ConnectionWatch.h"
#include "headless/HostPort.h"
#include "headless/Counters.h"
#include "headless/EventChain.h"
#include "headless/HeadlessOptions.h"
#include "headless/LineSettings.h"
#include "headless/ListenAddress.h"
#include "headless/Metrics.h"
#include "headless/MetricsServer.h"
#include "headless/Reconnect.h"
#include "headless/Service.h"
#include "headless/ServiceManager.h"
#include "headless/VirtualSerial.h"
#include "platform/Dispatcher.h"

namespace portvale::headless {

void PrintLine(const std::string& text) {
    const std::string line = LocalTimeStamp() + " " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

namespace {

// Message boxes become lines on standard error; the first box of the run is kept
// so the start-up can tell whether the connect command failed.
class ConsoleInteraction : public IInteraction {
public:
    int MessageBox(const std::string& text, const std::string& caption, unsigned) override {
        PrintLine(caption + ": " + text);
        ++shown;
        return IDOK;
    }
    int shown = 0;
};

// Prints a status panel's text whenever it changes.
class StatusPrinter : public TControlPeer {
public:
    StatusPrinter(TStatusBar& bar, std::function<void(const std::string&)> print)
        : bar_(bar), print_(std::move(print)), last_(static_cast<std::size_t>(bar.PanelCount())) {}
    void Changed(TChange what) override {
        if (what != TChange::Panels) return;
        for (int i = 0; i < bar_.PanelCount(); ++i) {
            const std::string& text = bar_.Panel(i).Text;
            if (text == last_[static_cast<std::size_t>(i)]) continue;
            last_[static_cast<std::size_t>(i)] = text;
            if (!text.empty()) print_(text);
        }
    }

private:
    TStatusBar& bar_;
    const std::function<void(const std::string&)> print_;
    std::vector<std::string> last_;
};

// Prints a block that arrived, rendered in the chosen format and marked with its
// direction.
void PrintBlock(const char* mark, const std::string& bytes, int format) {
    std::string line = mark;
    line += ' ';
    line += FormatBytes(bytes, format);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

const char* ModeName(int mode) {
    switch (mode) {
        case 1: return "client";
        case 2: return "server";
        default: return "off";
    }
}

// Opens what the run needs; an empty text when all is started, else the reason.
std::string Start(TForm1& form, ConsoleInteraction& console) {
    // The serial port as after "Com-Port On", but with the reason kept when it fails.
    form.ComPortOn = 1;
    form.btnComPortOn->SetDown(true);
    form.btnComPortOff->SetDown(false);
    try {
        form.ComPort1->SetConnected(true);
    } catch (const std::exception& error) {
        return "cannot open serial port " + form.ComPort1->Port() + ": " + error.what();
    }
    const int mode = form.grpTCPSocketType->ItemIndex();
    if (mode == 2) {
        // Listening first tells why a listen fails; the connect command then finds
        // the server already listening on that port.
        try {
            std::int32_t port = 0;
            if (!TryStrToInt(form.txbPort->Text(), port) || port < 1 || port > 65535)
                return "'" + form.txbPort->Text() + "' is not a TCP port";
            form.ClientSocket1->SetActive(false);
            form.ServerSocket1->SetPort(port);
            form.ServerSocket1->SetActive(true);
        } catch (const std::exception& error) {
            return "cannot listen on TCP port " + form.txbPort->Text() + ": " + error.what();
        }
    }
    const int boxesBefore = console.shown;
    Guarded([&] { form.btnConnectClick(&form); });
    if (console.shown != boxesBefore) return "the connection could not be started";
    if (!form.ComPort1->Connected()) return "cannot open serial port " + form.ComPort1->Port();
    if (mode == 2 && !form.ServerSocket1->Address().empty())
        PrintLine("Listening on " + BoundText(form.ServerSocket1->WinSocket()->BoundAddresses()) + ", serial port " +
                  form.ComPort1->Port());
    else if (mode == 2)
        PrintLine("Listening on TCP port " + form.txbPort->Text() + ", serial port " + form.ComPort1->Port());
    else if (mode == 1)
        PrintLine("Connecting to " + HostPort(form.txbHost->Text(), form.txbPort->Text()) + ", serial port " +
                  form.ComPort1->Port());
    else
        PrintLine(std::string("TCP mode ") + ModeName(mode) + ", serial port " + form.ComPort1->Port());
    return {};
}

}  // namespace

std::string LocalTimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return Format("%s.%03d", text, static_cast<int>(millis));
}

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGHUP);
    return set;
}

int HandledSignalsFd() {
    const sigset_t set = HandledSignals();
    const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) std::perror("portvale: signalfd");
    return fd;
}

void RunUntilStopSignal(int signals, ServiceManager& manager, const std::function<bool(std::uint32_t)>& handle) {
    Dispatcher& dispatcher = Dispatcher::Instance();
    bool stop = false;
    const auto watch = dispatcher.WatchFd(signals, EPOLLIN, [&](std::uint32_t) {
        signalfd_siginfo info{};
        while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (handle(info.ssi_signo)) continue;
            const std::string why = std::string("Stopping on ") + SignalName(info.ssi_signo);
            PrintLine(why);
            manager.Stopping(why);
            stop = true;
        }
    });
    while (!stop) dispatcher.RunUntil([&] { return stop; }, Dispatcher::Clock::now() + std::chrono::hours(1));
    dispatcher.Unwatch(watch);
}

const char* SignalName(std::uint32_t signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        case SIGUSR1: return "SIGUSR1";
        default: return "a signal";
    }
}

namespace {

std::string CountersLine(const BridgeCounters& counters) {
    return "Counters: " + counters.Line();
}

ServiceStatus FormStatus(TForm1& form) {
    ServiceStatus status;
    status.bridges = 1;
    if (!form.ComPort1->Connected()) status.portsWaiting = 1;
    TBridge& bridge = form.Bridge();
    switch (form.grpTCPSocketType->ItemIndex()) {
        case 2: status.clients = bridge.RemainingClients(bridge.Leaving()); break;
        case 1: {
            const TCustomWinSocket* socket = form.ClientSocket1->WinSocket();
            const bool up = form.ClientSocket1->Active() && socket->IsConnected() && socket != bridge.Leaving();
            (up ? status.serverConnections : status.connecting) = 1;
            break;
        }
        default: break;
    }
    return status;
}

}  // namespace

void BlockTerminationSignals() {
    const sigset_t set = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int RunHeadless(const std::vector<std::string>& args) {
    const ParseResult parsed = ParseOptions(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "portvale: %s\n", parsed.error.c_str());
        return 2;
    }
    Options options = parsed.options;
    // Named relative to where the user is, not to --dir.
    for (std::string* file : {&options.tlsCert, &options.tlsKey, &options.tlsClientCa, &options.tlsCa})
        if (!file->empty()) *file = std::filesystem::absolute(*file).string();
    const Options& o = options;
    if (o.help) {
        std::fputs(HeadlessUsage().c_str(), stdout);
        return 0;
    }
    if (o.config) return RunService(*o.config);
    // Before the capture's thread starts, so that it inherits the mask too.
    BlockTerminationSignals();
    // A capture that reaches RLIMIT_FSIZE is a full disk to report and go on from,
    // not the end of the program (SIGXFSZ's default).
    ::signal(SIGXFSZ, SIG_IGN);
    std::unique_ptr<CaptureFile> capture;
    if (o.capture) {
        // Opened before --dir changes the directory: a relative name is the user's.
        try {
            capture = std::make_unique<CaptureFile>(
                CaptureFile::Settings{std::filesystem::absolute(*o.capture).string(),
                                      static_cast<std::uint64_t>(o.captureMaxMb) * kCaptureMegabyte},
                [](const std::string& line) { PrintLine(line); });
        } catch (const std::exception& error) {
            std::fprintf(stderr, "portvale: %s\n", error.what());
            return 1;
        }
    }
    if (o.dir) {
        std::error_code error;
        std::filesystem::current_path(*o.dir, error);
        if (error) {
            std::fprintf(stderr, "portvale: --dir: cannot use '%s': %s\n", o.dir->c_str(), error.message().c_str());
            return 2;
        }
    }

    const int signals = HandledSignalsFd();
    if (signals < 0) return 1;

    Dispatcher& dispatcher = Dispatcher::Instance();
    dispatcher.BindToCurrentThread();
    Application().Title = "Portvale";
    ConsoleInteraction console;
    Application().SetInteraction(&console);

    int exitCode = 0;
    {
        // Made before the form and gone after it, as the form's lines tell it of changes.
        TForm1* started = nullptr;
        ServiceManager manager([&] { return started ? FormStatus(*started) : ServiceStatus{}; });
        // Every change of the bridge's state is a line: the status is looked at again.
        const auto print = [&manager](const std::string& line) {
            PrintLine(line);
            manager.Changed();
        };
        std::unique_ptr<TForm1> form = TForm1::CreateMainWindow();
        StatusPrinter status(*form->stat1, print);
        form->stat1->SetPeer(&status);
        Guarded([&] { form->Show(); });

        if (o.mode) form->grpTCPSocketType->SetItemIndex(*o.mode);
        if (o.host) form->txbHost->SetText(*o.host);
        if (o.port) form->txbPort->SetText(*o.port);
        form->rdIncomingFormat->SetItemIndex(o.format);
        if (o.log) {
            form->OnReceived = [&form](TBridgeDirection direction, const std::string& bytes) {
                PrintBlock(direction == TBridgeDirection::TcpToCom ? "tcp>com" : "com>tcp", bytes,
                           form->IncomingFormat);
            };
        }
        // Nothing shows the panes here; the log prints each block as it comes.
        form->ShowBlocks = false;

        // The unattended-operation features, watching the form from outside.
        const int mode = form->grpTCPSocketType->ItemIndex();
        // Shared with the metrics endpoint's thread, which reads them while they count.
        const auto sharedCounters = std::make_shared<BridgeCounters>();
        BridgeCounters& counters = *sharedCounters;
        // The capture outlives the counters' every reader: the endpoint ends in this block.
        if (capture) counters.CaptureLossFrom([&capture] { return capture->LostBytes(); });
        ConnectionWatch connections(*form->ClientSocket1, *form->ServerSocket1, o.keepAliveSeconds, counters, print);
        EventChain<void(TObject*)> portLosses(form->ComPort1->OnPortLost, [&](TObject*) {
            counters.PortLost();
            counters.PortOpenNow(false);
        });
        EventChain<void(TObject*)> portOpened(form->ComPort1->OnAfterOpen,
                                              [&](TObject*) { counters.PortOpenNow(true); });
        EventChain<void(TObject*)> portClosed(form->ComPort1->OnAfterClose,
                                              [&](TObject*) { counters.PortOpenNow(false); });
        form->Bridge().OnForward = [&](TBridgeDirection direction, TCustomWinSocket* socket, const std::string& bytes) {
            counters.Forwarded(direction, bytes.size());
            // In server mode the capture says which client; in client mode there is one.
            if (capture) capture->Add(DirectionMark(direction), mode == 2 ? connections.Peer(socket) : "", bytes);
        };
        form->Bridge().OnDrop = [&](TBridgeDirection direction, const char* reason, std::size_t bytes) {
            counters.Dropped(direction, reason, bytes);
        };
        std::unique_ptr<ClientReconnector> reconnector;
        if (mode == 1 && o.reconnectSeconds > 0)
            reconnector = std::make_unique<ClientReconnector>(
                *form->ClientSocket1, std::chrono::seconds(o.reconnectSeconds), print,
                [&] { counters.ReconnectAttempt(); });
        // Another connection is always coming: the device's bytes wait for it.
        form->Bridge().HoldSerialBetweenConnections = reconnector != nullptr;

        // Who may connect, and how many at once.
        TBridge& bridge = form->Bridge();
        static_assert(kAnyNumberOfClients == TClientPolicy::kUnlimited);
        bridge.Policy.clients = o.clients;
        bridge.Policy.share = o.share;
        bridge.Policy.kickOld = o.kickOld;
        bridge.Policy.maxLag = static_cast<std::size_t>(o.maxLag);
        bridge.Access = TPeerAccess::Parse(o.allow);
        // A burst of connections is each accepted or refused, never left waiting unseen.
        form->ServerSocket1->WinSocket()->SetListenQueue(SOMAXCONN);
        if (o.listenAddress) {
            ListenAddress where;
            ResolveListenAddress(HostPort(*o.listenAddress, o.port.value_or("")), where);
            form->ServerSocket1->SetAddress(*o.listenAddress);
            form->ServerSocket1->WinSocket()->SetListenAddresses(where.addresses);
        }
        const TNoticeEvent formNotice = bridge.OnNotice;
        bridge.OnNotice = [&](TBridgeNotice kind, const std::string& text) {
            counters.Noticed(kind);
            if (kind == TBridgeNotice::Trouble)
                formNotice(kind, text);
            else if (!text.empty())
                print(text);
        };

        // A virtual device is made before the port opens it, and goes after the port.
        std::unique_ptr<VirtualSerial> virtualSerial;
        const std::optional<std::string> serial = o.serial.empty() ? std::nullopt : std::optional(o.serial);
        const LineSettings lineSettings{serial, o.baud, o.dataBits, o.parity, o.stopBits, o.flow};
        std::string failure;
        if (serial && IsVirtualPortName(*serial)) {
            try {
                virtualSerial = std::make_unique<VirtualSerial>(
                    *serial, VirtualDeviceAccess{static_cast<mode_t>(o.ptyMode), o.ptyGroup}, RemoteLineOf(lineSettings),
                    [](const std::string& text) { PrintLine(text); });
            } catch (const std::exception& error) {
                failure = Format(sCannotOpenPort, serial->c_str(), error.what());
            }
        }
        // The settings are looked at before the data that follows them goes on.
        const auto formRxChar = form->ComPort1->OnRxChar;
        if (virtualSerial) {
            form->ComPort1->OnRxChar = [&virtualSerial, formRxChar](TObject* sender, std::int32_t count) {
                virtualSerial->Check();
                formRxChar(sender, count);
            };
        }

        std::unique_ptr<BridgeFilters> filters;
        std::optional<TTlsSettings> tls;
        const bool tlsServer = !o.tlsCert.empty() && mode == 2;
        if (tlsServer || (o.tls && mode == 1))
            tls = TTlsSettings{tlsServer, o.tlsCert, o.tlsKey, o.tlsClientCa, o.tlsCa, form->txbHost->Text(),
                               o.tlsMinVersion};
        if (failure.empty() && virtualSerial && o.rfc2217 && mode != 1)
            failure = "--rfc2217 with a virtual device is the client's side: it needs --mode client";
        if (failure.empty()) {
            try {
                filters = std::make_unique<BridgeFilters>(
                    form->Bridge(), *form->ComPort1, tls, o.rfc2217, [](const std::string& text) { PrintLine(text); },
                    counters, virtualSerial.get());
            } catch (const std::exception& error) {
                failure = std::string("TLS: ") + error.what();
            }
        }
        if (failure.empty()) {
            try {
                ApplyLineSettings(lineSettings, *form->ComPort1);
            } catch (const std::exception& error) {
                failure = std::string("serial settings: ") + error.what();
            }
        }
        if (failure.empty()) failure = Start(*form, console);

        if (failure.empty()) {
            std::unique_ptr<MetricsServer> metrics;
            if (o.metrics) {
                const auto registry = std::make_shared<MetricsRegistry>();
                registry->Set(PortLabel(form->ComPort1->Port()), sharedCounters);
                metrics = std::make_unique<MetricsServer>(*o.metrics, registry,
                                                          [](const std::string& line) { PrintLine(line); });
            }
            started = form.get();
            manager.Ready();
            RunUntilStopSignal(signals, manager, [&](std::uint32_t signal) {
                if (signal != SIGUSR1) return false;
                PrintLine(CountersLine(counters));
                return true;
            });
            started = nullptr;
        } else {
            PrintLine("portvale: " + failure);
            manager.Stopping("Not started: " + failure);
            exitCode = 1;
        }

        // A clean end: the peer sees the connection close, the device is released.
        if (reconnector) reconnector->Stop();
        Guarded([&] { form->btnDisconnectClick(form.get()); });
        form->Bridge().OnForward = nullptr;
        form->Bridge().OnDrop = nullptr;
        form->OnReceived = nullptr;
        form->Bridge().OnNotice = formNotice;
        filters.reset();
        form->ComPort1->OnRxChar = formRxChar;
        if (capture) capture->Drain();
        if (failure.empty()) PrintLine(CountersLine(counters));
        form->stat1->SetPeer(nullptr);
    }
    Application().SetInteraction(nullptr);
    ::close(signals);
    return exitCode;
}

}  // namespace portvale::headless
