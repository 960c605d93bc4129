#include "headless/Service.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "framework/Application.h"
#include "framework/SysUtils.h"
#include "headless/BridgePreflight.h"
#include "headless/Headless.h"
#include "headless/Metrics.h"
#include "headless/MetricsServer.h"
#include "headless/ServiceBridge.h"
#include "headless/ServiceConfig.h"
#include "headless/ServiceManager.h"
#include "platform/Dispatcher.h"

namespace portvale::headless {

namespace {

// The running bridges by name, each one's counters in the registry of the metrics
// endpoint while it runs.
class BridgeSet {
public:
    // `changed` hears of every line a bridge prints: each change of its state is one.
    BridgeSet(MetricsRegistry& registry, std::function<void()> changed)
        : registry_(registry), changed_(std::move(changed)) {}

    // Makes the bridges of `config`; false when one of them cannot be made at all.
    bool Start(const ServiceConfig& config) {
        bool all = true;
        for (const BridgeConfig& b : config.bridges) all = StartOne(b) && all;
        return all;
    }

    // Brings the running bridges to `config`, touching only what changed; when a
    // changed or new bridge could not start, touches nothing and says why.
    std::string Apply(const ServiceConfig& config) {
        std::map<std::string, const BridgeConfig*> wanted;
        for (const BridgeConfig& b : config.bridges) wanted[b.name] = &b;
        if (std::string why = CheckChanges(config, wanted); !why.empty()) return why;
        std::set<std::string> restarting;
        int unchanged = 0, started = 0, stopped = 0;
        // Stopped first: a device or an address that moves to another bridge is free
        // before that one opens it.
        for (auto it = bridges_.begin(); it != bridges_.end();) {
            const auto w = wanted.find(it->first);
            if (w != wanted.end() && *w->second == it->second->Config()) {
                ++unchanged;
                ++it;
                continue;
            }
            const std::string name = it->first;
            if (w != wanted.end()) restarting.insert(name);
            else ++stopped;
            registry_.Remove(name);
            it = bridges_.erase(it);
            Print(name, w != wanted.end() ? "Stopped to restart with new settings" : "Stopped: no longer in the file");
        }
        for (const BridgeConfig& b : config.bridges) {
            if (bridges_.count(b.name)) continue;
            StartOne(b);
            if (!restarting.count(b.name)) ++started;
        }
        PrintLine(Format("Reloaded: %d unchanged, %zu restarted, %d started, %d stopped", unchanged, restarting.size(),
                         started, stopped));
        return {};
    }

    void PrintCounters() const {
        for (const auto& [name, bridge] : bridges_) Print(name, bridge->CountersLine());
    }

    void StopAll(bool printCounters) {
        for (auto& [name, bridge] : bridges_) {
            if (printCounters) Print(name, bridge->CountersLine());
            registry_.Remove(name);
        }
        bridges_.clear();
    }

    std::size_t Size() const { return bridges_.size(); }

    ServiceStatus Status() const {
        ServiceStatus status;
        status.bridges = static_cast<int>(bridges_.size());
        for (const auto& [name, bridge] : bridges_) {
            if (!bridge->PortOpen()) ++status.portsWaiting;
            if (!bridge->Config().listen.empty()) {
                status.clients += bridge->Clients();
                if (!bridge->Listening()) ++status.listenersWaiting;
            } else if (bridge->ServerConnected()) {
                ++status.serverConnections;
            } else {
                ++status.connecting;
            }
        }
        return status;
    }

private:
    static void Print(const std::string& name, const std::string& text) { PrintLine("[" + name + "] " + text); }

    // Every bridge that would start checked before any running one stops; the ports
    // of the bridges that stop or restart are theirs to take over.
    std::string CheckChanges(const ServiceConfig& config,
                             const std::map<std::string, const BridgeConfig*>& wanted) const {
        std::set<int> freed;
        for (const auto& [name, bridge] : bridges_) {
            const auto w = wanted.find(name);
            if (w != wanted.end() && *w->second == bridge->Config()) continue;
            std::string host;
            int port = 0;
            if (SplitAddressPort(bridge->Config().listen, host, port)) freed.insert(port);
        }
        for (const BridgeConfig& b : config.bridges) {
            const auto running = bridges_.find(b.name);
            if (running != bridges_.end() && running->second->Config() == b) continue;
            if (const auto problem = Preflight(b, freed)) return "bridge \"" + b.name + "\": " + problem->text;
        }
        return {};
    }

