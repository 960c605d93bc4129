#pragma once
// A plain listener on 127.0.0.1 at a port chosen before it existed (the port a client
// was refused on), for peers that go away and come back.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace portvale::test {

class PortListener {
public:
    explicit PortListener(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 4) == 0;
    }
    ~PortListener() { ::close(fd_); }
    PortListener(const PortListener&) = delete;
    PortListener& operator=(const PortListener&) = delete;

    bool ok() const { return ok_; }
    int fd() const { return fd_; }
    // The next connection, waiting for it up to the limit; -1 when none came.
    int Accept(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

}  // namespace portvale::test
