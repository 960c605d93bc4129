// A bridge session on its own, without a window: a pseudo-terminal as the device,
// loopback peers on the TCP side. What a front end sees is what the session's
// observers were told; what the peers see is on the wire.
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <map>

#include "app/BridgeSession.h"
#include "app/FilterStack.h"
#include "tests/platform/serial/PtyFixture.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/support/Wait.h"

namespace portvale {
namespace {

using test::PumpUntil;

// The test's own layers, so that what each one did shows on the wire: the lower one
// flips letter case both ways, the upper one greets, holds the connection until the
// peer says "open", and closes it on "bye".
std::string FlipCase(std::string bytes) {
    for (char& c : bytes) c = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
    return bytes;
}

class CaseLayer : public TFilter {
public:
    void Opened(TConnectionId) override {}
    void Closed(TConnectionId) override {}
    std::string FromNetwork(TConnectionId, const std::string& bytes) override { return FlipCase(bytes); }
    std::string FromDevice(TConnectionId, const std::string& bytes) override { return FlipCase(bytes); }
};

class GateLayer : public TFilter {
public:
    void Opened(TConnectionId id) override {
        open_[id] = false;
        Site().ToNetwork(id, "hi.");
    }
    void Closed(TConnectionId id) override { open_.erase(id); }
    std::string FromNetwork(TConnectionId id, const std::string& bytes) override {
        if (bytes == "bye") {
            Site().Close(id);
            return {};
        }
        if (bytes != "open") return open_[id] ? bytes : std::string();
        open_[id] = true;
        Site().Ready(id);
        return {};
    }
    std::string FromDevice(TConnectionId, const std::string& bytes) override { return bytes; }
    bool Ready(TConnectionId id) const override { return open_.count(id) && open_.at(id); }
    bool HoldsNewConnections() const override { return true; }

private:
    std::map<TConnectionId, bool> open_;
};

class BridgeSessionTest : public ::testing::Test {
protected:
    BridgeSessionTest() {
        session.Port().SetPort(pty.path());
        TBridgeSession::Observers& on = session.On;
        on.connectedToServer = [this](TCustomWinSocket*) { told.push_back("connected to server"); };
        on.disconnectedFromServer = [this](bool wasUp) { told.push_back(wasUp ? "server gone" : "attempt failed"); };
        on.clientConnected = [this](TCustomWinSocket*) { told.push_back("client"); };
        on.clientDisconnected = [this](TCustomWinSocket*, int remaining) {
            told.push_back("client gone, " + std::to_string(remaining) + " left");
        };
        on.socketError = [this](TCustomWinSocket*, const std::string&, int, bool accepted) {
            told.push_back(accepted ? "client error" : "error");
        };
        on.portLost = [this] { told.push_back("port lost"); };
        on.portBack = [this] { told.push_back("port back"); };
        on.wantPort = [this] { return wantPort; };
    }
    ~BridgeSessionTest() override {
        for (const int fd : peers) ::close(fd);
    }
    std::uint16_t Listen() {
        const std::uint16_t port = test::RefusingPort();
        session.Server().SetPort(port);
        session.Server().SetActive(true);
        return port;
    }
    int Peer(std::uint16_t port) {
        peers.push_back(test::ConnectPosix(port));
        return peers.back();
    }
    std::string Receive(int peer, std::size_t count) {
        std::string out;
        PumpUntil([&] {
            char buffer[256];
            const ssize_t n = ::recv(peer, buffer, std::min(sizeof buffer, count - out.size()), MSG_DONTWAIT);
            if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
            return out.size() >= count;
        });
        return out;
    }
    std::string AtDevice(std::size_t count) {
        std::string out;
        PumpUntil([&] {
            out += pty.Receive(count - out.size(), std::chrono::milliseconds(5));
            return out.size() >= count;
        });
        return out;
    }
    bool Told(const std::string& what) {
        return PumpUntil([&] { return std::find(told.begin(), told.end(), what) != told.end(); });
    }

