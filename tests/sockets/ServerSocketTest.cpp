// The server socket component over real loopback connections: accepting into the
// connection list, the order of its events, releases, stopping, and a burst of clients.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

// A listening server component on an ephemeral loopback port whose events are logged.
class RecordedServer {
public:
    RecordedServer() {
        server.OnClientConnect = [this](TObject* sender, TCustomWinSocket* s) {
            log.push_back("client-connect");
            connected.push_back(s);
            senderWasSocketObject = sender == server.WinSocket();
            firstAtConnect = server.WinSocket()->ConnectionAt(0);
        };
        server.OnAccept = [this](TObject*, TCustomWinSocket*) { log.push_back("accept"); };
        server.OnClientDisconnect = [this](TObject*, TCustomWinSocket* s) {
            log.push_back("client-disconnect");
            countAtDisconnect = server.WinSocket()->ActiveConnections();
            connectedAtDisconnect = s->IsConnected();
        };
        server.OnListen = [this](TObject*, TCustomWinSocket*) { log.push_back("listen"); };
        server.OnDisconnect = [this](TObject*, TCustomWinSocket*) {
            log.push_back("disconnect");
            connectionsAtDisconnect = server.WinSocket()->ActiveConnections();
        };
    }

    void Listen() {
        server.SetPort(0);  // an ephemeral port, read back below
        server.SetActive(true);
        port = BoundPort(*server.WinSocket());
    }

    int Count(const std::string& entry) const {
        return static_cast<int>(std::count(log.begin(), log.end(), entry));
    }

    TServerSocket server{nullptr};
    std::uint16_t port = 0;
    std::vector<std::string> log;
    std::vector<TCustomWinSocket*> connected;
    TCustomWinSocket* firstAtConnect = nullptr;
    bool senderWasSocketObject = false;
    int countAtDisconnect = -1;
    int connectionsAtDisconnect = -1;
    bool connectedAtDisconnect = false;
};

using ServerSocketTest = SocketTest;

TEST_F(ServerSocketTest, ListensAndAcceptsIntoTheConnectionList) {
    RecordedServer r;
    r.Listen();
    EXPECT_TRUE(r.server.Active());
    EXPECT_EQ(r.log, (std::vector<std::string>{"listen"}));
    EXPECT_EQ(r.server.ThreadCacheSize(), 10);

    const int peer = ConnectPosix(r.port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return r.Count("accept") == 1; }));
    // The connection is announced, already in the list, before it is reported accepted.
    EXPECT_EQ(r.log, (std::vector<std::string>{"listen", "client-connect", "accept"}));
    EXPECT_EQ(r.firstAtConnect, r.connected[0]);
    EXPECT_TRUE(r.senderWasSocketObject);
    EXPECT_EQ(r.server.WinSocket()->ConnectionAt(0), r.connected[0]);
    EXPECT_TRUE(r.connected[0]->IsConnected());

    // Data both ways through the connection object.
    std::string received;
    r.server.OnClientRead = [&](TObject*, TCustomWinSocket* s) {
        char buffer[256];
        const int n = s->ReceiveBuffer(buffer, sizeof(buffer));
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    };
    ASSERT_TRUE(SendAllPosix(peer, "hello server"));
    ASSERT_TRUE(PumpUntil([&] { return received == "hello server"; }));
    EXPECT_EQ(r.server.WinSocket()->ConnectionAt(0)->SendString("hello client"), 12);
    EXPECT_EQ(ReadExactPosix(peer, 12), "hello client");
    ::close(peer);
}

