#include "headless/BridgeKeys.h"

#include "app/PeerAccess.h"
#include "comport/ComTypes.h"

namespace portvale::headless {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
// Spelled out for compilers and tools without C++20's deduction for aggregates.
template <class... F>
Overload(F...) -> Overload<F...>;

const KeyChoice kModes[] = {{"off", 0}, {"client", 1}, {"server", 2}};
const KeyChoice kParities[] = {
    {"none", prNone}, {"odd", prOdd}, {"even", prEven}, {"mark", prMark}, {"space", prSpace}};
const KeyChoice kStopBits[] = {{"1", sbOneStopBit}, {"1.5", sbOne5StopBits}, {"2", sbTwoStopBits}};
const KeyChoice kFlows[] = {{"none", fcNone}, {"hardware", fcHardware}, {"software", fcSoftware}};
const KeyChoice kFormats[] = {{"string", 0}, {"binary", 1}, {"decimal", 2}, {"hex", 3}};
const KeyChoice kTlsVersions[] = {{"1.2", 0}, {"1.3", 1}};

using B = BridgeConfig;
using K = KeyKind;

const BridgeKey kKeys[] = {
    {.name = "name", .kind = K::Name, .road = Road::File, .field = &B::name},
    {.name = "dir", .kind = K::Text, .road = Road::CommandLine, .metavar = "DIR",
     .help = "take the settings files from DIR"},
    {.name = "mode", .kind = K::Choice, .road = Road::CommandLine, .choices = kModes, .metavar = "MODE",
     .help = "{choices}"},
    {.name = "host", .kind = K::Text, .road = Road::CommandLine, .metavar = "HOST",
     .help = "server to connect to in client mode: a name, an IPv4\n"
             "address or an IPv6 address (::1, fe80::1%eth0)"},
    {.name = "port", .kind = K::Number, .road = Road::CommandLine, .low = 0, .high = 65535, .metavar = "PORT",
     .what = "a TCP port",
     .help = "TCP port to connect to, or to listen on in server mode\n"
             "(on every IPv4 and IPv6 address)"},
    {.name = "listen", .kind = K::Listen, .field = &B::listen, .metavar = "ADDR:PORT", .example = "127.0.0.1:4001",
     .help = "server mode on one address only: 127.0.0.1:4001,\n"
             "[::1]:4001, 0.0.0.0:4001 (every IPv4 address)"},
    {.name = "connect", .kind = K::Address, .road = Road::File, .field = &B::connect},
    {.name = "allow", .kind = K::Networks, .field = &B::allow, .metavar = "LIST",
     .help = "admit only these peers: addresses and networks separated\n"
             "by commas (192.168.10.0/24,10.1.2.3,::1,fe80::/10); any\n"
             "other is closed before a byte is read or sent, logged once\n"
             "a minute per address and counted (refused_peers)"},
    // A file's bridge serves one client unless told; the command line's single
    // bridge has always taken any number.
    {.name = "clients", .kind = K::Number, .field = &B::clients, .low = 1, .high = 65535, .metavar = "N",
     .what = "a number of clients", .commandLineDefault = kAnyNumberOfClients, .commandLineDefaultText = "any number",
     .help = "at most N clients at once (default: {default}); one more\n"
             "is refused, or see --kick-old"},
    {.name = "kick-old", .kind = K::Flag, .field = &B::kickOld,
     .help = "a client beyond --clients closes the oldest one instead"},
    {.name = "share", .kind = K::Flag, .field = &B::share,
     .help = "the serial data goes to every client, not only the oldest;\n"
             "every client's data goes to the serial port"},
    {.name = "max-lag", .kind = K::Number, .field = &B::maxLag, .low = 1, .high = std::int64_t{1} << 40,
     .metavar = "BYTES", .what = "a number of bytes",
     .help = "with --share, a client more than BYTES behind is\n"
             "disconnected (lagging_disconnects) so that the others never\n"
             "wait for it (default {default})"},
    {.name = "serial", .kind = K::File, .field = &B::serial, .metavar = "NAME", .what = "a device name",
     .help = "serial port: /dev/ttyUSB0, ttyUSB0, or COM1 (= /dev/ttyS0);\n"
             "pty:PATH makes a virtual device, a pseudo-terminal that a\n"
             "program opens as PATH (a link, removed at the end)"},
    {.name = "pty-mode", .kind = K::Permissions, .road = Road::File, .field = &B::ptyMode, .low = 0, .high = 0777},
    {.name = "pty-group", .kind = K::Text, .road = Road::File, .field = &B::ptyGroup},
    {.name = "baud", .kind = K::Number, .field = &B::baud, .low = 1, .high = kNoLimit, .metavar = "RATE",
     .what = "a positive number of bits per second", .help = "bits per second (any rate the device can make)"},
    {.name = "data-bits", .kind = K::Number, .field = &B::dataBits, .low = 5, .high = 8, .metavar = "N",
     .help = "{choices}"},
    {.name = "parity", .kind = K::Choice, .field = &B::parity, .choices = kParities, .metavar = "P",
     .help = "{choices}"},
    {.name = "stop-bits", .kind = K::Choice, .field = &B::stopBits, .choices = kStopBits, .metavar = "S",
     .help = "{choices}"},
    {.name = "flow", .kind = K::Choice, .field = &B::flow, .choices = kFlows, .metavar = "F", .help = "{choices}"},
    {.name = "log", .kind = K::Flag, .field = &B::log,
     .help = "print every forwarded block on standard output, marked\n"
             "tcp>com or com>tcp"},
    {.name = "format", .kind = K::Choice, .road = Road::CommandLine, .choices = kFormats, .metavar = "F",
     .help = "{choices} (for --log; default string)"},
    {.name = "reconnect", .kind = K::Number, .field = &B::reconnectSeconds, .low = 0, .high = std::int64_t{24} * 3600,
     .metavar = "SECONDS", .what = "a number of seconds",
     .help = "client mode: after a refused, failed or closed connection,\n"
             "look the host up and connect again after SECONDS, for ever\n"
             "(default {default}; 0 = do not reconnect)"},
    // The kernel takes no longer idle time.
    {.name = "keepalive", .kind = K::Number, .field = &B::keepAliveSeconds, .low = 0, .high = 32767,
     .metavar = "SECONDS", .what = "a number of seconds",
     .help = "probe an idle connection after SECONDS, so a peer that is\n"
             "gone (pulled cable, frozen host) is dropped within about\n"
             "twice SECONDS (default {default}; 0 = off); in server mode the next\n"
             "client then takes the serial data"},
    {.name = "capture", .kind = K::File, .field = &B::capture, .metavar = "FILE", .what = "a file name",
     .help = "write every forwarded block to FILE: local time with\n"
             "microseconds, direction (tcp>com with the client's address\n"
             "in server mode, com>tcp), length, and the bytes as hex and\n"
             "text, one line per 16 bytes as in hexdump -C"},
    {.name = "capture-max", .kind = K::Number, .field = &B::captureMaxMb, .low = 0, .high = 1 << 20, .metavar = "MB",
     .what = "a size in MB",
     .help = "when FILE would pass MB megabytes (10^6 bytes), it becomes\n"
             "FILE.1 (replacing the old one) and FILE starts afresh\n"
             "(default {default} = no limit)"},
    {.name = "rfc2217", .kind = K::Flag, .field = &B::rfc2217,
     .help = "the TCP side speaks telnet with the COM-PORT-OPTION as an\n"
             "RFC 2217 access server: the client sets the line (speed,\n"
             "data bits, parity, stop bits, flow control, DTR, RTS,\n"
             "break) and is told of modem and line state changes; with\n"
             "a virtual device in client mode, Portvale is the RFC 2217\n"
             "client and sets the far port as the program sets PATH"},
    {.name = "tls-cert", .kind = K::File, .field = &B::tlsCert, .metavar = "FILE", .what = "a file name",
     .help = "server mode: speak TLS, with this certificate (PEM, its\n"
             "chain after it); client mode with --tls: the client's"},
    {.name = "tls-key", .kind = K::File, .field = &B::tlsKey, .metavar = "FILE", .what = "a file name",
     .help = "the certificate's private key (PEM)"},
    {.name = "tls-client-ca", .kind = K::File, .field = &B::tlsClientCa, .metavar = "FILE", .what = "a file name",
     .help = "server mode: every client must present a certificate\n"
             "signed by this CA (mutual TLS)"},
    {.name = "tls", .kind = K::Flag, .field = &B::tls,
     .help = "client mode: speak TLS; the server's certificate must\n"
             "chain to --tls-ca (default: the system's store) and carry\n"
             "the --host name"},
    {.name = "tls-ca", .kind = K::File, .field = &B::tlsCa, .metavar = "FILE", .what = "a file name",
     .help = "client mode: the CA of the server's certificate (PEM)"},
    {.name = "tls-min-version", .kind = K::Choice, .road = Road::File, .field = &B::tlsMinVersion,
     .choices = kTlsVersions},
    {.name = "metrics", .kind = K::Address, .service = true, .metavar = "ADDR:PORT", .example = "127.0.0.1:9187",
     .help = "serve the counters over HTTP (127.0.0.1:9187): GET\n"
             "/metrics in Prometheus' text format, GET /status as JSON,\n"
             "the bridge labelled with its serial port's name without\n"
             "/dev/ (with --config: metrics in the file's [service])"},
};

std::int64_t NumberOf(const BridgeKey& key, const KeyValue& value) {
    if (key.kind == KeyKind::Choice) return FindChoice(key, std::get<std::string>(value))->value;
    return std::get<std::int64_t>(value);
}

std::string NumberText(const BridgeKey& key, std::int64_t n) {
    if (key.kind == KeyKind::Permissions) {
        std::string octal;
        for (; n > 0; n /= 8) octal.insert(octal.begin(), static_cast<char>('0' + n % 8));
        return "0o" + (octal.empty() ? "0" : octal);
    }
    for (const KeyChoice& c : key.choices)
        if (c.value == n) return c.name;
    return std::to_string(n);
}

// 2^40 rather than its thirteen digits.
std::string Big(std::int64_t n) {
    for (int shift = 32; shift < 63; ++shift)
        if (n == std::int64_t{1} << shift) return "2^" + std::to_string(shift);
    return std::to_string(n);
}

}  // namespace

