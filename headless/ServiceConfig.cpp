#include "headless/ServiceConfig.h"

#include <array>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include <toml++/toml.h>

#include "app/PeerAccess.h"
#include "comport/ComTypes.h"
#include "headless/ListenAddress.h"

namespace portvale::headless {

namespace {

struct Choice {
    const char* name;
    int value;
};

const std::array<Choice, 5> kParities{{{"none", prNone}, {"odd", prOdd}, {"even", prEven}, {"mark", prMark},
                                        {"space", prSpace}}};
const std::array<Choice, 3> kStopBits{{{"1", sbOneStopBit}, {"1.5", sbOne5StopBits}, {"2", sbTwoStopBits}}};
const std::array<Choice, 3> kFlows{{{"none", fcNone}, {"hardware", fcHardware}, {"software", fcSoftware}}};

// The first error found while reading; later ones are not looked for.
class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}
    bool Failed() const { return !error_.empty(); }
    const std::string& Error() const { return error_; }

    void Fail(const toml::source_region& at, const std::string& key, const std::string& what) {
        if (Failed()) return;
        std::ostringstream out;
        out << path_ << ':' << at.begin.line << ':' << at.begin.column << ": " << (key.empty() ? "" : key + ": ")
            << what;
        error_ = out.str();
    }

    // One bridge's keys, over what it has so far (the defaults, for a bridge).
    void ReadKeys(const toml::table& table, BridgeConfig& b, bool isDefaults) {
        for (const auto& [rawKey, node] : table) {
            if (Failed()) return;
            const std::string key(rawKey.str());
            const toml::source_region& at = node.source();
            if (key == "name" && !isDefaults) {
                b.name = Text(node, key);
                if (!Failed() && b.name.empty()) Fail(at, key, "must not be empty");
            } else if (key == "serial") {
                b.serial = Text(node, key);
            } else if (key == "pty-mode") {
                b.ptyMode = Mode(node, key);
            } else if (key == "pty-group") {
                b.ptyGroup = Text(node, key);
            } else if (key == "baud") {
                const auto v = Integer(node, key, 1, 0x7FFFFFFF);
                if (v) b.baud = static_cast<std::int32_t>(*v);
            } else if (key == "data-bits") {
                const auto v = Integer(node, key, 5, 8);
                if (v) b.dataBits = static_cast<int>(*v);
            } else if (key == "parity") {
                b.parity = Pick(node, key, kParities);
            } else if (key == "stop-bits") {
                // 1 and 2 are written as numbers, 1.5 as a number or a string.
                std::string text;
                if (const auto* i = node.as_integer()) text = std::to_string(i->get());
                else if (const auto* f = node.as_floating_point()) text = f->get() == 1.5 ? "1.5" : "?";
                else if (const auto* s = node.as_string()) text = s->get();
                b.stopBits = PickText(at, key, text, kStopBits);
            } else if (key == "flow") {
                b.flow = Pick(node, key, kFlows);
            } else if (key == "listen") {
                b.listen = Endpoint(node, key);
                ListenAddress where;
                if (!Failed())
                    if (const std::string why = ResolveListenAddress(b.listen, where); !why.empty()) Fail(at, key, why);
            } else if (key == "connect") {
                b.connect = Endpoint(node, key);
            } else if (key == "rfc2217") {
                b.rfc2217 = Flag(node, key);
            } else if (key == "keepalive") {
                b.keepAliveSeconds = static_cast<int>(Integer(node, key, 0, 86400).value_or(0));
            } else if (key == "reconnect") {
                b.reconnectSeconds = static_cast<int>(Integer(node, key, 0, 86400).value_or(0));
            } else if (key == "capture") {
                b.capture = Text(node, key);
            } else if (key == "capture-max") {
                b.captureMaxMb = static_cast<int>(Integer(node, key, 0, 1 << 20).value_or(0));
            } else if (key == "log") {
                b.log = Flag(node, key);
            } else if (key == "clients") {
                b.clients = static_cast<int>(Integer(node, key, 1, 1024).value_or(1));
            } else if (key == "share") {
                b.share = Flag(node, key);
            } else if (key == "kick-old") {
                b.kickOld = Flag(node, key);
            } else if (key == "max-lag") {
                b.maxLag = static_cast<std::uint64_t>(Integer(node, key, 1, std::int64_t{1} << 40).value_or(1));
            } else if (key == "allow") {
                b.allow = Networks(node, key);
            } else if (key == "tls") {
                b.tls = Flag(node, key);
            } else if (key == "tls-cert") {
                b.tlsCert = Text(node, key);
            } else if (key == "tls-key") {
                b.tlsKey = Text(node, key);
            } else if (key == "tls-client-ca") {
                b.tlsClientCa = Text(node, key);
            } else if (key == "tls-ca") {
                b.tlsCa = Text(node, key);
            } else if (key == "tls-min-version") {
                const std::string v = Text(node, key);
                if (!Failed() && v != "1.2" && v != "1.3") Fail(at, key, "must be \"1.2\" or \"1.3\"");
                b.tlsMinVersion = v;
            } else {
                Fail(at, key, isDefaults && key == "name" ? "a name belongs to a bridge, not to [defaults]"
                                                          : "unknown key");
            }
        }
    }

