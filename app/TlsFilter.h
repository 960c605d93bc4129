#pragma once
// TLS on the bridge's TCP connections, as a bridge filter: the ciphertext of each
// connection goes through an OpenSSL session over memory buffers, so the handshake
// and every record are worked on the dispatching thread as bytes arrive, without a
// socket call of its own and without ever waiting. The plaintext is what the other
// filters (RFC 2217) and the device see.
//
// A connection is not a target for the device's bytes until its handshake is done;
// bytes the filter itself is given before that (another filter's greeting) wait in
// the session. A handshake that fails, or does not finish in time, closes the
// connection with one line naming the peer and the reason.
//
// Threading: the dispatching thread, with the bridge.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/BridgeFilter.h"

struct ssl_ctx_st;
struct ssl_st;

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

class TTlsFilter : public TBridgeFilter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kHandshakeLimit{10};

    struct Links {
        // Ciphertext for a connection, behind what it has queued.
        std::function<void(TCustomWinSocket*, std::string)> send;
        // The connection must go (a refused or stalled handshake).
        std::function<void(TCustomWinSocket*)> close;
        // The handshake finished: the connection takes data now.
        std::function<void(TCustomWinSocket*)> established;
        // A connection refused, with the reason ("certificate verify failed", ...).
        std::function<void(TCustomWinSocket*, const std::string&)> refused;
        // A handshake began: ExpireHandshakes is due until none is left.
        std::function<void()> handshaking;
    };

    // Throws EConvertError with the file and OpenSSL's reason when the settings
    // cannot be used (a missing file, a key that does not match).
    TTlsFilter(const TTlsSettings& settings, Links links);
    ~TTlsFilter() override;
    TTlsFilter(const TTlsFilter&) = delete;
    TTlsFilter& operator=(const TTlsFilter&) = delete;

    void Connected(TCustomWinSocket* socket) override;
    void Disconnected(TCustomWinSocket* socket) override;
    std::string FromTcp(TCustomWinSocket* socket, const std::string& bytes) override;
    std::string ToTcp(TCustomWinSocket* socket, const std::string& bytes) override;
    bool Ready(TCustomWinSocket* socket) override;

    // Closes the connections whose handshake began more than kHandshakeLimit ago.
    void ExpireHandshakes(Clock::time_point now);
    bool Handshaking() const;

    // A warning for a key file others than its owner may read; empty when none.
    static std::string KeyFileWarning(const std::string& path);

private:
    struct Session;
    Session* SessionOf(TCustomWinSocket* socket);
    void Step(TCustomWinSocket* socket, Session& session, std::string& plain);
    void Flush(TCustomWinSocket* socket, Session& session);
    void Refuse(TCustomWinSocket* socket, const std::string& reason);

    const bool server_;
    const std::string host_;
    Links links_;
    ssl_ctx_st* context_ = nullptr;
    std::map<TCustomWinSocket*, std::unique_ptr<Session>> sessions_;
};

}  // namespace portvale
