// The WinSock calls over BSD sockets: argument checks as WinSock makes them, the
// system call, and then the table is told what happened (it is the calls that
// re-enable notifications).

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/sockets/SocketTable.h"
#include "platform/sockets/WinSock.h"
#include "platform/sockets/WsaErrors.h"

namespace portvale::ws {

using detail::Fail;
using detail::FailFromErrno;

namespace {

// The length an address of this family needs; 0 for a family we do not carry.
int FamilyLength(int family) {
    if (family == AF_INET) return static_cast<int>(sizeof(sockaddr_in));
    if (family == AF_INET6) return static_cast<int>(sizeof(sockaddr_in6));
    return 0;
}

// Checks an address the caller passes in: WSAEFAULT when it is missing or shorter
// than its family's record, WSAEAFNOSUPPORT for another family; 0 when usable.
int CheckAddress(const sockaddr* address, int length) {
    if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in)))
        return WSAEFAULT;
    const int needed = FamilyLength(address->sa_family);
    if (needed == 0) return WSAEAFNOSUPPORT;
    return length < needed ? WSAEFAULT : 0;
}

// Copies a system address into the caller's buffer, as much as fits (as WinSock
// does), and reports the full length.
void CopyOut(const sockaddr_storage& from, socklen_t fromLength, sockaddr* to, int* length) {
    const auto fits = std::min<socklen_t>(fromLength, static_cast<socklen_t>(*length));
    std::memcpy(to, &from, fits);
    *length = static_cast<int>(fromLength);
}

// The unspecified address or port 0: WinSock refuses both as no address.
bool IsNoAddress(const sockaddr* address) {
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) || v6->sin6_port == 0;
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return v4->sin_addr.s_addr == htonl(INADDR_ANY) || v4->sin_port == 0;
}

// The ioctl numbers as WinSock defines them; Linux's own are accepted too.
constexpr long kWinFionbio = static_cast<long>(0x8004667EL);
constexpr long kWinFionread = static_cast<long>(0x4004667FL);
// WinSock's SOL_SOCKET, for callers that pass the Windows value.
constexpr int kWinSolSocket = 0xFFFF;

// Per thread, as on Windows: how sockets accepted on this thread are opened.
thread_local int tOpenType = 0;

std::mutex gStartupMutex;
int gStartupCount = 0;

int Result(int error) { return error == 0 ? 0 : Fail(error); }

// Waits for fd to turn writable without limit (a blocking connect that a signal
// interrupted goes on in the kernel) and returns the connect's outcome as an errno.
int FinishInterruptedConnect(int fd) {
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0) {
        if (errno != EINTR) return errno;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
    return error;
}

bool IsSolSocket(int level) { return level == SOL_SOCKET || level == kWinSolSocket; }

}  // namespace

// Start-up is counted, and WSACleanup without a matching start-up fails with
// WSANOTINITIALISED; the other calls do not insist on a start-up, because nothing on
// Linux needs one and the socket layer starts WinSock before its first call anyway.
// Nor does the last WSACleanup close the sockets still open.
int WSAStartup(std::uint16_t version, WSADATA* data) {
    if (data == nullptr) return WSAEFAULT;
    const int major = version & 0xFF;
    const int minor = (version >> 8) & 0xFF;
    // We are WinSock 1.1; a request for more gets 1.1, a request for less is refused.
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    *data = WSADATA{};
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strncpy(data->szDescription, "Portvale WinSock 1.1 over BSD sockets",
                 sizeof data->szDescription - 1);
    std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
    std::lock_guard lock(gStartupMutex);
    ++gStartupCount;
    return 0;
}

int WSACleanup() {
    std::lock_guard lock(gStartupMutex);
    if (gStartupCount == 0) return Fail(WSANOTINITIALISED);
    --gStartupCount;
    return 0;
}

SOCKET socket(int af, int type, int protocol) {
    if (af != AF_INET && af != AF_INET6) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != SOCK_STREAM) {
        Fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (protocol != 0 && protocol != IPPROTO_TCP) {
        Fail(WSAEPROTONOSUPPORT);
        return INVALID_SOCKET;
    }
    // Blocking, as a new WinSock socket is; WSAAsyncSelect makes it non-blocking.
    const int fd = ::socket(af, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        FailFromErrno();
        return INVALID_SOCKET;
    }
    detail::Track(fd, detail::SocketState::Idle);
    return fd;
}

