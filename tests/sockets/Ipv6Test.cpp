// The socket components over IPv6 on ::1: a dual-stack server, clients of both
// families, and a host whose addresses are tried in turn.
#include <algorithm>
#include <string>
#include <vector>

#include "sockets/ClientSocket.h"
#include "sockets/ServerSocket.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/support/Wait.h"

namespace portvale::test {
namespace {

class Ipv6Test : public SocketTest {
protected:
    void SetUp() override {
        if (!HaveIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    }
    void TearDown() override { ws::SetHostResolver(nullptr); }

    // Resolves `name` to the given loopback families, in that order.
    static void Resolve(const std::string& name, std::vector<int> families) {
        ws::SetHostResolver([=](const std::string& asked, std::vector<ws::HostAddress>* addresses) {
            if (asked != name) return ws::WSAHOST_NOT_FOUND;
            in6_addr v6 = IN6ADDR_LOOPBACK_INIT;
            for (const int family : families)
                addresses->push_back(family == AF_INET6 ? ws::HostAddress::IPv6(v6)
                                                        : ws::HostAddress::IPv4(htonl(INADDR_LOOPBACK)));
            return 0;
        });
    }
};

struct Attempt {
    TClientSocket client{nullptr};
    int connecting = 0;
    bool connected = false;
    std::vector<int> errors;

