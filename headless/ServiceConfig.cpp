#include "headless/ServiceConfig.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

// toml++ (Debian's 3.3.0) checks its parser's state with assertions that a malformed
// file can trip ("[}", "a=[}"); where NDEBUG is not defined they would abort the
// program instead of reporting the file error that a build with NDEBUG reports.
#ifndef TOML_ASSERT
#define TOML_ASSERT(expr) static_assert(true)
#endif
#include <toml++/toml.h>

#include "headless/ListenAddress.h"
#include "platform/serial/SerialApi.h"

namespace portvale::headless {

namespace {

// A choice as a file may write it: "even", 1 and 2 as numbers, 1.5 as a number
// or a string. Anything else is no choice's name.
std::string ChoiceName(const toml::node& node) {
    if (const auto* s = node.as_string()) return s->get();
    if (const auto* i = node.as_integer()) return std::to_string(i->get());
    if (const auto* f = node.as_floating_point()) {
        char text[32];
        const auto [end, error] = std::to_chars(text, text + sizeof text, f->get());
        return error == std::errc() ? std::string(text, end) : std::string();
    }
    return {};
}

// File permissions: 0o660 in TOML, or the string "0660"; -1 when neither.
std::int64_t Permissions(const toml::node& node) {
    if (const auto* i = node.as_integer()) return i->get();
    const auto* s = node.as_string();
    if (!s) return -1;
    const std::string& text = s->get();
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos) return -1;
    return std::stoi(text, nullptr, 8);
}

// What the file is told of a value that the check refused.
std::string Refusal(const BridgeKey& key, const KeyValue& value, const KeyProblem& problem) {
    switch (problem.kind) {
        case KeyProblem::Range:
            return "must be between " + std::to_string(key.low) + " and " + std::to_string(key.high);
        case KeyProblem::Choice: return "must be one of " + ChoicesText(key, ", ");
        case KeyProblem::Empty: return "must not be empty";
        case KeyProblem::Address:
            return "\"" + std::get<std::string>(value) + "\" is not ADDRESS:PORT (an IPv6 address in brackets)";
        case KeyProblem::Network:
            return "\"" + std::get<std::vector<std::string>>(value)[problem.index] +
                   "\" is not an address or a network";
        case KeyProblem::Permissions: return "must be permissions such as 0o660 or \"0660\"";
        case KeyProblem::Listen:
        case KeyProblem::Control:
        case KeyProblem::None: break;
    }
    return problem.detail;
}

// Where the file holds a byte outside ASCII that is neither in a string nor in a
// comment; none when it holds none. toml++ 3.3.0 reaches an unreachable point (its
// undefined behaviour) on such a byte between keys and values instead of reporting it,
// so the reader refuses the file itself before the library sees it.
std::optional<toml::source_position> ByteOutsideAscii(std::string_view text) {
    toml::source_position at{1, 1};
    std::size_t i = 0;
    auto advance = [&](std::size_t n) {
        for (; n > 0 && i < text.size(); --n, ++i) {
            if (text[i] == '\n') at = {at.line + 1, 1};
            else ++at.column;
        }
    };
    // Past the text up to and with `end`; a single-line string ends at its line.
    auto skipTo = [&](std::string_view end, bool escapes, bool singleLine) {
        while (i < text.size() && text.substr(i, end.size()) != end) {
            if (singleLine && text[i] == '\n') return;
            advance(escapes && text[i] == '\\' ? 2 : 1);
        }
        advance(end.size());
    };
    while (i < text.size()) {
        const std::string_view rest = text.substr(i);
        const std::string_view three = rest.substr(0, 3);
        if (rest[0] == '#') {
            skipTo("\n", false, false);
        } else if (three == R"(""")" || three == "'''") {
            advance(3);
            skipTo(three, three[0] == '"', false);
        } else if (rest[0] == '"' || rest[0] == '\'') {
            const std::string_view quote = rest.substr(0, 1);
            advance(1);
            skipTo(quote, quote[0] == '"', true);
        } else if (static_cast<unsigned char>(rest[0]) >= 0x80) {
            return at;
        } else {
            advance(1);
        }
    }
    return std::nullopt;
}

// A table's entries in the order the file writes them; the table keeps them sorted
// by key, and the error a user is told is the first in the file.
std::vector<std::pair<std::string, const toml::node*>> InFileOrder(const toml::table& table) {
    std::vector<std::pair<std::string, const toml::node*>> entries;
    for (const auto& [key, node] : table) entries.emplace_back(std::string(key.str()), &node);
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        const toml::source_position& x = a.second->source().begin;
        const toml::source_position& y = b.second->source().begin;
        return x.line != y.line ? x.line < y.line : x.column < y.column;
    });
    return entries;
}

// The error that comes first in the file of those found while reading.
class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}
    bool Failed() const { return !error_.empty(); }
    const std::string& Error() const { return error_; }

    void Fail(const toml::source_region& at, const std::string& key, const std::string& what) {
        const toml::source_position& p = at.begin;
        if (Failed() && (p.line > where_.line || (p.line == where_.line && p.column >= where_.column))) return;
        where_ = p;
        std::ostringstream out;
        out << path_ << ':' << at.begin.line << ':' << at.begin.column << ": " << (key.empty() ? "" : key + ": ")
            << what;
        error_ = out.str();
    }

    // One bridge's keys, over what it has so far (the defaults, for a bridge); false
    // at the table's first error.
    bool ReadKeys(const toml::table& table, BridgeConfig& b, bool isDefaults) {
        for (const auto& [name, node] : InFileOrder(table)) {
            const BridgeKey* key = FindKey(name, Road::File);
            const bool misplacedName = key && isDefaults && key->kind == KeyKind::Name;
            if (!key || key->service || misplacedName) {
                Fail(node->source(), name,
                     misplacedName ? "a name belongs to a bridge, not to [defaults]" : "unknown key");
                return false;
            }
            const auto value = Read(*key, *node);
            if (!value) return false;
            Store(*key, *value, b);
        }
        return true;
    }

    bool ReadService(const toml::table& table, ServiceConfig& config) {
        for (const auto& [name, node] : InFileOrder(table)) {
            const BridgeKey* key = FindKey(name, Road::File);
            // Its one key, the metrics endpoint's address.
            if (!key || !key->service) {
                Fail(node->source(), name, "unknown key");
                return false;
            }
            const auto value = Read(*key, *node);
            if (!value) return false;
            config.metrics = std::get<std::string>(*value);
        }
        return true;
    }

private:
    // The node's value for `key` once checked; none after a failure.
    std::optional<KeyValue> Read(const BridgeKey& key, const toml::node& node) {
        std::optional<KeyValue> value = Raw(key, node);
        if (!value) return std::nullopt;
        const KeyProblem problem = CheckSetting(key, *value, Road::File);
        if (!problem) return value;
        const bool entry = node.is_array() && (problem.kind == KeyProblem::Network || problem.kind == KeyProblem::Control);
        const toml::node* at = entry ? node.as_array()->get(problem.index) : &node;
        Fail(at->source(), key.name, Refusal(key, *value, problem));
        return std::nullopt;
    }

    // The node as the key's kind of value; none, after a failure, when it is not one.
    std::optional<KeyValue> Raw(const BridgeKey& key, const toml::node& node) {
        const char* wanted = "must be a string";
        switch (key.kind) {
            case KeyKind::Flag:
                if (const auto* v = node.as_boolean()) return KeyValue(v->get());
                wanted = "must be true or false";
                break;
            case KeyKind::Number:
                if (const auto* v = node.as_integer()) return KeyValue(v->get());
                wanted = "must be a whole number";
                break;
            case KeyKind::Permissions: return KeyValue(Permissions(node));
            case KeyKind::Choice: return KeyValue(ChoiceName(node));
            case KeyKind::Networks: return Networks(key, node);
            default:
                if (const auto* v = node.as_string()) return KeyValue(v->get());
        }
        Fail(node.source(), key.name, wanted);
        return std::nullopt;
    }

    std::optional<KeyValue> Networks(const BridgeKey& key, const toml::node& node) {
        const auto* list = node.as_array();
        if (!list) {
            Fail(node.source(), key.name, "must be a list of addresses and networks");
            return std::nullopt;
        }
        std::vector<std::string> entries;
        for (const toml::node& item : *list) {
            const auto* s = item.as_string();
            if (!s) {
                Fail(item.source(), key.name, "must be strings");
                return std::nullopt;
            }
            entries.push_back(s->get());
        }
        return KeyValue(std::move(entries));
    }

    std::string path_;
    std::string error_;
    toml::source_position where_{};
};

// The device a serial setting names, for telling two bridges' devices apart: "COM1"
// as the device it stands for, an existing link (a /dev/serial/by-id/ name) as the
// device it leads to, a virtual device by its own path.
std::string DeviceMeant(const std::string& serial) {
    namespace fs = std::filesystem;
    if (serial.rfind("pty:", 0) == 0) return "pty:" + fs::path(serial.substr(4)).lexically_normal().string();
    const fs::path path = DevicePathForPortName(serial);
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    return error ? path.lexically_normal().string() : real.string();
}

// Whether two listen settings share an address and a port, as resolved: "04001" is
// port 4001, a name is the addresses it leads to.
bool SameListener(const std::string& a, const std::string& b) {
    ListenAddress x, y;
    if (!ResolveListenAddress(a, x).empty() || !ResolveListenAddress(b, y).empty()) return a == b;
    if (x.port != y.port) return false;
    for (const ws::HostAddress& address : x.addresses)
        if (std::find(y.addresses.begin(), y.addresses.end(), address) != y.addresses.end()) return true;
    return false;
}

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

KeyProblem CheckSetting(const BridgeKey& key, const KeyValue& value, Road road) {
    KeyProblem problem = CheckValue(key, value, road);
    ListenAddress where;
    if (!problem && key.kind == KeyKind::Listen)
        if (std::string why = ResolveListenAddress(std::get<std::string>(value), where); !why.empty())
            problem = {KeyProblem::Listen, std::move(why)};
    return problem;
}

ConfigResult ParseServiceConfig(std::string_view text, const std::string& path) {
    ConfigResult result;
    Reader reader(path);
    toml::table root;
    if (const auto at = ByteOutsideAscii(text)) {
        reader.Fail(toml::source_region{*at, *at, nullptr}, "",
                    "a character outside ASCII belongs in a string or a comment");
        result.error = reader.Error();
        return result;
    }
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        reader.Fail(e.source(), "", std::string(e.description()));
        result.error = reader.Error();
        return result;
    }
    // Every table is read, so that the error told is the first in the file; what a
    // bridge means as a whole is looked at only while nothing before it failed.
    BridgeConfig defaults;
    bool sound = true;
    if (const toml::node* d = root.get("defaults")) {
        const auto* table = d->as_table();
        if (!table) reader.Fail(d->source(), "defaults", "must be a table");
        sound = table && reader.ReadKeys(*table, defaults, true);
    }
    if (const toml::node* service = root.get("service")) {
        const auto* table = service->as_table();
        if (!table) reader.Fail(service->source(), "service", "must be a table");
        sound = table && reader.ReadService(*table, result.config) && sound;
    }
    std::set<std::string> names, devices;
    std::vector<std::string> listeners;
    const auto listened = [&](const std::string& address) {
        return std::any_of(listeners.begin(), listeners.end(),
                           [&](const std::string& other) { return SameListener(address, other); });
    };
    for (const auto& [key, node] : InFileOrder(root)) {
        if (key == "defaults" || key == "service") continue;
        const auto* bridges = key == "bridge" ? node->as_array() : nullptr;
        if (!bridges) {
            reader.Fail(node->source(), key, key == "bridge" ? "bridges are [[bridge]] tables" : "unknown key");
            sound = false;
            continue;
        }
        for (const toml::node& item : *bridges) {
            const auto* table = item.as_table();
            if (!table) {
                reader.Fail(item.source(), "bridge", "bridges are [[bridge]] tables");
                sound = false;
                continue;
            }
            BridgeConfig b = defaults;
            if (!reader.ReadKeys(*table, b, false)) sound = false;
            if (!sound) continue;
            const toml::source_region& at = table->source();
            if (b.name.empty()) reader.Fail(at, "name", "every bridge needs a name");
            else if (!names.insert(b.name).second) reader.Fail(at, "name", "\"" + b.name + "\" names two bridges");
            else if (b.serial.empty()) reader.Fail(at, "serial", "bridge \"" + b.name + "\" needs a serial device");
            else if (b.listen.empty() == b.connect.empty())
                reader.Fail(at, "listen", "bridge \"" + b.name + "\" needs either listen or connect");
            else if (!devices.insert(DeviceMeant(b.serial)).second)
                reader.Fail(at, "serial", "\"" + b.serial + "\" is the device of two bridges");
            else if (!b.listen.empty() && listened(b.listen))
                reader.Fail(at, "listen", "\"" + b.listen + "\" is the address of two bridges");
            else if (b.rfc2217 && b.serial.rfind("pty:", 0) == 0 && b.connect.empty())
                reader.Fail(at, "rfc2217",
                            "bridge \"" + b.name + "\" has a virtual device: RFC 2217 needs connect, to a port's server");
            else if (const std::string why = TlsProblem(b); !why.empty())
                reader.Fail(at, "tls", "bridge \"" + b.name + "\" " + why);
            if (reader.Failed()) {
                sound = false;
                continue;
            }
            if (!b.listen.empty()) listeners.push_back(b.listen);
            result.config.bridges.push_back(std::move(b));
        }
    }
    if (sound && !result.config.metrics.empty() && listened(result.config.metrics)) {
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
