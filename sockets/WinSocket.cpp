// The socket object's life, closing, notifications, transfers and hidden window. How
// it opens (addresses, lookups, connect attempts, listeners) is in WinSocketOpen.cpp.
#include "sockets/WinSocket.h"

#include <sys/ioctl.h>

#include <exception>

#include "framework/Application.h"
#include "framework/SysUtils.h"
#include "framework/Timer.h"

namespace portvale {

namespace {

constexpr std::uint16_t kWinsockVersion = 0x0101;

ws::WSADATA& LayerWsaData() {
    static ws::WSADATA data;
    return data;
}

void ClearAddress(ws::SocketAddress& address) {
    address = ws::SocketAddress{};
    address.v4.sin_family = AF_INET;
    address.v4.sin_port = 0;
    address.v4.sin_addr.s_addr = htonl(INADDR_ANY);
}

TErrorEvent ErrorKindFor(long code) {
    switch (code) {
        case ws::FD_READ: return erReceive;
        case ws::FD_WRITE: return erSend;
        case ws::FD_ACCEPT: return erAccept;
        case ws::FD_CONNECT: return erConnect;
        case ws::FD_CLOSE: return erDisconnect;
        default: return erGeneral;
    }
}

void ReportFromDestructor() {
    // A destructor must not throw; the failure is shown like any other.
    Application().HandleException(std::current_exception());
}

}  // namespace

ESocketError SocketApiError(int code, const char* api) {
    return ESocketError(Format(sWindowsSocketError, ws::WSAErrorText(code).c_str(), code, api));
}

int CheckWinsockResult(int result, const char* api) {
    if (result == 0) return 0;
    const int error = ws::WSAGetLastError();
    if (error == ws::WSAEWOULDBLOCK) return error;
    throw SocketApiError(error, api);
}

void StartWinsock() {
    const int result = ws::WSAStartup(kWinsockVersion, &LayerWsaData());
    if (result != 0) throw SocketApiError(result, "WSAStartup");
}

void StopWinsock() {
    const int result = ws::WSACleanup();
    if (result != 0) throw SocketApiError(result, "WSACleanup");
}

// ---- construction and destruction ----

TCustomWinSocket::TCustomWinSocket(ws::SOCKET socket) : life_(std::make_shared<Life>()) {
    StartWinsock();
    notifyMask_ = kClientNotifyMask;
    socket_ = socket;
    ClearAddress(sockAddr_);
    connected_ = socket != ws::INVALID_SOCKET;
}

TCustomWinSocket::~TCustomWinSocket() {
    DestroyQuietly();
    try {
        StopWinsock();
    } catch (...) {
        ReportFromDestructor();
    }
}

void TCustomWinSocket::DestroyQuietly() {
    if (!life_->alive) return;
    EventSink.Clear();
    try {
        // Also a descriptor that never got connected (an attempt still pending, or one
        // whose failure an error handler absorbed) is closed here, and a pending lookup
        // is cancelled before the buffer its worker writes into goes away.
        if (socket_ != ws::INVALID_SOCKET || lookupRequest_ != 0)
            TCustomWinSocket::Teardown(socket_);
    } catch (...) {
        ReportFromDestructor();
    }
    life_->alive = false;
    attemptTimer_.reset();
    if (window_ != 0) {
        Dispatcher::Instance().DeallocateHWnd(window_);
        window_ = 0;
    }
}

// ---- closing ----

void TCustomWinSocket::CloseConnection() { Teardown(socket_); }

void TCustomWinSocket::Teardown(ws::SOCKET socket) {
    const auto life = life_;
    std::lock_guard guard(life->lock);
    if (lookupRequest_ != 0) {
        // Forgotten before the cancel is checked: a request that cannot be cancelled
        // is gone all the same, and keeping it would make every later close fail too.
        const ws::HANDLE request = lookupRequest_;
        lookupRequest_ = 0;
        lookupPhase_ = lpIdle;
        CheckWinsockResult(ws::WSACancelAsyncRequest(request), "WSACancelASyncRequest");
    }
    if (socket == ws::INVALID_SOCKET || socket != socket_) return;
    NotifyEvent(this, skDisconnect);
    if (!life->alive) return;  // a handler destroyed us; the destructor closed the socket
    CloseFurtherListeners();
    CheckWinsockResult(ws::closesocket(socket_), "closesocket");
    socket_ = ws::INVALID_SOCKET;
    ClearAddress(sockAddr_);
    candidates_.clear();
    candidate_ = 0;
    StopWatchingAttempt();
    connected_ = false;
    // A closed object starts its next open from the beginning, also after a failed
    // lookup left the phase where the lookup stopped.
    lookupPhase_ = lpIdle;
}

void TCustomWinSocket::ScheduleRelease() {
    if (window_ != 0) Dispatcher::Instance().PostMessage(window_, WM_SOCKET_RELEASE, 0, 0);
}

void TCustomWinSocket::DiscardStaleDescriptor() {
    // Left over from an attempt that failed with an absorbed error or never finished:
    // nobody will close it later, so it is closed here rather than leaked. It was never
    // reported as connected, so no disconnect is reported for it either.
    if (lookupRequest_ != 0) {
        ws::WSACancelAsyncRequest(lookupRequest_);
        lookupRequest_ = 0;
    }
    if (socket_ != ws::INVALID_SOCKET) {
        ws::closesocket(socket_);
        socket_ = ws::INVALID_SOCKET;
    }
    ClearAddress(sockAddr_);
    candidates_.clear();
    candidate_ = 0;
    StopWatchingAttempt();
    lookupPhase_ = lpIdle;
}

// ---- notification handlers ----

void TCustomWinSocket::ApplyNotifyMask() {
    if (notifyMask_ != 0) {
        ws::WSAAsyncSelect(socket_, NotifyWindowHandle(), WM_SOCKET_NOTIFY, notifyMask_);
    } else {
        ws::WSAAsyncSelect(socket_, 0, 0, 0);
        std::uint32_t nonBlocking = 0;
        ws::ioctlsocket(socket_, FIONBIO, &nonBlocking);
    }
}

void TCustomWinSocket::SetNotifyMask(TSocketNotifyMask mask) {
    if (mask == notifyMask_) return;
    notifyMask_ = mask;
    if (socket_ != ws::INVALID_SOCKET) ApplyNotifyMask();
}

void TCustomWinSocket::AcceptReady(ws::SOCKET) {}

void TCustomWinSocket::ConnectDone(ws::SOCKET) {}

void TCustomWinSocket::ReadReady(ws::SOCKET socket) {
    if (socket_ != ws::INVALID_SOCKET && socket == socket_) NotifyEvent(this, skRead);
}

void TCustomWinSocket::WriteReady(ws::SOCKET socket) {
    if (socket_ != ws::INVALID_SOCKET && socket == socket_) NotifyEvent(this, skWrite);
}

void TCustomWinSocket::NotifyEvent(TCustomWinSocket* socket, TSocketEventKind kind) {
    if (EventSink) EventSink(this, socket, kind);
}

void TCustomWinSocket::NotifyError(TCustomWinSocket* socket, TErrorEvent errorEvent,
                                   int& errorCode) {
    if (ErrorSink) ErrorSink(this, socket, errorEvent, errorCode);
}

// ---- transfer ----

int TCustomWinSocket::SendBuffer(const void* buffer, int count) {
    const auto life = life_;
    std::lock_guard guard(life->lock);
    if (!connected_) return 0;
    const int sent = ws::send(socket_, buffer, count, 0);
    if (sent != ws::SOCKET_ERROR) return sent;
    const int error = ws::WSAGetLastError();
    if (error == ws::WSAEWOULDBLOCK) return -1;
    int code = error;
    NotifyError(this, erSend, code);
    if (life->alive) Teardown(socket_);
    if (code != 0) throw SocketApiError(code, "send");
    return -1;
}

int TCustomWinSocket::SendString(const std::string& text) {
    return SendBuffer(text.data(), static_cast<int>(text.size()));
}

int TCustomWinSocket::ReceiveBuffer(void* buffer, int count) {
    const auto life = life_;
    std::lock_guard guard(life->lock);
    if (count == -1 && connected_) {
        std::uint32_t waiting = 0;
        ws::ioctlsocket(socket_, FIONREAD, &waiting);
        return static_cast<int>(waiting);
    }
    if (!connected_) return 0;
    const int received = ws::recv(socket_, buffer, count, 0);
    if (received != ws::SOCKET_ERROR) return received;
    const int error = ws::WSAGetLastError();
    if (error == ws::WSAEWOULDBLOCK) return -1;
    int code = error;
    NotifyError(this, erReceive, code);
    if (life->alive) Teardown(socket_);
    if (code != 0) throw SocketApiError(code, "recv");
    return -1;
}

int TCustomWinSocket::BytesAvailable() { return ReceiveBuffer(nullptr, -1); }

namespace {

// The peer of a connected descriptor; an address of no family when there is none.
ws::SocketAddress PeerOf(ws::SOCKET socket) {
    ws::SocketAddress peer{};
    int length = static_cast<int>(sizeof peer);
    if (socket == ws::INVALID_SOCKET || ws::getpeername(socket, &peer.any, &length) != 0)
        return ws::SocketAddress{};
    return peer;
}

}  // namespace

// A connection reset before anyone asked still names the peer accept gave.
std::string TCustomWinSocket::RemoteAddress() const {
    const ws::SocketAddress peer = PeerOf(socket_);
    return ws::AddressText(peer.any.sa_family == AF_UNSPEC ? acceptedPeer_ : peer);
}

std::uint16_t TCustomWinSocket::RemotePort() const {
    const ws::SocketAddress peer = PeerOf(socket_);
    return ws::AddressPort(peer.any.sa_family == AF_UNSPEC ? acceptedPeer_ : peer);
}

// ---- resolution ----

std::uint32_t TCustomWinSocket::ResolveHost(const std::string& name) {
    std::uint32_t address = 0;
    if (!ws::gethostbyname(name.c_str(), &address)) return 0;
    return address;
}

std::uint16_t TCustomWinSocket::ResolveService(const std::string& name) {
    std::uint16_t port = 0;
    if (!ws::getservbyname(name.c_str(), "tcp", &port)) return 0;
    return ntohs(port);
}

// ---- the hidden window ----

HWND TCustomWinSocket::NotifyWindowHandle() {
    if (window_ == 0) {
        window_ = Dispatcher::Instance().AllocateHWnd(
            [this](std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
                return WindowProcedure(msg, wParam, lParam);
            });
    }
    return window_;
}

LRESULT TCustomWinSocket::WindowProcedure(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    // Nothing may be touched after a handler returns: it may have destroyed us.
    try {
        switch (msg) {
            case WM_SOCKET_NOTIFY:
                HandleSocketNotify(static_cast<ws::SOCKET>(wParam), ws::WSAGETSELECTEVENT(lParam),
                                   ws::WSAGETSELECTERROR(lParam));
                return 0;
            case WM_SOCKET_RELEASE:
                HandleRelease();
                return 0;
            case WM_LOOKUP_DONE:
                HandleLookupDone(static_cast<ws::HANDLE>(wParam), ws::WSAGETASYNCERROR(lParam));
                return 0;
            default:
                return Dispatcher::DefWindowProc(window_, msg, wParam, lParam);
        }
    } catch (...) {
        Application().HandleException(std::current_exception());
    }
    return 0;
}

void TCustomWinSocket::HandleSocketNotify(ws::SOCKET socket, long code, int error) {
    if (code == ws::FD_CONNECT && socket == socket_) StopWatchingAttempt();
    if (error != 0 && code == ws::FD_CONNECT && socket == socket_ &&
        RetryAfterConnectFailure(error))
        return;
    if (error != 0) {
        int errorCode = error;
        NotifyError(this, ErrorKindFor(code), errorCode);
        if (errorCode != 0) throw ESocketError(Format(sAsyncSocketError, errorCode));
        return;  // absorbed: the notification is dropped
    }
    switch (code) {
        case ws::FD_READ: ReadReady(socket); break;
        case ws::FD_WRITE: WriteReady(socket); break;
        case ws::FD_ACCEPT: AcceptReady(socket); break;
        case ws::FD_CONNECT: ConnectDone(socket); break;
        case ws::FD_CLOSE: Teardown(socket); break;
        default: break;
    }
}

void TCustomWinSocket::HandleRelease() { delete this; }

}  // namespace portvale
