#include "headless/Counters.h"

#include <chrono>
#include <utility>

namespace portvale::headless {

namespace {

// The reason in lower case, runs of anything but letters and digits one '_'.
std::string ReasonSlug(const std::string& reason) {
    std::string slug;
    bool gap = false;
    for (const char c : reason) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
        if (!keep) {
            gap = true;
            continue;
        }
        if (gap && !slug.empty()) slug += '_';
        gap = false;
        slug += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return slug.empty() ? "unknown" : slug;
}

void Put(std::string& line, const std::string& key, std::uint64_t value) {
    if (!line.empty()) line += ' ';
    line += key;
    line += '=';
    line += std::to_string(value);
}

std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

const char* DirectionMark(TBridgeDirection direction) {
    return direction == TBridgeDirection::TcpToCom ? "tcp>com" : "com>tcp";
}

const char* DirectionKey(TBridgeDirection direction) {
    return direction == TBridgeDirection::TcpToCom ? "tcp_com" : "com_tcp";
}

BridgeCounters::BridgeCounters() : lastStateChange_(UnixNow()) {}

void BridgeCounters::Forwarded(TBridgeDirection direction, std::size_t bytes) {
    Add(direction == TBridgeDirection::TcpToCom ? tcpToCom_ : comToTcp_, bytes);
}

void BridgeCounters::Noticed(TBridgeNotice notice) {
    switch (notice) {
        case TBridgeNotice::Refused: Add(refusedPeers_); break;
        case TBridgeNotice::OverLimit: Add(refusedClients_); break;
        case TBridgeNotice::Lagging: Add(laggingDisconnects_); break;
        default: break;
    }
}

void BridgeCounters::Dropped(TBridgeDirection direction, const std::string& reason, std::size_t bytes) {
    Add(dropped_, bytes);
    std::string slug = ReasonSlug(reason);
    const std::string key = std::string("dropped.") + DirectionKey(direction) + "." + slug;
    auto found = droppedByReason_.find(key);
    if (found == droppedByReason_.end()) {
        const std::lock_guard<std::mutex> lock(reasonsMutex_);
        found = droppedByReason_.try_emplace(key, direction, std::move(slug)).first;
    }
    Add(found->second.flow, bytes);
}

void BridgeCounters::ClientsNow(std::size_t clients) {
    if (clientsConnected_.load(std::memory_order_relaxed) == clients) return;
    clientsConnected_.store(clients, std::memory_order_relaxed);
    Changed();
}

void BridgeCounters::PortOpenNow(bool open) {
    if (portOpen_.load(std::memory_order_relaxed) == open) return;
    portOpen_.store(open, std::memory_order_relaxed);
    Changed();
}

void BridgeCounters::CaptureLossFrom(std::function<std::uint64_t()> lostBytes) {
    std::function<std::uint64_t()> old;
    const std::lock_guard<std::mutex> lock(captureMutex_);
    // What the old one holds is let go after the lock, as the registry does.
    old = std::exchange(captureLostBytes_, std::move(lostBytes));
}

void BridgeCounters::Changed() { lastStateChange_.store(UnixNow(), std::memory_order_relaxed); }

CountersSnapshot BridgeCounters::Read() const {
    const auto load = [](const Count& count) { return count.load(std::memory_order_relaxed); };
    const auto flow = [&](const Flow& f) { return CountersSnapshot::Flow{load(f.bytes), load(f.blocks)}; };
    CountersSnapshot s;
    s.tcpToCom = flow(tcpToCom_);
    s.comToTcp = flow(comToTcp_);
    s.dropped = flow(dropped_);
    {
        const std::lock_guard<std::mutex> lock(reasonsMutex_);
        for (const auto& [key, count] : droppedByReason_)
            s.droppedByReason.push_back({count.direction, count.reason, flow(count.flow)});
    }
    s.connects = load(connects_);
    s.disconnects = load(disconnects_);
    s.portLosses = load(portLosses_);
    s.reconnects = load(reconnects_);
    s.refusedPeers = load(refusedPeers_);
    s.refusedClients = load(refusedClients_);
    s.laggingDisconnects = load(laggingDisconnects_);
    s.tlsRefusals = load(tlsRefusals_);
    s.modemNotifications = modemNotifications_.load(std::memory_order_acquire);
    s.modemState = modemState_.load(std::memory_order_relaxed);
    s.clientsConnected = load(clientsConnected_);
    s.portOpen = portOpen_.load(std::memory_order_relaxed);
    s.lastStateChange = lastStateChange_.load(std::memory_order_relaxed);
    {
        const std::lock_guard<std::mutex> lock(captureMutex_);
        if (captureLostBytes_) s.captureLostBytes = captureLostBytes_();
    }
    return s;
}

std::string BridgeCounters::Line() const {
    const CountersSnapshot s = Read();
    std::string line;
    Put(line, "tcp_com_bytes", s.tcpToCom.bytes);
    Put(line, "tcp_com_blocks", s.tcpToCom.blocks);
    Put(line, "com_tcp_bytes", s.comToTcp.bytes);
    Put(line, "com_tcp_blocks", s.comToTcp.blocks);
    Put(line, "dropped_blocks", s.dropped.blocks);
    Put(line, "dropped_bytes", s.dropped.bytes);
    for (const auto& d : s.droppedByReason)
        Put(line, std::string("dropped.") + DirectionKey(d.direction) + "." + d.reason, d.flow.blocks);
    Put(line, "connects", s.connects);
    Put(line, "disconnects", s.disconnects);
    Put(line, "port_losses", s.portLosses);
    Put(line, "reconnects", s.reconnects);
    Put(line, "refused_peers", s.refusedPeers);
    Put(line, "refused_clients", s.refusedClients);
    Put(line, "lagging_disconnects", s.laggingDisconnects);
    Put(line, "tls_refusals", s.tlsRefusals);
    if (s.modemNotifications > 0) {
        Put(line, "modem_notifications", s.modemNotifications);
        Put(line, "modem_state", s.modemState);
    }
    if (s.captureLostBytes) Put(line, "capture_lost_bytes", *s.captureLostBytes);
    return line;
}

}  // namespace portvale::headless
