#pragma once
// The configuration file of `portvale --headless --config FILE`: every bridge one
// service runs, in TOML. A [defaults] table gives what every [[bridge]] inherits;
// a [service] table holds what belongs to the process (the metrics endpoint).
// Reading checks everything a bridge needs before anything starts; an error names
// the file, the line and column, and the key.

#include <string>
#include <string_view>
#include <vector>

#include "headless/BridgeKeys.h"

namespace portvale::headless {

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

// The check both roads ask of a value for `key`: the key's own, and for a listen
// address that it leads somewhere (resolved here, blocking: a value is read at the
// start and on a reload).
KeyProblem CheckSetting(const BridgeKey& key, const KeyValue& value, Road road);

}  // namespace portvale::headless
