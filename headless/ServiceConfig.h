#pragma once
// The configuration file of `portvale --headless --config FILE`: every bridge one
// service runs, in TOML. A [defaults] table gives what every [[bridge]] inherits;
// a [service] table holds what belongs to the process (the metrics endpoint).
// Reading checks everything a bridge needs before anything starts; an error names
// the file, the line and column, and the key.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace portvale::headless {

struct BridgeConfig {
    std::string name;
    // The serial side; unset line settings are the port's own (9600 8N1, no flow).
    // "pty:PATH" is a virtual device: a pseudo-terminal whose slave PATH links to.
    std::string serial;
    int ptyMode = 0660;
    std::string ptyGroup = "dialout";
    std::optional<std::int32_t> baud;
    std::optional<int> dataBits;  // 5..8
    std::optional<int> parity;    // TParityBits
    std::optional<int> stopBits;  // TStopBits
    std::optional<int> flow;      // TFlowControl
    // The TCP side: exactly one of them, "ADDR:PORT" ("[::]:4001" for IPv6).
    std::string listen;
    std::string connect;
    bool rfc2217 = false;
    int keepAliveSeconds = 60;
    int reconnectSeconds = 2;
    std::optional<std::string> capture;
    int captureMaxMb = 0;
    bool log = false;
    // Clients of a listening bridge.
    int clients = 1;
    bool share = false;
    bool kickOld = false;
    std::uint64_t maxLag = 1 << 20;
    std::vector<std::string> allow;  // addresses and networks ("10.0.0.0/8", "::1")
    // TLS: a listening bridge with a certificate and key speaks it; a connecting one
    // with `tls`. PEM files; an empty CA is the system's store.
    bool tls = false;
    std::string tlsCert;
    std::string tlsKey;
    std::string tlsClientCa;
    std::string tlsCa;
    std::string tlsMinVersion = "1.2";

    bool operator==(const BridgeConfig&) const = default;
};

struct ServiceConfig {
    std::vector<BridgeConfig> bridges;
    // "ADDR:PORT" of the metrics endpoint; empty: none.
    std::string metrics;
};

struct ConfigResult {
    ServiceConfig config;
    std::string error;  // "FILE:LINE:COLUMN: KEY: what is wrong"; empty when read
};

ConfigResult ReadServiceConfig(const std::string& path);
// The same for text already read; path only names it in errors.
ConfigResult ParseServiceConfig(std::string_view text, const std::string& path);

// Whether the bridge speaks TLS on its TCP side.
bool TlsEnabled(const BridgeConfig& bridge);

// "ADDR:PORT" split, the address without brackets; false when it is not one.
bool SplitAddressPort(const std::string& text, std::string& address, int& port);

}  // namespace portvale::headless
