// WSAAsyncSelect over loopback: which notifications arrive, when, and how often.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "tests/platform/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

using namespace portvale::ws;

constexpr long kStream = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

// Our side is the accepted socket (selected for `events` unless 0), the peer a plain
// socket.
class AcceptedPair : public ::testing::Test {
protected:
    void Open(long events, int peerReceiveBuffer = 0) {
        listener_ = Listener(&port_);
        ASSERT_NE(listener_, INVALID_SOCKET);
        peer = RawConnect(port_, peerReceiveBuffer);
        ASSERT_GE(peer, 0);
        ours = ws::accept(listener_, nullptr, nullptr);
        ASSERT_NE(ours, INVALID_SOCKET);
        if (events != 0) {
            ASSERT_EQ(WSAAsyncSelect(ours, window.Handle(), kSocketNotify, events), 0);
        }
    }
    void TearDown() override {
        if (ours != INVALID_SOCKET) closesocket(ours);
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        if (peer >= 0) ::close(peer);
    }

    NoteWindow window;
    SOCKET ours = INVALID_SOCKET;
    int peer = -1;

private:
    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
};

TEST(AsyncConnect, RefusedConnectPostsOneConnectWithTheError) {
    std::uint16_t port = 0;
    const int holder = ClosedPort(&port);
    const std::size_t watches = Dispatcher::Instance().WatchCount();
    NoteWindow window;
    const SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(s, window.Handle(), kSocketNotify, kStream), 0);
    const sockaddr_in address = Loopback(port);
    EXPECT_EQ(ws::connect(s, AsSockaddr(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    ASSERT_TRUE(window.PumpUntilCount(s, FD_CONNECT, 1));
    window.Settle();
    ASSERT_EQ(window.notes.size(), 1u);
    EXPECT_EQ(window.notes[0].error, WSAECONNREFUSED);
    // The failed socket is no longer watched, so its error state cannot spin the loop.
    EXPECT_EQ(Dispatcher::Instance().WatchCount(), watches);
    EXPECT_EQ(closesocket(s), 0);
    ::close(holder);
}

TEST(AsyncConnect, EstablishedConnectPostsConnectThenWrite) {
    std::uint16_t port = 0;
    const SOCKET listener = Listener(&port);
    NoteWindow window;
    const SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(s, window.Handle(), kSocketNotify, kStream), 0);
    const sockaddr_in address = Loopback(port);
    EXPECT_EQ(ws::connect(s, AsSockaddr(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    ASSERT_TRUE(window.PumpUntilCount(s, FD_WRITE, 1));
    window.Settle();
    ASSERT_EQ(window.notes.size(), 2u);
    EXPECT_EQ(window.notes[0].event, FD_CONNECT);
    EXPECT_EQ(window.notes[0].error, 0);
    EXPECT_EQ(window.notes[1].event, FD_WRITE);
    closesocket(s);
    closesocket(listener);
}

TEST(AsyncConnect, ConnectToTheAnyAddressIsRefusedAtOnce) {
    const SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(80);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(ws::connect(s, AsSockaddr(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
    closesocket(s);
}

TEST(AsyncAccept, AcceptIsPostedUntilTheNextAcceptAndTheAcceptedSocketMayWrite) {
    std::uint16_t port = 0;
    NoteWindow window;
    const SOCKET listener = ws::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(0);
    ASSERT_EQ(ws::bind(listener, AsSockaddr(&address), sizeof address), 0);
    ASSERT_EQ(WSAAsyncSelect(listener, window.Handle(), kSocketNotify, FD_ACCEPT), 0);
    ASSERT_EQ(listen(listener, 5), 0);
    port = LocalPort(listener);
    const int first = RawConnect(port);
    const int second = RawConnect(port);

    ASSERT_TRUE(window.PumpUntilCount(listener, FD_ACCEPT, 1));
    window.Settle();
    EXPECT_EQ(window.Count(listener, FD_ACCEPT), 1) << "no second FD_ACCEPT before accept";

    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET accepted = ws::accept(listener, AsSockaddr(&peer), &length);
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(window.PumpUntilCount(listener, FD_ACCEPT, 2)) << "the second client waits";

    // Nothing is inherited from the listener until the owner selects.
    window.Settle();
    EXPECT_EQ(window.Count(accepted, FD_WRITE), 0);
    ASSERT_EQ(WSAAsyncSelect(accepted, window.Handle(), kSocketNotify, kStream), 0);
    ASSERT_TRUE(window.PumpUntilCount(accepted, FD_WRITE, 1));

    const SOCKET third = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(third, INVALID_SOCKET);
    EXPECT_EQ(ws::accept(listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    window.Settle();
    EXPECT_EQ(window.Count(listener, FD_ACCEPT), 2);

    for (SOCKET s : {third, accepted, listener}) closesocket(s);
    ::close(first);
    ::close(second);
}

TEST_F(AcceptedPair, OneReadNotificationPerBatchUntilRecv) {
    Open(FD_READ | FD_CLOSE);
    RawSend(peer, "abc");
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_READ, 1));
    RawSend(peer, "def");
    ASSERT_TRUE(Eventually([&] { return Waiting(ours) == 6; }));
    window.Settle();
    EXPECT_EQ(window.Count(ours, FD_READ), 1) << "unread data posts no second FD_READ";

    char buffer[16];
    ASSERT_EQ(recv(ours, buffer, 2, 0), 2);
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_READ, 2)) << "recv re-enables, data remains";
    ASSERT_EQ(recv(ours, buffer, sizeof buffer, 0), 4);
    window.Settle();
    EXPECT_EQ(window.Count(ours, FD_READ), 2) << "nothing left to report";

    // A failing recv re-enables as well.
    EXPECT_EQ(recv(ours, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    RawSend(peer, "g");
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_READ, 3));
}

TEST_F(AcceptedPair, CloseFollowsTheLastByte) {
    Open(FD_READ | FD_CLOSE);
    const std::string sent(10000, 'x');
    std::size_t readBeforeClose = 0;
    std::size_t total = 0;
    window.onNote = [&](const Note& note) {
        if (note.event == FD_READ) {
            char buffer[1000];  // small reads: the end is already known while data waits
            const int n = recv(ours, buffer, sizeof buffer, 0);
            if (n > 0) total += static_cast<std::size_t>(n);
        } else if (note.event == FD_CLOSE) {
            readBeforeClose = total;
        }
    };
    RawSend(peer, sent);
    ::close(peer);
    peer = -1;

    ASSERT_TRUE(window.PumpUntilCount(ours, FD_CLOSE, 1));
    window.Settle();
    EXPECT_EQ(readBeforeClose, sent.size());
    EXPECT_EQ(window.Count(ours, FD_CLOSE), 1);
    EXPECT_EQ(window.notes.back().event, FD_CLOSE);
    EXPECT_EQ(window.notes.back().error, 0);
    EXPECT_GT(window.Count(ours, FD_READ), 1);
}

TEST_F(AcceptedPair, CloseAloneIsPostedOnThePeersCloseWhateverIsUnread) {
    Open(FD_CLOSE);
    RawSend(peer, "never read");
    ::close(peer);
    peer = -1;
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_CLOSE, 1));
    window.Settle();
    ASSERT_EQ(window.notes.size(), 1u);
    EXPECT_EQ(window.notes[0].error, 0);
}

TEST_F(AcceptedPair, ResetPostsCloseWithConnectionReset) {
    struct Case {
        const char* name;
        bool dataFirst;
    };
    for (const Case& c : {Case{"idle connection", false}, Case{"FD_READ outstanding", true}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        ours = INVALID_SOCKET;
        peer = -1;
        window.notes.clear();
        window.onNote = nullptr;
        Open(FD_READ | FD_CLOSE);
        if (c.dataFirst) {
            RawSend(peer, "unread");
            ASSERT_TRUE(window.PumpUntilCount(ours, FD_READ, 1));
            // The reader drains in its own time, after the reset arrived.
            window.onNote = nullptr;
        }
        RawReset(peer);
        peer = -1;
        if (c.dataFirst) {
            char buffer[16];
            while (recv(ours, buffer, sizeof buffer, 0) > 0) {
            }
        }
        ASSERT_TRUE(window.PumpUntilCount(ours, FD_CLOSE, 1));
        EXPECT_EQ(window.notes.back().error, WSAECONNRESET);
    }
}

TEST_F(AcceptedPair, SendThatWouldBlockFailsAndWriteFollowsWhenRoomReturns) {
    Open(kStream, 4096);
    int small = 4096;
    ASSERT_EQ(setsockopt(ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_WRITE, 1));

    // Fill until a send would block and the room stays gone: loopback may still
    // free some as acknowledgements come in, and an FD_WRITE for that is due.
    const std::string block(65536, 'b');
    std::size_t sent = 0;
    int writes = 1;
    bool full = false;
    for (int round = 0; round < 100 && !full; ++round) {
        int result = 0;
        for (int i = 0; i < 10000 && result != SOCKET_ERROR; ++i) {
            result = send(ours, block.data(), static_cast<int>(block.size()), 0);
            if (result > 0) sent += static_cast<std::size_t>(result);
        }
        ASSERT_EQ(result, SOCKET_ERROR);
        ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        window.Settle();
        full = window.Count(ours, FD_WRITE) == writes;
        writes = window.Count(ours, FD_WRITE);
    }
    ASSERT_TRUE(full) << "no room, no FD_WRITE";

    // The peer drains everything on a thread; a receive time-out keeps a failing
    // test from hanging in recv.
    const timeval limit{10, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::atomic<std::size_t> received{0};
    std::thread drain([&, fd = peer] {
        char buffer[65536];
        while (received < sent) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received += static_cast<std::size_t>(n);
        }
    });
    const bool wrote = window.PumpUntilCount(ours, FD_WRITE, writes + 1);
    drain.join();
    EXPECT_TRUE(wrote);
    EXPECT_EQ(received.load(), sent);
}

TEST_F(AcceptedPair, NotificationsQueuedForAClosedSocketAreNotDelivered) {
    Open(0);
    RawSend(peer, "data");
    ASSERT_TRUE(Eventually([&] { return Waiting(ours) == 4; }));
    // Data waits and there is room to write, so FD_WRITE and FD_READ are posted
    // together; the first handler closes the socket, and a new socket, which Linux
    // gives the same descriptor number, is selected to the same window.
    // Another selected socket keeps notifications in use, so what is queued stays
    // queued when ours is closed and must be recognised as stale on delivery.
    const SOCKET bystander = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(bystander, window.Handle(), kSocketNotify, kStream), 0);
    SOCKET replacement = INVALID_SOCKET;
    const SOCKET closed = ours;
    window.onNote = [&](const Note&) {
        if (replacement != INVALID_SOCKET) return;
        closesocket(ours);
        ours = INVALID_SOCKET;
        replacement = ws::socket(AF_INET, SOCK_STREAM, 0);
        WSAAsyncSelect(replacement, window.Handle(), kSocketNotify, kStream);
    };
    ASSERT_EQ(WSAAsyncSelect(ours, window.Handle(), kSocketNotify, FD_READ | FD_WRITE), 0);
    ASSERT_TRUE(PumpUntil([&] { return !window.notes.empty(); }));
    window.Settle();
    EXPECT_EQ(replacement, closed) << "the descriptor number was reused";
    EXPECT_EQ(window.notes.size(), 1u);
    closesocket(replacement);
    closesocket(bystander);
}

TEST_F(AcceptedPair, EmptyMaskStopsNotificationsAndAllowsBlockingAgain) {
    Open(FD_READ | FD_CLOSE);
    std::uint32_t blocking = 0;
    EXPECT_EQ(ioctlsocket(ours, FIONBIO, &blocking), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL) << "no blocking mode while selected";

    ASSERT_EQ(WSAAsyncSelect(ours, 0, 0, 0), 0);
    RawSend(peer, "quiet");
    ASSERT_TRUE(Eventually([&] { return Waiting(ours) == 5; }));
    window.Settle();
    EXPECT_TRUE(window.notes.empty());

    EXPECT_EQ(ioctlsocket(ours, FIONBIO, &blocking), 0);
    char buffer[8];
    EXPECT_EQ(recv(ours, buffer, sizeof buffer, 0), 5);
}

TEST_F(AcceptedPair, OtherThreadsMaySelectAndReEnable) {
    Open(0);
    std::atomic<bool> selected{false};
    std::thread selector([&] {
        WSAAsyncSelect(ours, window.Handle(), kSocketNotify, FD_READ | FD_WRITE);
        selected = true;
    });
    // Selecting from another thread waits for the GUI thread, which must keep pumping.
    ASSERT_TRUE(PumpUntil([&] { return selected.load(); }));
    selector.join();
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_WRITE, 1));

    RawSend(peer, "ab");
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_READ, 1));
    std::thread reader([&] {
        char byte;
        recv(ours, &byte, 1, 0);
    });
    reader.join();
    ASSERT_TRUE(window.PumpUntilCount(ours, FD_READ, 2)) << "re-enabled from the reader's thread";
}

