#pragma once
// The bridges' counters as a monitoring system reads them: the set of bridges that
// the metrics endpoint shows, and its two renderings, the Prometheus text exposition
// format (GET /metrics) and the same numbers as JSON (GET /status).
//
// Threading: the registry is changed on the GUI thread (a bridge starts or stops)
// and read on the endpoint's thread. It holds each bridge's counters by shared
// ownership, so a reader that took a bridge's counters keeps them alive while the
// bridge itself is gone (removed or restarted by a reload).

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "headless/Counters.h"

namespace portvale::headless {

using NamedSnapshots = std::vector<std::pair<std::string, CountersSnapshot>>;

class MetricsRegistry {
public:
    // A bridge of that name is replaced: a restarted bridge has new counters.
    void Set(const std::string& name, std::shared_ptr<const BridgeCounters> counters);
    void Remove(const std::string& name);
    // Every bridge's counters now, by name.
    NamedSnapshots Read() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const BridgeCounters>> bridges_;
};

// Prometheus' text format 0.0.4: one family after the other, each with its HELP and
// TYPE, a sample per bridge labelled bridge="NAME" (the modem's and the capture's
// only for the bridges that have them).
std::string PrometheusText(const NamedSnapshots& bridges);
// {"bridges":[{"name":...,"tcp_com_bytes":...,...}]}, keys as in the counters line,
// and like it with the modem's and the capture's keys only where they apply.
std::string StatusJson(const NamedSnapshots& bridges);

// A label value for the single bridge of a run from the command line: its serial
// port's name, without the "/dev/" that the bare form leaves out ("ttyUSB0",
// "pts/3", "COM1", "/tmp/portA").
std::string PortLabel(const std::string& port);

}  // namespace portvale::headless
