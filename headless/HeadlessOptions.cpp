#include "headless/HeadlessOptions.h"

#include <array>
#include <utility>

#include "app/PeerAccess.h"
#include "comport/ComTypes.h"
#include "framework/SysUtils.h"
#include "headless/ListenAddress.h"
#include "headless/ServiceConfig.h"
#include "platform/sockets/WinSock.h"

namespace portvale::headless {

namespace {

template <std::size_t N>
std::optional<int> Choose(const std::string& value, const std::array<std::pair<const char*, int>, N>& choices) {
    for (const auto& [name, index] : choices)
        if (value == name) return index;
    return std::nullopt;
}

template <std::size_t N>
std::string Allowed(const std::array<std::pair<const char*, int>, N>& choices) {
    std::string out;
    for (const auto& [name, index] : choices) out += (out.empty() ? "" : "|") + std::string(name);
    return out;
}

const std::array<std::pair<const char*, int>, 3> kModes{{{"off", 0}, {"client", 1}, {"server", 2}}};
const std::array<std::pair<const char*, int>, 5> kParities{
    {{"none", prNone}, {"odd", prOdd}, {"even", prEven}, {"mark", prMark}, {"space", prSpace}}};
const std::array<std::pair<const char*, int>, 3> kStopBits{
    {{"1", sbOneStopBit}, {"1.5", sbOne5StopBits}, {"2", sbTwoStopBits}}};
const std::array<std::pair<const char*, int>, 3> kFlows{
    {{"none", fcNone}, {"hardware", fcHardware}, {"software", fcSoftware}}};
const std::array<std::pair<const char*, int>, 4> kDataBits{{{"5", 5}, {"6", 6}, {"7", 7}, {"8", 8}}};
const std::array<std::pair<const char*, int>, 4> kFormats{
    {{"string", 0}, {"binary", 1}, {"decimal", 2}, {"hex", 3}}};

}  // namespace

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    // Options of one bridge, which a configuration file's bridges cannot take.
    std::string bridgeOption;
    bool modeGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        auto flag = [&]() {
            if (inlineValue) result.error = name + " takes no value";
            return result.error.empty();
        };
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        auto number = [&](int& target, int low, int high, const char* what) {
            const auto v = value();
            if (!v) return;
            std::int32_t n;
            if (TryStrToInt(*v, n) && n >= low && n <= high)
                target = n;
            else
                result.error = name + ": '" + *v + "' is not " + what;
        };
        auto choice = [&](std::optional<int>& target, const auto& choices) {
            const auto v = value();
            if (!v) return;
            target = Choose(*v, choices);
            if (!target) result.error = name + ": '" + *v + "' is not one of " + Allowed(choices);
        };
        if (name != "--headless" && name != "--help" && name != "-h" && name != "--config" && name != "--metrics" &&
            bridgeOption.empty())
            bridgeOption = name;
        if (name == "--headless") {
            flag();
        } else if (name == "--config") {
            if (auto v = value()) {
                if (v->empty())
                    result.error = name + " needs a file name";
                else
                    o.config = *v;
            }
        } else if (name == "--listen") {
            if (auto v = value()) {
                std::string address;
                int port = 0;
                ListenAddress where;
                if (!SplitAddressPort(*v, address, port) || address.empty())
                    result.error = name + ": '" + *v + "' is not ADDRESS:PORT (127.0.0.1:4001, [::1]:4001)";
                else if (const std::string why = ResolveListenAddress(*v, where); !why.empty())
                    result.error = name + ": " + why;
                else {
                    o.listenAddress = address;
                    o.port = IntToStr(port);
                }
            }
        } else if (name == "--metrics") {
            if (auto v = value()) {
                std::string address;
                int port = 0;
                if (SplitAddressPort(*v, address, port) && !address.empty())
                    o.metrics = *v;
                else
                    result.error = name + ": '" + *v + "' is not ADDRESS:PORT (127.0.0.1:9187, [::1]:9187)";
            }
        } else if (name == "--clients") {
            int clients = 0;
            number(clients, 1, 65535, "a number of clients (1 to 65535)");
            if (result.error.empty()) o.clients = clients;
        } else if (name == "--tls") {
            o.tls = flag();
        } else if (name == "--tls-cert" || name == "--tls-key" || name == "--tls-client-ca" || name == "--tls-ca") {
            if (auto v = value()) {
                if (v->empty()) result.error = name + " needs a file name";
                std::string& target = name == "--tls-cert" ? o.tlsCert
                                      : name == "--tls-key" ? o.tlsKey
                                      : name == "--tls-client-ca" ? o.tlsClientCa
                                                                  : o.tlsCa;
                target = *v;
            }
        } else if (name == "--share") {
            o.share = flag();
        } else if (name == "--kick-old") {
            o.kickOld = flag();
        } else if (name == "--max-lag") {
            if (auto v = value()) {
                long long lag = -1;
                if (!v->empty() && v->size() <= 13 && v->find_first_not_of("0123456789") == std::string::npos)
                    lag = std::stoll(*v);
                if (lag >= 1 && lag <= (1LL << 40))
                    o.maxLag = static_cast<std::uint64_t>(lag);
                else
                    result.error = name + ": '" + *v + "' is not a number of bytes (1 to 2^40)";
            }
        } else if (name == "--allow") {
            if (auto v = value()) {
                for (std::size_t start = 0; start <= v->size();) {
                    const std::size_t comma = std::min(v->find(',', start), v->size());
                    const std::string entry = v->substr(start, comma - start);
                    if (!TPeerAccess::Valid(entry)) {
                        result.error = name + ": '" + entry + "' is not an address or a network (10.0.0.0/8, ::1)";
                        break;
                    }
                    o.allow.push_back(entry);
                    start = comma + 1;
                }
            }
        } else if (name == "--help" || name == "-h") {
            o.help = flag();
        } else if (name == "--log") {
            o.log = flag();
        } else if (name == "--rfc2217") {
            o.rfc2217 = flag();
        } else if (name == "--dir") {
            if (auto v = value()) o.dir = *v;
        } else if (name == "--host") {
            if (auto v = value()) o.host = *v;
        } else if (name == "--serial") {
            if (auto v = value()) o.serial = *v;
        } else if (name == "--port") {
            if (auto v = value()) {
                std::int32_t port;
                if (TryStrToInt(*v, port) && port >= 0 && port <= 65535)
                    o.port = IntToStr(port);
                else
                    result.error = name + ": '" + *v + "' is not a TCP port (0 to 65535)";
            }
        } else if (name == "--baud") {
            if (auto v = value()) {
                std::int32_t baud;
                if (TryStrToInt(*v, baud) && baud > 0)
                    o.baud = baud;
                else
                    result.error = name + ": '" + *v + "' is not a positive number of bits per second";
            }
        } else if (name == "--mode") {
            choice(o.mode, kModes);
            modeGiven = true;
        } else if (name == "--data-bits") {
            choice(o.dataBits, kDataBits);
        } else if (name == "--parity") {
            choice(o.parity, kParities);
        } else if (name == "--stop-bits") {
            choice(o.stopBits, kStopBits);
        } else if (name == "--flow") {
            choice(o.flow, kFlows);
        } else if (name == "--format") {
            std::optional<int> format;
            choice(format, kFormats);
            if (format) o.format = *format;
        } else if (name == "--reconnect") {
            number(o.reconnectSeconds, 0, 24 * 3600, "a number of seconds (0 to 86400)");
        } else if (name == "--keepalive") {
            number(o.keepAliveSeconds, 0, ws::kMaxKeepAliveSeconds, "a number of seconds (0 to 32767)");
        } else if (name == "--capture") {
            if (auto v = value()) {
                if (v->empty())
                    result.error = name + " needs a file name";
                else
                    o.capture = *v;
            }
        } else if (name == "--capture-max") {
            number(o.captureMaxMb, 0, 1000 * 1000, "a size in MB (0 to 1000000)");
        } else {
            result.error = "unknown option '" + args[i] + "' (see --headless --help)";
        }
        if (!result.error.empty()) return result;
    }
    if (o.captureMaxMb != 0 && !o.capture) result.error = "--capture-max needs --capture";
    if (o.config && !bridgeOption.empty())
        result.error = "--config takes every bridge from the file; " + bridgeOption + " belongs there";
    // One place for it, which a reload reads again.
    if (result.error.empty() && o.config && o.metrics)
        result.error = "--config takes the metrics address from the file: metrics = \"" + *o.metrics +
                       "\" in its [service] table";
    if (result.error.empty() && o.tlsCert.empty() != o.tlsKey.empty())
        result.error = "--tls-cert and --tls-key go together";
    if (result.error.empty() && !o.tlsClientCa.empty() && o.tlsCert.empty())
        result.error = "--tls-client-ca needs --tls-cert and --tls-key";
    if (result.error.empty() && !o.tlsCa.empty() && !o.tls) result.error = "--tls-ca needs --tls";
    if (o.listenAddress) {
        if (modeGiven && o.mode != 2)
            result.error = "--listen is server mode";
        o.mode = 2;
    }
    return result;
}

