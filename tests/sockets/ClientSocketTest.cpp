// The client socket component over real loopback connections: its events in order,
// errors offered to OnError and raised when not absorbed, reads and closes.

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

struct ErrorSeen {
    TErrorEvent kind;
    int code;
};

// A client socket whose events are written into a log as they happen.
class RecordedClient {
public:
    RecordedClient() {
        client.OnLookup = [this](TObject*, TCustomWinSocket*) { log.push_back("lookup"); };
        client.OnConnecting = [this](TObject*, TCustomWinSocket*) { log.push_back("connecting"); };
        client.OnConnect = [this](TObject*, TCustomWinSocket*) {
            log.push_back("connect");
            activeAtEvent = client.Active();
        };
        client.OnDisconnect = [this](TObject*, TCustomWinSocket* s) {
            log.push_back("disconnect");
            activeAtEvent = client.Active();
            receivedAtDisconnect = received.size();
            descriptorAtDisconnect = s->SocketDesc();
        };
        client.OnRead = [this](TObject*, TCustomWinSocket* s) {
            std::string chunk(static_cast<std::size_t>(s->BytesAvailable()), '\0');
            const int n = s->ReceiveBuffer(chunk.data(), static_cast<int>(chunk.size()));
            if (n > 0) received.append(chunk.data(), static_cast<std::size_t>(n));
        };
        client.OnError = [this](TObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            log.push_back("error");
            errors.push_back({kind, code});
            if (absorb) code = 0;
        };
    }

    bool Has(const std::string& entry) const {
        return std::find(log.begin(), log.end(), entry) != log.end();
    }

    TClientSocket client{nullptr};
    std::vector<std::string> log;
    std::vector<ErrorSeen> errors;
    std::string received;
    std::size_t receivedAtDisconnect = 0;
    ws::SOCKET descriptorAtDisconnect = ws::INVALID_SOCKET;
    bool activeAtEvent = false;
    bool absorb = true;
};

using ClientSocketTest = SocketTest;

TEST_F(ClientSocketTest, OpenByHostLooksUpThenConnects) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetHost(kKnownHost);
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    // The lookup runs on a worker and completes by message: nothing is connecting yet.
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup"}));
    EXPECT_FALSE(r.client.Active());
    // While the attempt is pending, Active is false: closing is no change, and the
    // settings may change without touching the attempt.
    r.client.SetActive(false);
    EXPECT_NO_THROW(r.client.SetHost(kUnknownHost));
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connect"); }));
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "connecting", "connect"}));
    EXPECT_TRUE(r.activeAtEvent);
    EXPECT_TRUE(r.client.Active());
    EXPECT_TRUE(r.client.WinSocket()->IsConnected());
    const int accepted = peer.Accept();
    ASSERT_GE(accepted, 0);
    ::close(accepted);
}

TEST_F(ClientSocketTest, OpenByAddressConnectsWithinTheCall) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "connecting"}));
    ASSERT_TRUE(PumpUntil([&] { return r.client.Active(); }));

    // Changing a setting of an open connection is refused.
    try {
        r.client.SetAddress("127.0.0.2");
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Can't change value while socket is active");
    }
    EXPECT_EQ(r.client.Address(), "127.0.0.1");
    EXPECT_NO_THROW(r.client.SetClientType(ctNonBlocking));
    EXPECT_THROW(r.client.SetClientType(ctBlocking), ESocketError);
    try {
        r.client.WinSocket()->OpenClient("", "127.0.0.1", "", peer.Port(), false);
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Socket already open");
    }
    EXPECT_TRUE(r.client.WinSocket()->IsConnected());

    // A user close reports the disconnect first, with Active already false and the
    // descriptor still open.
    const ws::SOCKET open = r.client.WinSocket()->SocketDesc();
    r.client.SetActive(false);
    EXPECT_TRUE(r.Has("disconnect"));
    EXPECT_FALSE(r.activeAtEvent);
    EXPECT_EQ(r.descriptorAtDisconnect, open);
    EXPECT_EQ(r.client.WinSocket()->SocketDesc(), ws::INVALID_SOCKET);
    char byte = 0;
    EXPECT_EQ(r.client.WinSocket()->SendBuffer(&byte, 1), 0);
    EXPECT_EQ(r.client.WinSocket()->BytesAvailable(), 0);
    EXPECT_EQ(r.client.WinSocket()->ReceiveBuffer(&byte, 1), 0);
}

