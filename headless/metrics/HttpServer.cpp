// The module portvale-metrics.so: the endpoint's HTTP server, with cpp-httplib reading
// the requests and writing the answers. Only this file includes httplib.h, so that
// only this module maps its library.
//
// The accepting and the waiting for requests are ours. httplib's server gives each
// connection a thread of a fixed pool for as long as its peer takes, and its
// timeouts bound each read, not the request: two peers that send a byte a second
// hold both threads and no scrape is answered. Here one thread polls every
// connection; a request's head has a few seconds to come in full, and only then does
// httplib read it, from memory, and write its answer into memory, which the thread
// sends as the peer takes it. Nothing on the thread waits for a peer.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>

#include "headless/HttpEndpoint.h"

namespace portvale::headless {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRetry = 5s;
// For a request's whole head, from the connection's start or the end of the answer
// before it; a scraper sends its head at once.
constexpr auto kHeadTime = 5s;
// For sending an answer: a scrape's answer fits the socket's buffer, so this bounds
// a peer that stops reading.
constexpr auto kSendTime = 5s;
// Beyond this the oldest connection is dropped for a new one, not the new one
// refused: a scraper sends its request as it connects and is answered at once, so it
// never stays the oldest, while refusing would let whoever holds the connections
// first, and opens them again as their deadlines end them, keep every scraper out.
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxHead = 16 << 10;
constexpr std::size_t kMaxRequests = 100;  // on one connection
constexpr int kBacklog = 64;
// Accepting rests for this long when the process is out of descriptors.
constexpr auto kAcceptRest = 100ms;

constexpr std::string_view kTooLarge =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kTimedOut = "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// The numeric address and port of a socket's peer or its own end.
void EndOf(int fd, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    ip.clear();
    port = 0;
    if ((peer ? ::getpeername(fd, any, &length) : ::getsockname(fd, any, &length)) != 0) return;
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (::getnameinfo(any, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

// A request that has come, for httplib to read, and the answer it writes.
class MemoryStream final : public httplib::Stream {
public:
    MemoryStream(int fd, const std::string& in, std::string& out) : fd_(fd), in_(in), out_(out) {}
    using httplib::Stream::write;

    bool is_readable() const override { return taken_ < in_.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* data, size_t size) override {
        size = std::min(size, in_.size() - taken_);
        std::memcpy(data, in_.data() + taken_, size);
        taken_ += size;
        return static_cast<ssize_t>(size);
    }
    ssize_t write(const char* data, size_t size) override {
        out_.append(data, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { EndOf(fd_, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { EndOf(fd_, false, ip, port); }
    socket_t socket() const override { return fd_; }

    std::size_t Taken() const { return taken_; }

private:
    const int fd_;
    const std::string& in_;
    std::string& out_;
    std::size_t taken_ = 0;
};

// httplib's reading of requests and writing of answers, without its sockets.
class Answerer : public httplib::Server {
public:
    struct Answered {
        std::size_t taken;  // bytes of `in` the request took
        bool keepOpen;
    };
    Answered Answer(int fd, const std::string& in, std::string& out, bool last) {
        MemoryStream stream(fd, in, out);
        bool closed = false, body = false;
        const bool answered = process_request(stream, last, closed, [&body](httplib::Request& request) {
            body = request.has_header("Transfer-Encoding") ||
                   request.get_header_value<std::uint64_t>("Content-Length") > 0;
        });
        // A body need not have come with the head; what follows it is not a request.
        return {stream.Taken(), answered && !closed && !last && !body};
    }
};

struct Connection {
    int fd = -1;
    Clock::time_point since;  // when the wait for a head or the sending of an answer began
    std::string in;           // received and not yet taken by a request
    std::string out;          // the answer; from `sent` on still to send
    std::size_t sent = 0;
    std::size_t requests = 0;
    bool closeAfter = false;  // once the answer is sent
    bool peerDone = false;    // the peer sends nothing more

    bool Sending() const { return sent < out.size(); }
    Clock::time_point Deadline() const { return since + (Sending() ? kSendTime : kHeadTime); }
};

// A listening socket on the address, or -1 with the reason.
int Listen(const std::string& address, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        error = "no such address";
        return -1;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int yes = 1, no = 0;
    // A restart binds at once, though the connections it closed linger in TIME_WAIT.
    // Not SO_REUSEPORT, httplib's choice: with it a second program of the same user
    // would share the port and half the scrapes without a word.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // "[::]" takes IPv4 peers too, as it did with httplib's own listening.
    if (found->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

class HttpServer : public HttpEndpoint {
public:
    explicit HttpServer(HttpEndpointSettings settings) : settings_(std::move(settings)) {
        // What the answers' Keep-Alive header says.
        answerer_.set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(kHeadTime).count());
        answerer_.set_keep_alive_max_count(kMaxRequests);
        answerer_.set_payload_max_length(64 << 10);
        answerer_.Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
            std::string body, type;
            if (settings_.page(request.path, body, type)) response.set_content(body, type);
            else response.status = 404;
        });
        // Any other method is 404 before its body is looked for, as the paths are.
        answerer_.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
            if (request.method == "GET" || request.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
            response.status = 404;
            return httplib::Server::HandlerResponse::Handled;
        });
        answerer_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (response.status == 404) response.set_content("Not found\n", "text/plain");
        });
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) {
            settings_.print(std::string("Metrics not served: ") + std::strerror(errno));
            return;
        }
        thread_ = std::thread([this] { Run(); });
    }

    ~HttpServer() override {
        if (wake_ < 0) return;
        const std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
        ::close(wake_);
    }

private:
    // Waits up to `timeout` (negative: for ever) for `fds`; false once told to stop,
    // which fds[0], the wake-up, says.
    bool Wait(std::vector<pollfd>& fds, int timeout) {
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            for (pollfd& fd : fds) fd.revents = 0;
        }
        return fds[0].revents == 0;
    }

    void Run() {
        bool failed = false;
        for (;;) {
            std::string error;
            const int listener = Listen(settings_.address, settings_.port, error);
            if (listener >= 0) {
                settings_.print("Metrics on http://" + settings_.name + "/metrics and /status");
                Serve(listener);
                ::close(listener);
                return;
            }
            if (!failed) {
                failed = true;
                settings_.print("Metrics: cannot listen on " + settings_.name + ": " + error + "; trying again every " +
                                std::to_string(kRetry.count()) + " s");
            }
            std::vector<pollfd> fds{{wake_, POLLIN, 0}};
            if (!Wait(fds, static_cast<int>(std::chrono::milliseconds(kRetry).count()))) return;
        }
    }

    void Serve(int listener) {
        std::vector<Connection> held, kept;
        std::vector<pollfd> fds;
        Clock::time_point acceptFrom;
        for (;;) {
            Clock::time_point now = Clock::now();
            kept.clear();
            for (Connection& c : held) {
                if (c.Deadline() > now) {
                    kept.push_back(std::move(c));
                    continue;
                }
                // Said to a peer that began a request; one that only kept the
                // connection open after an answer is closed without a word.
                if (!c.Sending() && !c.in.empty())
                    (void)!::send(c.fd, kTimedOut.data(), kTimedOut.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                ::close(c.fd);
            }
            held.swap(kept);

            const bool accepting = now >= acceptFrom;
            fds.assign({{wake_, POLLIN, 0}, {listener, static_cast<short>(accepting ? POLLIN : 0), 0}});
            Clock::time_point next = accepting ? Clock::time_point::max() : acceptFrom;
            for (const Connection& c : held) {
                fds.push_back({c.fd, static_cast<short>(c.Sending() ? POLLOUT : POLLIN), 0});
                next = std::min(next, c.Deadline());
            }
            int timeout = -1;
            if (next != Clock::time_point::max())
                timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
            if (!Wait(fds, timeout)) break;

            now = Clock::now();
            kept.clear();
            for (std::size_t i = 0; i < held.size(); ++i) {
                Connection& c = held[i];
                if (fds[i + 2].revents == 0 || Progress(c, now)) kept.push_back(std::move(c));
                else ::close(c.fd);
            }
            held.swap(kept);
            if (fds[1].revents) Accept(listener, held, now, acceptFrom);
        }
        for (const Connection& c : held) ::close(c.fd);
    }

    void Accept(int listener, std::vector<Connection>& held, Clock::time_point now, Clock::time_point& acceptFrom) {
        // A bounded round, so that a flood of peers does not keep the held ones waiting.
        for (std::size_t round = 0; round < kMaxConnections; ++round) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                // Out of descriptors or memory, above all: tried again shortly, not at once.
                if (errno != EAGAIN && errno != EWOULDBLOCK) acceptFrom = now + kAcceptRest;
                return;
            }
            if (held.size() >= kMaxConnections) {
                const auto oldest = std::min_element(held.begin(), held.end(), [](const Connection& a, const Connection& b) {
                    return a.since < b.since;
                });
                ::close(oldest->fd);
                held.erase(oldest);
            }
            Connection& c = held.emplace_back();
            c.fd = fd;
            c.since = now;
            // Most scrapers' requests are here already.
            if (!Progress(c, now)) {
                ::close(fd);
                held.pop_back();
            }
        }
    }

    // Reads what has come, answers each request whose head is in, and sends as much
    // as the peer takes. False: the connection is done with.
    bool Progress(Connection& c, Clock::time_point now) {
        if (!c.Sending() && !Receive(c)) return false;
        for (;;) {
            while (c.Sending()) {
                const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) c.sent += static_cast<std::size_t>(n);
                else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
                else if (n == 0 || errno != EINTR) return false;
            }
            if (!c.out.empty()) {
                c.out.clear();
                c.sent = 0;
                if (c.closeAfter) return false;
                c.since = now;
            }
            const auto end = c.in.find("\n\r\n");
            if (end == std::string::npos) {
                if (c.in.size() <= kMaxHead) return !c.peerDone;
                c.out = kTooLarge;
                c.closeAfter = true;
            } else {
                const auto [taken, keepOpen] = answerer_.Answer(c.fd, c.in, c.out, ++c.requests >= kMaxRequests);
                // Short of the head's end: a request httplib could not read, whose rest
                // is no request either.
                c.closeAfter = !keepOpen || taken < end + 3;
                c.in.erase(0, taken);
                if (c.out.empty()) return false;
            }
            c.since = now;
        }
    }

    // False: the connection failed.
    static bool Receive(Connection& c) {
        char chunk[4096];
        while (!c.peerDone && c.in.size() <= kMaxHead) {
            const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) c.in.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0) c.peerDone = true;
            else if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            else if (errno != EINTR) return false;
        }
        return true;
    }

    const HttpEndpointSettings settings_;
    Answerer answerer_;
    int wake_ = -1;
    std::thread thread_;
};

}  // namespace

}  // namespace portvale::headless

extern "C" __attribute__((visibility("default"))) portvale::headless::HttpEndpoint* portvale_start_http_endpoint(
    const portvale::headless::HttpEndpointSettings& settings) {
    return new portvale::headless::HttpServer(settings);
}