    void ReadService(const toml::table& table, ServiceConfig& config) {
        for (const auto& [rawKey, node] : table) {
            if (Failed()) return;
            const std::string key(rawKey.str());
            if (key == "metrics") config.metrics = Endpoint(node, key);
            else Fail(node.source(), key, "unknown key");
        }
    }

private:
    // File permissions: 0o660 in TOML, or the string "0660".
    int Mode(const toml::node& node, const std::string& key) {
        std::int64_t mode = -1;
        if (const auto* i = node.as_integer()) {
            mode = i->get();
        } else if (const auto* s = node.as_string()) {
            const std::string& text = s->get();
            if (!text.empty() && text.size() <= 4 && text.find_first_not_of("01234567") == std::string::npos)
                mode = std::stoi(text, nullptr, 8);
        }
        if (mode < 0 || mode > 0777) {
            Fail(node.source(), key, "must be permissions such as 0o660 or \"0660\"");
            return 0660;
        }
        return static_cast<int>(mode);
    }

    std::string Text(const toml::node& node, const std::string& key) {
        if (const auto* s = node.as_string()) return s->get();
        Fail(node.source(), key, "must be a string");
        return {};
    }
    bool Flag(const toml::node& node, const std::string& key) {
        if (const auto* v = node.as_boolean()) return v->get();
        Fail(node.source(), key, "must be true or false");
        return false;
    }
    std::optional<std::int64_t> Integer(const toml::node& node, const std::string& key, std::int64_t lo,
                                        std::int64_t hi) {
        const auto* v = node.as_integer();
        if (!v) {
            Fail(node.source(), key, "must be a whole number");
            return std::nullopt;
        }
        if (v->get() < lo || v->get() > hi) {
            Fail(node.source(), key, "must be between " + std::to_string(lo) + " and " + std::to_string(hi));
            return std::nullopt;
        }
        return v->get();
    }
    template <std::size_t N>
    std::optional<int> Pick(const toml::node& node, const std::string& key, const std::array<Choice, N>& choices) {
        return PickText(node.source(), key, node.is_string() ? Text(node, key) : "?", choices);
    }
    template <std::size_t N>
    std::optional<int> PickText(const toml::source_region& at, const std::string& key, const std::string& text,
                                const std::array<Choice, N>& choices) {
        std::string names;
        for (const Choice& c : choices) {
            if (text == c.name) return c.value;
            names += (names.empty() ? "" : ", ") + std::string(c.name);
        }
        Fail(at, key, "must be one of " + names);
        return std::nullopt;
    }
    std::string Endpoint(const toml::node& node, const std::string& key) {
        const std::string text = Text(node, key);
        std::string address;
        int port = 0;
        if (!Failed() && !SplitAddressPort(text, address, port))
            Fail(node.source(), key, "\"" + text + "\" is not ADDRESS:PORT (an IPv6 address in brackets)");
        return text;
    }
    std::vector<std::string> Networks(const toml::node& node, const std::string& key) {
        std::vector<std::string> out;
        const auto* list = node.as_array();
        if (!list) {
            Fail(node.source(), key, "must be a list of addresses and networks");
            return out;
        }
        for (const toml::node& item : *list) {
            const auto* s = item.as_string();
            if (!s || !TPeerAccess::Valid(s->get())) {
                Fail(item.source(), key, s ? "\"" + s->get() + "\" is not an address or a network" : "must be strings");
                return out;
            }
            out.push_back(s->get());
        }
        return out;
    }

    std::string path_;
    std::string error_;
};

