// Client reconnect against real loopback peers: refused, then accepted, then closed
// by the peer, then accepted again; a host that does not resolve at first; stopping.

#include <atomic>

#include <gtest/gtest.h>

#include "headless/Reconnect.h"
#include "tests/headless/PortListener.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale::headless {
namespace {

using namespace std::chrono_literals;
using test::PumpUntil;

class ReconnectTest : public test::SocketTest {
protected:
    ClientReconnector::Print Printer() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    TClientSocket client{nullptr};
    std::vector<std::string> lines;
    int attempts = 0;
};

TEST_F(ReconnectTest, RefusedThenAcceptedThenClosedThenAcceptedAgainWithOneLinePerChange) {
    const std::uint16_t port = test::RefusingPort();
    client.SetHost(test::kKnownHost);
    client.SetPort(port);
    ClientReconnector reconnector(client, 20ms, Printer(), [&] { ++attempts; });
    client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return attempts >= 3; }));
    const std::string target = std::string(test::kKnownHost) + ":" + std::to_string(port);
    ASSERT_EQ(lines, std::vector<std::string>{"Connection to " + target +
                                              " could not be made; connecting again every 20 ms"});

    test::PortListener listener(port);
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(PumpUntil([&] { return client.Active(); }));
    const int peer = listener.Accept(0ms);  // the handshake is done: it waits in the backlog
    ASSERT_GE(peer, 0);
    ::close(peer);  // the server goes away
    ASSERT_TRUE(PumpUntil([&] { return !client.Active(); }));
    ASSERT_TRUE(PumpUntil([&] { return client.Active(); })) << "connected again";
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "Connection to " + target + " was closed; connecting again every 20 ms");
    EXPECT_TRUE(interaction.shown.empty()) << "errors never become boxes";
    client.SetActive(false);
}

TEST_F(ReconnectTest, EachAttemptLooksTheHostUpAgain) {
    std::atomic<int> lookups{0};
    test::PosixListener listener;
    // The name does not resolve for the first two lookups, as while DNS is down.
    ws::SetHostResolver([&](const std::string&, std::vector<ws::HostAddress>* addresses) {
        if (++lookups <= 2) return ws::WSAHOST_NOT_FOUND;
        addresses->push_back(ws::HostAddress::IPv4(htonl(INADDR_LOOPBACK)));
        return 0;
    });
    client.SetHost("later.test");
    client.SetPort(listener.Port());
    ClientReconnector reconnector(client, 20ms, Printer(), [&] { ++attempts; });
    client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return client.Active(); }));
    EXPECT_EQ(lookups.load(), 3);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(lines, std::vector<std::string>{"Connection to later.test:" + std::to_string(listener.Port()) +
                                              " could not be looked up; connecting again every 20 ms"});
    client.SetActive(false);
}

TEST_F(ReconnectTest, StoppedItLeavesAClosedConnectionClosed) {
    test::PosixListener listener;
    client.SetHost(test::kKnownHost);
    client.SetPort(listener.Port());
    ClientReconnector reconnector(client, 20ms, Printer(), [&] { ++attempts; });
    client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return client.Active(); }));
    reconnector.Stop();
    client.SetActive(false);
    EXPECT_FALSE(reconnector.Waiting());
    EXPECT_EQ(attempts, 0);
    EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace portvale::headless
