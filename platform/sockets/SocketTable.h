#pragma once
// Internal to platform/sockets: what we know about each socket beyond its descriptor
// (its connection state, blocking mode and WSAAsyncSelect registration), and the
// readiness engine that turns epoll readiness into WinSock's posted notifications.
//
// The calls in SocketCalls.cpp do the system work and then tell the table what
// happened (NoteRecv, NoteSend, ...), because in WinSock it is the calls that
// re-enable notifications.

#include <cstdint>

#include "platform/Dispatcher.h"

namespace portvale::ws::detail {

enum class SocketState { Idle, Connecting, Connected, Listening, Failed };

// A socket we created (or accepted): start tracking it.
void Track(int fd, SocketState state);
// Forget fd before it is closed: stops its notifications (on the GUI thread) and
// drops those still queued. False when fd was never a socket of ours and is not a
// socket at all.
bool Forget(int fd);

// Blocking mode. SetNonBlocking fails with WSAEINVAL when asked to block while
// notifications are selected, as WinSock does. Returns 0 or a WinSock error.
int SetNonBlocking(int fd, bool nonBlocking);
bool IsNonBlocking(int fd);

// connect() issued: result is 0 or the errno it failed with. Returns what the call
// should report (0, or a WinSock error; would-block for a pending connect). Errors
// that WinSock delivers asynchronously are turned into would-block plus FD_CONNECT
// when FD_CONNECT is selected.
int NoteConnect(int fd, int error);
void NoteListen(int fd);
void NoteAccept(int listener);
// recv() returned: error is 0 or its errno.
void NoteRecv(int fd, int error);
// send() returned: error is 0 or its errno; partial is true when fewer bytes were
// taken than offered.
void NoteSend(int fd, int error, bool partial);

// WSAAsyncSelect. Returns 0 or a WinSock error.
int Select(int fd, HWND window, std::uint32_t msg, long events);

}  // namespace portvale::ws::detail
