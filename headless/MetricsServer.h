#pragma once
// The metrics endpoint: GET /metrics (Prometheus' text format) and GET /status (JSON)
// from a registry of bridges' counters, 404 to anything else, served by the HTTP
// server of the module portvale-metrics.so (HttpEndpoint.h) on a thread of its own,
// which reads the registry and never touches a bridge. The module is looked for beside
// the program (the build tree) and where it is installed; one that cannot be
// loaded, like an address that cannot be bound, is said and the bridges run on.
//
// Threading: made and destroyed on the GUI thread.

#include <functional>
#include <memory>
#include <string>

#include "headless/HttpEndpoint.h"
#include "headless/Metrics.h"

namespace portvale::headless {

class MetricsServer {
public:
    using Print = std::function<void(const std::string&)>;

    // `endpoint` is "ADDR:PORT" ("127.0.0.1:9187", "[::1]:9187"), already checked.
    MetricsServer(const std::string& endpoint, std::shared_ptr<const MetricsRegistry> registry, Print print);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    const std::string& Endpoint() const { return endpoint_; }

private:
    const std::string endpoint_;
    std::unique_ptr<HttpEndpoint> http_;
};

}  // namespace portvale::headless
