// The metrics endpoint as a monitoring system meets it: the real program with real
// pseudo-terminals and loopback clients, scraped over a TCP connection with a plain
// HTTP/1.1 request, through a reload that removes a bridge while a scraper reads.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/support/Command.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::BridgeTable;
using test::Listen;
using test::Program;

struct Reply {
    int status = 0;  // 0: no answer
    std::string headers;
    std::string body;
};

Reply Http(std::uint16_t port, const std::string& method, const std::string& path) {
    Reply reply;
    const int fd = test::ConnectPosix(port);
    if (fd < 0) return reply;
    test::SendAllPosix(fd, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const std::string text = test::ReadToEndPosix(fd);
    ::close(fd);
    const auto end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
    reply.status = std::stoi(text.substr(9, 3));
    reply.headers = text.substr(0, end);
    reply.body = text.substr(end + 4);
    return reply;
}

// "name{labels}" to value, for every sample of a scrape.
std::map<std::string, std::string> Samples(const std::string& text) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') samples[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    return samples;
}

std::string Sample(const std::string& name, const std::string& bridge, const std::string& more = "") {
    return name + "{bridge=\"" + bridge + "\"" + more + "}";
}

std::string Service(std::uint16_t metrics) {
    return "[service]\nmetrics = \"127.0.0.1:" + std::to_string(metrics) + "\"\n";
}