TEST_F(ServerSocketTest, ReleasedConnectionLeavesTheListAndTheNextMovesUp) {
    RecordedServer r;
    r.Listen();
    const int first = ConnectPosix(r.port);
    ASSERT_TRUE(PumpUntil([&] { return r.connected.size() == 1; }));
    const int second = ConnectPosix(r.port);
    ASSERT_TRUE(PumpUntil([&] { return r.connected.size() == 2; }));
    ASSERT_EQ(r.server.WinSocket()->ConnectionAt(0), r.connected[0]);

    ::close(first);
    ASSERT_TRUE(PumpUntil([&] { return r.server.WinSocket()->ActiveConnections() == 1; }));
    // Inside OnClientDisconnect the closing connection was still listed and connected.
    EXPECT_EQ(r.Count("client-disconnect"), 1);
    EXPECT_EQ(r.countAtDisconnect, 2);
    EXPECT_TRUE(r.connectedAtDisconnect);
    EXPECT_EQ(r.server.WinSocket()->ConnectionAt(0), r.connected[1]);
    ::close(second);
}

TEST_F(ServerSocketTest, StoppingClosesEveryConnectionWithoutClientDisconnect) {
    RecordedServer r;
    r.Listen();
    std::vector<int> peers;
    for (int i = 0; i < 3; ++i) peers.push_back(ConnectPosix(r.port));
    ASSERT_TRUE(PumpUntil([&] { return r.connected.size() == 3; }));

    r.server.SetActive(false);
    EXPECT_EQ(r.Count("client-disconnect"), 0);
    EXPECT_EQ(r.Count("disconnect"), 1);
    EXPECT_EQ(r.connectionsAtDisconnect, 0);
    EXPECT_FALSE(r.server.Active());
    EXPECT_EQ(r.server.WinSocket()->ActiveConnections(), 0);
    for (int peer : peers) {
        EXPECT_EQ(ReadToEndPosix(peer), "");  // each peer sees its connection end
        ::close(peer);
    }
    try {
        r.server.WinSocket()->ConnectionAt(0);
        ADD_FAILURE() << "no exception";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (0)");
    }
}

TEST_F(ServerSocketTest, ModeIsFixedWhileListeningButTheThreadCacheIsNot) {
    RecordedServer r;
    r.Listen();
    EXPECT_THROW(r.server.SetServerType(stThreadBlocking), ESocketError);
    EXPECT_NO_THROW(r.server.SetServerType(stNonBlocking));
    EXPECT_THROW(r.server.SetPort(1234), ESocketError);
    r.server.SetThreadCacheSize(3);
    EXPECT_EQ(r.server.ThreadCacheSize(), 3);
    // A second listening open on the object itself is refused.
    try {
        r.server.WinSocket()->OpenListener("", "", "", 0, 5, false);
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Can't listen on an open socket");
    }
}

TEST_F(ServerSocketTest, UnhandledConnectionResetIsShownAndTheConnectionStays) {
    RecordedServer r;
    r.Listen();
    const int peer = ConnectPosix(r.port);
    ASSERT_TRUE(PumpUntil([&] { return r.connected.size() == 1; }));
    ResetPosix(peer);
    ASSERT_TRUE(PumpUntil([&] { return !interaction.shown.empty(); }));
    EXPECT_EQ(interaction.shown[0].text, "Asynchronous socket error 10054");
    EXPECT_EQ(r.server.WinSocket()->ActiveConnections(), 1);
    EXPECT_EQ(r.Count("client-disconnect"), 0);
}

