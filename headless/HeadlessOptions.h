#pragma once
// The command line of `portvale --headless`: settings for this run only, on top of
// what the settings files hold. The settings a bridge of a configuration file has
// too are read from the same table of keys (headless/BridgeKeys.h), --KEY for KEY.

#include <optional>
#include <string>
#include <vector>

#include "headless/BridgeKeys.h"

namespace portvale::headless {

// The bridge's settings (the file-only ones keep their defaults; `serial` empty
// when not given), and what only the command line has.
struct Options : BridgeConfig {
    Options();  // with the command line's own defaults

    std::optional<std::string> dir;
    std::optional<int> mode;  // item index of "TCP Socket Mode": 0 off, 1 client, 2 server
    std::optional<std::string> host;
    std::optional<std::string> port;
    int format = 0;  // TMessageFormat for --log
    bool help = false;
    // Every bridge of a configuration file instead of the options above.
    std::optional<std::string> config;
    // The address of --listen ("127.0.0.1", "::1"); its port is in `port`.
    std::optional<std::string> listenAddress;
    // "ADDR:PORT" of the metrics endpoint (GET /metrics, /status); unset: none.
    std::optional<std::string> metrics;
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the line was understood
};

// Arguments after the program name; "--headless" itself is accepted and ignored.
ParseResult ParseOptions(const std::vector<std::string>& args);

// The text of `portvale --headless --help`.
std::string HeadlessUsage();

}  // namespace portvale::headless
