#include "headless/MetricsServer.h"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "headless/ServiceConfig.h"

namespace portvale::headless {

namespace {

// The module's entry point, loaded once and kept for the life of the process; null
// with the reason in `error` when it cannot be had.
StartHttpEndpointFunction LoadModule(std::string& error) {
    static std::mutex mutex;
    static StartHttpEndpointFunction start = nullptr;
    static std::string failure;
    const std::lock_guard<std::mutex> lock(mutex);
    if (start || !failure.empty()) {
        error = failure;
        return start;
    }
    std::error_code ignored;
    const std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path();
    std::string tried;
    for (const std::filesystem::path& place :
         {folder / PORTVALE_METRICS_MODULE,
          (folder / PORTVALE_METRICS_FROM_BINDIR / PORTVALE_METRICS_MODULE).lexically_normal()}) {
        if (!std::filesystem::exists(place, ignored)) {
            tried += (tried.empty() ? "" : ", ") + place.string();
            continue;
        }
        void* module = ::dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module) start = reinterpret_cast<StartHttpEndpointFunction>(::dlsym(module, kStartHttpEndpoint));
        if (start) return start;
        const char* why = ::dlerror();
        failure = "cannot load " + place.string() + ": " + (why ? why : "no entry point");
        error = failure;
        return nullptr;
    }
    failure = std::string(PORTVALE_METRICS_MODULE) + " is not installed (looked for " + tried + ")";
    error = failure;
    return nullptr;
}

}  // namespace

MetricsServer::MetricsServer(const std::string& endpoint, std::shared_ptr<const MetricsRegistry> registry,
                             Print print)
    : endpoint_(endpoint) {
    std::string error;
    const StartHttpEndpointFunction start = LoadModule(error);
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
