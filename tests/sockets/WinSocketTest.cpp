// The socket object on its own: its event sequence, lookups and their completion
// messages, notifications for other descriptors, listen queue and error texts.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

// A socket object of the given class with its sinks writing into a log.
template <typename Socket>
class Sinked {
public:
    template <typename... A>
    explicit Sinked(A&&... args) : socket(std::make_unique<Socket>(std::forward<A>(args)...)) {
        socket->EventSink = [this](TCustomWinSocket*, TCustomWinSocket*, TSocketEventKind kind) {
            kinds.push_back(kind);
        };
        socket->ErrorSink = [this](TCustomWinSocket*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            errors.push_back({kind, code});
            code = 0;
        };
    }
    bool Saw(TSocketEventKind kind) const {
        return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
    }

    std::unique_ptr<Socket> socket;
    std::vector<TSocketEventKind> kinds;
    std::vector<std::pair<TErrorEvent, int>> errors;
};

using WinSocketTest = SocketTest;

TEST_F(WinSocketTest, ListenerBindsAnyAddressWithAQueueOfAtMostFive) {
    const std::vector<std::pair<int, std::uint32_t>> queues = {{10, 5}, {5, 5}, {2, 2}};
    for (const auto& [requested, expected] : queues) {
        SCOPED_TRACE(requested);
        Sinked<TServerWinSocket> s;
        s.socket->OpenListener("ignored.host", "127.0.0.2", "", 0, requested, false);
        EXPECT_EQ(s.kinds, (std::vector<TSocketEventKind>{skLookup, skListen}));
        EXPECT_TRUE(s.socket->IsConnected());
        EXPECT_THAT(BoundAddress(*s.socket), ::testing::AnyOf("::", "0.0.0.0"));
        const auto backlog = ListenBacklog(BoundPort(*s.socket));
        if (!backlog) GTEST_SKIP() << "the kernel offers no socket diagnostics here";
        EXPECT_EQ(*backlog, expected);
    }
}

TEST_F(WinSocketTest, LookupCompletionForAnotherRequestIsIgnored) {
    PosixListener peer;
    std::atomic<bool> release{false};
    std::atomic<bool> resolved{false};
    ws::SetHostResolver([&](const std::string&, std::vector<ws::HostAddress>* addresses) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!release && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        addresses->push_back(ws::HostAddress::IPv4(htonl(INADDR_LOOPBACK)));
        resolved = true;
        return 0;
    });
    Sinked<TClientWinSocket> s;
    s.socket->OpenClient(kKnownHost, "", "", peer.Port(), false);
    EXPECT_EQ(s.socket->LookupPhase(), lpAddressStage);
    const ws::HANDLE pending = s.socket->LookupRequest();
    ASSERT_NE(pending, 0u);
    Dispatcher::Instance().SendMessage(s.socket->NotifyWindow(), WM_LOOKUP_DONE, pending + 1,
                                       ws::WSAMAKEASYNCREPLY(0, ws::WSAHOST_NOT_FOUND));
    EXPECT_EQ(s.socket->LookupRequest(), pending);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.kinds, (std::vector<TSocketEventKind>{skLookup}));

    release = true;
    ASSERT_TRUE(PumpUntil([&] { return s.Saw(skConnect); }));
    ASSERT_GE(s.kinds.size(), 3u);
    EXPECT_EQ(std::vector<TSocketEventKind>(s.kinds.begin(), s.kinds.begin() + 3),
              (std::vector<TSocketEventKind>{skLookup, skConnecting, skConnect}));
    EXPECT_EQ(s.socket->LookupRequest(), 0u);
    EXPECT_EQ(resolved.load(), true);
}

TEST_F(WinSocketTest, LookupCompletionWithNothingPendingLeavesAConnectionAlone) {
    PosixListener peer;
    Sinked<TClientWinSocket> s;
    s.socket->OpenClient("", "127.0.0.1", "", peer.Port(), false);
    ASSERT_TRUE(PumpUntil([&] { return s.Saw(skConnect); }));
    ASSERT_EQ(s.socket->LookupRequest(), 0u);
    Dispatcher::Instance().SendMessage(s.socket->NotifyWindow(), WM_LOOKUP_DONE, 0,
                                       ws::WSAMAKEASYNCREPLY(0, ws::WSAHOST_NOT_FOUND));
    EXPECT_TRUE(s.errors.empty());
    EXPECT_FALSE(s.Saw(skDisconnect));
    EXPECT_TRUE(s.socket->IsConnected());
    const int accepted = peer.Accept();
    ::close(accepted);
}