TEST_F(ClientSocketTest, WhileConnectedOnlyTheCurrentSettingsAreAccepted) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetHost(kKnownHost);
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return r.client.Active(); }));
    const int accepted = peer.Accept();
    ASSERT_GE(accepted, 0);

    struct Case {
        const char* name;
        std::function<void()> set;
        bool raises;
    };
    const std::vector<Case> cases = {
        {"host in another letter case", [&] { r.client.SetHost("PortVale.TEST"); }, false},
        {"same port", [&] { r.client.SetPort(peer.Port()); }, false},
        {"same empty address", [&] { r.client.SetAddress(""); }, false},
        {"other host", [&] { r.client.SetHost(kUnknownHost); }, true},
        {"address", [&] { r.client.SetAddress("127.0.0.1"); }, true},
        {"service", [&] { r.client.SetService("tcpmux"); }, true},
        {"other port", [&] { r.client.SetPort(peer.Port() + 1); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.set();
            EXPECT_FALSE(c.raises);
        } catch (const ESocketError& e) {
            EXPECT_TRUE(c.raises);
            EXPECT_STREQ(e.what(), "Can't change value while socket is active");
        }
    }
    EXPECT_EQ(r.client.Host(), kKnownHost);
    EXPECT_EQ(r.client.Address(), "");
    EXPECT_EQ(r.client.Service(), "");
    EXPECT_EQ(r.client.Port(), peer.Port());
    EXPECT_TRUE(r.client.WinSocket()->IsConnected());
    ::close(accepted);
}

TEST_F(ClientSocketTest, HostSettingIsCaseInsensitiveAndFreeWhileNotActive) {
    RecordedClient r;
    r.client.SetHost("PortVale.Test");
    r.client.SetHost("portvale.test");
    EXPECT_EQ(r.client.Host(), "PortVale.Test");
    r.client.SetPort(70000);
    EXPECT_EQ(r.client.Port(), 70000);
}

TEST_F(ClientSocketTest, RefusedConnectAbsorbedByHandlerChangesNothing) {
    RecordedClient r;
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(RefusingPort());
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return !r.errors.empty(); }));
    EXPECT_EQ(r.errors[0].kind, erConnect);
    EXPECT_EQ(r.errors[0].code, ws::WSAECONNREFUSED);
    EXPECT_FALSE(r.client.Active());
    EXPECT_FALSE(r.Has("disconnect"));
    EXPECT_FALSE(r.Has("connect"));
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(ClientSocketTest, RefusedConnectNotAbsorbedReachesTheCentralHandler) {
    RecordedClient r;
    r.absorb = false;
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(RefusingPort());
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return !interaction.shown.empty(); }));
    EXPECT_EQ(interaction.shown[0].text, "Asynchronous socket error 10061");
    EXPECT_EQ(interaction.shown[0].caption, Application().Title);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].kind, erConnect);
    EXPECT_FALSE(r.Has("connect"));
}

TEST_F(ClientSocketTest, UnknownHostReportsLookupErrorThenDisconnectAndCanRetry) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetHost(kUnknownHost);
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("disconnect"); }));
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "error", "disconnect"}));
    EXPECT_EQ(r.errors[0].kind, erLookup);
    EXPECT_EQ(r.errors[0].code, ws::WSAHOST_NOT_FOUND);
    EXPECT_TRUE(interaction.shown.empty());

    // The next attempt starts from the beginning: it looks the new name up.
    r.log.clear();
    r.client.SetHost(kKnownHost);
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return r.client.Active(); }));
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "connecting", "connect"}));
    const int accepted = peer.Accept();
    EXPECT_GE(accepted, 0);
    ::close(accepted);
}

TEST_F(ClientSocketTest, UnknownHostNotAbsorbedIsShownWithTheLookupName) {
    RecordedClient r;
    r.absorb = false;
    r.client.SetHost(kUnknownHost);
    r.client.SetPort(1);
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return !interaction.shown.empty(); }));
    EXPECT_EQ(interaction.shown[0].text,
              "Windows socket error: " + ws::WSAErrorText(ws::WSAHOST_NOT_FOUND) +
                  " (11001), on API 'ASync Lookup'");
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "error", "disconnect"}));
    EXPECT_FALSE(r.client.Active());
}

