#pragma once
// Loopback helpers for the WinSock stand-in's tests: a window that records what is
// posted to it, peers made of plain POSIX sockets, and waits with deadlines.

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatcher.h"
#include "platform/sockets/WinSock.h"
#include "tests/support/Wait.h"

namespace portvale::test {

// The calls under test, ahead of the POSIX calls of the same names.
using ws::accept;
using ws::bind;
using ws::connect;
using ws::gethostbyname;
using ws::getservbyname;
using ws::getsockopt;
using ws::inet_addr;
using ws::listen;
using ws::recv;
using ws::send;
using ws::setsockopt;

constexpr std::uint32_t kSocketNotify = WM_USER + 1;
constexpr std::uint32_t kLookupDone = WM_USER + 3;
constexpr std::uint32_t kMarker = WM_USER + 0x50;

struct Note {
    ws::SOCKET socket;
    long event;
    int error;
};

struct LookupNote {
    ws::HANDLE handle;
    LPARAM lParam;
};

// A hidden window that records socket notifications and lookup completions.
class NoteWindow {
public:
    NoteWindow() {
        handle_ = Dispatcher::Instance().AllocateHWnd(
            [this](std::uint32_t msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
                if (msg == kSocketNotify) {
                    notes.push_back(Note{static_cast<ws::SOCKET>(wParam),
                                         ws::WSAGETSELECTEVENT(lParam),
                                         ws::WSAGETSELECTERROR(lParam)});
                    if (onNote) onNote(notes.back());
                } else if (msg == kLookupDone) {
                    lookups.push_back(LookupNote{static_cast<ws::HANDLE>(wParam), lParam});
                } else if (msg == kMarker) {
                    ++markers_;
                }
                return 0;
            });
    }
    ~NoteWindow() { Dispatcher::Instance().DeallocateHWnd(handle_); }
    NoteWindow(const NoteWindow&) = delete;
    NoteWindow& operator=(const NoteWindow&) = delete;

    HWND Handle() const { return handle_; }

    int Count(ws::SOCKET socket, long event) const {
        int count = 0;
        for (const Note& note : notes)
            if (note.socket == socket && note.event == event) ++count;
        return count;
    }
    bool Delivered(ws::HANDLE handle) const {
        for (const LookupNote& note : lookups)
            if (note.handle == handle) return true;
        return false;
    }
    bool PumpUntilCount(ws::SOCKET socket, long event, int count) {
        return PumpUntil([&] { return Count(socket, event) >= count; });
    }

    // Delivers everything that is due now and nothing later: readiness that exists
    // when the first marker is handled is found in that same dispatcher step and
    // posted ahead of the second marker.
    void Settle() {
        for (int round = 0; round < 2; ++round) {
            const int target = markers_ + 1;
            Dispatcher::Instance().PostMessage(handle_, kMarker, 0, 0);
            ASSERT_TRUE(PumpUntil([&] { return markers_ >= target; }));
        }
    }

    std::vector<Note> notes;
    std::vector<LookupNote> lookups;
    std::function<void(const Note&)> onNote;

private:
    HWND handle_ = 0;
    int markers_ = 0;
};

// Polls a condition another thread or the kernel makes true; never a fixed sleep.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = kDeadline) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The calls take an address of either family as sockaddr*, as WinSock's do.
inline const sockaddr* AsSockaddr(const sockaddr_in* address) {
    return reinterpret_cast<const sockaddr*>(address);
}
inline sockaddr* AsSockaddr(sockaddr_in* address) { return reinterpret_cast<sockaddr*>(address); }

inline sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline std::uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A blocking listener on 127.0.0.1 made with the calls under test.
inline ws::SOCKET Listener(std::uint16_t* port) {
    const ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(0);
    if (s == ws::INVALID_SOCKET || ws::bind(s, AsSockaddr(&address), sizeof address) != 0 ||
        ws::listen(s, 5) != 0)
        return ws::INVALID_SOCKET;
    *port = LocalPort(s);
    return s;
}

// A port nobody listens on for as long as the returned socket stays open: it is
// bound but not listening, so connections to it are refused.
inline int ClosedPort(std::uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    *port = LocalPort(fd);
    return fd;
}

// A plain POSIX peer, connected (blocking) to a listener on port.
inline int RawConnect(std::uint16_t port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in address = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline void RawSend(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        sent += static_cast<std::size_t>(n);
    }
}

// Closing with a zero linger time sends a reset instead of a FIN.
inline void RawReset(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

inline std::uint32_t Waiting(ws::SOCKET s) {
    std::uint32_t count = 0;
    ws::ioctlsocket(s, FIONREAD, &count);
    return count;
}

inline int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

}  // namespace portvale::test