    Attempt(const std::string& host, std::uint16_t port, TClientType type = ctNonBlocking) {
        client.OnConnecting = [this](TObject*, TCustomWinSocket*) { ++connecting; };
        client.OnConnect = [this](TObject*, TCustomWinSocket*) { connected = true; };
        client.OnError = [this](TObject*, TCustomWinSocket*, TErrorEvent, int& code) {
            errors.push_back(code);
            code = 0;
        };
        client.SetClientType(type);
        client.SetHost(host);
        client.SetPort(port);
        client.SetActive(true);
    }
};

TEST_F(Ipv6Test, IPv4AndIPv6ClientsReachOneDualStackServerAndSeeEachOther) {
    TServerSocket server(nullptr);
    std::vector<std::string> peers;
    std::string received;
    server.OnClientConnect = [&](TObject*, TCustomWinSocket* s) { peers.push_back(s->RemoteAddress()); };
    server.OnClientRead = [&](TObject*, TCustomWinSocket* s) {
        char chunk[64];
        const int n = s->ReceiveBuffer(chunk, sizeof chunk);
        if (n > 0) received.append(chunk, static_cast<std::size_t>(n));
    };
    server.SetPort(0);
    server.SetActive(true);
    const std::uint16_t port = BoundPort(*server.WinSocket());
    EXPECT_EQ(BoundAddress(*server.WinSocket()), "::") << "one socket for both families";

    Attempt v6("::1", port);
    Attempt v4("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] { return v6.connected && v4.connected && peers.size() == 2; }));
    std::sort(peers.begin(), peers.end());
    EXPECT_EQ(peers, (std::vector<std::string>{"127.0.0.1", "::1"})) << "an IPv4 client is not shown as ::ffff:";
    EXPECT_EQ(v6.client.WinSocket()->RemoteAddress(), "::1");
    EXPECT_EQ(v6.client.WinSocket()->RemotePort(), port);
    EXPECT_EQ(v4.client.WinSocket()->RemoteAddress(), "127.0.0.1");

    v6.client.WinSocket()->SendString("six");
    ASSERT_TRUE(PumpUntil([&] { return received == "six"; })) << received;
    v4.client.WinSocket()->SendString("four");
    ASSERT_TRUE(PumpUntil([&] { return received == "sixfour"; })) << received;
    EXPECT_TRUE(v6.errors.empty());
    EXPECT_TRUE(v4.errors.empty());
}

TEST_F(Ipv6Test, AHostIsReachedOnTheFirstOfItsAddressesThatTakesTheConnection) {
    struct Case {
        const char* what;
        std::vector<int> order;
        int listening;  // the family whose loopback listens; the other refuses
        TClientType type;
    };
    for (const Case& c : {Case{"IPv6 refuses, IPv4 answers", {AF_INET6, AF_INET}, AF_INET, ctNonBlocking},
                          Case{"IPv4 refuses, IPv6 answers", {AF_INET, AF_INET6}, AF_INET6, ctNonBlocking},
                          Case{"blocking, IPv6 refuses", {AF_INET6, AF_INET}, AF_INET, ctBlocking}}) {
        SCOPED_TRACE(c.what);
        PosixListener listener(c.listening);
        Resolve("both.test", c.order);
        Attempt attempt("both.test", listener.Port(), c.type);
        ASSERT_TRUE(PumpUntil([&] { return attempt.connected || !attempt.errors.empty(); }));
        EXPECT_TRUE(attempt.connected);
        EXPECT_TRUE(attempt.errors.empty()) << "a refused address that is not the last is no error";
        EXPECT_EQ(attempt.connecting, 2) << "each address is announced";
        EXPECT_EQ(attempt.client.WinSocket()->RemoteAddress(), c.listening == AF_INET6 ? "::1" : "127.0.0.1");
        const int accepted = listener.Accept();
        EXPECT_GE(accepted, 0);
        ::close(accepted);
    }
}

// A listener on ::1 whose accept queue is full: Linux drops further handshakes, so a
// connect to it neither succeeds nor fails, as with an address whose packets vanish.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        const ws::SocketAddress address = LoopbackOf(AF_INET6, 0);
        ::bind(fd_, &address.any, sizeof address.v6);
        ::listen(fd_, 0);
        port_ = LocalPort(fd_);
        filler_ = ConnectPosix(port_, AF_INET6);  // the one place in the queue
    }
    ~SilentListener() {
        ::close(filler_);
        ::close(fd_);
    }
    std::uint16_t Port() const { return port_; }
    bool Ready() const { return filler_ >= 0; }

private:
    int fd_ = -1;
    int filler_ = -1;
    std::uint16_t port_ = 0;
};

TEST_F(Ipv6Test, AnAddressThatNeverAnswersIsGivenUpForTheNext) {
    struct ShortDelay {
        std::chrono::milliseconds kept = TCustomWinSocket::NextAddressDelay();
        ShortDelay() { TCustomWinSocket::SetNextAddressDelay(std::chrono::milliseconds(100)); }
        ~ShortDelay() { TCustomWinSocket::SetNextAddressDelay(kept); }
    } shortDelay;
    SilentListener silent;
    ASSERT_TRUE(silent.Ready());
    // The IPv4 loopback at the same port number answers.
    const int v4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const ws::SocketAddress address = LoopbackOf(AF_INET, silent.Port());
    ASSERT_EQ(::bind(v4, &address.any, sizeof address.v4), 0);
    ::listen(v4, 4);
    Resolve("both.test", {AF_INET6, AF_INET});

    Attempt attempt("both.test", silent.Port());
    ASSERT_TRUE(PumpUntil([&] { return attempt.connected || !attempt.errors.empty(); }));
    EXPECT_TRUE(attempt.connected);
    EXPECT_TRUE(attempt.errors.empty());
    EXPECT_EQ(attempt.connecting, 2);
    EXPECT_EQ(attempt.client.WinSocket()->RemoteAddress(), "127.0.0.1");
    ::close(v4);
}

TEST_F(Ipv6Test, WhenEveryAddressRefusesOneErrorReportsTheLast) {
    Resolve("both.test", {AF_INET6, AF_INET});
    Attempt attempt("both.test", RefusingPort());
    ASSERT_TRUE(PumpUntil([&] { return !attempt.errors.empty(); }));
    EXPECT_EQ(attempt.errors, (std::vector<int>{ws::WSAECONNREFUSED}));
    EXPECT_EQ(attempt.connecting, 2);
    EXPECT_FALSE(attempt.connected);

    // The object starts afresh: the next open tries every address again.
    PosixListener listener(AF_INET);
    attempt.client.SetActive(false);
    attempt.client.SetPort(listener.Port());
    attempt.errors.clear();
    attempt.connecting = 0;
    attempt.client.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return attempt.connected || !attempt.errors.empty(); }));
    EXPECT_TRUE(attempt.connected);
    EXPECT_EQ(attempt.connecting, 2);
    ::close(listener.Accept());
}

}  // namespace
}  // namespace portvale::test
