// Opening a socket: the address a client connects to or a listener binds to, the
// asynchronous host and service lookups that lead there, the attempts on each of a
// host's addresses in turn, and the listener's descriptors. The rest of the object
// (closing, notifications, transfers, its hidden window) is in WinSocket.cpp.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/Timer.h"
#include "sockets/WinSocket.h"

namespace portvale {

namespace {

constexpr int kMaxListenQueue = 5;  // WinSock 1.1's SOMAXCONN

std::atomic<std::int64_t> gNextAddressDelayMs{5000};

// The Address property: WinSock's IPv4 forms as before, or an IPv6 literal.
ws::HostAddress ParseAddressText(const std::string& text) {
    if (text.find(':') != std::string::npos) {
        if (const auto v6 = ws::ParseNumericHost(text)) return *v6;
    }
    return ws::HostAddress::IPv4(ws::inet_addr(text.c_str()));
}

// The unspecified address of a family: what a listener binds to for all interfaces.
ws::HostAddress AnyAddress(int family) {
    return family == AF_INET6 ? ws::HostAddress::IPv6(in6addr_any)
                              : ws::HostAddress::IPv4(htonl(INADDR_ANY));
}

bool IsUnspecified(const ws::HostAddress& address) {
    return address == AnyAddress(address.family);
}

// An IPv6 listener takes IPv4 clients too only where it stands for every address;
// the system's default may be IPv6 only (net.ipv6.bindv6only), or both.
void SetDualStack(ws::SOCKET socket, bool dual) {
    const int v6Only = dual ? 0 : 1;
    ws::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
}

}  // namespace

// ---- opening ----

void TCustomWinSocket::OpenClient(const std::string& host, const std::string& address,
                                  const std::string& service, std::uint16_t port,
                                  bool blocking) {
    Open(host, address, service, port, 0, blocking, Role::client);
}

void TCustomWinSocket::OpenListener(const std::string& host, const std::string& address,
                                    const std::string& service, std::uint16_t port,
                                    int queueSize, bool blocking) {
    Open(host, address, service, port, queueSize, blocking, Role::listener);
}

void TCustomWinSocket::Open(const std::string& host, const std::string& address,
                            const std::string& service, std::uint16_t port, int queueSize,
                            bool blocking, Role role) {
    if (connected_)
        throw ESocketError(role == Role::client ? sSocketAlreadyOpen : sCannotListenOnOpen);
    DiscardStaleDescriptor();
    if (role == Role::listener) {
        socket_ = NewListenerSocket();
    } else {
        // A client's family follows from its host's addresses; the descriptor is
        // replaced when the first of them turns out to be IPv6.
        family_ = AF_INET;
        socket_ = ws::socket(AF_INET, SOCK_STREAM, 0);
    }
    if (socket_ == ws::INVALID_SOCKET) throw ESocketError(sCannotCreateSocket);
    const auto life = life_;
    try {
        NotifyEvent(this, skLookup);
        if (!life->alive) return;
        if (blocking) {
            BuildAddress(host, address, service, port, role);
            if (role == Role::client)
                BeginConnect();
            else
                BeginListen(queueSize);
        } else {
            AdvanceLookup(host, address, service, port, queueSize, role);
        }
    } catch (...) {
        if (life->alive) Teardown(socket_);
        throw;
    }
}

ws::SOCKET TCustomWinSocket::NewListenerSocket() {
    // All interfaces: one IPv6 socket that takes IPv4 clients too (as ::ffff:a.b.c.d),
    // or an IPv4 one where the system has no IPv6. A blocking listener given a host or
    // an address changes it for one of that address's family before it binds.
    int family = AF_INET6;
    ws::SOCKET s = ws::socket(family, SOCK_STREAM, 0);
    if (s == ws::INVALID_SOCKET) {
        family = AF_INET;
        s = ws::socket(family, SOCK_STREAM, 0);
    }
    family_ = family;
    return s;
}

bool TCustomWinSocket::UseFamily(int family) {
    if (family == family_ && socket_ != ws::INVALID_SOCKET) return true;
    // Never connected, so no disconnect is reported for the descriptor given up.
    if (socket_ != ws::INVALID_SOCKET) ws::closesocket(socket_);
    socket_ = ws::socket(family, SOCK_STREAM, 0);
    family_ = family;
    return socket_ != ws::INVALID_SOCKET;
}

void TCustomWinSocket::SetCandidates(std::vector<ws::HostAddress> candidates) {
    const std::uint16_t port = ws::AddressPort(sockAddr_);
    candidates_ = std::move(candidates);
    candidate_ = 0;
    sockAddr_ = ws::MakeSocketAddress(candidates_.front(), htons(port));
}

void TCustomWinSocket::SetAddressPort(std::uint16_t portNetworkOrder) {
    if (sockAddr_.any.sa_family == AF_INET6)
        sockAddr_.v6.sin6_port = portNetworkOrder;
    else
        sockAddr_.v4.sin_port = portNetworkOrder;
}

void TCustomWinSocket::BuildAddress(const std::string& host, const std::string& address,
                                    const std::string& service, std::uint16_t port, Role role) {
    if (!host.empty()) {
        std::vector<ws::HostAddress> found;
        // An unresolved name becomes 0.0.0.0, which connect refuses as no address.
        if (ws::ResolveHostAddresses(host, &found) != 0) found = {ws::HostAddress::IPv4(0)};
        if (role == Role::listener) found.resize(1);
        SetCandidates(std::move(found));
    } else if (role == Role::listener && !listenAddresses_.empty()) {
        SetCandidates(listenAddresses_);
    } else if (!address.empty()) {
        SetCandidates({ParseAddressText(address)});
    } else if (role == Role::client) {
        throw ESocketError(sNoAddress);
    } else {
        SetCandidates({AnyAddress(family_)});
    }
    const std::uint16_t hostPort = service.empty() ? port : ResolveService(service);
    SetAddressPort(htons(hostPort));
}

char* TCustomWinSocket::EnsureLookupBuffer() {
    if (!lookupBuffer_) lookupBuffer_ = std::make_unique<char[]>(ws::MAXGETHOSTSTRUCT);
    return lookupBuffer_.get();
}

void TCustomWinSocket::AdvanceLookup(const std::string& host, const std::string& address,
                                     const std::string& service, std::uint16_t port,
                                     int queueSize, Role role) {
    const auto life = life_;
    try {
        AdvanceLookupStep(host, address, service, port, queueSize, role);
    } catch (...) {
        if (life->alive) Teardown(socket_);
        throw;
    }
}

void TCustomWinSocket::AdvanceLookupStep(const std::string& host, const std::string& address,
                                         const std::string& service, std::uint16_t port,
                                         int queueSize, Role role) {
    // Each phase either waits for a lookup (and returns) or falls through to the next,
    // so an open that needs no lookup reaches connect or listen within this call.
    const auto life = life_;
    if (lookupPhase_ == lpIdle) {
        if (role == Role::listener) {
            lookupPhase_ = lpAddressStage;
            SetCandidates(listenAddresses_.empty() ? std::vector{AnyAddress(family_)} : listenAddresses_);
        } else if (!host.empty()) {
            char* buffer = EnsureLookupBuffer();
            lookupRequest_ = ws::WSAAsyncGetHostByName(NotifyWindowHandle(), WM_LOOKUP_DONE,
                                                       host.c_str(), buffer, ws::MAXGETHOSTSTRUCT);
            CheckWinsockResult(lookupRequest_ == 0 ? 1 : 0, "WSAASyncGetHostByName");
            pendingService_ = service;
            pendingPort_ = port;
            pendingQueueSize_ = queueSize;
            pendingIsClient_ = true;
            lookupPhase_ = lpAddressStage;
            return;
        } else if (!address.empty()) {
            lookupPhase_ = lpAddressStage;
            SetCandidates({ParseAddressText(address)});
        } else {
            int code = kNoAddressErrorCode;
            NotifyError(this, erLookup, code);
            if (life->alive) Teardown(socket_);
            if (code != 0) throw ESocketError(sNoAddress);
            return;
        }
    }
    if (lookupPhase_ == lpAddressStage) {
        if (!service.empty()) {
            char* buffer = EnsureLookupBuffer();
            lookupRequest_ = ws::WSAAsyncGetServByName(NotifyWindowHandle(), WM_LOOKUP_DONE,
                                                       service.c_str(), "tcp", buffer,
                                                       ws::MAXGETHOSTSTRUCT);
            CheckWinsockResult(lookupRequest_ == 0 ? 1 : 0, "WSAASyncGetServByName");
            pendingIsClient_ = role == Role::client;
            pendingQueueSize_ = queueSize;
            lookupPhase_ = lpServiceStage;
            return;
        }
        lookupPhase_ = lpServiceStage;
        SetAddressPort(htons(port));
    }
    if (lookupPhase_ == lpServiceStage) {
        lookupPhase_ = lpIdle;
        if (role == Role::client)
            BeginConnect();
        else
            BeginListen(queueSize);
    }
}

void TCustomWinSocket::BeginConnect() {
    const auto life = life_;
    const char* api = "connect";
    const int error = ConnectToCandidates(api);
    if (!life->alive) return;
    ws::WSASetLastError(error);
    CheckWinsockResult(error == 0 ? 0 : ws::SOCKET_ERROR, api);
    lookupPhase_ = lpIdle;
    if ((notifyMask_ & ws::FD_CONNECT) == 0) {
        connected_ = socket_ != ws::INVALID_SOCKET;
        NotifyEvent(this, skConnect);
    }
}

int TCustomWinSocket::ConnectToCandidates(const char*& api) {
    // A host with several addresses (a name with both an IPv6 and an IPv4 address,
    // above all) is reached on the first that takes the connection. Each attempt is
    // announced, so a handler that tunes the socket before it connects sees each one.
    const auto life = life_;
    for (;;) {
        int error = 0;
        if (!candidates_.empty() && !UseFamily(candidates_[candidate_].family)) {
            error = ws::WSAGetLastError();
            api = "socket";
        } else {
            api = "connect";
            ApplyNotifyMask();
            NotifyEvent(this, skConnecting);
            if (!life->alive) return 0;
            if (ws::connect(socket_, &sockAddr_.any, ws::SocketAddressLength(sockAddr_)) == 0)
                return 0;
            error = ws::WSAGetLastError();
            if (error == ws::WSAEWOULDBLOCK) {
                WatchAttempt();
                return error;
            }
        }
        if (!NextCandidate()) return error;
    }
}

bool TCustomWinSocket::NextCandidate() {
    if (candidate_ + 1 >= candidates_.size()) return false;
    ++candidate_;
    const std::uint16_t port = ws::AddressPort(sockAddr_);
    sockAddr_ = ws::MakeSocketAddress(candidates_[candidate_], htons(port));
    // The failed attempt's descriptor is not reused: after a failed connect a socket
    // is unusable for another.
    if (socket_ != ws::INVALID_SOCKET) {
        ws::closesocket(socket_);
        socket_ = ws::INVALID_SOCKET;
    }
    return true;
}

std::chrono::milliseconds TCustomWinSocket::NextAddressDelay() {
    return std::chrono::milliseconds(gNextAddressDelayMs.load());
}

void TCustomWinSocket::SetNextAddressDelay(std::chrono::milliseconds delay) {
    gNextAddressDelayMs = delay.count();
}

void TCustomWinSocket::WatchAttempt() {
    if (candidate_ + 1 >= candidates_.size()) return;
    if (!attemptTimer_) {
        attemptTimer_ = std::make_unique<TTimer>(nullptr);
        attemptTimer_->OnTimer = [this](TObject*) { AttemptTookTooLong(); };
    }
    attemptTimer_->SetInterval(static_cast<std::uint32_t>(NextAddressDelay().count()));
    attemptTimer_->SetEnabled(true);
}

void TCustomWinSocket::StopWatchingAttempt() {
    if (attemptTimer_) attemptTimer_->SetEnabled(false);
}

void TCustomWinSocket::AttemptTookTooLong() {
    StopWatchingAttempt();
    if (connected_ || socket_ == ws::INVALID_SOCKET || candidate_ + 1 >= candidates_.size()) return;
    // As if the attempt had failed: the next address is tried, or, when all of them
    // fail at once, the failure is reported as an asynchronous one is.
    try {
        HandleSocketNotify(socket_, ws::FD_CONNECT, ws::WSAETIMEDOUT);
    } catch (...) {
        Application().HandleException(std::current_exception());
    }
}

bool TCustomWinSocket::RetryAfterConnectFailure(int& error) {
    if (!NextCandidate()) return false;
    // With FD_CONNECT selected (it was, or this failure would not have arrived), even
    // an attempt that succeeds at once reports its outcome as FD_CONNECT.
    const char* api = "connect";
    const int result = ConnectToCandidates(api);
    if (result == 0 || result == ws::WSAEWOULDBLOCK) return true;
    // Every further address failed at once: reported as the last one's error, the
    // way an asynchronous failure is.
    error = result;
    return false;
}

void TCustomWinSocket::BeginListen(int queueSize) {
    const auto life = life_;
    // A listener given a host name binds to its first address, of whichever family.
    if (!candidates_.empty() && !UseFamily(candidates_.front().family))
        CheckWinsockResult(ws::SOCKET_ERROR, "socket");
    if (family_ == AF_INET6)
        SetDualStack(socket_, listenAddresses_.empty() || IsUnspecified(candidates_.front()));
    int bound = ws::bind(socket_, &sockAddr_.any, ws::SocketAddressLength(sockAddr_));
    if (bound != 0 && candidates_.size() == 1 && candidates_.front() == AnyAddress(AF_INET6)) {
        // IPv6 sockets exist but IPv6 is turned off (a container, disable_ipv6): every
        // interface then means every IPv4 one.
        const int error = ws::WSAGetLastError();
        if (error == ws::WSAEADDRNOTAVAIL || error == ws::WSAEAFNOSUPPORT) {
            SetCandidates({AnyAddress(AF_INET)});
            if (!UseFamily(AF_INET)) CheckWinsockResult(ws::SOCKET_ERROR, "socket");
            bound = ws::bind(socket_, &sockAddr_.any, ws::SocketAddressLength(sockAddr_));
        }
    }
    CheckWinsockResult(bound, "bind");
    ApplyNotifyMask();
    if (listenQueue_ > 0)
        queueSize = listenQueue_;
    else if (queueSize > kMaxListenQueue)
        queueSize = kMaxListenQueue;
    NotifyEvent(this, skListen);
    if (!life->alive) return;
    CheckWinsockResult(ws::listen(socket_, queueSize), "listen");
    if (!listenAddresses_.empty() && notifyMask_ != 0) ListenOnFurtherAddresses(queueSize);
    lookupPhase_ = lpIdle;
    connected_ = true;
}

void TCustomWinSocket::ListenOnFurtherAddresses(int queueSize) {
    const std::uint16_t port = htons(ws::AddressPort(sockAddr_));
    for (std::size_t i = 1; i < candidates_.size(); ++i) {
        const ws::HostAddress& host = candidates_[i];
        const ws::SOCKET s = ws::socket(host.family, SOCK_STREAM, 0);
        const char* api = "socket";
        bool ok = s != ws::INVALID_SOCKET;
        if (ok) {
            furtherListeners_.push_back(s);
            if (host.family == AF_INET6) SetDualStack(s, IsUnspecified(host));
            const ws::SocketAddress address = ws::MakeSocketAddress(host, port);
            api = "bind";
            ok = ws::bind(s, &address.any, ws::SocketAddressLength(address)) == 0;
            if (ok) {
                api = "listen";
                ok = ws::listen(s, queueSize) == 0;
            }
        }
        if (!ok) {
            const int error = ws::WSAGetLastError();
            CloseFurtherListeners();
            throw SocketApiError(error, api);
        }
        // Its accepts arrive here like the first descriptor's.
        ws::WSAAsyncSelect(s, NotifyWindowHandle(), WM_SOCKET_NOTIFY, notifyMask_);
    }
}

void TCustomWinSocket::CloseFurtherListeners() {
    for (const ws::SOCKET s : furtherListeners_) ws::closesocket(s);
    furtherListeners_.clear();
}

std::vector<ws::SocketAddress> TCustomWinSocket::BoundAddresses() const {
    std::vector<ws::SocketAddress> bound;
    std::vector<ws::SOCKET> descriptors{socket_};
    descriptors.insert(descriptors.end(), furtherListeners_.begin(), furtherListeners_.end());
    for (const ws::SOCKET s : descriptors) {
        ws::SocketAddress address{};
        int length = static_cast<int>(sizeof address);
        if (s != ws::INVALID_SOCKET && ws::getsockname(s, &address.any, &length) == 0) bound.push_back(address);
    }
    return bound;
}

void TCustomWinSocket::HandleLookupDone(ws::HANDLE request, int error) {
    // With no lookup pending, a completion can only be stray; taking it would close an
    // open connection on its error.
    if (request != lookupRequest_ || lookupRequest_ == 0) return;
    lookupRequest_ = 0;
    const Role role = pendingIsClient_ ? Role::client : Role::listener;
    if (error != 0) {
        const auto life = life_;
        int code = error;
        NotifyError(this, erLookup, code);
        if (life->alive) Teardown(socket_);
        if (code != 0) throw SocketApiError(error, "ASync Lookup");
        return;
    }
    if (lookupPhase_ == lpAddressStage) {
        auto found = ws::HostRecordAddresses(lookupBuffer_.get());
        if (found.empty()) found.push_back(ws::HostAddress::IPv4(0));
        SetCandidates(std::move(found));
        const std::string service = pendingService_;
        AdvanceLookup(std::string(), std::string(), service, pendingPort_, pendingQueueSize_, role);
    } else if (lookupPhase_ == lpServiceStage) {
        SetAddressPort(ws::ServiceRecordPort(lookupBuffer_.get()));
        pendingPort_ = 0;
        pendingService_.clear();
        AdvanceLookup(std::string(), std::string(), std::string(), 0, pendingQueueSize_, role);
    }
}

}  // namespace portvale
