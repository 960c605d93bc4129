#include "headless/Metrics.h"

#include <cstdio>

namespace portvale::headless {

void MetricsRegistry::Set(const std::string& name, std::shared_ptr<const BridgeCounters> counters) {
    const std::lock_guard<std::mutex> lock(mutex_);
    bridges_[name] = std::move(counters);
}

void MetricsRegistry::Remove(const std::string& name) {
    std::shared_ptr<const BridgeCounters> last;
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = bridges_.find(name);
    if (found == bridges_.end()) return;
    // Freed, if this was the last owner, after the lock is let go.
    last = std::move(found->second);
    bridges_.erase(found);
}

NamedSnapshots MetricsRegistry::Read() const {
    std::vector<std::pair<std::string, std::shared_ptr<const BridgeCounters>>> taken;
    {
        // Only the pointers under the lock: a bridge that starts or stops meanwhile
        // never waits for the reading of the numbers.
        const std::lock_guard<std::mutex> lock(mutex_);
        taken.assign(bridges_.begin(), bridges_.end());
    }
    NamedSnapshots out;
    out.reserve(taken.size());
    for (const auto& [name, counters] : taken) out.emplace_back(name, counters->Read());
    return out;
}

namespace {

using Snapshot = CountersSnapshot;

// The counts that are one number per bridge, in the order both renderings list them.
struct Single {
    const char* key;  // the counters line's key
    const char* help;
    std::uint64_t Snapshot::*value;
};
const Single kSingles[] = {
    {"connects", "TCP connections made (accepted or connected).", &Snapshot::connects},
    {"disconnects", "TCP connections that ended.", &Snapshot::disconnects},
    {"refused_peers", "Peers refused by the access list.", &Snapshot::refusedPeers},
    {"refused_clients", "Clients refused for the client limit.", &Snapshot::refusedClients},
    {"lagging_disconnects", "Sharing clients disconnected for falling too far behind.",
     &Snapshot::laggingDisconnects},
    {"tls_refusals", "Peers refused for a failed TLS handshake.", &Snapshot::tlsRefusals},
    {"port_losses", "Times the serial device went away.", &Snapshot::portLosses},
    {"reconnects", "Connection attempts made again in client mode.", &Snapshot::reconnects},
};

const TBridgeDirection kDirections[] = {TBridgeDirection::TcpToCom, TBridgeDirection::ComToTcp};

const Snapshot::Flow& FlowOf(const Snapshot& s, TBridgeDirection direction) {
    return direction == TBridgeDirection::TcpToCom ? s.tcpToCom : s.comToTcp;
}

// A label value inside double quotes: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

class Exposition {
public:
    void Family(const std::string& name, const char* type, const char* help) {
        text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& name, const std::string& bridge, const std::string& labels, std::uint64_t value) {
        Sample(name, bridge, labels, std::to_string(value));
    }
    void Sample(const std::string& name, const std::string& bridge, const std::string& labels,
                const std::string& value) {
        text_ += name + "{bridge=\"" + LabelValue(bridge) + "\"" + labels + "} " + value + "\n";
    }
    std::string Text() && { return std::move(text_); }

private:
    std::string text_;
};

std::string DirectionLabel(TBridgeDirection direction) {
    return std::string(",direction=\"") + DirectionKey(direction) + "\"";
}

// A JSON string with its quotes; control characters as \u00XX.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string PrometheusText(const NamedSnapshots& bridges) {
    Exposition out;
    const struct {
        const char* name;
        const char* help;
        std::uint64_t Snapshot::Flow::*value;
    } flows[] = {
        {"portvale_forwarded_bytes_total", "Bytes forwarded, by direction (tcp_com: TCP to serial).",
         &Snapshot::Flow::bytes},
        {"portvale_forwarded_blocks_total", "Blocks forwarded, by direction (tcp_com: TCP to serial).",
         &Snapshot::Flow::blocks},
    };
    for (const auto& f : flows) {
        out.Family(f.name, "counter", f.help);
        for (const auto& [name, s] : bridges)
            for (const TBridgeDirection d : kDirections) out.Sample(f.name, name, DirectionLabel(d), FlowOf(s, d).*f.value);
    }
    const struct {
        const char* name;
        const char* help;
        std::uint64_t Snapshot::Flow::*value;
    } drops[] = {
        {"portvale_dropped_bytes_total", "Bytes dropped, by direction and reason.", &Snapshot::Flow::bytes},
        {"portvale_dropped_blocks_total", "Blocks dropped, by direction and reason.", &Snapshot::Flow::blocks},
    };
    for (const auto& f : drops) {
        out.Family(f.name, "counter", f.help);
        for (const auto& [name, s] : bridges)
            for (const auto& d : s.droppedByReason)
                out.Sample(f.name, name, DirectionLabel(d.direction) + ",reason=\"" + LabelValue(d.reason) + "\"",
                           d.flow.*f.value);
    }
    for (const Single& single : kSingles) {
        const std::string metric = std::string("portvale_") + single.key + "_total";
        out.Family(metric, "counter", single.help);
        for (const auto& [name, s] : bridges) out.Sample(metric, name, "", s.*single.value);
    }
    // Like the counters line, these have a sample only for the bridges they apply to:
    // a remote port whose server reported its modem lines, a capture being written.
    out.Family("portvale_modem_notifications_total", "counter", "Modem states reported by a remote port's server.");
    for (const auto& [name, s] : bridges)
        if (s.modemNotifications > 0) out.Sample("portvale_modem_notifications_total", name, "", s.modemNotifications);
    out.Family("portvale_capture_lost_bytes_total", "counter", "Bytes of forwarded blocks left out of the capture.");
    for (const auto& [name, s] : bridges)
        if (s.captureLostBytes) out.Sample("portvale_capture_lost_bytes_total", name, "", *s.captureLostBytes);
    out.Family("portvale_clients_connected", "gauge", "TCP connections open now.");
    for (const auto& [name, s] : bridges) out.Sample("portvale_clients_connected", name, "", s.clientsConnected);
    out.Family("portvale_serial_port_open", "gauge", "1 while the serial port is open, else 0.");
    for (const auto& [name, s] : bridges) out.Sample("portvale_serial_port_open", name, "", s.portOpen ? 1 : 0);
    out.Family("portvale_modem_state", "gauge",
               "The modem state a remote port's server last reported: CTS 16, DSR 32, RI 64, CD 128, their changes "
               "in the low bits.");
    for (const auto& [name, s] : bridges)
        if (s.modemNotifications > 0) out.Sample("portvale_modem_state", name, "", s.modemState);
    out.Family("portvale_last_state_change_timestamp_seconds", "gauge",
               "When a client last connected or disconnected or the serial port opened or was lost, in unix seconds.");
    for (const auto& [name, s] : bridges)
        out.Sample("portvale_last_state_change_timestamp_seconds", name, "", std::to_string(s.lastStateChange));
    return std::move(out).Text();
}

std::string StatusJson(const NamedSnapshots& bridges) {
    std::string out = "{\"bridges\":[";
    const auto number = [&out](const char* key, auto value) {
        out += ",\"";
        out += key;
        out += "\":" + std::to_string(value);
    };
    bool first = true;
    for (const auto& [name, s] : bridges) {
        out += first ? "{" : ",{";
        first = false;
        out += "\"name\":" + JsonString(name);
        out += std::string(",\"serial_port_open\":") + (s.portOpen ? "true" : "false");
        number("clients_connected", s.clientsConnected);
        number("last_state_change", s.lastStateChange);
        number("tcp_com_bytes", s.tcpToCom.bytes);
        number("tcp_com_blocks", s.tcpToCom.blocks);
        number("com_tcp_bytes", s.comToTcp.bytes);
        number("com_tcp_blocks", s.comToTcp.blocks);
        number("dropped_blocks", s.dropped.blocks);
        number("dropped_bytes", s.dropped.bytes);
        out += ",\"dropped\":[";
        for (std::size_t i = 0; i < s.droppedByReason.size(); ++i) {
            const auto& d = s.droppedByReason[i];
            out += std::string(i ? "," : "") + "{\"direction\":\"" + DirectionKey(d.direction) +
                   "\",\"reason\":" + JsonString(d.reason);
            number("blocks", d.flow.blocks);
            number("bytes", d.flow.bytes);
            out += "}";
        }
        out += "]";
        for (const Single& single : kSingles) number(single.key, s.*single.value);
        if (s.modemNotifications > 0) {
            number("modem_notifications", s.modemNotifications);
            number("modem_state", static_cast<unsigned>(s.modemState));
        }
        if (s.captureLostBytes) number("capture_lost_bytes", *s.captureLostBytes);
        out += "}";
    }
    return out + "]}\n";
}

std::string PortLabel(const std::string& port) {
    return port.rfind("/dev/", 0) == 0 && port.size() > 5 ? port.substr(5) : port;
}

}  // namespace portvale::headless
