// The unattended-operation features of `portvale --headless`, run as a user runs
// them: counters on SIGUSR1 and at the end, the capture file with rotation and with
// a file size limit that fills it up, and client reconnect against a peer that goes
// away and comes back.

#include <sys/resource.h>

#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/CaptureTestSupport.h"
#include "tests/headless/HeadlessProgram.h"
#include "tests/headless/PortListener.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::Program;
using test::WaitUntil;

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

class UnattendedRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!run.pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    }
    test::ProgramRun run;
};

TEST_F(UnattendedRunTest, CountersOnSigusr1AndAtTheEnd) {
    ASSERT_TRUE(run.StartServer()) << run.program->Err();
    Program& program = *run.program;
    const std::uint16_t port = run.port;
    // Serial data with no client has nowhere to go.
    run.pty.Send("lost");
    auto counters = program.Counters();
    ASSERT_TRUE(WaitUntil([&] { return (counters = program.Counters())["dropped_bytes"] == 4; }));
    EXPECT_EQ(counters["dropped.com_tcp.no_tcp_connection"], 1u);

    const int client = test::ConnectPosix(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(program.ErrContains("Client Connected"));
    test::SendAllPosix(client, "hello");
    EXPECT_EQ(run.pty.Receive(5), "hello");
    run.pty.Send("0123456789");
    EXPECT_EQ(test::ReadExactPosix(client, 10), "0123456789");
    ::close(client);
    ASSERT_TRUE(program.ErrContains("Client Disconnected"));
    counters = program.Counters();
    EXPECT_EQ(counters["tcp_com_bytes"], 5u);
    EXPECT_GE(counters["tcp_com_blocks"], 1u);
    EXPECT_EQ(counters["com_tcp_bytes"], 10u);
    EXPECT_GE(counters["com_tcp_blocks"], 1u);
    EXPECT_EQ(counters["connects"], 1u);
    EXPECT_EQ(counters["disconnects"], 1u);
    EXPECT_EQ(counters["port_losses"], 0u);
    EXPECT_EQ(counters.count("capture_lost_bytes"), 0u) << "no capture, no capture key";

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(program.LastCounters(), counters) << "the same line at the end";
    // One line each time, stamped like every other line.
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Counters: ([a-z_.]+=\d+ )*[a-z_.]+=\d+)");
    std::istringstream lines(program.Err());
    for (std::string l; std::getline(lines, l);) {
        if (l.find("Counters:") != std::string::npos) {
            EXPECT_TRUE(std::regex_match(l, line)) << l;
        }
    }
}

TEST_F(UnattendedRunTest, CaptureWritesEveryBlockWithTheClientAndRotatesAtTheLimit) {
    const std::string capture = run.dir.File("capture.txt");
    ASSERT_TRUE(run.StartServer({"--capture", capture, "--capture-max", "1"})) << run.program->Err();
    Program& program = *run.program;
    const std::uint16_t port = run.port;
    const int client = test::ConnectPosix(port);
    ASSERT_GE(client, 0);
    const std::string clientName = "127.0.0.1:" + std::to_string(test::LocalPort(client));
    ASSERT_TRUE(program.ErrContains("Client Connected"));
    // About 9 bytes of capture per byte: 200 KiB each way passes 1 MB several times.
    const std::string toCom = RandomBytes(200 << 10, 1);
    const std::string toTcp = RandomBytes(200 << 10, 2);
    std::string atCom;
    std::thread device([&] { atCom = run.pty.Receive(toCom.size(), 30s); });
    test::SendAllPosix(client, toCom);
    device.join();
    ASSERT_TRUE(atCom == toCom);
    run.pty.Send(toTcp);
    ASSERT_TRUE(test::ReadExactPosix(client, toTcp.size(), 30s) == toTcp);
    ::close(client);
    program.Signal(SIGTERM);
    ASSERT_EQ(program.Wait(), 0) << program.Err();

    ASSERT_TRUE(std::filesystem::exists(capture + ".1"));
    EXPECT_FALSE(std::filesystem::exists(capture + ".2"));
    for (const std::string& file : {capture + ".1", capture}) {
        EXPECT_LE(std::filesystem::file_size(file), 1000000u) << file;
        for (const std::string& l : test::ReadLines(file)) {
            ASSERT_TRUE(std::regex_match(l, test::CaptureLinePattern())) << l;
            EXPECT_EQ(test::ParseCaptureLine(l)->peer, clientName);
        }
    }
    // The newest bytes of each direction, in order and without a gap.
    const std::string keptTcp = test::CapturedBytes({capture + ".1", capture}, "com>tcp");
    ASSERT_FALSE(keptTcp.empty());
    EXPECT_TRUE(toTcp.compare(toTcp.size() - keptTcp.size(), keptTcp.size(), keptTcp) == 0);
    const std::string keptCom = test::CapturedBytes({capture + ".1", capture}, "tcp>com");
    EXPECT_TRUE(toCom.compare(toCom.size() - keptCom.size(), keptCom.size(), keptCom) == 0);
    EXPECT_EQ(program.LastCounters()["capture_lost_bytes"], 0u);
    EXPECT_EQ(test::CountOf(program.Err(), "Capture:"), 0) << program.Err();
}

