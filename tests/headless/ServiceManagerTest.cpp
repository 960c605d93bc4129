// What systemd hears from the headless run, in this process: the status line's
// wording, nothing at all without NOTIFY_SOCKET, the messages a notification socket
// receives, and when the watchdog is pinged.

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "headless/ServiceManager.h"
#include "tests/app/FormTestSupport.h"
#include "tests/headless/NotifySocket.h"
#include "tests/support/Wait.h"

namespace portvale::headless {
namespace {

using namespace std::chrono_literals;

TEST(StatusTextTest, SaysTheCountsThatMatter) {
    struct Row {
        ServiceStatus status;
        const char* text;
    };
    const Row rows[] = {
        {{1, 0, 0, 0, 0, 0, ""}, "1 bridge, 0 clients"},
        {{3, 4, 0, 0, 1, 0, ""}, "3 bridges, 4 clients, 1 port waiting"},
        {{2, 1, 0, 0, 2, 1, ""}, "2 bridges, 1 client, 2 ports waiting, 1 listener waiting"},
        {{2, 0, 1, 1, 0, 0, ""}, "2 bridges, 0 clients, 1 server connection, 1 connecting"},
        {{5, 0, 3, 0, 0, 2, ""}, "5 bridges, 0 clients, 3 server connections, 2 listeners waiting"},
        {{1, 2, 0, 0, 0, 0, "reload failed: a.toml:3:8: baud: must be a whole number"},
         "1 bridge, 2 clients; reload failed: a.toml:3:8: baud: must be a whole number"},
        {{1, 0, 0, 0, 0, 0, "two\nlines"}, "1 bridge, 0 clients; two lines"},
    };
    for (const Row& row : rows) EXPECT_EQ(StatusText(row.status), row.text);
}

class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override { ClearEnvironment(); }
    void TearDown() override { ClearEnvironment(); }
    static void ClearEnvironment() {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) ::unsetenv(name);
    }
    // Everything the dispatcher has to do now, done; the messages it sends are in the
    // socket when this returns (a local datagram is delivered by the send itself).
    static void Settle() {
        while (Dispatcher::Instance().ProcessPending()) {
        }
    }
    ServiceManager::StatusSource Source() {
        return [this] { return status; };
    }

    test::ScratchDirectory dir;
    ServiceStatus status{1, 0, 0, 0, 0, 0, ""};
};

TEST_F(ServiceManagerTest, WithoutNotifySocketNothingIsMadeOrSent) {
    ::setenv("WATCHDOG_USEC", "200000", 1);
    Dispatcher& dispatcher = Dispatcher::Instance();
    const std::size_t watches = dispatcher.WatchCount(), windows = dispatcher.WindowCount();
    ServiceManager manager(Source());
    EXPECT_FALSE(manager.Active());
    EXPECT_EQ(manager.PingIntervalMs(), 0u);
    EXPECT_EQ(dispatcher.WatchCount(), watches) << "no timer";
    EXPECT_EQ(dispatcher.WindowCount(), windows) << "no window";
    manager.Ready();
    manager.Changed();
    manager.Reloading("a.toml");
    manager.Stopping("Stopping on SIGTERM");
    EXPECT_FALSE(dispatcher.ProcessPending()) << "nothing posted";
}

// Ready, reload and stop are the run tests'; here, what they cannot see: changes
// looked at once per handler, and only a new text sent.
TEST_F(ServiceManagerTest, ChangesInOneHandlerSendOneStatusAndOnlyANewText) {
    test::NotifySocket socket(dir.File("notify"));
    ASSERT_TRUE(socket.ok());
    ::setenv("NOTIFY_SOCKET", socket.path().c_str(), 1);
    ServiceManager manager(Source());
    ASSERT_TRUE(manager.Active());
    EXPECT_EQ(manager.PingIntervalMs(), 0u) << "no watchdog asked for";
    manager.Ready();
    ASSERT_EQ(socket.Messages().size(), 1u);
    EXPECT_EQ(socket.Messages()[0], (std::vector<std::string>{"READY=1", "STATUS=1 bridge, 0 clients"}));

    struct Step {
        std::vector<int> clients;  // the count at each Changed() of one handler
        std::size_t messages;      // all messages once the handler is done
    };
    for (const Step& step : {Step{{2, 3}, 2}, Step{{3}, 2}, Step{{4, 3}, 2}, Step{{0}, 3}}) {
        const std::size_t before = socket.Messages().size();
        for (int clients : step.clients) {
            status.clients = clients;
            manager.Changed();
        }
        EXPECT_EQ(socket.Messages().size(), before) << "not before the handler is done";
        Settle();
        ASSERT_EQ(socket.Messages().size(), step.messages) << socket.Text();
    }
    EXPECT_EQ(socket.Messages()[1], std::vector<std::string>{"STATUS=1 bridge, 3 clients"});
    EXPECT_EQ(socket.Messages()[2], std::vector<std::string>{"STATUS=1 bridge, 0 clients"});
    manager.Stopping("Stopping on SIGTERM");
    // What the bridges say while they close is no longer news.
    status.clients = 5;
    manager.Changed();
    Settle();
    EXPECT_EQ(socket.Messages().size(), 4u) << socket.Text();
}

TEST_F(ServiceManagerTest, TheWatchdogIsPingedAtHalfItsIntervalWhenThisProcessIsTheOneAsked) {
    test::NotifySocket socket(dir.File("notify"));
    ASSERT_TRUE(socket.ok());
    struct Row {
        const char* usec;
        std::string pid;  // empty: unset
        std::uint32_t intervalMs;
    };
    const Row rows[] = {
        {"200000", "", 100},
        {"200000", std::to_string(::getpid()), 100},
        {"30000000", "", 15000},
        {"200000", std::to_string(::getppid()), 0},  // the watchdog is another process's
        {"0", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.usec) + " pid " + row.pid);
        ::setenv("NOTIFY_SOCKET", socket.path().c_str(), 1);
        ::setenv("WATCHDOG_USEC", row.usec, 1);
        if (row.pid.empty())
            ::unsetenv("WATCHDOG_PID");
        else
            ::setenv("WATCHDOG_PID", row.pid.c_str(), 1);
        ServiceManager manager(Source());
        EXPECT_EQ(manager.PingIntervalMs(), row.intervalMs);
    }

    // The pings themselves are the run tests'; each tick also sends a change that
    // nobody announced.
    ::setenv("WATCHDOG_USEC", "40000", 1);
    ::unsetenv("WATCHDOG_PID");
    ServiceManager manager(Source());
    manager.Ready();
    status.portsWaiting = 1;
    EXPECT_TRUE(test::PumpUntil([&] { return socket.LastStatus() == "1 bridge, 0 clients, 1 port waiting"; }))
        << socket.Text();
    EXPECT_GE(socket.Count("WATCHDOG=1"), 1);
}

}  // namespace
}  // namespace portvale::headless
