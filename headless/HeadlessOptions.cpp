#include "headless/HeadlessOptions.h"

#include <algorithm>

#include "framework/SysUtils.h"
#include "headless/ServiceConfig.h"

namespace portvale::headless {

namespace {

// A whole number as the command line has always read one (TryStrToInt: blanks, a
// sign, $ or 0x for hexadecimal), or a longer run of digits (a lag of 2^40 bytes).
std::optional<std::int64_t> WholeNumber(const std::string& text) {
    std::int32_t small = 0;
    if (TryStrToInt(text, small)) return small;
    if (!text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos)
        return std::stoll(text);
    return std::nullopt;
}

std::vector<std::string> CommaSeparated(const std::string& text) {
    std::vector<std::string> entries;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        entries.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return entries;
}

// What the command line is told of a value that the check refused.
std::string Refusal(const BridgeKey& key, const std::string& text, const KeyValue& value, const KeyProblem& problem) {
    const std::string option = std::string("--") + key.name;
    switch (problem.kind) {
        case KeyProblem::Range: {
            std::string what = key.what ? key.what : "one of " + ChoicesText(key, "|");
            if (key.what && key.high != kNoLimit) what += " (" + RangeText(key) + ")";
            return option + ": '" + text + "' is not " + what;
        }
        case KeyProblem::Choice: return option + ": '" + text + "' is not one of " + ChoicesText(key, "|");
        case KeyProblem::Empty: return option + " needs " + key.what;
        case KeyProblem::Address: {
            const std::string example = key.example;
            return option + ": '" + text + "' is not ADDRESS:PORT (" + example + ", [::1]" +
                   example.substr(example.rfind(':')) + ")";
        }
        case KeyProblem::Network:
            return option + ": '" + std::get<std::vector<std::string>>(value)[problem.index] +
                   "' is not an address or a network (10.0.0.0/8, ::1)";
        case KeyProblem::Listen:
        case KeyProblem::Control: return option + ": " + problem.detail;
        case KeyProblem::Permissions:
        case KeyProblem::None: break;
    }
    return option + ": '" + text + "' is not a value it takes";
}

// A checked value where the command line keeps it: a bridge's field, or its own.
void Keep(const BridgeKey& key, KeyValue value, Options& o) {
    const std::string_view name = key.name;
    // Each --allow adds to those before it.
    if (name == "allow") {
        auto& entries = std::get<std::vector<std::string>>(value);
        entries.insert(entries.begin(), o.allow.begin(), o.allow.end());
    }
    Store(key, value, o);
    const auto text = [&value] { return std::get<std::string>(value); };
    if (key.kind == KeyKind::Listen) {
        std::string address;
        int port = 0;
        SplitAddressPort(text(), address, port);
        o.listenAddress = address;
        o.port = std::to_string(port);
    } else if (name == "dir") {
        o.dir = text();
    } else if (name == "host") {
        o.host = text();
    } else if (name == "port") {
        o.port = std::to_string(std::get<std::int64_t>(value));
    } else if (name == "mode") {
        o.mode = FindChoice(key, text())->value;
    } else if (name == "format") {
        o.format = FindChoice(key, text())->value;
    } else if (name == "metrics") {
        o.metrics = text();
    }
}

// Reads the option's value (none for a flag) into `o`; why it cannot, else empty.
std::string ReadOption(const BridgeKey& key, const std::optional<std::string>& text, Options& o) {
    KeyValue value = text ? KeyValue(*text) : KeyValue(true);
    if (key.kind == KeyKind::Number) {
        const auto number = WholeNumber(*text);
        if (!number) return Refusal(key, *text, value, {KeyProblem::Range});
        value = *number;
    } else if (key.kind == KeyKind::Networks) {
        value = CommaSeparated(*text);
    }
    if (const KeyProblem problem = CheckSetting(key, value, Road::CommandLine))
        return Refusal(key, *text, value, problem);
    Keep(key, std::move(value), o);
    return {};
}

// What options given together cannot mean; empty when nothing.
std::string Conflict(const Options& o, const std::string& bridgeOption, bool modeGiven) {
    if (o.listenAddress && modeGiven && o.mode != 2) return "--listen is server mode";
    if (o.config && !bridgeOption.empty())
        return "--config takes every bridge from the file; " + bridgeOption + " belongs there";
    if (o.captureMaxMb != 0 && !o.capture) return "--capture-max needs --capture";
    // One place for it, which a reload reads again.
    if (o.config && o.metrics)
        return "--config takes the metrics address from the file: metrics = \"" + *o.metrics +
               "\" in its [service] table";
    if (o.tlsCert.empty() != o.tlsKey.empty()) return "--tls-cert and --tls-key go together";
    if (!o.tlsClientCa.empty() && o.tlsCert.empty()) return "--tls-client-ca needs --tls-cert and --tls-key";
    if (!o.tlsCa.empty() && !o.tls) return "--tls-ca needs --tls";
    return {};
}

// "  --label VALUE       text", the text's further lines under its first.
std::string HelpEntry(const std::string& label, const std::string& text) {
    std::string entry = "  " + label + std::string(label.size() < 20 ? 20 - label.size() : 2, ' ');
    for (const char c : text) entry += c == '\n' ? "\n" + std::string(22, ' ') : std::string(1, c);
    return entry + "\n";
}

std::string Filled(std::string text, const std::string& mark, const std::string& value) {
    for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size()))
        text.replace(at, mark.size(), value);
    return text;
}

}  // namespace

