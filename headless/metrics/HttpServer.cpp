// The module portvale-metrics.so: cpp-httplib behind the HttpEndpoint interface.
// Only this file includes httplib.h, so that only this module maps its library.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "headless/HttpEndpoint.h"

namespace portvale::headless {

namespace {

constexpr auto kRetry = std::chrono::seconds(5);

class HttpServer : public HttpEndpoint {
public:
    explicit HttpServer(HttpEndpointSettings settings) : settings_(std::move(settings)) {
        // A scrape is small and rare: two answering threads, so that one scraper that
        // keeps its connection open never holds up another, and short waits for a
        // peer that sends nothing.
        server_.new_task_queue = [] { return new httplib::ThreadPool(2); };
        server_.set_read_timeout(5, 0);
        server_.set_write_timeout(5, 0);
        server_.set_payload_max_length(64 << 10);
        server_.Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
            std::string body, type;
            if (settings_.page(request.path, body, type)) response.set_content(body, type);
            else response.status = 404;
        });
        // Any other method is 404 before its body is looked for, as the paths are.
        server_.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
            if (request.method == "GET" || request.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
            response.status = 404;
            return httplib::Server::HandlerResponse::Handled;
        });
        server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (response.status == 404) response.set_content("Not found\n", "text/plain");
        });
        thread_ = std::thread([this] { Run(); });
    }

    ~HttpServer() override {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        // stop() takes hold only once the server runs, and may be called only once
        // while it does: a server between its bind and its accept loop is waited for.
        while (!finished_) {
            if (server_.is_running()) {
                lock.unlock();
                server_.stop();
                lock.lock();
                wake_.wait(lock, [this] { return finished_; });
                break;
            }
            wake_.wait_for(lock, std::chrono::milliseconds(5), [this] { return finished_; });
        }
        lock.unlock();
        thread_.join();
    }

private:
    void Run() {
        // Inherited by the answering threads, which start inside listen_after_bind.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        bool failed = false;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            errno = 0;
            const bool bound = server_.bind_to_port(settings_.address, settings_.port);
            const int error = errno;
            if (bound) {
                settings_.print("Metrics on http://" + settings_.name + "/metrics and /status");
                failed = false;
                server_.listen_after_bind();
            } else if (!failed) {
                failed = true;
                settings_.print("Metrics: cannot listen on " + settings_.name + ": " +
                                (error ? std::strerror(error) : "no such address") + "; trying again every " +
                                std::to_string(kRetry.count()) + " s");
            }
            lock.lock();
            // After a failed bind, or an accept loop that ended by itself.
            wake_.wait_for(lock, kRetry, [this] { return stopping_; });
        }
        finished_ = true;
        wake_.notify_all();
    }

    const HttpEndpointSettings settings_;
    httplib::Server server_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace

}  // namespace portvale::headless

extern "C" __attribute__((visibility("default"))) portvale::headless::HttpEndpoint* portvale_start_http_endpoint(
    const portvale::headless::HttpEndpointSettings& settings) {
    return new portvale::headless::HttpServer(settings);
}
