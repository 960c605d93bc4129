#pragma once
// TLS on the bridge's TCP connections, as the layer next to the wire: the ciphertext of each
// connection goes through an OpenSSL session over memory buffers, so the handshake
// and every record are worked on the dispatching thread as bytes arrive, without a
// socket call of its own and without ever waiting. The plaintext is what the other
// layers (RFC 2217) and the device see.
//
// A connection is not a target for the device's bytes until its handshake is done;
// bytes the layer is given before that (another layer's greeting) wait in
// the session. A handshake that fails, or does not finish in time, closes the
// connection with one line naming the peer and the reason.
//
// Threading: the dispatching thread, with the bridge.

#include <chrono>
#include <cstdint>
#include <string>

#include "app/Filter.h"

namespace portvale {

struct TTlsSettings {
    bool server = true;
    // PEM files. A server needs both; a client presents them when given.
    std::string certificate;
    std::string key;
    // Server: clients must present a certificate signed by this CA (PEM).
    std::string clientCa;
    // Client: the CA (PEM) the server's certificate must chain to; empty: the system's.
    std::string ca;
    // Client: the name the server's certificate must carry.
    std::string host;
    // "1.2" or "1.3".
    std::string minVersion = "1.2";
};

// The layer's face; the work is OpenSSL's, in the module portvale-tls.so (app/tls),
// which a bridge loads only when it speaks TLS: OpenSSL's libraries are most of two
// megabytes of a process that never uses them.
class TTlsFilter : public TFilter {
public:
    static constexpr std::chrono::seconds kHandshakeLimit{10};

    // Closes the connections whose handshake began more than kHandshakeLimit ago.
    virtual void ExpireHandshakes(Clock::time_point now) = 0;
    virtual bool Handshaking() const = 0;
    bool HoldsNewConnections() const override { return true; }
    // Ticks come while a handshake is under way.
    void Tick(Clock::time_point now) override {
        ExpireHandshakes(now);
        if (!Handshaking()) Site().WantTicks(false);
    }

    // A warning for a key file others than its owner may read; empty when none.
    static std::string KeyFileWarning(const std::string& path);
};

// The module's one entry point, found by this name: a layer, or null with the reason
// in `error` ("tls-cert: PATH: No such file or directory", a key that does not match
// its certificate).
using MakeTlsFilterFunction = TTlsFilter* (*)(const TTlsSettings& settings, std::string& error);
inline constexpr const char* kMakeTlsFilter = "portvale_make_tls_filter";

}  // namespace portvale