std::string HeadlessUsage() {
    return R"(Usage: portvale --headless [OPTION]...
Bridges a TCP connection and a serial port without a window. Starts as the window
does, from TCP.SET and comport.ini in the current directory (or --dir), turns the
serial port on for this run, connects or listens, and forwards every byte both ways
until it is stopped. Options override the settings files for this run only.

  --dir DIR           take the settings files from DIR
  --mode MODE         off|client|server
  --host HOST         server to connect to in client mode: a name, an IPv4
                      address or an IPv6 address (::1, fe80::1%eth0)
  --port PORT         TCP port to connect to, or to listen on in server mode
                      (on every IPv4 and IPv6 address)
  --listen ADDR:PORT  server mode on one address only: 127.0.0.1:4001,
                      [::1]:4001, 0.0.0.0:4001 (every IPv4 address)
  --allow LIST        admit only these peers: addresses and networks separated
                      by commas (192.168.10.0/24,10.1.2.3,::1,fe80::/10); any
                      other is closed before a byte is read or sent, logged once
                      a minute per address and counted (refused_peers)
  --clients N         at most N clients at once (default: any number); one more
                      is refused, or see --kick-old
  --kick-old          a client beyond --clients closes the oldest one instead
  --share             the serial data goes to every client, not only the oldest;
                      every client's data goes to the serial port
  --max-lag BYTES     with --share, a client more than BYTES behind is
                      disconnected (lagging_disconnects) so that the others never
                      wait for it (default 1048576)
  --serial NAME       serial port: /dev/ttyUSB0, ttyUSB0, or COM1 (= /dev/ttyS0);
                      pty:PATH makes a virtual device, a pseudo-terminal that a
                      program opens as PATH (a link, removed at the end)
  --baud RATE         bits per second (any rate the device can make)
  --data-bits N       5|6|7|8
  --parity P          none|odd|even|mark|space
  --stop-bits S       1|1.5|2
  --flow F            none|hardware|software
  --log               print every forwarded block on standard output, marked
                      tcp>com or com>tcp
  --format F          string|binary|decimal|hex (for --log; default string)
  --reconnect SECONDS client mode: after a refused, failed or closed connection,
                      look the host up and connect again after SECONDS, for ever
                      (default 2; 0 = do not reconnect)
  --keepalive SECONDS probe an idle connection after SECONDS, so a peer that is
                      gone (pulled cable, frozen host) is dropped within about
                      twice SECONDS (default 60; 0 = off); in server mode the next
                      client then takes the serial data
  --capture FILE      write every forwarded block to FILE: local time with
                      microseconds, direction (tcp>com with the client's address
                      in server mode, com>tcp), length, and the bytes as hex and
                      text, one line per 16 bytes as in hexdump -C
  --capture-max MB    when FILE would pass MB megabytes (10^6 bytes), it becomes
                      FILE.1 (replacing the old one) and FILE starts afresh
                      (default 0 = no limit)
  --rfc2217           the TCP side speaks telnet with the COM-PORT-OPTION as an
                      RFC 2217 access server: the client sets the line (speed,
                      data bits, parity, stop bits, flow control, DTR, RTS,
                      break) and is told of modem and line state changes; with
                      a virtual device in client mode, Portvale is the RFC 2217
                      client and sets the far port as the program sets PATH
  --tls-cert FILE     server mode: speak TLS, with this certificate (PEM, its
                      chain after it); client mode with --tls: the client's
  --tls-key FILE      the certificate's private key (PEM)
  --tls-client-ca FILE  server mode: every client must present a certificate
                      signed by this CA (mutual TLS)
  --tls               client mode: speak TLS; the server's certificate must
                      chain to --tls-ca (default: the system's store) and carry
                      the --host name
  --tls-ca FILE       client mode: the CA of the server's certificate (PEM)
  --metrics ADDR:PORT serve the counters over HTTP (127.0.0.1:9187): GET
                      /metrics in Prometheus' text format, GET /status as JSON,
                      the bridge labelled with its serial port's name without
                      /dev/ (with --config: metrics in the file's [service])
  --config FILE       run every bridge of the TOML file FILE (see
                      /etc/portvale/portvale.toml); SIGHUP reads it again,
                      restarting only the bridges whose settings changed
  --help              show this text

Status changes and messages go to standard error, each line stamped with the local
time (with --config, each bridge's lines begin with its name in brackets). SIGUSR1
prints the counters there, one line of key=value pairs (bytes and blocks each way,
dropped blocks with the reason, connects, disconnects, port losses, refused peers and
clients, clients dropped for lag, TLS refusals); they are printed at the end too.
SIGINT (Ctrl+C) and SIGTERM close the serial ports and the sockets and end the
program with exit code 0; SIGHUP reads the --config file again (without --config it
stops the program as SIGTERM does). A capture file that cannot be written (a full
disk) is reported once and never stops the bridge.

Exit codes: 0 stopped by a signal; 1 the serial port could not be opened, the
connection could not be started or the capture file could not be created; 2 a bad
command line or configuration file.
)";
}

}  // namespace portvale::headless
