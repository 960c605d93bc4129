#pragma once
// Internal to platform/sockets: a hidden window through which every socket
// notification and lookup completion travels on its way to the caller's window.
//
// Why a relay: a notification is decided when the descriptor turns ready, but it is
// handled later, in posting order with everything else on the GUI thread. By then
// the socket may be closed and, Linux handing out the lowest free descriptor, its
// number may already belong to a new socket; a lookup may have been cancelled after
// its completion was queued. Each relayed task therefore checks, at delivery, that
// what it reports is still wanted (the socket's generation, its mask, the request
// still pending) and only then calls the caller's window. Relayed tasks share the
// dispatcher's single FIFO with all other posted messages, so the order seen by the
// caller is the order in which the tasks were posted.
//
// The window exists only while someone may still receive through it (a socket with
// a WSAAsyncSelect registration or a pending lookup), so a program with no sockets
// open has no window of ours.

#include <functional>

namespace portvale::ws::detail {

// Queues task to run on the GUI thread, after everything posted before it. Any
// thread. The task runs only if the relay still has users when its turn comes.
void RelayPost(std::function<void()> task);

// Someone will receive through the relay; balanced by RelayRelease. When the last
// user leaves, the window goes and every task still queued is discarded.
void RelayAddUser();
void RelayRelease();

}  // namespace portvale::ws::detail