int bind(SOCKET s, const sockaddr* address, int length) {
    if (const int error = CheckAddress(address, length); error != 0) return Fail(error);
    // Windows lets a listener rebind a port whose old connections linger in
    // TIME_WAIT; Linux does only with SO_REUSEADDR, which on Linux still refuses a
    // second listener on the port.
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const auto sysLength = static_cast<socklen_t>(FamilyLength(address->sa_family));
    if (::bind(s, address, sysLength) < 0) return FailFromErrno();
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (::listen(s, backlog) < 0) return FailFromErrno();
    detail::NoteListen(s);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* address, int* length) {
    if (address != nullptr &&
        (length == nullptr || *length < static_cast<int>(sizeof(sockaddr_in)))) {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    // Like WinSock, the new socket blocks when its listener does; unlike WinSock it
    // inherits no WSAAsyncSelect: its owner selects what it wants.
    const bool nonBlocking =
        detail::IsNonBlocking(s) && tOpenType != SO_SYNCHRONOUS_NONALERT;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    int fd;
    do {
        fd = ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                       SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR);
    const int error = fd < 0 ? errno : 0;
    detail::NoteAccept(s);
    if (fd < 0) {
        errno = error;
        FailFromErrno();
        return INVALID_SOCKET;
    }
    detail::Track(fd, detail::SocketState::Connected);
    if (address != nullptr) CopyOut(peer, peerLength, address, length);
    return fd;
}

int connect(SOCKET s, const sockaddr* address, int length) {
    if (const int error = CheckAddress(address, length); error != 0) return Fail(error);
    // Linux takes 0.0.0.0 (or ::) as this host and port 0 as a refused port; WinSock
    // refuses both as no address. An unresolved host name becomes 0.0.0.0 in the
    // socket layer, and must not quietly connect to a local server.
    if (IsNoAddress(address)) return Fail(WSAEADDRNOTAVAIL);
    int error = 0;
    const auto sysLength = static_cast<socklen_t>(FamilyLength(address->sa_family));
    if (::connect(s, address, sysLength) < 0) {
        error = errno;
        if (error == EINTR && !detail::IsNonBlocking(s)) error = FinishInterruptedConnect(s);
    }
    return Result(detail::NoteConnect(s, error));
}

int closesocket(SOCKET s) {
    if (s < 0 || !detail::Forget(s)) return Fail(WSAENOTSOCK);
    // WinSock's closesocket aborts a call blocked on the socket in another thread;
    // Linux's close does not, but shutting the receive side wakes a blocked accept
    // or recv and sends nothing to the peer.
    ::shutdown(s, SHUT_RD);
    // No retry on EINTR: Linux has released the descriptor whatever close returns.
    ::close(s);
    return 0;
}

int send(SOCKET s, const void* buffer, int length, int flags) {
    if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
    // MSG_NOSIGNAL: a send on a connection the peer reset must fail, not end the
    // program with SIGPIPE.
    const int sysFlags = (flags & (MSG_OOB | MSG_DONTROUTE)) | MSG_NOSIGNAL;
    const bool blocking = !detail::IsNonBlocking(s);
    const char* data = static_cast<const char*>(buffer);
    int sent = 0;
    int error = 0;
    // A blocking WinSock send returns when everything was taken; Linux may return
    // early after a signal.
    do {
        const ssize_t n = ::send(s, data + sent, static_cast<std::size_t>(length - sent), sysFlags);
        if (n < 0) {
            if (errno == EINTR && blocking) continue;
            error = errno;
            break;
        }
        sent += static_cast<int>(n);
    } while (blocking && sent < length);
    const bool partial = error == 0 && sent < length;
    detail::NoteSend(s, error, partial);
    if (error != 0 && sent == 0) {
        errno = error;
        return FailFromErrno();
    }
    return sent;
}

int recv(SOCKET s, void* buffer, int length, int flags) {
    if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
    const int sysFlags = flags & (MSG_OOB | MSG_PEEK);
    ssize_t n;
    do {
        n = ::recv(s, buffer, static_cast<std::size_t>(length), sysFlags);
    } while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : 0;
    // Every recv re-enables FD_READ, a failing one too.
    detail::NoteRecv(s, error);
    if (n < 0) {
        errno = error;
        return FailFromErrno();
    }
    return static_cast<int>(n);
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           const timeval* timeout) {
    // WinSock ignores nfds; the sets say which descriptors count.
    (void)nfds;
    int highest = -1;
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        if ((readfds && FD_ISSET(fd, readfds)) || (writefds && FD_ISSET(fd, writefds)) ||
            (exceptfds && FD_ISSET(fd, exceptfds)))
            highest = fd;
    }
    if (highest < 0) return Fail(WSAEINVAL);
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        timeout ? Clock::now() + std::chrono::seconds(timeout->tv_sec) +
                      std::chrono::microseconds(timeout->tv_usec)
                : Clock::time_point::max();
    const fd_set readCopy = readfds ? *readfds : fd_set{};
    const fd_set writeCopy = writefds ? *writefds : fd_set{};
    const fd_set exceptCopy = exceptfds ? *exceptfds : fd_set{};
    for (;;) {
        timeval remaining{};
        if (timeout) {
            const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
            remaining.tv_sec = static_cast<time_t>(us / 1000000);
            remaining.tv_usec = static_cast<suseconds_t>(us % 1000000);
        }
        const int n = ::select(highest + 1, readfds, writefds, exceptfds,
                               timeout ? &remaining : nullptr);
        if (n >= 0) return n;
        if (errno != EINTR) return FailFromErrno();
        if (readfds) *readfds = readCopy;
        if (writefds) *writefds = writeCopy;
        if (exceptfds) *exceptfds = exceptCopy;
    }
}

