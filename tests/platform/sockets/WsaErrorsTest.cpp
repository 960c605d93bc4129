// WinSock's error numbers and texts, start-up counting, and errors that real calls
// produce on loopback.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/sockets/WsaErrors.h"
#include "tests/platform/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

using namespace portvale::ws;

TEST(WsaErrors, EachErrnoMapsToItsWinSockNumber) {
    struct Row {
        int error;
        int wsa;
    };
    const Row rows[] = {
        {EWOULDBLOCK, WSAEWOULDBLOCK},   {EAGAIN, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEWOULDBLOCK},   {ECONNREFUSED, WSAECONNREFUSED},
        {ECONNRESET, WSAECONNRESET},     {EPIPE, WSAECONNRESET},
        {EADDRINUSE, WSAEADDRINUSE},     {ETIMEDOUT, WSAETIMEDOUT},
        {ENOTCONN, WSAENOTCONN},         {EBADF, WSAENOTSOCK},
        {ENOTSOCK, WSAENOTSOCK},         {EINVAL, WSAEINVAL},
        {EMFILE, WSAEMFILE},             {ECONNABORTED, WSAECONNABORTED},
        {EHOSTUNREACH, WSAEHOSTUNREACH}, {ENETUNREACH, WSAENETUNREACH},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL}, {EACCES, WSAEACCES},
        {ENOBUFS, WSAENOBUFS},           {EISCONN, WSAEISCONN},
        {EALREADY, WSAEALREADY},         {EINTR, WSAEINTR},
        {EFAULT, WSAEFAULT},             {EAFNOSUPPORT, WSAEAFNOSUPPORT},
        {ENETDOWN, WSAENETDOWN},         {ESHUTDOWN, WSAESHUTDOWN},
        {EHOSTDOWN, WSAEHOSTDOWN},       {EMSGSIZE, WSAEMSGSIZE},
        {ENOPROTOOPT, WSAENOPROTOOPT},   {EOPNOTSUPP, WSAEOPNOTSUPP},
        {0, 0},
    };
    for (const Row& row : rows) EXPECT_EQ(detail::WsaFromErrno(row.error), row.wsa) << row.error;
}

TEST(WsaErrors, TextsReadAsTheApplicationShowsThem) {
    struct Row {
        int code;
        const char* text;
    };
    const Row rows[] = {
        {WSAECONNREFUSED, "Connection refused"},
        {WSAECONNRESET, "Connection reset by peer"},
        {WSAEWOULDBLOCK, "Resource temporarily unavailable"},
        {WSAHOST_NOT_FOUND, "Host not found"},
        {WSAEADDRINUSE, "Address already in use"},
        {WSAETIMEDOUT, "Connection timed out"},
        {WSANOTINITIALISED, "Successful WSAStartup not yet performed"},
    };
    for (const Row& row : rows) EXPECT_EQ(WSAErrorText(row.code), row.text) << row.code;
    EXPECT_NE(WSAErrorText(1110).find("1110"), std::string::npos);
}

TEST(WsaErrors, EveryNamedNumberHasItsOwnText) {
    const int codes[] = {
        WSAEINTR, WSAEBADF, WSAEACCES, WSAEFAULT, WSAEINVAL, WSAEMFILE, WSAEWOULDBLOCK,
        WSAEINPROGRESS, WSAEALREADY, WSAENOTSOCK, WSAEDESTADDRREQ, WSAEMSGSIZE,
        WSAEPROTOTYPE, WSAENOPROTOOPT, WSAEPROTONOSUPPORT, WSAESOCKTNOSUPPORT,
        WSAEOPNOTSUPP, WSAEPFNOSUPPORT, WSAEAFNOSUPPORT, WSAEADDRINUSE, WSAEADDRNOTAVAIL,
        WSAENETDOWN, WSAENETUNREACH, WSAENETRESET, WSAECONNABORTED, WSAECONNRESET,
        WSAENOBUFS, WSAEISCONN, WSAENOTCONN, WSAESHUTDOWN, WSAETOOMANYREFS, WSAETIMEDOUT,
        WSAECONNREFUSED, WSAELOOP, WSAENAMETOOLONG, WSAEHOSTDOWN, WSAEHOSTUNREACH,
        WSASYSNOTREADY, WSAVERNOTSUPPORTED, WSANOTINITIALISED, WSAHOST_NOT_FOUND,
        WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA};
    for (int code : codes)
        EXPECT_EQ(WSAErrorText(code).find(std::to_string(code)), std::string::npos) << code;
}

TEST(WsaErrors, LastErrorBelongsToTheThread) {
    WSASetLastError(WSAECONNREFUSED);
    int other = -1;
    std::thread([&] { other = WSAGetLastError(); }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
}

TEST(WsaStartup, VersionsAndCounting) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(WSAStartup(0x0202, &data), 0) << "a later version is served as 1.1";
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(WSAStartup(0x0001, &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(0x0101, nullptr), WSAEFAULT);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(SocketCalls, FailuresCarryWinSockNumbers) {
    std::uint16_t port = 0;
    const SOCKET listener = Listener(&port);

    const SOCKET second = ws::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in taken = Loopback(port);
    EXPECT_EQ(ws::bind(second, AsSockaddr(&taken), sizeof taken), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

    char byte;
    EXPECT_EQ(recv(second, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    EXPECT_EQ(send(second, "x", 1, 0), SOCKET_ERROR) << "and no SIGPIPE";
    EXPECT_EQ(closesocket(second), 0);
    EXPECT_EQ(closesocket(second), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

    std::uint16_t closed = 0;
    const int holder = ClosedPort(&closed);
    const SOCKET blocking = ws::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in refused = Loopback(closed);
    EXPECT_EQ(ws::connect(blocking, AsSockaddr(&refused), sizeof refused), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    closesocket(blocking);
    ::close(holder);

    EXPECT_EQ(ws::socket(AF_UNIX, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    closesocket(listener);
}

TEST(SocketCalls, OpenTypeIsKeptPerThread) {
    int value = -1;
    int length = sizeof value;
    ASSERT_EQ(getsockopt(INVALID_SOCKET, SOL_SOCKET, SO_OPENTYPE, &value, &length), 0);
    EXPECT_EQ(value, 0);
    const int synchronous = SO_SYNCHRONOUS_NONALERT;
    ASSERT_EQ(setsockopt(INVALID_SOCKET, SOL_SOCKET, SO_OPENTYPE, &synchronous, sizeof synchronous),
              0);
    int elsewhere = -1;
    std::thread([&] {
        int n = sizeof elsewhere;
        getsockopt(INVALID_SOCKET, SOL_SOCKET, SO_OPENTYPE, &elsewhere, &n);
    }).join();
    EXPECT_EQ(elsewhere, 0);
    ASSERT_EQ(getsockopt(INVALID_SOCKET, SOL_SOCKET, SO_OPENTYPE, &value, &length), 0);
    EXPECT_EQ(value, SO_SYNCHRONOUS_NONALERT);
    const int overlapped = 0;
    setsockopt(INVALID_SOCKET, SOL_SOCKET, SO_OPENTYPE, &overlapped, sizeof overlapped);
}

}  // namespace
}  // namespace portvale::test
