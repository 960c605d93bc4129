#pragma once
// One protocol layer of the bridge's TCP side (TLS, RFC 2217, ...), as a filter
// stack holds it: it sees each connection open and close, turns the bytes that come
// up from the network and down from the device, and acts on its own through its
// site (sends answers, closes a connection, says a connection is ready, asks for a
// tick). Connections are ids, never sockets, so a layer touches no socket, device or
// dispatcher and can be fed any bytes (tests, fuzzing).
//
// Threading: the dispatching thread, with the bridge.

#include <chrono>
#include <cstdint>
#include <string>

namespace portvale {

using TConnectionId = std::uint64_t;

// What the stack gives a layer. Every call may re-enter the stack (a close reaches
// the layers' Closed before it returns).
class TFilterSite {
public:
    virtual ~TFilterSite() = default;
    // Bytes toward the wire through every layer below this one, behind what the
    // connection already has queued.
    virtual void ToNetwork(TConnectionId id, std::string bytes) = 0;
    // Bytes toward the device through every layer above this one.
    virtual void ToDevice(TConnectionId id, std::string bytes) = 0;
    // The connection must go (a refused or stalled handshake).
    virtual void Close(TConnectionId id) = 0;
    // The layer finished setting the connection up: it may take data now.
    virtual void Ready(TConnectionId id) = 0;
    // While wanted, the layer's Tick is called about once a second.
    virtual void WantTicks(bool wanted) = 0;
    // The device's data waits (true) or flows again (false): a peer's flow control.
    virtual void HoldSerial(bool hold) = 0;
    // One line for the log.
    virtual void Log(const std::string& line) = 0;
    // A connection refused by the layer, with the reason; logged and counted.
    virtual void Refused(TConnectionId id, const std::string& reason) = 0;
    // A modem-state byte a peer reported.
    virtual void ModemState(std::uint8_t state) = 0;
    // The peer of a connection as "192.0.2.7:40312", for lines that name it.
    virtual std::string Peer(TConnectionId id) const = 0;
};

class TFilter {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~TFilter() = default;
    virtual void Opened(TConnectionId id) = 0;
    virtual void Closed(TConnectionId id) = 0;
    // Bytes from below (the network side); the result goes up.
    virtual std::string FromNetwork(TConnectionId id, const std::string& bytes) = 0;
    // Bytes from above (the device side); the result goes down.
    virtual std::string FromDevice(TConnectionId id, const std::string& bytes) = 0;
    // Whether the connection takes the device's data yet.
    virtual bool Ready(TConnectionId) const { return true; }
    // Whether a new connection waits for this layer (a handshake) before it is ready.
    virtual bool HoldsNewConnections() const { return false; }
    virtual void Tick(Clock::time_point) {}

    // Set by the stack that holds the layer, before any other call.
    void Attach(TFilterSite& site) { site_ = &site; }

protected:
    TFilterSite& Site() const { return *site_; }

private:
    TFilterSite* site_ = nullptr;
};

}  // namespace portvale