int ioctlsocket(SOCKET s, long command, std::uint32_t* argument) {
    if (argument == nullptr) return Fail(WSAEFAULT);
    if (command == static_cast<long>(FIONBIO) || command == kWinFionbio)
        return Result(detail::SetNonBlocking(s, *argument != 0));
    if (command == static_cast<long>(FIONREAD) || command == kWinFionread) {
        int waiting = 0;
        if (::ioctl(s, FIONREAD, &waiting) < 0) return FailFromErrno();
        *argument = static_cast<std::uint32_t>(waiting);
        return 0;
    }
    return Fail(WSAEINVAL);
}

int getsockopt(SOCKET s, int level, int name, void* value, int* length) {
    if (value == nullptr || length == nullptr || *length < 0) return Fail(WSAEFAULT);
    if (IsSolSocket(level) && name == SO_OPENTYPE) {
        if (*length < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
        std::memcpy(value, &tOpenType, sizeof(int));
        *length = sizeof(int);
        return 0;
    }
    if (level == kWinSolSocket) level = SOL_SOCKET;
    socklen_t sysLength = static_cast<socklen_t>(*length);
    if (::getsockopt(s, level, name, value, &sysLength) < 0) return FailFromErrno();
    *length = static_cast<int>(sysLength);
    if (level == SOL_SOCKET && name == SO_ERROR && sysLength >= sizeof(int)) {
        int error;
        std::memcpy(&error, value, sizeof error);
        error = detail::WsaFromErrno(error);
        std::memcpy(value, &error, sizeof error);
    }
    return 0;
}

int setsockopt(SOCKET s, int level, int name, const void* value, int length) {
    if (value == nullptr || length < 0) return Fail(WSAEFAULT);
    if (IsSolSocket(level) && name == SO_OPENTYPE) {
        if (length < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
        std::memcpy(&tOpenType, value, sizeof(int));
        return 0;
    }
    if (level == kWinSolSocket) level = SOL_SOCKET;
    if (::setsockopt(s, level, name, value, static_cast<socklen_t>(length)) < 0)
        return FailFromErrno();
    return 0;
}

namespace {

using NameCall = int (*)(int, sockaddr*, socklen_t*);

// getsockname and getpeername: the buffer must hold the socket's family's record.
int GetName(NameCall call, SOCKET s, sockaddr* address, int* length) {
    if (address == nullptr || length == nullptr ||
        *length < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    sockaddr_storage found{};
    socklen_t sysLength = sizeof found;
    if (call(s, reinterpret_cast<sockaddr*>(&found), &sysLength) < 0) return FailFromErrno();
    if (*length < static_cast<int>(sysLength)) return Fail(WSAEFAULT);
    CopyOut(found, sysLength, address, length);
    return 0;
}

}  // namespace

int getsockname(SOCKET s, sockaddr* address, int* length) {
    return GetName(::getsockname, s, address, length);
}

int getpeername(SOCKET s, sockaddr* address, int* length) {
    return GetName(::getpeername, s, address, length);
}

int WSAAsyncSelect(SOCKET s, HWND window, std::uint32_t msg, long events) {
    return Result(detail::Select(s, window, msg, events));
}

}  // namespace portvale::ws
