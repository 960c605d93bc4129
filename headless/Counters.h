#pragma once
// What the bridge did in this run, for SIGUSR1, the end of the run and the metrics
// endpoint: counted on the GUI thread, printed as one line of key=value pairs that a
// script can split on spaces and '=':
//
//   tcp_com_bytes=4096 tcp_com_blocks=3 com_tcp_bytes=10 com_tcp_blocks=2
//   dropped_blocks=1 dropped_bytes=5 dropped.com_tcp.no_tcp_connection=1
//   connects=2 disconnects=1 port_losses=0 reconnects=4 refused_peers=0
//   refused_clients=0 lagging_disconnects=0 tls_refusals=0 capture_lost_bytes=0
//
// (one line). A dropped block counts once under its direction and reason, the reason
// in lower case with '_' for anything but letters and digits. capture_lost_bytes is
// there only while a capture is written; modem_notifications and modem_state (the
// last NOTIFY-MODEMSTATE byte, CTS 16, DSR 32, RI 64, CD 128 and their changes in
// the low bits) once a remote port's server reported its modem lines.
//
// Besides the counts, two gauges of what holds now (clients connected, serial port
// open) and when either last changed.
//
// Threading: one writer, the GUI thread; Read() from any thread. The writer never
// waits for a reader: every number is an atomic that only the writer stores to
// (so a plain load and store, no locked read-modify-write), and the mutexes are
// taken only by readers and by the writer when a drop reason is seen the first time
// or a capture starts or ends. capture_lost_bytes is the capture's own count, read
// where the counters are read.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Bridge.h"

namespace portvale::headless {

// The counters at one moment, for a reader on another thread.
struct CountersSnapshot {
    struct Flow {
        std::uint64_t bytes = 0;
        std::uint64_t blocks = 0;
    };
    struct Drops {
        TBridgeDirection direction;
        std::string reason;  // letters, digits and '_': "no_tcp_connection"
        Flow flow;
    };
    Flow tcpToCom;
    Flow comToTcp;
    Flow dropped;
    std::vector<Drops> droppedByReason;  // in the order of the counters line
    std::uint64_t connects = 0;
    std::uint64_t disconnects = 0;
    std::uint64_t portLosses = 0;
    std::uint64_t reconnects = 0;
    std::uint64_t refusedPeers = 0;
    std::uint64_t refusedClients = 0;
    std::uint64_t laggingDisconnects = 0;
    std::uint64_t tlsRefusals = 0;
    std::uint64_t modemNotifications = 0;
    std::uint8_t modemState = 0;  // the last NOTIFY-MODEMSTATE's byte
    std::optional<std::uint64_t> captureLostBytes;  // while a capture is written
    std::uint64_t clientsConnected = 0;
    bool portOpen = false;
    std::int64_t lastStateChange = 0;  // unix seconds
};

class BridgeCounters {
public:
    // The state-change time starts at the counters' creation: the bridge's start.
    BridgeCounters();
    BridgeCounters(const BridgeCounters&) = delete;
    BridgeCounters& operator=(const BridgeCounters&) = delete;

    void Forwarded(TBridgeDirection direction, std::size_t bytes);
    void Dropped(TBridgeDirection direction, const std::string& reason, std::size_t bytes);
    void Connected() { Add(connects_); }
    void Disconnected() { Add(disconnects_); }
    void PortLost() { Add(portLosses_); }
    void ReconnectAttempt() { Add(reconnects_); }
    // A peer whose TLS handshake failed or that did not speak TLS.
    void TlsRefused() { Add(tlsRefusals_); }
    // A remote port's modem lines as its RFC 2217 server reported them.
    void ModemState(std::uint8_t state) {
        modemState_.store(state, std::memory_order_relaxed);
        // Released after the state: a reader that sees this notification sees its state.
        modemNotifications_.store(modemNotifications_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    // Peers refused by the access list or the client limit, clients dropped for lag.
    void Noticed(TBridgeNotice notice);

    // The gauges; a change of either stamps the state-change time.
    void ClientsNow(std::size_t clients);
    void PortOpenNow(bool open);

    // While a capture is written: its count of bytes left out of it, called on
    // whichever thread reads the counters. Given nullptr before the capture goes;
    // once that returns, no reader is still in the old one or will call it again.
    void CaptureLossFrom(std::function<std::uint64_t()> lostBytes);

    std::string Line() const;
    CountersSnapshot Read() const;

private:
    using Count = std::atomic<std::uint64_t>;
    struct Flow {
        Count bytes{0};
        Count blocks{0};
    };
    struct ReasonCount {
        ReasonCount(TBridgeDirection d, std::string r) : direction(d), reason(std::move(r)) {}
        const TBridgeDirection direction;
        const std::string reason;
        Flow flow;
    };

    // Only the GUI thread writes, so a load and a store cannot lose an increment.
    static void Add(Count& count, std::uint64_t n = 1) {
        count.store(count.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    static void Add(Flow& flow, std::size_t bytes) {
        Add(flow.bytes, bytes);
        Add(flow.blocks);
    }
    void Changed();

    Flow tcpToCom_;
    Flow comToTcp_;
    Flow dropped_;
    // Keyed by the counters line's key, so that the line lists them in its order.
    // The writer looks keys up without the mutex (readers never change the map);
    // it holds the mutex to insert one.
    std::map<std::string, ReasonCount> droppedByReason_;
    mutable std::mutex reasonsMutex_;
    Count connects_{0};
    Count disconnects_{0};
    Count portLosses_{0};
    Count reconnects_{0};
    Count refusedPeers_{0};
    Count refusedClients_{0};
    Count laggingDisconnects_{0};
    Count tlsRefusals_{0};
    Count modemNotifications_{0};
    std::atomic<std::uint8_t> modemState_{0};
    Count clientsConnected_{0};
    std::atomic<bool> portOpen_{false};
    std::atomic<std::int64_t> lastStateChange_{0};
    // Held by a reader while it calls the capture's count, which is then still there.
    mutable std::mutex captureMutex_;
    std::function<std::uint64_t()> captureLostBytes_;
};

// "tcp>com" or "com>tcp", as the log and the capture write it.
const char* DirectionMark(TBridgeDirection direction);
// "tcp_com" or "com_tcp", as the counters line writes it.
const char* DirectionKey(TBridgeDirection direction);

}  // namespace portvale::headless