TEST_F(WinSocketTest, DestroyingDuringALookupCancelsIt) {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> resolved{false};
    ws::SetHostResolver([&](const std::string&, std::vector<ws::HostAddress>* addresses) {
        entered = true;
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!release && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        addresses->push_back(ws::HostAddress::IPv4(htonl(INADDR_LOOPBACK)));
        resolved = true;
        return 0;
    });
    const auto waitFor = [](const std::atomic<bool>& flag) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!flag && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        return flag.load();
    };
    const int before = CountOpenDescriptors();
    const std::size_t windowsBefore = Dispatcher::Instance().WindowCount();
    {
        Sinked<TClientWinSocket> s;
        s.socket->OpenClient(kKnownHost, "", "", 9, false);
        ASSERT_NE(s.socket->LookupRequest(), 0u);
        ASSERT_TRUE(waitFor(entered));  // the worker is inside the lookup now
    }
    release = true;
    // The late completion must neither arrive nor write into the freed buffer.
    ASSERT_TRUE(waitFor(resolved));
    Dispatcher::Instance().ProcessPending();
    EXPECT_EQ(CountOpenDescriptors(), before);
    EXPECT_EQ(Dispatcher::Instance().WindowCount(), windowsBefore);
}

TEST_F(WinSocketTest, ServiceNamesAreLookedUpBeforeListenAndConnect) {
    std::uint16_t networkPort = 0;
    if (!ws::getservbyname("tcpmux", "tcp", &networkPort))
        GTEST_SKIP() << "no services database here";
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = networkPort;
        const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(probe);
        if (!free) GTEST_SKIP() << "port " << ntohs(networkPort) << " cannot be bound here";
    }
    Sinked<TServerWinSocket> listener;
    listener.socket->OpenListener("", "", "tcpmux", 0, 5, false);
    EXPECT_EQ(listener.kinds, (std::vector<TSocketEventKind>{skLookup}));
    EXPECT_EQ(listener.socket->LookupPhase(), lpServiceStage);
    ASSERT_TRUE(PumpUntil([&] { return listener.socket->IsConnected(); }));
    EXPECT_EQ(BoundPort(*listener.socket), ntohs(networkPort));

    Sinked<TClientWinSocket> client;
    client.socket->OpenClient("", "127.0.0.1", "tcpmux", 0, false);
    EXPECT_EQ(client.kinds, (std::vector<TSocketEventKind>{skLookup}));
    ASSERT_TRUE(PumpUntil([&] { return client.Saw(skConnect); }));
    EXPECT_FALSE(client.Saw(skListen));
    EXPECT_EQ(client.socket->SockAddr().v4.sin_port, networkPort);
}

TEST_F(WinSocketTest, UnknownServiceEndsTheOpenWithALookupError) {
    Sinked<TClientWinSocket> client;
    client.socket->OpenClient("", "127.0.0.1", "no-such-service-here", 0, false);
    ASSERT_TRUE(PumpUntil([&] { return client.Saw(skDisconnect); }));
    ASSERT_EQ(client.errors.size(), 1u);
    EXPECT_EQ(client.errors[0].first, erLookup);
    EXPECT_NE(client.errors[0].second, 0);
    EXPECT_EQ(client.socket->SocketDesc(), ws::INVALID_SOCKET);
    EXPECT_EQ(client.socket->LookupPhase(), lpIdle);
}

TEST_F(WinSocketTest, ReadAndWriteForAnotherDescriptorRaiseNoEvent) {
    PosixListener peer;
    Sinked<TClientWinSocket> s;
    s.socket->OpenClient("", "127.0.0.1", "", peer.Port(), false);
    ASSERT_TRUE(PumpUntil([&] { return s.Saw(skConnect); }));
    s.kinds.clear();
    const WPARAM other = static_cast<WPARAM>(s.socket->SocketDesc() + 1000);
    for (long code : {ws::FD_READ, ws::FD_WRITE, ws::FD_CLOSE}) {
        Dispatcher::Instance().SendMessage(s.socket->NotifyWindow(), WM_SOCKET_NOTIFY, other,
                                           ws::WSAMAKESELECTREPLY(code, 0));
    }
    EXPECT_TRUE(s.kinds.empty());
    EXPECT_TRUE(s.socket->IsConnected());
    const int accepted = peer.Accept();
    ::close(accepted);
}

TEST_F(WinSocketTest, NotificationErrorsMapToTheirKinds) {
    const std::vector<std::pair<long, TErrorEvent>> table = {
        {ws::FD_READ, erReceive},  {ws::FD_WRITE, erSend},       {ws::FD_ACCEPT, erAccept},
        {ws::FD_CONNECT, erConnect}, {ws::FD_CLOSE, erDisconnect}, {ws::FD_OOB, erGeneral},
    };
    Sinked<TClientWinSocket> s;
    const HWND window = s.socket->NotifyWindowHandle();
    for (const auto& [code, kind] : table) {
        s.errors.clear();
        Dispatcher::Instance().SendMessage(window, WM_SOCKET_NOTIFY, 7,
                                           ws::WSAMAKESELECTREPLY(code, ws::WSAENETDOWN));
        ASSERT_EQ(s.errors.size(), 1u) << code;
        EXPECT_EQ(s.errors[0].first, kind) << code;
        EXPECT_EQ(s.errors[0].second, ws::WSAENETDOWN) << code;
    }
    EXPECT_TRUE(s.kinds.empty());
    EXPECT_TRUE(interaction.shown.empty());
}

}  // namespace
}  // namespace portvale::test
