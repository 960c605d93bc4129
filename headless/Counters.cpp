#include "headless/Counters.h"

namespace portvale::headless {

namespace {

std::string ReasonKey(TBridgeDirection direction, const std::string& reason) {
    std::string key = direction == TBridgeDirection::TcpToCom ? "dropped.tcp_com." : "dropped.com_tcp.";
    bool gap = false;
    for (const char c : reason) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
        if (!keep) {
            gap = true;
            continue;
        }
        if (gap && key.back() != '.') key += '_';
        gap = false;
        key += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (key.back() == '.') key += "unknown";
    return key;
}

void Put(std::string& line, const std::string& key, std::uint64_t value) {
    if (!line.empty()) line += ' ';
    line += key;
    line += '=';
    line += std::to_string(value);
}

}  // namespace

const char* DirectionMark(TBridgeDirection direction) {
    return direction == TBridgeDirection::TcpToCom ? "tcp>com" : "com>tcp";
}

void BridgeCounters::Forwarded(TBridgeDirection direction, std::size_t bytes) {
    Flow& flow = direction == TBridgeDirection::TcpToCom ? tcpToCom_ : comToTcp_;
    flow.bytes += bytes;
    ++flow.blocks;
}

void BridgeCounters::Noticed(TBridgeNotice notice) {
    switch (notice) {
        case TBridgeNotice::Refused: ++refusedPeers_; break;
        case TBridgeNotice::OverLimit: ++refusedClients_; break;
        case TBridgeNotice::Lagging: ++laggingDisconnects_; break;
        default: break;
    }
}

void BridgeCounters::Dropped(TBridgeDirection direction, const std::string& reason, std::size_t bytes) {
    dropped_.bytes += bytes;
    ++dropped_.blocks;
    ++droppedByReason_[ReasonKey(direction, reason)];
}

std::string BridgeCounters::Line(std::optional<std::uint64_t> captureLostBytes) const {
    std::string line;
    Put(line, "tcp_com_bytes", tcpToCom_.bytes);
    Put(line, "tcp_com_blocks", tcpToCom_.blocks);
    Put(line, "com_tcp_bytes", comToTcp_.bytes);
    Put(line, "com_tcp_blocks", comToTcp_.blocks);
    Put(line, "dropped_blocks", dropped_.blocks);
    Put(line, "dropped_bytes", dropped_.bytes);
    for (const auto& [key, blocks] : droppedByReason_) Put(line, key, blocks);
    Put(line, "connects", connects_);
    Put(line, "disconnects", disconnects_);
    Put(line, "port_losses", portLosses_);
    Put(line, "reconnects", reconnects_);
    Put(line, "refused_peers", refusedPeers_);
    Put(line, "refused_clients", refusedClients_);
    Put(line, "lagging_disconnects", laggingDisconnects_);
    Put(line, "tls_refusals", tlsRefusals_);
    if (captureLostBytes) Put(line, "capture_lost_bytes", *captureLostBytes);
    return line;
}

}  // namespace portvale::headless