// connect refusing the looked-up address at once is no notification error: it is not
// offered to OnError, and the central handler shows it once the socket is closed.
TEST_F(ClientSocketTest, ConnectFailingAtOnceAfterTheLookupIsShownNotOffered) {
    ws::SetHostResolver([](const std::string&, std::vector<ws::HostAddress>* addresses) {
        addresses->push_back(ws::HostAddress::IPv4(htonl(INADDR_ANY)));  // an address connect cannot use
        return 0;
    });
    RecordedClient r;
    r.client.SetHost("any.test");
    r.client.SetPort(1);
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return !interaction.shown.empty(); }));
    EXPECT_EQ(interaction.shown[0].text,
              "Windows socket error: " + ws::WSAErrorText(ws::WSAEADDRNOTAVAIL) +
                  " (10049), on API 'connect'");
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "connecting", "disconnect"}));
    EXPECT_TRUE(r.errors.empty());
    EXPECT_FALSE(r.client.Active());
    EXPECT_EQ(r.client.WinSocket()->SocketDesc(), ws::INVALID_SOCKET);
}

TEST_F(ClientSocketTest, NoHostAndNoAddress) {
    struct Case {
        TClientType type;
        bool absorb;
        bool raises;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {ctNonBlocking, true, false, {"lookup", "error", "disconnect"}},
        {ctNonBlocking, false, true, {"lookup", "error", "disconnect"}},
        {ctBlocking, true, true, {"lookup", "disconnect"}},  // no error offered
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " absorb " << c.absorb);
        RecordedClient r;
        r.absorb = c.absorb;
        r.client.SetClientType(c.type);
        r.client.SetPort(1);
        try {
            r.client.SetActive(true);
            EXPECT_FALSE(c.raises);
        } catch (const ESocketError& e) {
            EXPECT_TRUE(c.raises);
            EXPECT_STREQ(e.what(), "No address specified");
        }
        EXPECT_EQ(r.log, c.log);
        if (!r.errors.empty()) {
            EXPECT_EQ(r.errors[0].kind, erLookup);
            EXPECT_EQ(r.errors[0].code, 1110);
        }
        EXPECT_FALSE(r.client.Active());
        EXPECT_EQ(r.client.WinSocket()->SocketDesc(), ws::INVALID_SOCKET);
    }
}

TEST_F(ClientSocketTest, EveryByteBeforeThePeerClosesIsReadBeforeDisconnect) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    const int accepted = peer.Accept();
    ASSERT_GE(accepted, 0);
    std::string payload(300000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    std::thread sender([&] {
        SendAllPosix(accepted, payload);
        ::close(accepted);
    });
    const bool closed = PumpUntil([&] { return r.Has("disconnect"); });
    sender.join();
    ASSERT_TRUE(closed);
    EXPECT_EQ(r.receivedAtDisconnect, payload.size());
    EXPECT_TRUE(r.received == payload);
    EXPECT_FALSE(r.client.Active());
}

TEST_F(ClientSocketTest, PeerResetAbsorbedKeepsConnectionUntilASendFails) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    const int accepted = peer.Accept();
    ASSERT_GE(accepted, 0);
    ASSERT_TRUE(PumpUntil([&] { return r.client.Active(); }));
    ResetPosix(accepted);
    ASSERT_TRUE(PumpUntil([&] { return !r.errors.empty(); }));
    EXPECT_EQ(r.errors[0].kind, erDisconnect);
    EXPECT_EQ(r.errors[0].code, ws::WSAECONNRESET);
    EXPECT_TRUE(r.client.Active());
    EXPECT_TRUE(r.client.WinSocket()->IsConnected());
    EXPECT_FALSE(r.Has("disconnect"));

    // The next send fails, is offered to OnError, and closes the connection.
    EXPECT_EQ(r.client.WinSocket()->SendString("after the reset"), -1);
    ASSERT_EQ(r.errors.size(), 2u);
    EXPECT_EQ(r.errors[1].kind, erSend);
    EXPECT_NE(r.errors[1].code, 0);
    EXPECT_TRUE(r.Has("disconnect"));
    EXPECT_FALSE(r.client.Active());
    EXPECT_FALSE(r.client.WinSocket()->IsConnected());
}

