#pragma once
// Internal to platform/sockets: the one place where a POSIX errno becomes a WinSock
// error number, and the helpers every call uses to fail with one.

namespace portvale::ws::detail {

// The WinSock number for an errno from a socket call. An errno WinSock has no
// counterpart for becomes WSAEINVAL; the raw value stays in LastSystemError().
int WsaFromErrno(int error);

// Records error (a WinSock number) as the calling thread's last error and returns
// SOCKET_ERROR, so a call can end with `return Fail(WSAEFAULT);`.
int Fail(int error);
// Fail with the mapping of errno (read now), keeping errno beside it.
int FailFromErrno();

// The errno behind the thread's last failure, 0 when it was not a system error.
int LastSystemError();

}  // namespace portvale::ws::detail
