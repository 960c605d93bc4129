// `portvale --headless` as a user runs it: a real process, a pseudo-terminal as the
// device, loopback TCP peers (socat among them), signals to stop it.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::Program;
using test::ReadFileBytes;
using test::WaitUntil;

class HeadlessRunTest : public ::testing::Test {
protected:
    test::ProgramRun run;
};

TEST_F(HeadlessRunTest, ServerBridgesLogsAndStopsCleanlyOnEachSignal) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        ASSERT_TRUE(run.StartServer({"--log", "--format", "hex"})) << run.program->Err();
        Program& program = *run.program;
        const std::uint16_t port = run.port;
        // The toolkit is the window program's alone: a bridge does not carry its 10 MiB.
        const std::string maps = ReadFileBytes("/proc/" + std::to_string(program.pid()) + "/maps");
        EXPECT_EQ(maps.find("libQt6"), std::string::npos) << maps;
        const int client = test::ConnectPosix(port);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(program.ErrContains("Client Connected"));
        test::SendAllPosix(client, "ping");
        EXPECT_EQ(run.pty.Receive(4), "ping");
        run.pty.Send("pong");
        EXPECT_EQ(test::ReadExactPosix(client, 4), "pong");

        program.Signal(signal);
        EXPECT_EQ(program.Wait(), 0) << program.Err();
        EXPECT_EQ(test::ReadToEndPosix(client, 5s), "") << "the client sees the connection end";
        ::close(client);
        const std::string out = program.Out();
        EXPECT_NE(out.find("tcp>com 70 69 6E 67 \n"), std::string::npos) << out;
        EXPECT_NE(out.find("com>tcp 70 6F 6E 67 \n"), std::string::npos) << out;
        // Every status line is stamped with the local time.
        const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} .+)");
        std::istringstream lines(program.Err());
        for (std::string line; std::getline(lines, line);) EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    }
    EXPECT_EQ(ReadFileBytes(run.dir.File("TCP.SET")).size(), 184u) << "the settings files are where --dir says";
}

TEST_F(HeadlessRunTest, FailuresExitWithTheReason) {
    test::PosixListener taken;  // a port someone else listens on
    struct Row {
        std::vector<std::string> args;
        int code;
        std::string reason;
    };
    for (const Row& row : {
             Row{{"--parity", "odd2"}, 2, "--parity: 'odd2' is not one of none|odd|even|mark|space"},
             Row{{"--serial", "/dev/portvale-missing"}, 1, "cannot open serial port /dev/portvale-missing"},
             Row{{"--serial", run.pty.path(), "--mode", "server", "--port", std::to_string(taken.Port())}, 1,
                 "cannot listen on TCP port " + std::to_string(taken.Port())},
         }) {
        std::vector<std::string> args{"--headless", "--dir", run.dir.Path()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Program& program = run.Start(args);
        EXPECT_EQ(program.Wait(), row.code) << program.Err();
        EXPECT_NE(program.Err().find(row.reason), std::string::npos) << program.Err();
    }
}

TEST_F(HeadlessRunTest, ClientAgainstSocatMovesFourMebibytesEachWayExactly) {
    if (::system("command -v socat >/dev/null 2>&1") != 0) GTEST_SKIP() << "socat is not installed";
    std::mt19937 generator(7);
    std::string toSerial(4 << 20, '\0'), toTcp(4 << 20, '\0');
    for (char& c : toSerial) c = static_cast<char>(generator());
    for (char& c : toTcp) c = static_cast<char>(generator());
    test::WriteFileBytes(run.dir.File("in.bin"), toSerial);
    const std::uint16_t port = run.port;
    // socat plays the server: it sends in.bin (holding the connection open after the
    // file's end) and writes what it receives to out.bin.
    const std::string command = "exec socat -b65536 TCP-LISTEN:" + std::to_string(port) +
                                ",bind=127.0.0.1,reuseaddr 'OPEN:" + run.dir.File("in.bin") +
                                ",ignoreeof!!CREATE:" + run.dir.File("out.bin") + "'";
    pid_t socatPid = -1;
    const char* shell[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&socatPid, "/bin/sh", nullptr, nullptr, const_cast<char**>(shell), environ), 0);
    // Probing with a connect would take socat's only accept: look for the listener.
    ASSERT_TRUE(WaitUntil([&] { return test::ListenBacklog(port).has_value(); }, 10s));
    Program& bridge = run.StartClient("127.0.0.1", port);
    ASSERT_TRUE(bridge.ErrContains("Connected to Server")) << bridge.Err();
    std::string atSerial;
    std::thread reader([&] { atSerial = run.pty.Receive(toSerial.size(), 60s); });
    run.pty.Send(toTcp);
    reader.join();
    EXPECT_TRUE(atSerial == toSerial) << atSerial.size() << " of " << toSerial.size();
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(run.dir.File("out.bin")).size() >= toTcp.size(); }, 60s));
    EXPECT_TRUE(ReadFileBytes(run.dir.File("out.bin")) == toTcp);
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(), 0);
    ::kill(socatPid, SIGTERM);
    ::waitpid(socatPid, nullptr, 0);
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