    bool StartOne(const BridgeConfig& b) {
        const std::string name = b.name;
        try {
            bridges_[name] = std::make_unique<ServiceBridge>(b, [this, name](const std::string& text) {
                Print(name, text);
                changed_();
            });
            registry_.Set(name, bridges_[name]->Counters());
            return true;
        } catch (const std::exception& error) {
            bridges_.erase(name);
            Print(name, std::string("Not started: ") + error.what());
            return false;
        }
    }

    MetricsRegistry& registry_;
    // Before the bridges: they may print while they go.
    const std::function<void()> changed_;
    std::map<std::string, std::unique_ptr<ServiceBridge>> bridges_;
};

// The metrics endpoint where the file asks for one, moved or ended by a reload.
void ServeMetrics(std::unique_ptr<MetricsServer>& server, const std::string& endpoint,
                  const std::shared_ptr<MetricsRegistry>& registry) {
    if (server && server->Endpoint() == endpoint) return;
    const bool had = server != nullptr;
    // The old one first: the new address may take in the old one (0.0.0.0 after
    // 127.0.0.1 on one port).
    server.reset();
    if (!endpoint.empty())
        server = std::make_unique<MetricsServer>(endpoint, registry, [](const std::string& line) { PrintLine(line); });
    else if (had)
        PrintLine("Metrics no longer served");
}

}  // namespace

int RunService(const std::string& configPath) {
    const ConfigResult first = ReadServiceConfig(configPath);
    if (!first.error.empty()) {
        std::fprintf(stderr, "portvale: %s\n", first.error.c_str());
        return 2;
    }
    // Nothing starts while one bridge could not: a file that names what is not there
    // is the file's fault (2), a device or an address that is not to be had is the
    // system's (1).
    for (const BridgeConfig& b : first.config.bridges) {
        if (const auto problem = Preflight(b)) {
            std::fprintf(stderr, "portvale: %s: bridge \"%s\": %s\n", configPath.c_str(), b.name.c_str(),
                         problem->text.c_str());
            return problem->kind == PreflightProblem::Kind::File ? 2 : 1;
        }
    }
    BlockTerminationSignals();
    ::signal(SIGXFSZ, SIG_IGN);
    const int signals = HandledSignalsFd();
    if (signals < 0) return 1;
    Dispatcher& dispatcher = Dispatcher::Instance();
    dispatcher.BindToCurrentThread();
    Application().Title = "Portvale";

    int exitCode = 0;
    {
        const auto registry = std::make_shared<MetricsRegistry>();
        // Made before the bridges and gone after them, as they tell it of changes.
        const BridgeSet* running = nullptr;
        std::string reloadTrouble;
        ServiceManager manager([&] {
            ServiceStatus status = running ? running->Status() : ServiceStatus{};
            if (!reloadTrouble.empty()) status.note = "reload failed: " + reloadTrouble;
            return status;
        });
        BridgeSet bridges(*registry, [&manager] { manager.Changed(); });
        running = &bridges;
        if (!bridges.Start(first.config)) exitCode = 1;
        if (bridges.Size() == 0) {
            ::close(signals);
            return 1;
        }
        PrintLine(Format("Running %zu %s from %s", bridges.Size(), bridges.Size() == 1 ? "bridge" : "bridges",
                         configPath.c_str()));
        std::unique_ptr<MetricsServer> metrics;
        ServeMetrics(metrics, first.config.metrics, registry);
        manager.Ready();
        RunUntilStopSignal(signals, manager, [&](std::uint32_t signal) {
            if (signal == SIGUSR1) {
                bridges.PrintCounters();
                return true;
            }
            if (signal != SIGHUP) return false;
            manager.Reloading(configPath);
            const ConfigResult again = ReadServiceConfig(configPath);
            if (!again.error.empty()) {
                PrintLine("Reload failed, running as before: " + again.error);
                reloadTrouble = again.error;
            } else if (const std::string why = bridges.Apply(again.config); !why.empty()) {
                PrintLine("Reload failed, running as before: " + why);
                reloadTrouble = why;
            } else {
                ServeMetrics(metrics, again.config.metrics, registry);
                reloadTrouble.clear();
            }
            manager.Ready();
            return true;
        });
        metrics.reset();
        bridges.StopAll(true);
    }
    ::close(signals);
    return exitCode;
}

}  // namespace portvale::headless
