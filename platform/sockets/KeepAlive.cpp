// Dead-peer detection through the Linux TCP options. Every failure leaves through
// the layer's one errno-to-WinSock sink.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "platform/sockets/WinSock.h"
#include "platform/sockets/WsaErrors.h"

namespace portvale::ws {

namespace {

// Four probes a quarter of the idle time apart: the probing takes as long as the
// idle wait, so the whole budget is about twice the idle time.
constexpr int kProbeCount = 4;

bool SetInt(SOCKET s, int level, int name, int value) {
    return ::setsockopt(s, level, name, &value, sizeof value) == 0;
}

}  // namespace

KeepAliveTiming KeepAliveTimingFor(int seconds) {
    KeepAliveTiming timing;
    timing.idleSeconds = seconds;
    timing.intervalSeconds = std::max(1, seconds / kProbeCount);
    timing.count = kProbeCount;
    timing.userTimeoutMs =
        static_cast<unsigned>(timing.idleSeconds + timing.intervalSeconds * timing.count) * 1000u;
    return timing;
}

int SetKeepAlive(SOCKET s, int seconds) {
    if (seconds < 0 || seconds > kMaxKeepAliveSeconds) return detail::Fail(WSAEINVAL);
    if (seconds == 0) {
        // A user timeout of 0 gives the system's retransmission limit back.
        if (!SetInt(s, SOL_SOCKET, SO_KEEPALIVE, 0) || !SetInt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, 0))
            return detail::FailFromErrno();
        return 0;
    }
    const KeepAliveTiming t = KeepAliveTimingFor(seconds);
    // Probes alone miss a peer that vanished while our data was in flight: probes are
    // sent only on an idle connection, and retransmissions go on for about fifteen
    // minutes. Nor do they notice a peer whose process froze while its kernel still
    // acknowledges: its receive window closes, and window probes are answered for
    // ever. TCP_USER_TIMEOUT bounds both (the closed window since Linux 5.12), and
    // while probing it takes the place of the probe count, so it gets the same budget.
    if (!SetInt(s, IPPROTO_TCP, TCP_KEEPIDLE, t.idleSeconds) ||
        !SetInt(s, IPPROTO_TCP, TCP_KEEPINTVL, t.intervalSeconds) ||
        !SetInt(s, IPPROTO_TCP, TCP_KEEPCNT, t.count) ||
        !SetInt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(t.userTimeoutMs)) ||
        !SetInt(s, SOL_SOCKET, SO_KEEPALIVE, 1))
        return detail::FailFromErrno();
    return 0;
}

}  // namespace portvale::ws
