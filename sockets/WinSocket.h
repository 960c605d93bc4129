#pragma once
// The socket object at the bottom of the TCP socket layer: one WinSock stream socket
// (TCP over IPv4 or IPv6) and, from the moment it first needs one, a hidden window through which
// the socket's notifications arrive as window messages on the GUI thread. Opens as a
// client or a listener, blocking or non-blocking (with asynchronous lookups), turns
// each notification into an event or an error for its owner's sinks, and sends and
// receives without buffering of its own.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/BoundEvent.h"
#include "framework/Exceptions.h"
#include "platform/Dispatcher.h"
#include "platform/sockets/WinSock.h"

namespace portvale {

// The ordinals are part of the interface: the components dispatch on them.
enum TSocketEventKind : int {
    skLookup = 0,
    skConnecting = 1,
    skConnect = 2,
    skDisconnect = 3,
    skListen = 4,
    skAccept = 5,
    skWrite = 6,
    skRead = 7,
};

enum TErrorEvent : int {
    erGeneral = 0,
    erSend = 1,
    erReceive = 2,
    erConnect = 3,
    erDisconnect = 4,
    erAccept = 5,
    erLookup = 6,
};

enum TLookupPhase : int { lpIdle = 0, lpAddressStage = 1, lpServiceStage = 2 };

// A set of FD_ codes, one bit each; its value goes to WSAAsyncSelect unchanged.
using TSocketNotifyMask = std::uint8_t;
constexpr TSocketNotifyMask kClientNotifyMask = 0x33;  // read, write, connect, close
constexpr TSocketNotifyMask kListenNotifyMask = 0x08;  // accept only
constexpr TSocketNotifyMask kBlockingNotifyMask = 0x00;

constexpr std::uint32_t WM_SOCKET_NOTIFY = WM_USER + 1;
constexpr std::uint32_t WM_SOCKET_RELEASE = WM_USER + 2;
constexpr std::uint32_t WM_LOOKUP_DONE = WM_USER + 3;

// Reported for a non-blocking client open that has neither a host nor an address.
constexpr int kNoAddressErrorCode = 1110;

// Message texts of ESocketError.
inline constexpr char sWindowsSocketError[] = "Windows socket error: %s (%d), on API '%s'";
inline constexpr char sAsyncSocketError[] = "Asynchronous socket error %d";
inline constexpr char sNoAddress[] = "No address specified";
inline constexpr char sCannotListenOnOpen[] = "Can't listen on an open socket";
inline constexpr char sCannotCreateSocket[] = "Can't create new socket";
inline constexpr char sSocketAlreadyOpen[] = "Socket already open";
inline constexpr char sCantChangeWhileActive[] = "Can't change value while socket is active";

class ESocketError : public Exception {
public:
    using Exception::Exception;
};

// The API error: "Windows socket error: <text> (<code>), on API '<api>'".
ESocketError SocketApiError(int code, const char* api);

// 0 for success; WSAEWOULDBLOCK is handed back without raising; any other code raises
// the API error naming the call. For calls that return a handle, pass 1 for a null
// handle and 0 otherwise.
int CheckWinsockResult(int result, const char* api);

// WinSock is started once per living socket object.
void StartWinsock();
void StopWinsock();

class TCustomWinSocket;
class TTimer;

// (Sender, Socket, Kind): Socket is the object the event concerns; it differs from
// Sender only for skAccept, where it is the new connection.
using TSocketEventSink =
    TBoundEvent<void(TCustomWinSocket* sender, TCustomWinSocket* socket, TSocketEventKind kind)>;
// (Sender, Socket, ErrorEvent, ErrorCode): a sink that sets ErrorCode to 0 absorbs it.
using TSocketErrorSink = TBoundEvent<void(TCustomWinSocket* sender, TCustomWinSocket* socket,
                                          TErrorEvent errorEvent, int& errorCode)>;

class TCustomWinSocket : public TObject {
public:
    explicit TCustomWinSocket(ws::SOCKET socket);
    ~TCustomWinSocket() override;
    TCustomWinSocket(const TCustomWinSocket&) = delete;
    TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