std::span<const BridgeKey> BridgeKeys() { return kKeys; }

const BridgeKey* FindKey(std::string_view name, Road road) {
    for (const BridgeKey& key : kKeys)
        if (key.name == name && key.On(road)) return &key;
    return nullptr;
}

const KeyChoice* FindChoice(const BridgeKey& key, std::string_view name) {
    for (const KeyChoice& c : key.choices)
        if (c.name == name) return &c;
    return nullptr;
}

namespace {

// A control character in a name, a path or an address: a NUL would cut the text short
// where the system reads it ("10.0.0.1\0junk" admitting 10.0.0.1), and the others
// have no business there either. Empty when the text has none.
std::string ControlCharacter(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F) continue;
        static constexpr char kHex[] = "0123456789ABCDEF";
        return std::string("must not hold a control character (byte 0x") + kHex[c >> 4] + kHex[c & 15] + " at " +
               std::to_string(i + 1) + ")";
    }
    return {};
}

}  // namespace

KeyProblem CheckValue(const BridgeKey& key, const KeyValue& value, Road road) {
    if (const auto* text = std::get_if<std::string>(&value))
        if (std::string why = ControlCharacter(*text); !why.empty() && key.kind != KeyKind::Choice)
            return {KeyProblem::Control, std::move(why)};
    if (const auto* list = std::get_if<std::vector<std::string>>(&value))
        for (std::size_t i = 0; i < list->size(); ++i)
            if (std::string why = ControlCharacter((*list)[i]); !why.empty())
                return {KeyProblem::Control, std::move(why), i};
    switch (key.kind) {
        case KeyKind::Number:
        case KeyKind::Permissions: {
            const std::int64_t n = std::get<std::int64_t>(value);
            if (n >= key.low && n <= key.high) return {};
            return {key.kind == KeyKind::Number ? KeyProblem::Range : KeyProblem::Permissions};
        }
        case KeyKind::Choice:
            return FindChoice(key, std::get<std::string>(value)) ? KeyProblem{} : KeyProblem{KeyProblem::Choice};
        case KeyKind::File:
            // Empty on the command line is a mistake (an unset shell variable); in a
            // file it takes back what [defaults] gave.
            if (road == Road::CommandLine && std::get<std::string>(value).empty()) return {KeyProblem::Empty};
            return {};
        case KeyKind::Name:
            return std::get<std::string>(value).empty() ? KeyProblem{KeyProblem::Empty} : KeyProblem{};
        case KeyKind::Address:
        case KeyKind::Listen: {
            std::string address;
            int port = 0;
            return SplitAddressPort(std::get<std::string>(value), address, port) ? KeyProblem{}
                                                                                  : KeyProblem{KeyProblem::Address};
        }
        case KeyKind::Networks: {
            const auto& entries = std::get<std::vector<std::string>>(value);
            for (std::size_t i = 0; i < entries.size(); ++i)
                if (!TPeerAccess::Valid(entries[i])) return {KeyProblem::Network, {}, i};
            return {};
        }
        case KeyKind::Flag:
        case KeyKind::Text: return {};
    }
    return {};
}

