#pragma once
// The socket interface the socket layer is written against: WinSock 1.1 calls over
// non-blocking BSD sockets (TCP over IPv4 and IPv6, the address calls taking either
// family as WinSock 2 does), with WinSock's error numbers and texts, and
// readiness delivered as posted window messages through the GUI thread's dispatcher.
// Names live in portvale::ws so they never clash with the POSIX calls they wrap.
//
// Failure: calls return SOCKET_ERROR (or INVALID_SOCKET, or a zero handle) and leave
// the reason in WSAGetLastError(), which is per thread.

#include <netinet/in.h>
#include <sys/select.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dispatcher.h"

namespace portvale::ws {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
using HANDLE = std::uintptr_t;  // asynchronous request handle; 0 is none

// WinSock error numbers.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Notification codes (low 16 bits of a WM_SOCKET_NOTIFY lParam).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr LPARAM WSAMAKESELECTREPLY(long event, int error) {
    return static_cast<LPARAM>((static_cast<std::uint32_t>(error) << 16) |
                               (static_cast<std::uint32_t>(event) & 0xFFFFu));
}
constexpr long WSAGETSELECTEVENT(LPARAM lParam) { return static_cast<long>(lParam & 0xFFFF); }
constexpr int WSAGETSELECTERROR(LPARAM lParam) { return static_cast<int>((lParam >> 16) & 0xFFFF); }
constexpr LPARAM WSAMAKEASYNCREPLY(int buflen, int error) {
    return static_cast<LPARAM>((static_cast<std::uint32_t>(error) << 16) |
                               (static_cast<std::uint32_t>(buflen) & 0xFFFFu));
}
constexpr int WSAGETASYNCERROR(LPARAM lParam) { return static_cast<int>((lParam >> 16) & 0xFFFF); }

constexpr int MAXGETHOSTSTRUCT = 1024;
// Windows-only socket option for the accepted sockets of a thread-blocking server.
constexpr int SO_OPENTYPE = 0x7008;
constexpr int SO_SYNCHRONOUS_NONALERT = 0x20;

struct WSADATA {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
};

int WSAStartup(std::uint16_t version, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
// The text of a WinSock error number ("Connection refused" for 10061, ...); for an
// unknown number, a generic text with the number.
std::string WSAErrorText(int error);

// One address of a host, either family, as a lookup gives it.
struct HostAddress {
    int family = AF_INET;                  // AF_INET or AF_INET6
    std::array<std::uint8_t, 16> bytes{};  // network order; IPv4 fills the first four
    std::uint32_t scopeId = 0;             // the interface of an IPv6 link-local address

    static HostAddress IPv4(std::uint32_t addressNetworkOrder);
    static HostAddress IPv6(const in6_addr& address, std::uint32_t scopeId = 0);
    std::uint32_t IPv4Address() const;  // network order; 0 for an IPv6 address
    bool operator==(const HostAddress&) const = default;
};

// A socket address of either family, as the address calls take and return it.
union SocketAddress {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

SocketAddress MakeSocketAddress(const HostAddress& host, std::uint16_t portNetworkOrder);
// The length the calls expect for the address's family.
int SocketAddressLength(const SocketAddress& address);
// The host part of an address in its usual text form: "192.0.2.7", "2001:db8::7",
// "fe80::1%eth0"; an IPv4 client of a dual-stack listener (::ffff:192.0.2.7) as its
// IPv4 text. Empty for a family other than these two.
std::string AddressText(const SocketAddress& address);
// Host-order port of an address of either family.
std::uint16_t AddressPort(const SocketAddress& address);
// A numeric host: a dotted IPv4 address ("192.0.2.7") or an IPv6 literal,
// with or without the brackets of a URL and with an interface zone ("fe80::1%eth0").
std::optional<HostAddress> ParseNumericHost(const std::string& text);

// AF_INET and AF_INET6 stream sockets; WSAEAFNOSUPPORT for AF_INET6 where the
// system has no IPv6.
SOCKET socket(int af, int type, int protocol);
// The address calls take either family; length must cover the family's record.
int bind(SOCKET s, const sockaddr* address, int length);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* address, int* length);
int connect(SOCKET s, const sockaddr* address, int length);
int closesocket(SOCKET s);
int send(SOCKET s, const void* buffer, int length, int flags);
int recv(SOCKET s, void* buffer, int length, int flags);
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);
// FIONBIO (0 = blocking, non-zero = non-blocking) and FIONREAD (bytes waiting).
int ioctlsocket(SOCKET s, long command, std::uint32_t* argument);
int getsockopt(SOCKET s, int level, int name, void* value, int* length);
int setsockopt(SOCKET s, int level, int name, const void* value, int length);
int getsockname(SOCKET s, sockaddr* address, int* length);
int getpeername(SOCKET s, sockaddr* address, int* length);

// Puts s in non-blocking mode and posts msg to window for each readiness change:
// wParam = s, lParam = WSAMAKESELECTREPLY(FD_ code, error). An empty mask (or a null
// window) stops the notifications. Re-enabling follows WinSock: FD_READ once until
// the next recv; FD_WRITE once connected and again after a send that would block;
// FD_ACCEPT until the next accept; FD_CONNECT once with its error; FD_CLOSE once,
// only after the data that came before it has been read, carrying 10054 on a reset.
int WSAAsyncSelect(SOCKET s, HWND window, std::uint32_t msg, long events);

// Asynchronous lookups on a worker thread. On completion msg is posted to window
// with wParam = the request handle and lParam = WSAMAKEASYNCREPLY(size, error); the
// buffer then holds the record (read it with HostRecordAddresses / ServiceRecordPort).
// 0 on failure to start. A cancelled request's completion never arrives.
HANDLE WSAAsyncGetHostByName(HWND window, std::uint32_t msg, const char* name, char* buffer,
                             int bufferLength);
HANDLE WSAAsyncGetServByName(HWND window, std::uint32_t msg, const char* name,
                             const char* protocol, char* buffer, int bufferLength);
int WSACancelAsyncRequest(HANDLE request);
// The addresses of a host record in a lookup buffer, in the resolver's order (at most
// kMaxHostRecordAddresses; a host with more has the rest left out).
constexpr int kMaxHostRecordAddresses = 24;
std::vector<HostAddress> HostRecordAddresses(const char* buffer);
// The first IPv4 address (network order) of a host record; 0 when it has none.
std::uint32_t HostRecordAddress(const char* buffer);
// The port (network order) of a service record in a lookup buffer.
std::uint16_t ServiceRecordPort(const char* buffer);

// Dead-peer detection on a connection, a Portvale call: WinSock 1.1 has only
// SO_KEEPALIVE with the system's timing (two hours before the first probe). After
// `seconds` without traffic a probe goes out every interval; after `count` probes
// without an answer the connection fails with WSAETIMEDOUT. Sent data that stays
// unacknowledged for as long fails it the same way, so a peer that vanished is
// noticed within about twice `seconds` whether the connection was idle or busy.
struct KeepAliveTiming {
    int idleSeconds = 0;
    int intervalSeconds = 0;
    int count = 0;
    unsigned userTimeoutMs = 0;  // the whole budget: idle + interval * count
};
constexpr int kMaxKeepAliveSeconds = 32767;  // the kernel's limit for the idle time
// The timing for a keepalive of `seconds` (1..kMaxKeepAliveSeconds).
KeepAliveTiming KeepAliveTimingFor(int seconds);
// Turns dead-peer detection on with KeepAliveTimingFor(seconds), or off for 0 (the
// system's defaults return). 0, or SOCKET_ERROR with WSAGetLastError() set.
int SetKeepAlive(SOCKET s, int seconds);

// Blocking resolution. False with WSAGetLastError() set (11001 host not found, ...).
// gethostbyname gives the first IPv4 address; a host with IPv6 addresses only has
// none (11004).
bool gethostbyname(const char* name, std::uint32_t* addressNetworkOrder);
// Every address of a host, both families, in the order to try them: 0 or a WinSock
// error. A numeric host is its own single answer and asks no resolver.
int ResolveHostAddresses(const std::string& name, std::vector<HostAddress>* addresses);
bool getservbyname(const char* name, const char* protocol, std::uint16_t* portNetworkOrder);
// Dotted IPv4 text to a network-order address; INADDR_NONE when it is not one.
std::uint32_t inet_addr(const char* text);

// Host resolution behind every lookup of a name that is not numeric: returns 0 and
// the host's addresses in the order to try them, or a WinSock error. Tests install
// their own so they never depend on DNS; null restores the system resolver.
// Thread-safe.
using HostResolver =
    std::function<int(const std::string& name, std::vector<HostAddress>* addresses)>;
void SetHostResolver(HostResolver resolver);

}  // namespace portvale::ws