    void OpenClient(const std::string& host, const std::string& address,
                    const std::string& service, std::uint16_t port, bool blocking);
    void OpenListener(const std::string& host, const std::string& address,
                      const std::string& service, std::uint16_t port, int queueSize,
                      bool blocking);
    void CloseConnection();

    // Where a listener binds: each of these addresses exactly, on a descriptor of its
    // own (only "::" takes both families), so a listener told 127.0.0.1 is not
    // reachable from other interfaces. Empty: every address, as a listener always
    // did. Further addresses than the first need the non-blocking mode, whose
    // accepts all arrive through this object. Set before it listens.
    void SetListenAddresses(std::vector<ws::HostAddress> addresses) { listenAddresses_ = std::move(addresses); }
    // The accept queue a listener asks for in place of its opener's (which is held to
    // WinSock 1.1's 5): a service facing bursts of connections wants SOMAXCONN.
    // 0 keeps the opener's.
    void SetListenQueue(int backlog) { listenQueue_ = backlog; }
    // Every address a listener is bound to, as the system reports it.
    std::vector<ws::SocketAddress> BoundAddresses() const;

    // The five notification handlers, in their slot order.
    virtual void AcceptReady(ws::SOCKET socket);
    virtual void ConnectDone(ws::SOCKET socket);
    virtual void Teardown(ws::SOCKET socket);
    virtual void ReadReady(ws::SOCKET socket);
    virtual void WriteReady(ws::SOCKET socket);

    // Returns the count sent, 0 when not connected, -1 when the send would block
    // (the bytes are dropped) or failed with an error the error sink absorbed.
    int SendBuffer(const void* buffer, int count);
    int SendString(const std::string& text);
    // count -1 asks for the number of waiting bytes instead of reading.
    int ReceiveBuffer(void* buffer, int count);
    int BytesAvailable();
    int ReceiveLength() { return BytesAvailable(); }

    bool IsConnected() const { return connected_; }
    ws::SOCKET SocketDesc() const { return socket_; }
    // The address connected to (or being tried) or bound to, of either family.
    const ws::SocketAddress& SockAddr() const { return sockAddr_; }
    // The peer of a connection in its usual text form ("192.0.2.7", "2001:db8::7")
    // and its port; empty and 0 when there is no peer.
    std::string RemoteAddress() const;
    std::uint16_t RemotePort() const;
    TSocketNotifyMask NotifyMask() const { return notifyMask_; }
    TLookupPhase LookupPhase() const { return lookupPhase_; }
    ws::HANDLE LookupRequest() const { return lookupRequest_; }
    HWND NotifyWindow() const { return window_; }

    void AcquireLock() { life_->lock.lock(); }
    void ReleaseLock() { life_->lock.unlock(); }

    void SetNotifyMask(TSocketNotifyMask mask);
    // Destroys the object once the current notification has been handled completely.
    void ScheduleRelease();

    virtual void NotifyEvent(TCustomWinSocket* socket, TSocketEventKind kind);
    virtual void NotifyError(TCustomWinSocket* socket, TErrorEvent errorEvent, int& errorCode);

    // How long a non-blocking connect to one of a host's addresses may take while
    // further addresses remain; then it is given up for the next one, so that an
    // address whose packets vanish (a broken IPv6 route) does not hold the connection
    // up for the system's connect timeout. The last address gets the system's timeout.
    static std::chrono::milliseconds NextAddressDelay();
    static void SetNextAddressDelay(std::chrono::milliseconds delay);

    // Blocking resolution: 0.0.0.0 (network order) when the name does not resolve.
    static std::uint32_t ResolveHost(const std::string& name);
    // Host-order port of a "tcp" service; 0 when there is no such service.
    static std::uint16_t ResolveService(const std::string& name);

    // The hidden window, created on the calling thread the first time it is needed.
    HWND NotifyWindowHandle();

    TSocketEventSink EventSink;
    TSocketErrorSink ErrorSink;

protected:
    // What outlives the object for as long as one of its own calls is still on the
    // stack: a handler may destroy the object (closing a server from a connection's
    // handler, for instance), and the interrupted call must then neither touch the
    // object nor unlock a lock that no longer exists.
    struct Life {
        std::recursive_mutex lock;
        bool alive = true;
    };
    std::shared_ptr<Life> LifeToken() const { return life_; }