TEST_F(UnattendedRunTest, ACaptureThatCannotGrowIsReportedOnceAndTheBridgeGoesOn) {
    const std::string capture = run.dir.File("capture.txt");
    // The file size limit of the program alone, as `ulimit -f` would set it. It holds
    // for the standard error file too, which stays far below it.
    const rlimit limit{64 << 10, 64 << 10};
    ASSERT_TRUE(run.StartServer({"--capture", capture}, {}, [&](Program& p) {
        EXPECT_EQ(::prlimit(p.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
    })) << run.program->Err();
    Program& program = *run.program;
    const std::uint16_t port = run.port;
    const int client = test::ConnectPosix(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(program.ErrContains("Client Connected"));
    const std::string toCom = RandomBytes(1 << 20, 3);
    std::string atCom;
    std::thread device([&] { atCom = run.pty.Receive(toCom.size(), 30s); });
    test::SendAllPosix(client, toCom);
    device.join();
    EXPECT_TRUE(atCom == toCom) << "every byte bridged: " << atCom.size();
    run.pty.Send("still here");
    EXPECT_EQ(test::ReadExactPosix(client, 10), "still here");
    ::close(client);
    // The capture's writer, behind the bridge by design, finds the limit a moment later.
    auto counters = program.Counters();
    ASSERT_TRUE(WaitUntil([&] { return (counters = program.Counters())["capture_lost_bytes"] > 0; }));
    EXPECT_EQ(counters.at("tcp_com_bytes"), toCom.size());
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
    EXPECT_EQ(test::CountOf(program.Err(), "Capture: cannot write " + capture + ": File too large"), 1) << program.Err();
    EXPECT_LE(std::filesystem::file_size(capture), 64u << 10);
    for (const std::string& l : test::ReadLines(capture)) EXPECT_TRUE(test::ParseCaptureLine(l)) << l;
}

TEST_F(UnattendedRunTest, TheClientReconnectsToAPeerThatGoesAwayAndComesBack) {
    const std::uint16_t port = run.port;
    Program& program = run.StartClient("localhost", port, {"--reconnect", "1"});
    const std::string target = "localhost:" + std::to_string(port);
    ASSERT_TRUE(program.ErrContains("Connection to " + target + " could not be made; connecting again every 1 s"))
        << program.Err();
    ASSERT_TRUE(program.ErrContains("Connection refused (10061)"));
    ASSERT_TRUE(WaitUntil([&] { return program.Counters()["reconnects"] >= 2; }));
    EXPECT_EQ(test::CountOf(program.Err(), "could not be made"), 1) << "one line, not one per attempt";
    EXPECT_EQ(test::CountOf(program.Err(), "Connection refused (10061)"), 1);

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        auto listener = std::make_unique<test::PortListener>(port);
        ASSERT_TRUE(listener->ok());
        const int peer = listener->Accept(15s);
        ASSERT_GE(peer, 0) << program.Err();
        ASSERT_TRUE(program.ErrCountAtLeast("Connected to Server", round));
        test::SendAllPosix(peer, "ping");
        EXPECT_EQ(run.pty.Receive(4), "ping");
        run.pty.Send("pong");
        EXPECT_EQ(test::ReadExactPosix(peer, 4), "pong");
        // The peer goes away, listener and all.
        ::close(peer);
        listener.reset();
        ASSERT_TRUE(program.ErrCountAtLeast("Disconnected from Server", round));
        ASSERT_TRUE(program.ErrCountAtLeast("was closed; connecting again every 1 s", round));
    }
    EXPECT_EQ(program.Counters()["connects"], 2u);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
