#pragma once
// Helpers of the socket layer tests: an injected host resolver (no test depends on
// DNS), plain POSIX peers on loopback, descriptor counting and a listener's backlog
// as the kernel reports it.

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sockets/WinSock.h"
#include "sockets/SocketComponents.h"
#include "tests/support/RecordingInteraction.h"
#include "tests/support/Wait.h"

namespace portvale::test {

inline constexpr char kKnownHost[] = "portvale.test";
inline constexpr char kUnknownHost[] = "nowhere.test";

// Resolves the test's own host names only: one to loopback, everything else unknown.
class ScopedResolver {
public:
    ScopedResolver() {
        ws::SetHostResolver([](const std::string& name, std::vector<ws::HostAddress>* addresses) {
            if (name == kKnownHost || name == "127.0.0.1") {
                addresses->push_back(ws::HostAddress::IPv4(htonl(INADDR_LOOPBACK)));
                return 0;
            }
            return ws::WSAHOST_NOT_FOUND;
        });
    }
    ~ScopedResolver() { ws::SetHostResolver(nullptr); }
};

inline int CountOpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count - 1;  // the directory stream itself
}

inline std::uint16_t LocalPort(int fd) {
    ws::SocketAddress address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd, &address.any, &length);
    return ws::AddressPort(address);
}

// The loopback address of a family (127.0.0.1 or ::1) at port.
inline ws::SocketAddress LoopbackOf(int family, std::uint16_t port) {
    in6_addr v6 = IN6ADDR_LOOPBACK_INIT;
    return ws::MakeSocketAddress(family == AF_INET6 ? ws::HostAddress::IPv6(v6)
                                                    : ws::HostAddress::IPv4(htonl(INADDR_LOOPBACK)),
                                 htons(port));
}

// Whether this machine can listen on ::1; the IPv6 tests skip when it cannot.
inline bool HaveIpv6Loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const ws::SocketAddress address = LoopbackOf(AF_INET6, 0);
    const bool ok = ::bind(fd, &address.any, sizeof address.v6) == 0;
    ::close(fd);
    return ok;
}

// A loopback port that nothing listens on: bound for a moment, then given back.
inline std::uint16_t RefusingPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    const std::uint16_t port = LocalPort(fd);
    ::close(fd);
    return port;
}

// A plain listening peer on 127.0.0.1 (or ::1 only) for the client tests.
class PosixListener {
public:
    explicit PosixListener(int family = AF_INET) {
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (family == AF_INET6) ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        const ws::SocketAddress address = LoopbackOf(family, 0);
        ::bind(fd_, &address.any, static_cast<socklen_t>(ws::SocketAddressLength(address)));
        ::listen(fd_, 16);
        port_ = LocalPort(fd_);
    }
    ~PosixListener() { ::close(fd_); }
    PosixListener(const PosixListener&) = delete;
    PosixListener& operator=(const PosixListener&) = delete;

    std::uint16_t Port() const { return port_; }
    // The handshake is the kernel's, so this may wait without pumping the dispatcher.
    int Accept(std::chrono::milliseconds limit = kDeadline) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A blocking POSIX client connected to 127.0.0.1:port (or [::1]:port); -1 on failure.
inline int ConnectPosix(std::uint16_t port, int family = AF_INET) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const ws::SocketAddress address = LoopbackOf(family, port);
    if (::connect(fd, &address.any, static_cast<socklen_t>(ws::SocketAddressLength(address))) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAllPosix(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the peer closes or the limit passes; what arrived.
inline std::string ReadToEndPosix(int fd, std::chrono::milliseconds limit = kDeadline) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) != 1) break;
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// Reads exactly count bytes unless the peer closes or the limit passes first.
inline std::string ReadExactPosix(int fd, std::size_t count,
                                  std::chrono::milliseconds limit = kDeadline) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof(buffer), count - out.size()), 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// Closes with an RST instead of a FIN.
inline void ResetPosix(int fd) {
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    ::close(fd);
}

// Every TCP listener of `family` as sock_diag reports it; false when the kernel
// offers no socket diagnostics here.
template <typename Visit>
bool ForEachListener(int family, Visit visit) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof(query);
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = static_cast<std::uint8_t>(family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = 1u << TCP_LISTEN;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof(kernel)) < 0) {
        ::close(fd);
        return false;
    }
    alignas(nlmsghdr) char buffer[16384];
    bool done = false;
    while (!done) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) break;
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, static_cast<unsigned>(n));
             h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            visit(*static_cast<const inet_diag_msg*>(NLMSG_DATA(h)));
        }
    }
    ::close(fd);
    return true;
}

// The listen queue length the kernel holds for the TCP listener of `family` on port;
// empty when there is none or the kernel offers no socket diagnostics here.
inline std::optional<std::uint32_t> ListenBacklogOf(int family, std::uint16_t port) {
    std::optional<std::uint32_t> backlog;
    ForEachListener(family, [&](const inet_diag_msg& m) {
        if (ntohs(m.id.idiag_sport) == port) backlog = m.idiag_wqueue;
    });
    return backlog;
}

// The addresses TCP listeners on `port` are bound to, both families, sorted:
// "127.0.0.1", "::1", "0.0.0.0", "::".
inline std::vector<std::string> ListeningAddresses(std::uint16_t port) {
    std::vector<std::string> found;
    for (const int family : {AF_INET, AF_INET6}) {
        ForEachListener(family, [&](const inet_diag_msg& m) {
            if (ntohs(m.id.idiag_sport) != port) return;
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(family, m.id.idiag_src, text, sizeof text);
            found.push_back(text);
        });
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The same for a listener of either family (a dual-stack one is an IPv6 listener).
inline std::optional<std::uint32_t> ListenBacklog(std::uint16_t port) {
    if (auto backlog = ListenBacklogOf(AF_INET6, port)) return backlog;
    return ListenBacklogOf(AF_INET, port);
}

// The port a socket object is bound to.
inline std::uint16_t BoundPort(const TCustomWinSocket& socket) {
    ws::SocketAddress address{};
    int length = static_cast<int>(sizeof(address));
    ws::getsockname(socket.SocketDesc(), &address.any, &length);
    return ws::AddressPort(address);
}

// The address a socket object is bound to, as text: "::" for a dual-stack listener
// on every interface ("0.0.0.0" where the system has no IPv6).
inline std::string BoundAddress(const TCustomWinSocket& socket) {
    ws::SocketAddress address{};
    int length = static_cast<int>(sizeof(address));
    ws::getsockname(socket.SocketDesc(), &address.any, &length);
    return ws::AddressText(address);
}

// Every test starts with a known resolver and scripted message boxes.
class SocketTest : public ::testing::Test {
protected:
    ScopedResolver resolver;
    RecordingInteraction interaction;
};

}  // namespace portvale::test