    void SetConnected(bool connected) { connected_ = connected; }
    // The peer as accept gave it: still known after the connection is gone.
    void SetAcceptedPeer(const ws::SocketAddress& peer) { acceptedPeer_ = peer; }
    void ApplyNotifyMask();
    void SetNotifyMaskField(TSocketNotifyMask mask) { notifyMask_ = mask; }
    // Closes the descriptor and the window quietly; for destructors.
    void DestroyQuietly();

private:
    enum class Role { client, listener };

    void Open(const std::string& host, const std::string& address, const std::string& service,
              std::uint16_t port, int queueSize, bool blocking, Role role);
    void BuildAddress(const std::string& host, const std::string& address,
                      const std::string& service, std::uint16_t port, Role role);
    void AdvanceLookup(const std::string& host, const std::string& address,
                       const std::string& service, std::uint16_t port, int queueSize, Role role);
    void AdvanceLookupStep(const std::string& host, const std::string& address,
                           const std::string& service, std::uint16_t port, int queueSize,
                           Role role);
    void BeginConnect();
    // Connects to the current address, and on an immediate failure to each further
    // address of the host in turn. 0, WSAEWOULDBLOCK (the outcome follows as
    // FD_CONNECT), or the last failure's error with `api` naming the failing call.
    int ConnectToCandidates(const char*& api);
    // Moves on to the next address of the host on a fresh descriptor of its family;
    // false when there is none.
    bool NextCandidate();
    // Tries the remaining addresses after the current one failed with `error` as
    // FD_CONNECT reported it; true when one of them is now being tried.
    bool RetryAfterConnectFailure(int& error);
    void SetCandidates(std::vector<ws::HostAddress> candidates);
    // Gives up the pending attempt for the next address once NextAddressDelay passed.
    void WatchAttempt();
    void StopWatchingAttempt();
    void AttemptTookTooLong();
    void SetAddressPort(std::uint16_t portNetworkOrder);
    // Puts a descriptor of `family` in place of the unconnected one; false (with
    // WSAGetLastError() set) when the system cannot make one.
    bool UseFamily(int family);
    // The listener's descriptor: dual-stack where the system has IPv6.
    ws::SOCKET NewListenerSocket();
    void BeginListen(int queueSize);
    // The descriptors of the listen addresses after the first; closes those already
    // made and throws when one cannot be bound.
    void ListenOnFurtherAddresses(int queueSize);
    void CloseFurtherListeners();
    void DiscardStaleDescriptor();
    char* EnsureLookupBuffer();

    LRESULT WindowProcedure(std::uint32_t msg, WPARAM wParam, LPARAM lParam);
    void HandleSocketNotify(ws::SOCKET socket, long code, int error);
    void HandleRelease();
    void HandleLookupDone(ws::HANDLE request, int error);

    ws::SOCKET socket_ = ws::INVALID_SOCKET;
    // Read by the connection threads of a thread-blocking server while the GUI thread
    // may close the connection.
    std::atomic<bool> connected_{false};
    HWND window_ = 0;
    ws::SocketAddress sockAddr_{};
    int family_ = AF_INET;  // of socket_
    // The addresses of the host being connected to, in the order to try them.
    std::vector<ws::HostAddress> candidates_;
    std::size_t candidate_ = 0;
    std::unique_ptr<TTimer> attemptTimer_;
    TSocketNotifyMask notifyMask_ = kClientNotifyMask;
    TLookupPhase lookupPhase_ = lpIdle;
    ws::HANDLE lookupRequest_ = 0;
    std::shared_ptr<Life> life_;
    std::unique_ptr<char[]> lookupBuffer_;
    std::string pendingService_;
    std::uint16_t pendingPort_ = 0;
    bool pendingIsClient_ = false;
    int pendingQueueSize_ = 0;
    std::vector<ws::HostAddress> listenAddresses_;
    std::vector<ws::SOCKET> furtherListeners_;
    int listenQueue_ = 0;
    ws::SocketAddress acceptedPeer_{};
};

}  // namespace portvale