Options::Options() {
    for (const BridgeKey& key : BridgeKeys())
        if (key.commandLineDefault) Store(key, *key.commandLineDefault, *this);
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    // The first option of one bridge, which a configuration file's bridges cannot take.
    std::string bridgeOption;
    bool modeGiven = false;
    for (std::size_t i = 0; i < args.size() && result.error.empty(); ++i) {
        std::string name = args[i];
        std::optional<std::string> text;
        const bool isLong = name.rfind("--", 0) == 0;
        if (const auto eq = name.find('='); isLong && eq != std::string::npos) {
            text = name.substr(eq + 1);
            name.resize(eq);
        }
        const bool control = name == "--headless" || name == "--help" || name == "-h" || name == "--config";
        const BridgeKey* key = isLong ? FindKey(std::string_view(name).substr(2), Road::CommandLine) : nullptr;
        if (!control && !key) {
            result.error = "unknown option '" + args[i] + "' (see --headless --help)";
            break;
        }
        const bool flag = control ? name != "--config" : key->kind == KeyKind::Flag;
        if (flag && text)
            result.error = name + " takes no value";
        else if (!flag && !text && i + 1 >= args.size())
            result.error = name + " needs a value";
        else if (!flag && !text)
            text = args[++i];
        if (!result.error.empty()) break;

        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--config") {
            if (text->empty()) result.error = name + " needs a file name";
            o.config = *text;
        } else if (key) {
            if (!key->service && bridgeOption.empty()) bridgeOption = name;
            modeGiven = modeGiven || name == "--mode";
            result.error = ReadOption(*key, text, o);
        }
    }
    if (result.error.empty()) result.error = Conflict(o, bridgeOption, modeGiven);
    if (o.listenAddress) o.mode = 2;
    return result;
}

std::string HeadlessUsage() {
    std::string options;
    for (const BridgeKey& key : BridgeKeys()) {
        if (!key.On(Road::CommandLine)) continue;
        const std::string label = std::string("--") + key.name + (key.metavar ? std::string(" ") + key.metavar : "");
        options += HelpEntry(label, Filled(Filled(key.help, "{default}", DefaultText(key, Road::CommandLine)),
                                           "{choices}", ChoicesText(key, "|")));
    }
    options += HelpEntry("--config FILE",
                         "run every bridge of the TOML file FILE (see\n"
                         "/etc/portvale/portvale.toml); SIGHUP reads it again,\n"
                         "restarting only the bridges whose settings changed");
    options += HelpEntry("--help", "show this text");
    return R"(Usage: portvale --headless [OPTION]...
Bridges a TCP connection and a serial port without a window. Starts as the window
does, from TCP.SET and comport.ini in the current directory (or --dir), turns the
serial port on for this run, connects or listens, and forwards every byte both ways
until it is stopped. Options override the settings files for this run only.

)" + options + R"(
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