std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(MetricsRunTest, TheServiceServesEveryBridgesCountersAndARemovedBridgeLeavesThem) {
    test::ProgramRun run;
    test::Pty& plc = run.pty;
    test::Pty meter;
    const std::uint16_t plcPort = run.port, meterPort = test::RefusingPort();
    const std::uint16_t metricsPort = test::RefusingPort();
    const std::string& file = run.file;
    const std::string capture = "capture = \"" + run.dir.Path() + "/plc1.cap\"\n";
    const std::int64_t start = UnixNow();
    Program& program =
        run.StartService(Service(metricsPort) + BridgeTable("plc1", plc.path(), Listen(plcPort) + capture) +
                         BridgeTable("meter", meter.path(), Listen(meterPort)));
    ASSERT_TRUE(program.ErrContains("Metrics on http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics"))
        << program.Err();

    // Bytes each way on one bridge; bytes with no client to go to on the other.
    const int client = test::ConnectPosix(plcPort);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(program.ErrContains("[plc1] Client Connected")) << program.Err();
    ASSERT_TRUE(test::SendAllPosix(client, "hello"));
    EXPECT_EQ(plc.Receive(5), "hello");
    plc.Send("world!");
    EXPECT_EQ(test::ReadExactPosix(client, 6), "world!");
    meter.Send("lost");
    const std::string dropped = Sample("portvale_dropped_bytes_total", "meter",
                                       ",direction=\"com_tcp\",reason=\"no_tcp_connection\"");
    Reply metrics;
    ASSERT_TRUE(test::WaitUntil([&] {
        metrics = Http(metricsPort, "GET", "/metrics");
        return Samples(metrics.body)[dropped] == "4";
    })) << metrics.body;
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << metrics.headers;
    auto samples = Samples(metrics.body);
    const std::map<std::string, std::string> expected = {
        {Sample("portvale_forwarded_bytes_total", "plc1", ",direction=\"tcp_com\""), "5"},
        {Sample("portvale_forwarded_bytes_total", "plc1", ",direction=\"com_tcp\""), "6"},
        {Sample("portvale_forwarded_bytes_total", "meter", ",direction=\"com_tcp\""), "0"},
        {Sample("portvale_dropped_blocks_total", "meter", ",direction=\"com_tcp\",reason=\"no_tcp_connection\""), "1"},
        {Sample("portvale_connects_total", "plc1"), "1"},
        {Sample("portvale_connects_total", "meter"), "0"},
        {Sample("portvale_disconnects_total", "plc1"), "0"},
        {Sample("portvale_tls_refusals_total", "plc1"), "0"},
        {Sample("portvale_clients_connected", "plc1"), "1"},
        {Sample("portvale_clients_connected", "meter"), "0"},
        {Sample("portvale_serial_port_open", "plc1"), "1"},
        {Sample("portvale_serial_port_open", "meter"), "1"},
        {Sample("portvale_capture_lost_bytes_total", "plc1"), "0"},
    };
    for (const auto& [sample, value] : expected) EXPECT_EQ(samples[sample], value) << sample << "\n" << metrics.body;
    EXPECT_EQ(samples.count(Sample("portvale_capture_lost_bytes_total", "meter")), 0u) << "meter has no capture";
    const std::int64_t changed = std::stoll(samples[Sample("portvale_last_state_change_timestamp_seconds", "plc1")]);
    EXPECT_GE(changed, start);
    EXPECT_LE(changed, UnixNow());

    const Reply status = Http(metricsPort, "GET", "/status");
    EXPECT_EQ(status.status, 200);
    EXPECT_NE(status.headers.find("Content-Type: application/json"), std::string::npos) << status.headers;
    for (const char* piece : {R"({"bridges":[{"name":"meter","serial_port_open":true,"clients_connected":0,)",
                             R"({"name":"plc1","serial_port_open":true,"clients_connected":1,)",
                             R"("tcp_com_bytes":5,)", R"("com_tcp_bytes":6,)",
                             R"("dropped":[{"direction":"com_tcp","reason":"no_tcp_connection","blocks":1,"bytes":4}])",
                             R"("reconnects":0},{"name":"plc1",)", R"("reconnects":0,"capture_lost_bytes":0}]})"})
        EXPECT_NE(status.body.find(piece), std::string::npos) << piece << "\n" << status.body;
    for (const auto& [method, path] : {std::pair{"GET", "/"}, std::pair{"GET", "/metrics/x"},
                                       std::pair{"POST", "/metrics"}, std::pair{"DELETE", "/status"}})
        EXPECT_EQ(Http(metricsPort, method, path).status, 404) << method << " " << path;

    // The client leaves: the gauge follows.
    ::close(client);
    ASSERT_TRUE(test::WaitUntil([&] {
        samples = Samples(Http(metricsPort, "GET", "/metrics").body);
        return samples[Sample("portvale_clients_connected", "plc1")] == "0";
    }));
    EXPECT_EQ(samples[Sample("portvale_disconnects_total", "plc1")], "1");

    // A reload removes a bridge while a scraper reads without a pause: the endpoint
    // goes on answering, and the removed bridge is gone from it.
    std::atomic<bool> reloaded{false};
    std::atomic<int> answered{0}, unanswered{0};
    std::thread scraper([&] {
        for (int i = 0; i < 10000 && !reloaded; ++i)
            ++(Http(metricsPort, "GET", i % 2 ? "/metrics" : "/status").status == 200 ? answered : unanswered);
    });
    // Reloaded once the scraper is under way; stopped once it has been answered since.
    const bool scraping = test::WaitUntil([&] { return answered > 0; });
    test::WriteFileBytes(file, Service(metricsPort) + BridgeTable("plc1", plc.path(), Listen(plcPort) + capture));
    program.Signal(SIGHUP);
    const bool reloadSeen = program.ErrContains("Reloaded: 1 unchanged, 0 restarted, 0 started, 1 stopped");
    const int before = answered;
    const bool answeredSince = test::WaitUntil([&] { return answered > before; });
    reloaded = true;
    scraper.join();
    ASSERT_TRUE(reloadSeen) << program.Err();
    EXPECT_TRUE(scraping && answeredSince);
    EXPECT_EQ(unanswered, 0);
    metrics = Http(metricsPort, "GET", "/metrics");
    EXPECT_EQ(metrics.body.find("bridge=\"meter\""), std::string::npos) << metrics.body;
    EXPECT_EQ(Samples(metrics.body)[Sample("portvale_forwarded_bytes_total", "plc1", ",direction=\"tcp_com\"")], "5")
        << "an unchanged bridge keeps its counters";

    // Moved by a reload to an address that is taken: said, and the bridges run on.
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const ws::SocketAddress takenAddress = test::LoopbackOf(AF_INET, 0);
    ASSERT_EQ(::bind(taken, &takenAddress.any, sizeof takenAddress.v4), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&bound), &length);
    const std::uint16_t takenPort = ntohs(bound.sin_port);
    test::WriteFileBytes(file, Service(takenPort) + BridgeTable("plc1", plc.path(), Listen(plcPort) + capture));
    program.Signal(SIGHUP);
    EXPECT_TRUE(program.ErrContains("Metrics: cannot listen on 127.0.0.1:" + std::to_string(takenPort) +
                                    ": Address already in use; trying again every 5 s"))
        << program.Err();
    EXPECT_EQ(Http(metricsPort, "GET", "/metrics").status, 0) << "the old address is let go";
    const int again = test::ConnectPosix(plcPort);
    ASSERT_TRUE(test::SendAllPosix(again, "still"));
    EXPECT_EQ(plc.Receive(5), "still");
    ::close(again);
    ::close(taken);

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

