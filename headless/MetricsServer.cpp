#include "headless/MetricsServer.h"

#include "headless/Module.h"
#include "headless/ServiceConfig.h"

namespace portvale::headless {

MetricsServer::MetricsServer(const std::string& endpoint, std::shared_ptr<const MetricsRegistry> registry,
                             Print print)
    : endpoint_(endpoint) {
    std::string error;
    const auto start =
        reinterpret_cast<StartHttpEndpointFunction>(ModuleEntry("portvale-metrics.so", kStartHttpEndpoint, error));
    if (!start) {
        print("Metrics not served: " + error);
        return;
    }
    HttpEndpointSettings settings;
    SplitAddressPort(endpoint, settings.address, settings.port);
    settings.name = endpoint;
    settings.print = std::move(print);
    settings.page = [bridges = std::move(registry)](const std::string& path, std::string& body, std::string& type) {
        if (path == "/metrics") {
            body = PrometheusText(bridges->Read());
            type = "text/plain; version=0.0.4; charset=utf-8";
        } else if (path == "/status") {
            body = StatusJson(bridges->Read());
            type = "application/json";
        } else {
            return false;
        }
        return true;
    };
    http_.reset(start(settings));
}

MetricsServer::~MetricsServer() = default;

}  // namespace portvale::headless