TEST(BlockingMode, AcceptAndRecvWaitForThePeer) {
    std::uint16_t port = 0;
    const SOCKET listener = Listener(&port);
    std::thread peer([port] {
        const int fd = RawConnect(port);
        RawSend(fd, "hello");
        ::close(fd);
    });
    const SOCKET s = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(s, INVALID_SOCKET);
    std::string got;
    char buffer[16];
    int n;
    while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) got.append(buffer, n);
    peer.join();
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, "hello");
    closesocket(s);
    closesocket(listener);
}

// Whether a thread of this process sleeps in the kernel (here: in the blocking call).
bool IsSleeping(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

TEST(BlockingMode, ClosingASocketWakesACallBlockedOnItInAnotherThread) {
    struct Case {
        const char* name;
        bool connected;  // recv on a connection, else accept on a listener
    };
    for (const Case& c : {Case{"accept", false}, Case{"recv", true}}) {
        SCOPED_TRACE(c.name);
        std::uint16_t port = 0;
        const SOCKET listener = Listener(&port);
        int peer = -1;
        SOCKET target = listener;
        if (c.connected) {
            peer = RawConnect(port);
            target = ws::accept(listener, nullptr, nullptr);
        }
        std::atomic<bool> returned{false};
        std::atomic<int> result{0};
        std::atomic<pid_t> thread{0};
        std::thread blocked([&] {
            thread = ::gettid();
            char byte;
            result = c.connected ? recv(target, &byte, 1, 0)
                                 : static_cast<int>(ws::accept(target, nullptr, nullptr));
            returned = true;
        });
        ASSERT_TRUE(Eventually([&] { return thread != 0 && IsSleeping(thread); }));
        closesocket(target);
        ASSERT_TRUE(Eventually([&] { return returned.load(); }));
        blocked.join();
        EXPECT_LE(result.load(), 0);
        if (c.connected) closesocket(listener);
        if (peer >= 0) ::close(peer);
    }
}

}  // namespace
}  // namespace portvale::test