// Peers that send a request's head a byte a second, never to its end: one thread
// trickles into every connection until the peers go.
class Trickle {
public:
    Trickle(std::uint16_t port, int count) {
        for (int i = 0; i < count; ++i) fds_.push_back(test::ConnectPosix(port));
        thread_ = std::thread([this] {
            const std::string head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            std::unique_lock<std::mutex> lock(mutex_);
            for (std::size_t at = 0; at + 1 < head.size() && !stop_; ++at) {
                for (const int fd : fds_) ::send(fd, &head[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                wake_.wait_for(lock, 1s, [this] { return stop_; });
            }
        });
    }
    ~Trickle() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
        for (const int fd : fds_) ::close(fd);
    }
    const std::vector<int>& Fds() const { return fds_; }

private:
    std::vector<int> fds_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// Nothing to read yet, and not closed.
bool Waiting(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

TEST(MetricsRunTest, SlowPeersHoldUpNoScrapeAndAreClosedAtTheirHeadsDeadline) {
    test::ProgramRun run;
    const std::uint16_t metricsPort = test::RefusingPort();
    Program& program = run.StartService(Service(metricsPort) + BridgeTable("plc1", run.pty.path(), Listen(run.port)));
    ASSERT_TRUE(program.ErrContains("Metrics on http://")) << program.Err();

    Trickle slow(metricsPort, 100);
    for (const int fd : slow.Fds()) ASSERT_GE(fd, 0);
    const int newest = slow.Fds().back();
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const Reply metrics = Http(metricsPort, "GET", "/metrics");
        EXPECT_EQ(metrics.status, 200);
        EXPECT_EQ(Samples(metrics.body)[Sample("portvale_connects_total", "plc1")], "0") << metrics.body;
        const Reply status = Http(metricsPort, "GET", "/status");
        EXPECT_EQ(status.status, 200);
        EXPECT_EQ(status.body.rfind(R"({"bridges":[{"name":"plc1","serial_port_open":true,)", 0), 0u) << status.body;
        // Answered while a slow peer that came before still waits for its answer.
        EXPECT_TRUE(Waiting(newest));
    }
    // A scraper that keeps its connection: requests one after the other, each answered.
    const int keeper = test::ConnectPosix(metricsPort);
    ASSERT_TRUE(test::SendAllPosix(keeper, "GET /status HTTP/1.1\r\nHost: a\r\n\r\n"
                                           "HEAD /metrics HTTP/1.1\r\nHost: a\r\n\r\n"
                                           "GET /metrics HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    const std::string kept = test::ReadToEndPosix(keeper);
    ::close(keeper);
    EXPECT_EQ(test::CountOf(kept, "HTTP/1.1 200 OK\r\n"), 3) << kept;
    EXPECT_EQ(test::CountOf(kept, "# TYPE portvale_connects_total counter"), 1) << "HEAD has no body\n" << kept;
    // It holds 64 connections at most: the oldest slow ones went.
    int closed = 0;
    for (const int fd : slow.Fds()) closed += Waiting(fd) ? 0 : 1;
    EXPECT_GE(closed, 100 - 64);
    EXPECT_TRUE(Waiting(newest));

    // However it trickles, a head that does not come in full within its deadline ends
    // the connection, with a word why.
    const std::string told = test::ReadToEndPosix(newest, 20s);
    EXPECT_EQ(told.rfind("HTTP/1.1 408 ", 0), 0u) << told;
    char byte;
    const ssize_t after = ::recv(newest, &byte, 1, MSG_DONTWAIT);
    const int error = errno;
    EXPECT_TRUE(after == 0 || (after < 0 && error != EAGAIN)) << "closed";
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

TEST(MetricsRunTest, ASingleBridgeFromTheCommandLineIsLabelledWithItsPort) {
    test::ProgramRun run;
    const std::uint16_t metricsPort = test::RefusingPort();
    ASSERT_TRUE(run.StartServer({"--metrics", "127.0.0.1:" + std::to_string(metricsPort)})) << run.program->Err();
    Program& program = *run.program;
    ASSERT_TRUE(program.ErrContains("Metrics on http://127.0.0.1:" + std::to_string(metricsPort))) << program.Err();
    const int client = test::ConnectPosix(run.port);
    ASSERT_TRUE(test::SendAllPosix(client, "abc"));
    EXPECT_EQ(run.pty.Receive(3), "abc");
    ASSERT_EQ(run.pty.path().rfind("/dev/", 0), 0u);
    const std::string label = run.pty.path().substr(5);  // "pts/N"
    std::map<std::string, std::string> samples;
    EXPECT_TRUE(test::WaitUntil([&] {
        samples = Samples(Http(metricsPort, "GET", "/metrics").body);
        return samples[Sample("portvale_forwarded_bytes_total", label, ",direction=\"tcp_com\"")] == "3";
    })) << label;
    EXPECT_EQ(samples[Sample("portvale_serial_port_open", label)], "1");
    EXPECT_EQ(samples[Sample("portvale_clients_connected", label)], "1");
    EXPECT_NE(Http(metricsPort, "GET", "/status").body.find("{\"name\":\"" + label + "\","), std::string::npos);
    ::close(client);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

// Prometheus' own checker on a real scrape, where it is installed.
TEST(MetricsRunTest, PromtoolAcceptsAScrape) {
    if (!test::HaveCommand("promtool")) GTEST_SKIP() << "promtool is not installed";
    test::ProgramRun run;
    const std::uint16_t metricsPort = test::RefusingPort();
    Program& program =
        run.StartService(Service(metricsPort) + BridgeTable("lab \\\"one\\\"", run.pty.path(), Listen(run.port)));
    ASSERT_TRUE(program.ErrContains("Metrics on http://")) << program.Err();
    run.pty.Send("dropped");
    Reply metrics;
    ASSERT_TRUE(test::WaitUntil([&] {
        metrics = Http(metricsPort, "GET", "/metrics");
        return metrics.body.find("reason=\"no_tcp_connection\"") != std::string::npos;
    }));
    const std::string scraped = run.dir.Path() + "/scrape.txt";
    test::WriteFileBytes(scraped, metrics.body);
    const auto [output, code] = test::RunCommand("promtool check metrics < '" + scraped + "'");
    EXPECT_EQ(code, 0) << output << "\n" << metrics.body;
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
