// The watch over the connections, on real loopback sockets: the keepalive each side
// gets, connections that end with an error (a reset) closed and counted, peers named,
// and the handlers already installed still called first.

#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include "headless/ConnectionWatch.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale::headless {
namespace {

using test::PumpUntil;

int KeepIdle(int fd) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &length);
    return value;
}

class ConnectionWatchTest : public test::SocketTest {
protected:
    void Listen() {
        server.SetPort(0);
        server.SetActive(true);
        port = test::BoundPort(*server.WinSocket());
    }
    ConnectionWatch::Print Printer() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    TClientSocket client{nullptr};
    TServerSocket server{nullptr};
    std::uint16_t port = 0;
    BridgeCounters counters;
    std::vector<std::string> lines;
};

TEST_F(ConnectionWatchTest, BothSidesGetTheKeepaliveAndAreCountedWithTheirPeers) {
    Listen();
    int formConnects = 0;
    server.OnClientConnect = [&](TObject*, TCustomWinSocket*) { ++formConnects; };
    ConnectionWatch watch(client, server, 7, counters, Printer());
    client.SetHost(test::kKnownHost);
    client.SetPort(port);
    client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return client.Active() && server.WinSocket()->ActiveConnections() == 1; }));
    TCustomWinSocket* accepted = server.WinSocket()->ConnectionAt(0);
    EXPECT_EQ(KeepIdle(client.WinSocket()->SocketDesc()), 7);
    EXPECT_EQ(KeepIdle(accepted->SocketDesc()), 7);
    EXPECT_EQ(formConnects, 1) << "the handler already there still runs";
    EXPECT_EQ(watch.Peer(accepted), "127.0.0.1:" + std::to_string(test::LocalPort(client.WinSocket()->SocketDesc())));
    EXPECT_EQ(watch.Peer(client.WinSocket()), "127.0.0.1:" + std::to_string(port));
    client.SetActive(false);
    ASSERT_TRUE(PumpUntil([&] { return server.WinSocket()->ActiveConnections() == 0; }));
    EXPECT_EQ(watch.Peer(accepted), "");
    EXPECT_NE(counters.Line().find("connects=2 disconnects=2"), std::string::npos) << counters.Line();
    EXPECT_TRUE(lines.empty());
    server.SetActive(false);
}

// Without the watch, a connection that ends with a reset stays "connected" for ever:
// the error is absorbed (client) or shown (server) and nothing closes it.
TEST_F(ConnectionWatchTest, AConnectionResetByThePeerIsClosedEitherSide) {
    struct Row {
        bool accepted;  // the reset connection is one the server accepted
        bool watched;
    };
    for (const Row& row : {Row{true, true}, Row{false, true}, Row{true, false}, Row{false, false}}) {
        SCOPED_TRACE(testing::Message() << "accepted " << row.accepted << " watched " << row.watched);
        interaction.shown.clear();
        lines.clear();
        std::unique_ptr<ConnectionWatch> watch;
        // As the form does: a client's errors are absorbed.
        int clientErrors = 0;
        client.OnError = [&](TObject*, TCustomWinSocket*, TErrorEvent, int& code) {
            ++clientErrors;
            code = 0;
        };
        if (row.watched) watch = std::make_unique<ConnectionWatch>(client, server, 0, counters, Printer());
        if (row.accepted) {
            Listen();
            const int peer = test::ConnectPosix(port);
            ASSERT_GE(peer, 0);
            ASSERT_TRUE(PumpUntil([&] { return server.WinSocket()->ActiveConnections() == 1; }));
            const std::string name = "127.0.0.1:" + std::to_string(test::LocalPort(peer));
            test::ResetPosix(peer);
            if (row.watched) {
                ASSERT_TRUE(PumpUntil([&] { return server.WinSocket()->ActiveConnections() == 0; }));
                EXPECT_EQ(lines, std::vector<std::string>{"Client " + name + ": Connection reset by peer (10054)"});
                EXPECT_TRUE(interaction.shown.empty());
            } else {
                ASSERT_TRUE(PumpUntil([&] { return !interaction.shown.empty(); }));
                EXPECT_EQ(server.WinSocket()->ActiveConnections(), 1);
            }
            server.SetActive(false);
        } else {
            test::PosixListener listener;
            client.SetHost(test::kKnownHost);
            client.SetPort(listener.Port());
            client.SetActive(true);
            ASSERT_TRUE(PumpUntil([&] { return client.Active(); }));
            const int peer = listener.Accept();
            ASSERT_GE(peer, 0);
            test::ResetPosix(peer);
            if (row.watched) {
                ASSERT_TRUE(PumpUntil([&] { return !client.Active(); }));
            } else {
                // The reset arrives and is absorbed; the socket still says it is connected.
                ASSERT_TRUE(PumpUntil([&] { return clientErrors == 1; }));
                EXPECT_TRUE(client.Active());
                client.SetActive(false);
            }
            EXPECT_TRUE(interaction.shown.empty());
        }
        watch.reset();
    }
}

}  // namespace
}  // namespace portvale::headless