    test::Pty pty;
    TBridgeSession session;
    std::vector<std::string> told;
    std::vector<int> peers;
    bool wantPort = true;
};

TEST_F(BridgeSessionTest, ClientsComeAndGoAndAResetOneIsClosedWhileTheOtherIsServed) {
    std::string why;
    ASSERT_TRUE(session.OpenPort(why)) << why;
    const std::uint16_t port = Listen();
    const int first = Peer(port);
    ASSERT_TRUE(Told("client"));
    const int second = Peer(port);
    ASSERT_TRUE(PumpUntil([&] { return session.Clients() == 2; }));
    test::ResetPosix(first);
    peers.erase(peers.begin());
    ASSERT_TRUE(Told("client gone, 1 left"));
    EXPECT_EQ(1, session.Clients());
    // The one left is the bridge's target now, both ways.
    pty.Send("to second");
    EXPECT_EQ("to second", Receive(second, 9));
    test::SendAllPosix(second, "from second");
    EXPECT_EQ("from second", AtDevice(11));

    session.CloseTcp();
    EXPECT_EQ(0, session.Clients());
    EXPECT_FALSE(session.Server().Active());
}

TEST_F(BridgeSessionTest, AClientSideTellsAFailedAttemptAConnectionAndItsEnd) {
    session.Client().SetHost("127.0.0.1");
    session.Client().SetPort(test::RefusingPort());
    session.Bridge().Connecting(true);
    session.Client().SetActive(true);
    ASSERT_TRUE(Told("error"));
    EXPECT_FALSE(session.ServerConnected());
    EXPECT_EQ(std::count(told.begin(), told.end(), "server gone"), 0) << "it never was up";

    test::PosixListener server;
    session.Client().SetActive(false);
    session.Client().SetPort(server.Port());
    session.Client().SetActive(true);
    // The name is looked up and the connection made while the dispatcher runs.
    int peer = -1;
    ASSERT_TRUE(PumpUntil([&] { return (peer = server.Accept(std::chrono::milliseconds(0))) >= 0; }));
    peers.push_back(peer);
    ASSERT_TRUE(Told("connected to server"));
    EXPECT_TRUE(session.ServerConnected());
    ::shutdown(peer, SHUT_RDWR);
    ASSERT_TRUE(Told("server gone"));
    EXPECT_FALSE(session.ServerConnected());
}

TEST_F(BridgeSessionTest, ALostPortIsLookedForWhileWantedAndTheNewDeviceTakesItsPlace) {
    const std::string link = "/tmp/portvale-session-" + std::to_string(::getpid());
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);
    session.Port().SetPort(link);
    std::string why;
    ASSERT_TRUE(session.OpenPort(why)) << why;
    pty.CloseMaster();
    ASSERT_TRUE(Told("port lost"));
    EXPECT_FALSE(session.Port().Connected());
    EXPECT_TRUE(session.RetryingPort());

    test::Pty again;
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink(again.path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(Told("port back"));
    EXPECT_TRUE(session.Port().Connected());
    EXPECT_FALSE(session.RetryingPort());

    // No longer wanted: lost again, it is not looked for.
    wantPort = false;
    again.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !session.Port().Connected(); }));
    EXPECT_FALSE(session.RetryingPort());
    ::unlink(link.c_str());
}

TEST_F(BridgeSessionTest, BytesPassEveryLayerInOrderAndALayerActsThroughTheOnesBelow) {
    TFilterStack stack(session.Bridge(), TFilterStack::Observers{});
    stack.Push(std::make_unique<CaseLayer>());
    stack.Push(std::make_unique<GateLayer>());
    session.Bridge().Filter = &stack;
    std::string why;
    ASSERT_TRUE(session.OpenPort(why)) << why;
    const int peer = Peer(Listen());
    ASSERT_GE(peer, 0);
    // The upper layer's greeting went down through the lower one.
    EXPECT_EQ("HI.", Receive(peer, 3));
    // No target until the upper layer says it is ready.
    EXPECT_EQ(nullptr, session.Bridge().SerialTarget());
    test::SendAllPosix(peer, "OPEN");
    ASSERT_TRUE(PumpUntil([&] { return session.Bridge().SerialTarget() != nullptr; }));
    pty.Send("from device");
    EXPECT_EQ("FROM DEVICE", Receive(peer, 11));
    test::SendAllPosix(peer, "tO dEVICE");
    EXPECT_EQ("To Device", AtDevice(9));
    test::SendAllPosix(peer, "BYE");
    char byte;
    ASSERT_TRUE(PumpUntil([&] { return ::recv(peer, &byte, 1, MSG_DONTWAIT) == 0; }));
    EXPECT_EQ(0, session.Clients());
    session.CloseTcp();
    session.Bridge().Filter = nullptr;
}

}  // namespace
}  // namespace portvale
