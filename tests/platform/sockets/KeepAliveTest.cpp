// Dead-peer detection: the timing each keepalive gets, the options the kernel then
// holds, the refusals, and a peer that stops reading noticed as a timed-out
// connection through the socket notifications.

#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include "tests/platform/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

using namespace std::chrono_literals;

int IntOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    EXPECT_EQ(::getsockopt(fd, level, name, &value, &length), 0);
    return value;
}

TEST(KeepAlive, ProbingTakesAboutAsLongAsTheIdleWait) {
    struct Row {
        int seconds, idle, interval, count;
        unsigned budgetMs;
    };
    for (const Row& row : {
             Row{1, 1, 1, 4, 5000},
             Row{3, 3, 1, 4, 7000},  // the interval never drops below a second
             Row{4, 4, 1, 4, 8000},
             Row{60, 60, 15, 4, 120000},
             Row{61, 61, 15, 4, 121000},
             Row{ws::kMaxKeepAliveSeconds, 32767, 8191, 4, 65531000},
         }) {
        SCOPED_TRACE(row.seconds);
        const ws::KeepAliveTiming t = ws::KeepAliveTimingFor(row.seconds);
        EXPECT_EQ(t.idleSeconds, row.idle);
        EXPECT_EQ(t.intervalSeconds, row.interval);
        EXPECT_EQ(t.count, row.count);
        EXPECT_EQ(t.userTimeoutMs, row.budgetMs);
    }
}

TEST(KeepAlive, TheKernelHoldsTheTimingAndZeroGivesTheDefaultsBack) {
    const ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, ws::INVALID_SOCKET);
    for (const int seconds : {1, 60, 0, 7}) {
        SCOPED_TRACE(seconds);
        ASSERT_EQ(ws::SetKeepAlive(s, seconds), 0) << ws::WSAGetLastError();
        EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_KEEPALIVE), seconds == 0 ? 0 : 1);
        const unsigned budget = seconds == 0 ? 0 : ws::KeepAliveTimingFor(seconds).userTimeoutMs;
        EXPECT_EQ(static_cast<unsigned>(IntOption(s, IPPROTO_TCP, TCP_USER_TIMEOUT)), budget);
        if (seconds == 0) continue;
        const ws::KeepAliveTiming t = ws::KeepAliveTimingFor(seconds);
        EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPIDLE), t.idleSeconds);
        EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPINTVL), t.intervalSeconds);
        EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPCNT), t.count);
    }
    ws::closesocket(s);
}

TEST(KeepAlive, RefusesWhatIsNoSocketAndTimesOutOfRange) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    const int closed = ::dup(pipeEnds[0]);
    ::close(closed);
    struct Row {
        int fd, seconds, error;
    };
    for (const Row& row : {
             Row{pipeEnds[0], 60, ws::WSAENOTSOCK},
             Row{closed, 60, ws::WSAENOTSOCK},
             Row{-1, 60, ws::WSAENOTSOCK},
             Row{s, -1, ws::WSAEINVAL},
             Row{s, ws::kMaxKeepAliveSeconds + 1, ws::WSAEINVAL},
         }) {
        SCOPED_TRACE(testing::Message() << row.fd << " " << row.seconds);
        ws::WSASetLastError(0);
        EXPECT_EQ(ws::SetKeepAlive(row.fd, row.seconds), ws::SOCKET_ERROR);
        EXPECT_EQ(ws::WSAGetLastError(), row.error);
    }
    ws::closesocket(s);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

// A peer whose program stopped reading (frozen, or stuck) while its kernel still
// acknowledges: the receive window closes and stays closed. Only the connection with
// a keepalive gives up on it, and it says so the way a broken connection does.
TEST(KeepAlive, APeerThatStopsReadingEndsTheConnectionAsTimedOut) {
    std::uint16_t port = 0;
    const ws::SOCKET listener = Listener(&port);
    ASSERT_NE(listener, ws::INVALID_SOCKET);
    NoteWindow window;
    struct Link {
        int keepAlive;
        int peer = -1;
        ws::SOCKET socket = ws::INVALID_SOCKET;
    };
    std::vector<Link> links{{1}, {0}};
    for (Link& link : links) {
        link.peer = RawConnect(port, 4096);  // never read from
        ASSERT_GE(link.peer, 0);
        link.socket = ws::accept(listener, nullptr, nullptr);
        ASSERT_NE(link.socket, ws::INVALID_SOCKET);
        ASSERT_EQ(ws::WSAAsyncSelect(link.socket, window.Handle(), kSocketNotify,
                                     ws::FD_READ | ws::FD_WRITE | ws::FD_CLOSE),
                  0);
        ASSERT_EQ(ws::SetKeepAlive(link.socket, link.keepAlive), 0);
        // Our send buffer and the peer's receive buffer fill up; then the window is shut.
        const std::string chunk(64 << 10, 'x');
        ASSERT_TRUE(Eventually([&] {
            return ws::send(link.socket, chunk.data(), static_cast<int>(chunk.size()), 0) == ws::SOCKET_ERROR;
        }));
        ASSERT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    }
    const auto start = std::chrono::steady_clock::now();
    // The budget for a keepalive of 1 s is 5 s; the deadline leaves room for a busy machine.
    ASSERT_TRUE(PumpUntil([&] { return window.Count(links[0].socket, ws::FD_CLOSE) >= 1; }, 30s));
    const auto noticed = std::chrono::steady_clock::now() - start;
    for (const Note& note : window.notes) {
        if (note.socket == links[0].socket && note.event == ws::FD_CLOSE) {
            EXPECT_EQ(note.error, ws::WSAETIMEDOUT);
        }
    }
    EXPECT_EQ(window.Count(links[1].socket, ws::FD_CLOSE), 0) << "without a keepalive the connection waits on";
    RecordProperty("noticed_ms",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count()));
    for (Link& link : links) {
        ws::closesocket(link.socket);
        ::close(link.peer);
    }
    ws::closesocket(listener);
}

}  // namespace
}  // namespace portvale::test
