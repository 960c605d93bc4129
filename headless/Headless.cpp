#include "headless/Headless.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>

#include "framework/Application.h"
#include "framework/SysUtils.h"
#include "headless/CaptureFile.h"
#include "headless/Counters.h"
#include "headless/HeadlessOptions.h"
#include "headless/Metrics.h"
#include "headless/MetricsServer.h"
#include "headless/Service.h"
#include "headless/ServiceManager.h"
#include "headless/SingleBridge.h"
#include "platform/Dispatcher.h"

namespace portvale::headless {

void PrintLine(const std::string& text) {
    const std::string line = LocalTimeStamp() + " " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

namespace {

// Message boxes become lines on standard error; the first box of the run is kept
// so the start-up can tell whether the connect command failed.
class ConsoleInteraction : public IInteraction {
public:
    int MessageBox(const std::string& text, const std::string& caption, unsigned) override {
        PrintLine(caption + ": " + text);
        ++shown;
        return IDOK;
    }
    int shown = 0;
};

}  // namespace

std::string LocalTimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return Format("%s.%03d", text, static_cast<int>(millis));
}

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGHUP);
    return set;
}

int HandledSignalsFd() {
    const sigset_t set = HandledSignals();
    const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) std::perror("portvale: signalfd");
    return fd;
}

void RunUntilStopSignal(int signals, ServiceManager& manager, const std::function<bool(std::uint32_t)>& handle) {
    Dispatcher& dispatcher = Dispatcher::Instance();
    bool stop = false;
    const auto watch = dispatcher.WatchFd(signals, EPOLLIN, [&](std::uint32_t) {
        signalfd_siginfo info{};
        while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (handle(info.ssi_signo)) continue;
            const std::string why = std::string("Stopping on ") + SignalName(info.ssi_signo);
            PrintLine(why);
            manager.Stopping(why);
            stop = true;
        }
    });
    while (!stop) dispatcher.RunUntil([&] { return stop; }, Dispatcher::Clock::now() + std::chrono::hours(1));
    dispatcher.Unwatch(watch);
}

const char* SignalName(std::uint32_t signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        case SIGUSR1: return "SIGUSR1";
        default: return "a signal";
    }
}

namespace {

std::string CountersLine(const BridgeCounters& counters) {
    return "Counters: " + counters.Line();
}

}  // namespace

void BlockTerminationSignals() {
    const sigset_t set = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int RunHeadless(const std::vector<std::string>& args) {
    const ParseResult parsed = ParseOptions(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "portvale: %s\n", parsed.error.c_str());
        return 2;
    }
    Options options = parsed.options;
    // Named relative to where the user is, not to --dir.
    for (std::string* file : {&options.tlsCert, &options.tlsKey, &options.tlsClientCa, &options.tlsCa})
        if (!file->empty()) *file = std::filesystem::absolute(*file).string();
    const Options& o = options;
    if (o.help) {
        std::fputs(HeadlessUsage().c_str(), stdout);
        return 0;
    }
    if (o.config) return RunService(*o.config);
    // Before the capture's thread starts, so that it inherits the mask too.
    BlockTerminationSignals();
    // A capture that reaches RLIMIT_FSIZE is a full disk to report and go on from,
    // not the end of the program (SIGXFSZ's default).
    ::signal(SIGXFSZ, SIG_IGN);
    std::unique_ptr<CaptureFile> capture;
    if (o.capture) {
        // Opened before --dir changes the directory: a relative name is the user's.
        try {
            capture = std::make_unique<CaptureFile>(
                CaptureFile::Settings{std::filesystem::absolute(*o.capture).string(),
                                      static_cast<std::uint64_t>(o.captureMaxMb) * kCaptureMegabyte},
                [](const std::string& line) { PrintLine(line); });
        } catch (const std::exception& error) {
            std::fprintf(stderr, "portvale: %s\n", error.what());
            return 1;
        }
    }
    if (o.dir) {
        std::error_code error;
        std::filesystem::current_path(*o.dir, error);
        if (error) {
            std::fprintf(stderr, "portvale: --dir: cannot use '%s': %s\n", o.dir->c_str(), error.message().c_str());
            return 2;
        }
    }

    const int signals = HandledSignalsFd();
    if (signals < 0) return 1;

    Dispatcher& dispatcher = Dispatcher::Instance();
    dispatcher.BindToCurrentThread();
    Application().Title = "Portvale";
    ConsoleInteraction console;
    Application().SetInteraction(&console);

    int exitCode = 0;
    {
        SingleBridge* started = nullptr;
        ServiceManager manager([&] { return started ? started->Status() : ServiceStatus{}; });
        // Every change of the bridge's state is a line: the status is looked at again.
        const auto print = [&manager](const std::string& line) {
            PrintLine(line);
            manager.Changed();
        };
        auto bridge = std::make_unique<SingleBridge>(o, capture.get(), print);
        const std::shared_ptr<BridgeCounters> counters = bridge->Counters();
        const std::string failure = bridge->Start();
        if (failure.empty()) {
            std::unique_ptr<MetricsServer> metrics;
            if (o.metrics) {
                const auto registry = std::make_shared<MetricsRegistry>();
                registry->Set(PortLabel(bridge->PortName()), counters);
                metrics = std::make_unique<MetricsServer>(*o.metrics, registry,
                                                          [](const std::string& line) { PrintLine(line); });
            }
            started = bridge.get();
            manager.Ready();
            RunUntilStopSignal(signals, manager, [&](std::uint32_t signal) {
                if (signal != SIGUSR1) return false;
                PrintLine(CountersLine(*counters));
                return true;
            });
            started = nullptr;
        } else {
            PrintLine("portvale: " + failure);
            manager.Stopping("Not started: " + failure);
            exitCode = 1;
        }
        bridge.reset();
        if (capture) capture->Drain();
        if (failure.empty()) PrintLine(CountersLine(*counters));
    }
    Application().SetInteraction(nullptr);
    ::close(signals);
    return exitCode;
}

}  // namespace portvale::headless