TEST_F(ClientSocketTest, SendThatWouldBlockReturnsMinusOne) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    const int accepted = peer.Accept();  // never reads
    ASSERT_GE(accepted, 0);
    ASSERT_TRUE(PumpUntil([&] { return r.client.Active(); }));
    const std::string block(65536, 'x');
    int result = 0;
    for (int i = 0; i < 4096 && result != -1; ++i) result = r.client.WinSocket()->SendString(block);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(r.client.WinSocket()->IsConnected());
    ::close(accepted);
}

TEST_F(ClientSocketTest, DestroyingAConnectedClientClosesSilently) {
    PosixListener peer;
    bool disconnected = false;
    auto client = std::make_unique<TClientSocket>(nullptr);
    client->OnDisconnect = [&](TObject*, TCustomWinSocket*) { disconnected = true; };
    client->SetAddress("127.0.0.1");
    client->SetPort(peer.Port());
    client->SetActive(true);
    const int accepted = peer.Accept();
    ASSERT_GE(accepted, 0);
    ASSERT_TRUE(PumpUntil([&] { return client->Active(); }));
    client.reset();
    EXPECT_FALSE(disconnected);
    EXPECT_EQ(ReadToEndPosix(accepted), "");  // the peer sees the close
    ::close(accepted);
}

TEST_F(ClientSocketTest, PortAboveSixteenBitsUsesItsLowBits) {
    TServerSocket server(nullptr);
    server.SetPort(70000);
    try {
        server.SetActive(true);
    } catch (const ESocketError& e) {
        GTEST_SKIP() << "port 4464 is taken here: " << e.what();
    }
    EXPECT_EQ(BoundPort(*server.WinSocket()), 4464);
    RecordedClient r;
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(70000);
    r.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return r.client.Active() && server.WinSocket()->ActiveConnections() == 1; }));
}

TEST_F(ClientSocketTest, BlockingClientConnectsInsideTheOpen) {
    PosixListener peer;
    RecordedClient r;
    r.client.SetClientType(ctBlocking);
    EXPECT_EQ(r.client.WinSocket()->NotifyMask(), 0);
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(peer.Port());
    r.client.SetActive(true);
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "connecting", "connect"}));
    EXPECT_TRUE(r.client.Active());
    const int accepted = peer.Accept();
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(r.client.WinSocket()->SendString("ping"), 4);
    SendAllPosix(accepted, "pong");
    char reply[4] = {};
    EXPECT_EQ(r.client.WinSocket()->ReceiveBuffer(reply, 4), 4);  // blocks for it
    EXPECT_EQ(std::string(reply, 4), "pong");
    ::close(accepted);
}

TEST_F(ClientSocketTest, StoredActiveOpensWhenLoadingEnds) {
    PosixListener peer;
    RecordedClient r;
    r.client.BeginLoading();
    r.client.SetActive(true);
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(peer.Port());
    EXPECT_TRUE(r.log.empty());
    r.client.Loaded();
    EXPECT_EQ(r.log, (std::vector<std::string>{"lookup", "connecting"}));
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connect"); }));
    const int accepted = peer.Accept();
    ::close(accepted);
}

TEST_F(ClientSocketTest, RepeatedRefusedConnectsLeakNoDescriptor) {
    const std::uint16_t port = RefusingPort();
    const int before = CountOpenDescriptors();
    const std::size_t windowsBefore = Dispatcher::Instance().WindowCount();
    {
        RecordedClient r;
        r.client.SetAddress("127.0.0.1");
        r.client.SetPort(port);
        for (std::size_t i = 1; i <= 100; ++i) {
            r.client.SetActive(true);
            ASSERT_TRUE(PumpUntil([&] { return r.errors.size() == i; })) << "attempt " << i;
        }
        // Only the last attempt's descriptor is still held, by the client.
        EXPECT_LE(CountOpenDescriptors(), before + 1);
    }
    EXPECT_EQ(CountOpenDescriptors(), before);
    EXPECT_EQ(Dispatcher::Instance().WindowCount(), windowsBefore);
}

}  // namespace
}  // namespace portvale::test
