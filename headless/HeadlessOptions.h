#pragma once
// The command line of `portvale --headless`: settings for this run only, on top of
// what the settings files hold.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace portvale::headless {

struct Options {
    std::optional<std::string> dir;
    std::optional<int> mode;  // item index of "TCP Socket Mode": 0 off, 1 client, 2 server
    std::optional<std::string> host;
    std::optional<std::string> port;
    std::optional<std::string> serial;
    std::optional<std::int32_t> baud;
    std::optional<int> dataBits;   // 5..8
    std::optional<int> parity;     // TParityBits
    std::optional<int> stopBits;   // TStopBits
    std::optional<int> flow;       // TFlowControl
    bool log = false;
    int format = 0;                // TMessageFormat for --log
    bool help = false;
    int reconnectSeconds = 2;      // client mode: delay before the next attempt; 0 = none
    int keepAliveSeconds = 60;     // dead-peer detection on every connection; 0 = none
    std::optional<std::string> capture;  // file that every forwarded block is written to
    int captureMaxMb = 0;          // size at which the capture rotates; 0 = no limit
    bool rfc2217 = false;          // the TCP side speaks RFC 2217 (telnet COM-PORT-OPTION)
    // Every bridge of a configuration file instead of the options above.
    std::optional<std::string> config;
    // Server mode on one address: "127.0.0.1:4001", "[::1]:4001".
    std::optional<std::string> listenAddress;
    std::optional<int> clients;            // connections at once; unset: any number
    bool share = false;                    // the device's bytes to every client
    bool kickOld = false;                  // a client beyond --clients closes the oldest
    std::uint64_t maxLag = 1 << 20;        // bytes a sharing client may fall behind
    std::vector<std::string> allow;        // peers admitted; empty: everyone
    // "ADDR:PORT" of the metrics endpoint (GET /metrics, /status); unset: none.
    std::optional<std::string> metrics;
    // TLS: a server with a certificate and key speaks it, a client with --tls.
    bool tls = false;
    std::string tlsCert;
    std::string tlsKey;
    std::string tlsClientCa;
    std::string tlsCa;
};

// Bytes in one "MB" of --capture-max.
inline constexpr std::uint64_t kCaptureMegabyte = 1000 * 1000;

struct ParseResult {
    Options options;
    std::string error;  // empty when the line was understood
};

// Arguments after the program name; "--headless" itself is accepted and ignored.
ParseResult ParseOptions(const std::vector<std::string>& args);

// The text of `portvale --headless --help`.
std::string HeadlessUsage();

}  // namespace portvale::headless
