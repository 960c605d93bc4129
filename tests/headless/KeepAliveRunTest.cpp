// Dead peers noticed by `portvale --headless --keepalive 1`, without waiting minutes:
// a client behind a socat relay that is frozen with SIGSTOP (its kernel still
// acknowledges, its window closes) is dropped and the next client takes the serial
// data; a pulled cable (a veth link between two network namespaces set down) ends
// an idle client connection, and the bridge connects again once it is back.

#include <signal.h>

#include <atomic>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::Program;
using test::WaitUntil;

std::int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Writes to the device side of the pty for as long as it lives, whatever the bridge
// takes: serial data that keeps coming.
class SerialSource {
public:
    explicit SerialSource(int master)
        : thread_([this, master] {
              const std::string chunk(16 << 10, 's');
              while (!stop_) {
                  if (::write(master, chunk.data(), chunk.size()) < 0) {
                      pollfd p{master, POLLOUT, 0};
                      ::poll(&p, 1, 50);
                  }
              }
          }) {}
    ~SerialSource() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(KeepAliveRunTest, AFrozenClientIsDroppedAndTheNextClientTakesTheSerialData) {
    if (!test::HaveCommand("socat")) GTEST_SKIP() << "socat is not installed";
    test::ProgramRun run;
    ASSERT_TRUE(run.pty.ok());
    ASSERT_TRUE(run.StartServer({"--keepalive", "1"})) << run.program->Err();
    const std::unique_ptr<Program>& program = run.program;
    const std::uint16_t port = run.port;
    const std::uint16_t relayPort = test::RefusingPort();
    Child relay({"socat", "TCP-LISTEN:" + std::to_string(relayPort) + ",bind=127.0.0.1,reuseaddr",
                 "TCP:127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(WaitUntil([&] { return test::ListenBacklog(relayPort).has_value(); }));
    const int first = test::ConnectPosix(relayPort);  // the oldest client, through the relay
    ASSERT_GE(first, 0);
    ASSERT_TRUE(WaitUntil([&] { return program->Counters()["connects"] == 1; }));
    const int next = test::ConnectPosix(port);
    ASSERT_GE(next, 0);
    ASSERT_TRUE(WaitUntil([&] { return program->Counters()["connects"] == 2; }));
    run.pty.Send("first");
    EXPECT_EQ(test::ReadExactPosix(first, 5), "first") << "serial data goes to the oldest client";

    relay.Signal(SIGSTOP);
    const auto frozen = std::chrono::steady_clock::now();
    std::string atNext;
    {
        SerialSource source(run.pty.master());
        // The relay's buffers fill, its window closes; within the keepalive's budget
        // (5 s for 1 s) its connection is given up, and the next client is served.
        atNext = test::ReadExactPosix(next, 1, 60s);
    }
    ASSERT_EQ(atNext, "s") << program->Err();
    RecordProperty("frozen_client_dropped_after_ms", static_cast<int>(MillisecondsSince(frozen)));
    // The kernel gives up with ETIMEDOUT; when the bridge's next send comes first, it
    // sees the connection already aborted (EPIPE), which WinSock calls a reset.
    EXPECT_TRUE(std::regex_search(program->Err(), std::regex(R"(Client 127\.0\.0\.1:\d+: Connection )"
                                                              R"((timed out \(10060\)|reset by peer \(10054\)))")))
        << program->Err();
    EXPECT_EQ(program->Counters()["disconnects"], 1u);
    EXPECT_EQ(program->Err().find("Windows socket error"), std::string::npos)
        << "the dropped client is closed once, and serial data does not go after it";
    relay.Stop();
    ::close(first);
    ::close(next);
    program->Signal(SIGTERM);
    EXPECT_EQ(program->Wait(30s), 0) << program->Err();
}

// Two network namespaces joined by a veth pair: the cable that the test pulls.
class PulledCableTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveCommand("ip") || !test::HaveCommand("socat")) GTEST_SKIP() << "needs ip and socat";
        const std::string id = std::to_string(::getpid() % 100000);
        bridgeSide = "pvka" + id + "a";
        peerSide = "pvka" + id + "b";
        subnet = "10.251." + std::to_string(::getpid() % 250) + ".";
        if (!Run("ip netns add " + bridgeSide)) GTEST_SKIP() << "cannot make network namespaces here (needs root)";
        made = true;
        ASSERT_TRUE(Run("ip netns add " + peerSide));
        ASSERT_TRUE(Run("ip -n " + bridgeSide + " link add v0 type veth peer name v1 netns " + peerSide));
        ASSERT_TRUE(Run("ip -n " + bridgeSide + " addr add " + subnet + "1/24 dev v0"));
        ASSERT_TRUE(Run("ip -n " + peerSide + " addr add " + subnet + "2/24 dev v1"));
        for (const std::string& ns : {bridgeSide, peerSide}) ASSERT_TRUE(Run("ip -n " + ns + " link set lo up"));
        ASSERT_TRUE(Run("ip -n " + bridgeSide + " link set v0 up"));
        ASSERT_TRUE(Run("ip -n " + peerSide + " link set v1 up"));
    }
    void TearDown() override {
        if (!made) return;
        Run("ip netns del " + bridgeSide);
        Run("ip netns del " + peerSide);
    }
    static bool Run(const std::string& command) { return ::system((command + " 2>/dev/null").c_str()) == 0; }

    std::string bridgeSide, peerSide, subnet;
    bool made = false;
};

TEST_F(PulledCableTest, AnIdleClientConnectionEndsWithinTheBudgetAndComesBackWithTheCable) {
    test::ProgramRun run;
    ASSERT_TRUE(run.pty.ok());
    // The server echoes; a connection per client.
    Child server({"ip", "netns", "exec", peerSide, "socat", "TCP-LISTEN:5000,bind=" + subnet + "2,reuseaddr,fork",
                  "SYSTEM:cat"});
    Program& program = run.StartClient(subnet + "2", 5000, {"--keepalive", "1", "--reconnect", "1"},
                                       {"ip", "netns", "exec", bridgeSide});
    ASSERT_TRUE(program.ErrContains("Connected to Server", 20s)) << program.Err();
    run.pty.Send("ping");
    EXPECT_EQ(run.pty.Receive(4), "ping") << "through the cable and back";

    ASSERT_TRUE(Run("ip -n " + peerSide + " link set v1 down"));
    const auto pulled = std::chrono::steady_clock::now();
    // 1 s idle, then four probes a second apart: about 5 s.
    ASSERT_TRUE(program.ErrContains("Connection timed out (10060)", 60s)) << program.Err();
    RecordProperty("pulled_cable_noticed_after_ms", static_cast<int>(MillisecondsSince(pulled)));
    EXPECT_TRUE(program.ErrContains("Disconnected from Server"));

    ASSERT_TRUE(Run("ip -n " + peerSide + " link set v1 up"));
    ASSERT_TRUE(program.ErrCountAtLeast("Connected to Server", 2, 60s)) << program.Err();
    run.pty.Send("back");
    EXPECT_EQ(run.pty.Receive(4), "back");
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
