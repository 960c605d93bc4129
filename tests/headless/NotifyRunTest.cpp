// The real program started as systemd starts a Type=notify unit with WatchdogSec=:
// NOTIFY_SOCKET names a datagram socket of the test's, WATCHDOG_USEC and WATCHDOG_PID
// ask for pings. Readiness once the bridges run, the status line as clients come and
// go, the pings, a reload and the stop, for one bridge and for a file of them.
#include <signal.h>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/headless/NotifySocket.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::BridgeTable;
using test::Listen;
using test::NotifySocket;
using test::Program;

// Runs the program through a shell that puts its own pid, which the program keeps,
// into WATCHDOG_PID, as systemd does for its main process.
std::vector<std::string> UnderSystemd(const NotifySocket& socket) {
    return {"sh", "-c",
            "export NOTIFY_SOCKET='" + socket.path() + "' WATCHDOG_USEC=200000 WATCHDOG_PID=$$; exec \"$0\" \"$@\""};
}

class NotifyRunTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(socket.ok()); }

    // The status after a READY=1 at or after `from`; the index of that message.
    int ReadyWith(const std::string& status, int from = 0) {
        const int at = socket.WaitFor("READY=1", from);
        if (at < 0) return -1;
        const auto& fields = socket.Messages()[static_cast<std::size_t>(at)];
        EXPECT_NE(std::find(fields.begin(), fields.end(), "STATUS=" + status), fields.end()) << socket.Text();
        return at;
    }

    test::ProgramRun run;
    NotifySocket socket{run.dir.File("notify")};
};

TEST_F(NotifyRunTest, OneBridgeIsReadyReportsItsClientsPingsAndStops) {
    const bool listening = run.StartServer({}, UnderSystemd(socket));
    Program& program = *run.program;
    const std::uint16_t port = run.port;
    ASSERT_GE(ReadyWith("1 bridge, 0 clients"), 0) << program.Err();
    EXPECT_TRUE(listening);

    struct Step {
        int clients;
        const char* status;
    };
    std::vector<int> open;
    for (const Step& step : {Step{1, "1 bridge, 1 client"}, Step{2, "1 bridge, 2 clients"},
                             Step{1, "1 bridge, 1 client"}, Step{0, "1 bridge, 0 clients"}}) {
        SCOPED_TRACE(step.status);
        while (static_cast<int>(open.size()) < step.clients) open.push_back(test::ConnectPosix(port));
        while (static_cast<int>(open.size()) > step.clients) {
            ::close(open.back());
            open.pop_back();
        }
        EXPECT_TRUE(test::WaitUntil([&] { return socket.LastStatus() == step.status; })) << socket.Text();
    }
    EXPECT_TRUE(socket.WaitForCount("WATCHDOG=1", 3)) << socket.Text();

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
    const int stopping = socket.Find("STOPPING=1");
    ASSERT_GE(stopping, 0) << socket.Text();
    EXPECT_EQ(socket.LastStatus(), "Stopping on SIGTERM");
    EXPECT_EQ(socket.Find("WATCHDOG=1", stopping + 1), -1) << "no ping after the stop began";
}

TEST_F(NotifyRunTest, AFileOfBridgesCountsAWaitingPortAndReloadsBetweenReloadingAndReady) {
    const std::uint16_t labPort = run.port, sparePort = test::RefusingPort();
    const std::string& file = run.file;
    const std::string lab = BridgeTable("lab", run.pty.path(), Listen(labPort));
    Program& program = run.StartService(lab + BridgeTable("spare", run.dir.File("absent-device"), Listen(sparePort)),
                                        UnderSystemd(socket));
    ASSERT_GE(ReadyWith("2 bridges, 0 clients, 1 port waiting"), 0) << program.Err();
    EXPECT_TRUE(program.ErrContains("Running 2 bridges"));

    const int client = test::ConnectPosix(labPort);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(test::WaitUntil([&] { return socket.LastStatus() == "2 bridges, 1 client, 1 port waiting"; }))
        << socket.Text();
    EXPECT_TRUE(socket.WaitForCount("WATCHDOG=1", 3)) << socket.Text();

    // The spare bridge leaves the file; the lab bridge keeps its client.
    test::WriteFileBytes(file, lab);
    program.Signal(SIGHUP);
    const int reloading = socket.WaitFor("RELOADING=1");
    ASSERT_GE(reloading, 0) << socket.Text();
    const auto& fields = socket.Messages()[static_cast<std::size_t>(reloading)];
    EXPECT_NE(std::find(fields.begin(), fields.end(), "STATUS=Reloading " + file), fields.end()) << socket.Text();
    EXPECT_GT(ReadyWith("1 bridge, 1 client", reloading + 1), reloading) << program.Err();

    // A file with a mistake keeps everything and says so in the status too.
    test::WriteFileBytes(file, "[[bridge]]\nname = \"lab\"\nbaud = \"fast\"\n");
    program.Signal(SIGHUP);
    const int failed = socket.WaitFor("RELOADING=1", reloading + 1);
    ASSERT_GT(failed, reloading) << socket.Text();
    ReadyWith("1 bridge, 1 client; reload failed: " + file + ":3:8: baud: must be a whole number", failed + 1);

    ::close(client);
    EXPECT_TRUE(test::WaitUntil([&] { return socket.LastStatus().rfind("1 bridge, 0 clients;", 0) == 0; }))
        << socket.Text();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
    EXPECT_GE(socket.Find("STOPPING=1"), 0) << socket.Text();
}

TEST_F(NotifyRunTest, AStartThatFailsSaysWhyAndIsNeverReady) {
    // The device is required in the single run: its absence ends the start.
    Program& program = run.Start({"--headless", "--dir", run.dir.Path(), "--mode", "server", "--port",
                                  std::to_string(run.port), "--serial", run.dir.File("absent-device")},
                                 UnderSystemd(socket));
    EXPECT_EQ(program.Wait(), 1) << program.Err();
    EXPECT_EQ(socket.Find("READY=1"), -1) << socket.Text();
    EXPECT_GE(socket.Find("STOPPING=1"), 0) << socket.Text();
    EXPECT_EQ(socket.LastStatus().rfind("Not started: cannot open serial port", 0), 0u) << socket.Text();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY
