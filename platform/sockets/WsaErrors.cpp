#include "platform/sockets/WsaErrors.h"

#include <cerrno>
#include <string>

#include "platform/sockets/WinSock.h"

namespace portvale::ws {

namespace {

// WinSock keeps the last error per thread; so do we, with the errno behind it.
thread_local int tLastError = 0;
thread_local int tLastSystemError = 0;

}  // namespace

namespace detail {

int WsaFromErrno(int error) {
    switch (error) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        // A descriptor that is not open is, for WinSock, not a socket.
        case EBADF:
        case ENOTSOCK: return WSAENOTSOCK;
        case EACCES:
        case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE:
        case ENFILE: return WSAEMFILE;
        // EINPROGRESS comes only from a non-blocking connect, which WinSock reports
        // as would-block and finishes with FD_CONNECT.
        case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
#endif
        case EINPROGRESS: return WSAEWOULDBLOCK;
        case EALREADY: return WSAEALREADY;
        case EDESTADDRREQ: return WSAEDESTADDRREQ;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return WSAEPROTOTYPE;
        case ENOPROTOOPT: return WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;
        case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        // Linux reports a send on a connection the peer has reset as EPIPE; WinSock
        // calls that a reset.
        case ECONNRESET:
        case EPIPE: return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETOOMANYREFS: return WSAETOOMANYREFS;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case ELOOP: return WSAELOOP;
        case ENAMETOOLONG: return WSAENAMETOOLONG;
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        default: return WSAEINVAL;
    }
}

int Fail(int error) {
    tLastError = error;
    tLastSystemError = 0;
    return SOCKET_ERROR;
}

int FailFromErrno() {
    const int error = errno;
    tLastError = WsaFromErrno(error);
    tLastSystemError = error;
    return SOCKET_ERROR;
}

int LastSystemError() { return tLastSystemError; }

}  // namespace detail

int WSAGetLastError() { return tLastError; }

void WSASetLastError(int error) {
    tLastError = error;
    tLastSystemError = 0;
}

std::string WSAErrorText(int error) {
    switch (error) {
        case 0: return "No error";
        case WSAEINTR: return "Interrupted function call";
        case WSAEBADF: return "Bad file descriptor";
        case WSAEACCES: return "Permission denied";
        case WSAEFAULT: return "Bad address";
        case WSAEINVAL: return "Invalid argument";
        case WSAEMFILE: return "Too many open files";
        case WSAEWOULDBLOCK: return "Resource temporarily unavailable";
        case WSAEINPROGRESS: return "Operation now in progress";
        case WSAEALREADY: return "Operation already in progress";
        case WSAENOTSOCK: return "Socket operation on nonsocket";
        case WSAEDESTADDRREQ: return "Destination address required";
        case WSAEMSGSIZE: return "Message too long";
        case WSAEPROTOTYPE: return "Protocol wrong type for socket";
        case WSAENOPROTOOPT: return "Bad protocol option";
        case WSAEPROTONOSUPPORT: return "Protocol not supported";
        case WSAESOCKTNOSUPPORT: return "Socket type not supported";
        case WSAEOPNOTSUPP: return "Operation not supported";
        case WSAEPFNOSUPPORT: return "Protocol family not supported";
        case WSAEAFNOSUPPORT: return "Address family not supported by protocol family";
        case WSAEADDRINUSE: return "Address already in use";
        case WSAEADDRNOTAVAIL: return "Cannot assign requested address";
        case WSAENETDOWN: return "Network is down";
        case WSAENETUNREACH: return "Network is unreachable";
        case WSAENETRESET: return "Network dropped connection on reset";
        case WSAECONNABORTED: return "Software caused connection abort";
        case WSAECONNRESET: return "Connection reset by peer";
        case WSAENOBUFS: return "No buffer space available";
        case WSAEISCONN: return "Socket is already connected";
        case WSAENOTCONN: return "Socket is not connected";
        case WSAESHUTDOWN: return "Cannot send after socket shutdown";
        case WSAETOOMANYREFS: return "Too many references";
        case WSAETIMEDOUT: return "Connection timed out";
        case WSAECONNREFUSED: return "Connection refused";
        case WSAELOOP: return "Cannot translate name";
        case WSAENAMETOOLONG: return "Name too long";
        case WSAEHOSTDOWN: return "Host is down";
        case WSAEHOSTUNREACH: return "No route to host";
        case WSASYSNOTREADY: return "Network subsystem is unavailable";
        case WSAVERNOTSUPPORTED: return "Winsock version out of range";
        case WSANOTINITIALISED: return "Successful WSAStartup not yet performed";
        case WSAHOST_NOT_FOUND: return "Host not found";
        case WSATRY_AGAIN: return "Nonauthoritative host not found";
        case WSANO_RECOVERY: return "This is a nonrecoverable error";
        case WSANO_DATA: return "Valid name, no data record of requested type";
        default: return "Unknown socket error " + std::to_string(error);
    }
}

}  // namespace portvale::ws