void Store(const BridgeKey& key, const KeyValue& value, BridgeConfig& b) {
    std::visit(Overload{
                   [](std::monostate) {},
                   [&](bool B::*f) { b.*f = std::get<bool>(value); },
                   [&](int B::*f) { b.*f = static_cast<int>(NumberOf(key, value)); },
                   [&](std::optional<int> B::*f) { b.*f = static_cast<int>(NumberOf(key, value)); },
                   [&](std::uint64_t B::*f) { b.*f = static_cast<std::uint64_t>(NumberOf(key, value)); },
                   [&](std::string B::*f) { b.*f = std::get<std::string>(value); },
                   [&](std::optional<std::string> B::*f) {
                       const std::string& text = std::get<std::string>(value);
                       b.*f = text.empty() ? std::nullopt : std::optional(text);
                   },
                   [&](std::vector<std::string> B::*f) { b.*f = std::get<std::vector<std::string>>(value); },
               },
               key.field);
}

std::string ValueText(const BridgeKey& key, const BridgeConfig& b) {
    return std::visit(Overload{
                          [](std::monostate) { return std::string(); },
                          [&](bool B::*f) { return std::string(b.*f ? "true" : "false"); },
                          [&](int B::*f) { return NumberText(key, b.*f); },
                          [&](std::optional<int> B::*f) { return b.*f ? NumberText(key, *(b.*f)) : std::string(); },
                          [&](std::uint64_t B::*f) { return std::to_string(b.*f); },
                          [&](std::string B::*f) { return b.*f; },
                          [&](std::optional<std::string> B::*f) { return (b.*f).value_or(""); },
                          [&](std::vector<std::string> B::*f) {
                              std::string out;
                              for (const std::string& entry : b.*f) out += (out.empty() ? "" : ",") + entry;
                              return out;
                          },
                      },
                      key.field);
}

std::string DefaultText(const BridgeKey& key, Road road) {
    if (road == Road::CommandLine && key.commandLineDefaultText) return key.commandLineDefaultText;
    return ValueText(key, BridgeConfig{});
}

std::string RangeText(const BridgeKey& key) {
    if (key.high == kNoLimit) return std::to_string(key.low) + " or more";
    return std::to_string(key.low) + " to " + Big(key.high);
}

std::string ChoicesText(const BridgeKey& key, const char* between) {
    std::string out;
    for (const KeyChoice& c : key.choices) out += (out.empty() ? "" : between) + std::string(c.name);
    if (key.kind == KeyKind::Number && key.high - key.low < 16)
        for (std::int64_t n = key.low; n <= key.high; ++n) out += (out.empty() ? "" : between) + std::to_string(n);
    return out;
}

bool SplitAddressPort(const std::string& text, std::string& address, int& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    address = text.substr(0, colon);
    if (address.front() == '[') {
        if (address.size() < 3 || address.back() != ']') return false;
        address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    const std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(digits);
    return port >= 1 && port <= 65535;
}

}  // namespace portvale::headless