// What keeps a bridge's TLS keys from making sense together; empty when nothing.
std::string TlsProblem(const BridgeConfig& b) {
    if (!b.listen.empty()) {
        if (b.tlsCert.empty() != b.tlsKey.empty()) return "needs both tls-cert and tls-key";
        if (b.tls && b.tlsCert.empty()) return "listens with TLS: it needs tls-cert and tls-key";
        if (!b.tlsClientCa.empty() && b.tlsCert.empty()) return "has tls-client-ca without tls-cert and tls-key";
        if (!b.tlsCa.empty()) return "listens: tls-ca is for a connecting bridge (tls-client-ca checks clients)";
        return {};
    }
    if (!b.tlsClientCa.empty()) return "connects: tls-client-ca is for a listening bridge (tls-ca checks the server)";
    if (b.tlsCert.empty() != b.tlsKey.empty()) return "needs both tls-cert and tls-key";
    if (!b.tls && (!b.tlsCert.empty() || !b.tlsCa.empty())) return "has TLS keys but not tls = true";
    return {};
}

}  // namespace

bool TlsEnabled(const BridgeConfig& b) { return b.listen.empty() ? b.tls : !b.tlsCert.empty(); }

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

ConfigResult ParseServiceConfig(std::string_view text, const std::string& path) {
    ConfigResult result;
    Reader reader(path);
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        reader.Fail(e.source(), "", std::string(e.description()));
        result.error = reader.Error();
        return result;
    }
    BridgeConfig defaults;
    if (const toml::node* d = root.get("defaults")) {
        if (const auto* table = d->as_table()) reader.ReadKeys(*table, defaults, true);
        else reader.Fail(d->source(), "defaults", "must be a table");
    }
    if (const toml::node* service = root.get("service"); service && !reader.Failed()) {
        if (const auto* table = service->as_table()) reader.ReadService(*table, result.config);
        else reader.Fail(service->source(), "service", "must be a table");
    }
    std::set<std::string> names, devices, listeners;
    for (const auto& [rawKey, node] : root) {
        if (reader.Failed()) break;
        const std::string key(rawKey.str());
        if (key == "defaults" || key == "service") continue;
        const auto* bridges = key == "bridge" ? node.as_array() : nullptr;
        if (!bridges) {
            reader.Fail(node.source(), key, key == "bridge" ? "bridges are [[bridge]] tables" : "unknown key");
            break;
        }
        for (const toml::node& item : *bridges) {
            const auto* table = item.as_table();
            if (!table) {
                reader.Fail(item.source(), "bridge", "bridges are [[bridge]] tables");
                break;
            }
            BridgeConfig b = defaults;
            reader.ReadKeys(*table, b, false);
            if (reader.Failed()) break;
            const toml::source_region& at = table->source();
            if (b.name.empty()) reader.Fail(at, "name", "every bridge needs a name");
            else if (!names.insert(b.name).second) reader.Fail(at, "name", "\"" + b.name + "\" names two bridges");
            else if (b.serial.empty()) reader.Fail(at, "serial", "bridge \"" + b.name + "\" needs a serial device");
            else if (b.listen.empty() == b.connect.empty())
                reader.Fail(at, "listen", "bridge \"" + b.name + "\" needs either listen or connect");
            else if (!devices.insert(b.serial).second)
                reader.Fail(at, "serial", "\"" + b.serial + "\" is the device of two bridges");
            else if (!b.listen.empty() && !listeners.insert(b.listen).second)
                reader.Fail(at, "listen", "\"" + b.listen + "\" is the address of two bridges");
            else if (b.rfc2217 && b.serial.rfind("pty:", 0) == 0 && b.connect.empty())
                reader.Fail(at, "rfc2217",
                            "bridge \"" + b.name + "\" has a virtual device: RFC 2217 needs connect, to a port's server");
            else if (const std::string why = TlsProblem(b); !why.empty())
                reader.Fail(at, "tls", "bridge \"" + b.name + "\" " + why);
            if (reader.Failed()) break;
            result.config.bridges.push_back(std::move(b));
        }
    }
    if (!result.config.metrics.empty() && listeners.count(result.config.metrics)) {
        const toml::node* metrics = root["service"]["metrics"].node();
        reader.Fail(metrics->source(), "metrics", "\"" + result.config.metrics + "\" is the address of a bridge");
    }
    result.error = reader.Error();
    if (result.error.empty() && result.config.bridges.empty()) result.error = path + ": the file describes no bridge";
    if (!result.error.empty()) result.config = {};
    return result;
}

ConfigResult ReadServiceConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {{}, path + ": cannot be read"};
    std::ostringstream text;
    text << in.rdbuf();
    return ParseServiceConfig(text.str(), path);
}

}  // namespace portvale::headless