TEST_F(ServerSocketTest, BindingATakenPortFailsAndStaysInactive) {
    RecordedServer first;
    first.Listen();
    RecordedServer second;
    second.server.SetPort(first.port);
    try {
        second.server.SetActive(true);
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()).find("Windows socket error: "), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find("(10048), on API 'bind'"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(second.server.Active());
    EXPECT_EQ(second.server.WinSocket()->SocketDesc(), ws::INVALID_SOCKET);
}

// A handler may stop the server while one of its connections is reporting: the
// connection is destroyed under the running notification, which must then end
// without touching it.
TEST_F(ServerSocketTest, StoppingFromInsideAConnectionHandler) {
    struct Case {
        const char* name;
        bool fromDisconnect;
    };
    for (const Case& c : {Case{"read", false}, Case{"disconnect", true}}) {
        SCOPED_TRACE(c.name);
        RecordedServer r;
        const auto stop = [&](TObject*, TCustomWinSocket*) { r.server.SetActive(false); };
        if (c.fromDisconnect)
            r.server.OnClientDisconnect = stop;
        else
            r.server.OnClientRead = stop;
        r.Listen();
        const int leaving = ConnectPosix(r.port);
        const int staying = ConnectPosix(r.port);
        ASSERT_TRUE(PumpUntil([&] { return r.connected.size() == 2; }));
        if (c.fromDisconnect)
            ::close(leaving);
        else
            SendAllPosix(leaving, "stop");
        ASSERT_TRUE(PumpUntil([&] { return !r.server.Active(); }));
        EXPECT_EQ(r.server.WinSocket()->ActiveConnections(), 0);
        EXPECT_EQ(ReadToEndPosix(staying), "");
        Dispatcher::Instance().ProcessPending();  // a release left queued must be dropped
        ::close(staying);
        if (!c.fromDisconnect) ::close(leaving);
    }
}

// The new connection's own handlers may stop the server as well: the connection is
// then destroyed while its accept is still being handled.
TEST_F(ServerSocketTest, StoppingFromTheNewConnectionsHandlers) {
    for (const bool fromAccept : {false, true}) {
        SCOPED_TRACE(fromAccept ? "accept" : "client-connect");
        RecordedServer r;
        const auto stop = [&](TObject*, TCustomWinSocket*) { r.server.SetActive(false); };
        if (fromAccept)
            r.server.OnAccept = stop;
        else
            r.server.OnClientConnect = stop;
        r.Listen();
        const int peer = ConnectPosix(r.port);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(PumpUntil([&] { return !r.server.Active(); }));
        EXPECT_EQ(r.server.WinSocket()->ActiveConnections(), 0);
        EXPECT_EQ(r.Count("client-disconnect"), 0);
        EXPECT_EQ(r.Count("disconnect"), 1);
        EXPECT_EQ(ReadToEndPosix(peer), "");
        Dispatcher::Instance().ProcessPending();
        ::close(peer);
    }
}

TEST_F(ServerSocketTest, ListensOnEveryInterfaceWithAQueueOfFive) {
    RecordedServer r;
    r.Listen();
    EXPECT_THAT(BoundAddress(*r.server.WinSocket()), ::testing::AnyOf("::", "0.0.0.0"));
    const auto backlog = ListenBacklog(r.port);
    if (!backlog) GTEST_SKIP() << "the kernel offers no socket diagnostics here";
    EXPECT_EQ(*backlog, 5u);
}

// 200 clients connect, send a payload each and leave, driven from a helper thread,
// while the GUI thread serves the server.
TEST_F(ServerSocketTest, BurstOfClientsDeliversEveryByteAndLeaksNothing) {
    constexpr int kClients = 200;
    constexpr std::size_t kPayload = 3000;
    const int descriptorsBefore = CountOpenDescriptors();
    const std::size_t windowsBefore = Dispatcher::Instance().WindowCount();

    auto server = std::make_unique<TServerSocket>(nullptr);
    std::map<TCustomWinSocket*, std::string> open;
    std::vector<std::string> finished;
    std::atomic<int> accepted{0};
    server->OnClientConnect = [&](TObject*, TCustomWinSocket* s) {
        open[s];
        ++accepted;
    };
    server->OnClientRead = [&](TObject*, TCustomWinSocket* s) {
        std::string chunk(static_cast<std::size_t>(s->BytesAvailable()), '\0');
        const int n = s->ReceiveBuffer(chunk.data(), static_cast<int>(chunk.size()));
        if (n > 0) open[s].append(chunk.data(), static_cast<std::size_t>(n));
    };
    server->OnClientDisconnect = [&](TObject*, TCustomWinSocket* s) {
        finished.push_back(std::move(open[s]));
        open.erase(s);
    };
    server->SetPort(0);
    server->SetActive(true);
    const std::uint16_t port = BoundPort(*server->WinSocket());

    std::atomic<int> failures{0};
    std::thread clients([&] {
        for (int i = 0; i < kClients; ++i) {
            // Stay within the listen queue, so no SYN waits for a retransmission.
            const auto deadline = std::chrono::steady_clock::now() + kDeadline;
            while (i - accepted.load() >= 4 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            const int fd = ConnectPosix(port);
            std::string payload(kPayload, static_cast<char>('A' + i % 26));
            std::memcpy(payload.data(), &i, sizeof(i));
            if (fd < 0 || !SendAllPosix(fd, payload)) ++failures;
            if (fd >= 0) ::close(fd);
        }
    });
    const bool allDone = PumpUntil([&] {
        return static_cast<int>(finished.size()) == kClients || failures.load() > 0;
    });
    clients.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_TRUE(allDone) << finished.size() << " of " << kClients << " finished";

    std::vector<bool> seen(kClients, false);
    for (const std::string& bytes : finished) {
        ASSERT_EQ(bytes.size(), kPayload);
        int index = -1;
        std::memcpy(&index, bytes.data(), sizeof(index));
        ASSERT_TRUE(index >= 0 && index < kClients);
        EXPECT_EQ(bytes.substr(sizeof(index)),
                  std::string(kPayload - sizeof(index), static_cast<char>('A' + index % 26)));
        seen[static_cast<std::size_t>(index)] = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kClients);
    ASSERT_TRUE(PumpUntil([&] { return server->WinSocket()->ActiveConnections() == 0; }));

    server.reset();
    EXPECT_EQ(CountOpenDescriptors(), descriptorsBefore);
    EXPECT_EQ(Dispatcher::Instance().WindowCount(), windowsBefore);
}

TEST_F(ServerSocketTest, ThreadBlockingServerReportsReadsOnTheGuiThread) {
    TServerSocket server(nullptr);
    server.SetServerType(stThreadBlocking);
    EXPECT_EQ(server.WinSocket()->NotifyMask(), 0);
    std::atomic<int> threadsStarted{0};
    std::atomic<bool> acceptedOffGuiThread{false};
    std::string received;
    bool readOnGuiThread = true;
    server.OnThreadStart = [&](TObject*, TServerClientThread*) { ++threadsStarted; };
    server.OnAccept = [&](TObject*, TCustomWinSocket*) {
        acceptedOffGuiThread = !Dispatcher::Instance().IsGuiThread();
    };
    server.OnRead = [&](TObject*, TCustomWinSocket* s) {
        readOnGuiThread = readOnGuiThread && Dispatcher::Instance().IsGuiThread();
        char buffer[64];
        const int n = s->ReceiveBuffer(buffer, sizeof(buffer));
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    };
    server.SetPort(0);
    server.SetActive(true);
    ASSERT_TRUE(server.Active());
    const std::uint16_t port = BoundPort(*server.WinSocket());

    const int peer = ConnectPosix(port);
    ASSERT_TRUE(SendAllPosix(peer, "threaded"));
    ASSERT_TRUE(PumpUntil([&] { return received == "threaded"; }));
    EXPECT_TRUE(readOnGuiThread);
    EXPECT_TRUE(acceptedOffGuiThread);
    EXPECT_EQ(threadsStarted.load(), 1);
    EXPECT_EQ(server.WinSocket()->ActiveConnections(), 1);

    // The peer leaves: the thread lets go of its connection and waits in the cache.
    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return server.WinSocket()->ActiveConnections() == 0; }));
    EXPECT_EQ(server.WinSocket()->ActiveThreads(), 0);

    // A second client is served by the cached thread.
    received.clear();
    const int again = ConnectPosix(port);
    ASSERT_TRUE(SendAllPosix(again, "reused"));
    ASSERT_TRUE(PumpUntil([&] { return received == "reused"; }));
    EXPECT_EQ(threadsStarted.load(), 1);

    server.SetActive(false);
    EXPECT_EQ(server.WinSocket()->ActiveConnections(), 0);
    EXPECT_EQ(ReadToEndPosix(again), "");
    ::close(again);
}

}  // namespace
}  // namespace portvale::test
