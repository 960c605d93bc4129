#include "platform/sockets/SocketTable.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "platform/sockets/NotifyRelay.h"
#include "platform/sockets/WinSock.h"
#include "platform/sockets/WsaErrors.h"

namespace portvale::ws::detail {

namespace {

constexpr long kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// How WinSock's re-enabling rules are kept: `armed` holds the codes that may be
// posted now. Posting a code disarms it; the call WinSock names as its re-enabling
// function (recv, send that would block, accept) arms it again. The epoll watch asks
// only for what an armed code needs, so a socket whose reader has not yet called
// recv is not looked at at all, and level-triggered epoll never spins on it.
struct Record {
    int fd = -1;
    std::uint64_t generation = 0;
    SocketState state = SocketState::Idle;
    bool nonBlocking = false;
    int pendingConnectError = 0;  // errno of a connect that failed at once
    int closeError = 0;           // WinSock error for FD_CLOSE, once the connection broke
    bool ended = false;           // no more data will come: FD_CLOSE is due or done

    HWND window = 0;
    std::uint32_t msg = 0;
    long mask = 0;
    long armed = 0;
    Dispatcher::WatchId watch = 0;
    std::uint32_t watched = 0;

    bool Registered() const { return window != 0 && mask != 0; }
    bool Selected(long code) const { return (mask & code) != 0; }
    bool Armed(long code) const { return (armed & code) != 0; }
};

struct Table {
    std::mutex mutex;
    std::unordered_map<int, std::shared_ptr<Record>> records;
    std::uint64_t nextGeneration = 1;
};

// Never destroyed: another thread may still call in while the process ends.
Table& State() {
    static Table* table = new Table();
    return *table;
}

bool IsGui() { return Dispatcher::Instance().IsGuiThread(); }

bool IsStreamSocket(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

bool FdNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

bool SetFdNonBlocking(int fd, bool nonBlocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

std::shared_ptr<Record> NewRecordLocked(Table& table, int fd, SocketState state) {
    auto record = std::make_shared<Record>();
    record->fd = fd;
    record->generation = table.nextGeneration++;
    record->state = state;
    record->nonBlocking = FdNonBlocking(fd);
    table.records[fd] = record;
    return record;
}

// A stream socket we did not create (a caller's own descriptor) is taken on with
// the state the kernel reports.
std::shared_ptr<Record> FindLocked(Table& table, int fd, bool adopt) {
    auto it = table.records.find(fd);
    if (it != table.records.end()) return it->second;
    if (!adopt || fd < 0 || !IsStreamSocket(fd)) return nullptr;
    SocketState state = SocketState::Idle;
    int listening = 0;
    socklen_t length = sizeof listening;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening)
        state = SocketState::Listening;
    else if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0)
        state = SocketState::Connected;
    return NewRecordLocked(table, fd, state);
}

bool IsConnectionLoss(int error) {
    switch (error) {
        case ECONNRESET:
        case EPIPE:
        case ECONNABORTED:
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ENETRESET: return true;
        default: return false;
    }
}

// Errors a non-blocking connect reports later on WinSock (as FD_CONNECT's error)
// but Linux may already return from connect() itself, above all on loopback.
bool IsDeferredConnectError(int error) {
    return error == ECONNREFUSED || IsConnectionLoss(error);
}

std::uint32_t DesiredEvents(const Record& r) {
    if (!r.Registered()) return 0;
    switch (r.state) {
        case SocketState::Listening:
            return r.Selected(FD_ACCEPT) && r.Armed(FD_ACCEPT) ? std::uint32_t{EPOLLIN} : 0u;
        case SocketState::Connecting:
            // Watched whatever the mask, so that reads and writes start once connected.
            return EPOLLOUT;
        case SocketState::Connected: {
            std::uint32_t events = 0;
            if (r.Selected(FD_WRITE) && r.Armed(FD_WRITE)) events |= EPOLLOUT;
            if (r.ended) return events;
            if (r.Selected(FD_READ)) {
                // While an FD_READ is outstanding neither data nor the end is looked
                // at: the end is noticed after the reader's recv, behind the data.
                if (r.Armed(FD_READ)) events |= EPOLLIN;
            } else if (r.Selected(FD_CLOSE) && r.Armed(FD_CLOSE)) {
                // Unread data would keep EPOLLIN up for ever; the peer's shutdown is
                // what matters here.
                events |= EPOLLRDHUP;
            }
            return events;
        }
        case SocketState::Idle:
        case SocketState::Failed: return 0;
    }
    return 0;
}

void OnReady(int fd, std::uint64_t generation, std::uint32_t events);

// GUI thread, table locked. The watch exists only while something is wanted: epoll
// reports EPOLLERR and EPOLLHUP even when nothing was asked for, so an empty
// interest set would still wake us for ever on a broken connection.
bool UpdateWatch(Record& r) {
    const std::uint32_t wanted = DesiredEvents(r);
    if (wanted == 0 && r.watch == 0) return true;
    Dispatcher& dispatcher = Dispatcher::Instance();
    try {
        if (wanted == 0) {
            if (r.watch != 0) dispatcher.Unwatch(r.watch);
            r.watch = 0;
            r.watched = 0;
            return true;
        }
        if (r.watch == 0) {
            const int fd = r.fd;
            const std::uint64_t generation = r.generation;
            r.watch = dispatcher.WatchFd(fd, wanted, [fd, generation](std::uint32_t ready) {
                OnReady(fd, generation, ready);
            });
        } else if (wanted != r.watched) {
            dispatcher.ModifyWatch(r.watch, wanted);
        }
        r.watched = wanted;
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// Any thread, table locked: bring the watch up to date now or, off the GUI thread,
// as soon as the GUI thread gets to it.
void Refresh(Record& r) {
    if (r.watch == 0 && !r.Registered()) return;
    if (IsGui()) {
        UpdateWatch(r);
        return;
    }
    const int fd = r.fd;
    const std::uint64_t generation = r.generation;
    RelayPost([fd, generation] {
        Table& table = State();
        std::lock_guard lock(table.mutex);
        auto record = FindLocked(table, fd, false);
        if (record && record->generation == generation) UpdateWatch(*record);
    });
}

bool StillWanted(int fd, std::uint64_t generation, long code) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, false);
    return record && record->generation == generation && record->Registered() &&
           record->Selected(code);
}

// Table locked. The check at delivery drops the message when the socket was closed
// (or its descriptor number reused) or the code deselected in the meantime.
void Notify(Record& r, long code, int error) {
    r.armed &= ~code;
    if (!r.Selected(code)) return;
    const int fd = r.fd;
    const std::uint64_t generation = r.generation;
    const HWND window = r.window;
    const std::uint32_t msg = r.msg;
    const LPARAM lParam = WSAMAKESELECTREPLY(code, error);
    RelayPost([=] {
        if (StillWanted(fd, generation, code))
            Dispatcher::Instance().SendMessage(window, msg, static_cast<WPARAM>(fd), lParam);
    });
}

enum class Peeked { Data, Nothing, End, Error };

Peeked Peek(int fd, int* error) {
    char byte;
    for (;;) {
        const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return Peeked::Data;
        if (n == 0) return Peeked::End;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Peeked::Nothing;
        *error = errno;
        return Peeked::Error;
    }
}

int PendingSocketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
    return error;
}

void EndConnection(Record& r) {
    r.ended = true;
    r.armed &= ~FD_READ;
    if (r.Armed(FD_CLOSE)) Notify(r, FD_CLOSE, r.closeError);
}

void OnConnectedReady(Record& r, std::uint32_t events) {
    constexpr std::uint32_t kBroken = EPOLLERR | EPOLLHUP;
    // A broken connection is reported writable so that the next send shows the error.
    if ((events & (EPOLLOUT | kBroken)) && r.Armed(FD_WRITE) && r.Selected(FD_WRITE))
        Notify(r, FD_WRITE, 0);
    if (r.ended) return;
    if (r.Selected(FD_READ)) {
        if (!r.Armed(FD_READ) || !(events & (EPOLLIN | EPOLLRDHUP | kBroken))) return;
        int error = 0;
        switch (Peek(r.fd, &error)) {
            case Peeked::Data: Notify(r, FD_READ, 0); return;
            case Peeked::Nothing: return;
            case Peeked::End: break;
            case Peeked::Error:
                if (r.closeError == 0) r.closeError = WsaFromErrno(error);
                break;
        }
        EndConnection(r);
    } else if (r.Selected(FD_CLOSE) && r.Armed(FD_CLOSE) && (events & (EPOLLRDHUP | kBroken))) {
        if (r.closeError == 0) r.closeError = WsaFromErrno(PendingSocketError(r.fd));
        EndConnection(r);
    }
}

void OnConnectingReady(Record& r, std::uint32_t events) {
    int error = r.pendingConnectError;
    if (error == 0) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        error = PendingSocketError(r.fd);
    }
    r.pendingConnectError = 0;
    if (error != 0) {
        r.state = SocketState::Failed;
        Notify(r, FD_CONNECT, WsaFromErrno(error));
        return;
    }
    r.state = SocketState::Connected;
    Notify(r, FD_CONNECT, 0);
    OnConnectedReady(r, events);
}

void OnReady(int fd, std::uint64_t generation, std::uint32_t events) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, false);
    if (!record || record->generation != generation) return;
    Record& r = *record;
    switch (r.state) {
        case SocketState::Listening:
            if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) && r.Armed(FD_ACCEPT))
                Notify(r, FD_ACCEPT, 0);
            break;
        case SocketState::Connecting: OnConnectingReady(r, events); break;
        case SocketState::Connected: OnConnectedReady(r, events); break;
        case SocketState::Idle:
        case SocketState::Failed: break;
    }
    UpdateWatch(r);
}

// Table locked, on the GUI thread whenever the record has a watch.
int SelectLocked(Table& table, int fd, HWND window, std::uint32_t msg, long events) {
    auto record = FindLocked(table, fd, true);
    if (!record) return WSAENOTSOCK;
    Record& r = *record;
    const bool wasRegistered = r.Registered();
    if (window == 0 || events == 0) {
        r.window = 0;
        r.msg = 0;
        r.mask = 0;
        r.armed = 0;
        UpdateWatch(r);
        if (wasRegistered) RelayRelease();
        return 0;
    }
    if (!SetFdNonBlocking(fd, true)) return WsaFromErrno(errno);
    r.nonBlocking = true;
    r.window = window;
    r.msg = msg;
    r.mask = events;
    // A new selection looks at the socket afresh, as WinSock does: whatever holds
    // now (data waiting, room to write, a connection ended) is reported again.
    r.armed = kAllEvents;
    r.ended = false;
    if (!wasRegistered) RelayAddUser();
    if (!UpdateWatch(r)) {
        r.window = 0;
        r.mask = 0;
        r.armed = 0;
        UpdateWatch(r);
        RelayRelease();
        return WSAENOBUFS;
    }
    return 0;
}

}  // namespace

void Track(int fd, SocketState state) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    NewRecordLocked(table, fd, state);
}

bool Forget(int fd) {
    Table& table = State();
    bool needsGui = false;
    {
        std::lock_guard lock(table.mutex);
        auto record = FindLocked(table, fd, false);
        if (!record) return IsStreamSocket(fd);
        needsGui = record->watch != 0 && !IsGui();
    }
    const auto forget = [&table, fd] {
        std::lock_guard lock(table.mutex);
        auto it = table.records.find(fd);
        if (it == table.records.end()) return;
        Record& r = *it->second;
        // The dispatcher must let go of the descriptor before it is closed.
        if (r.watch != 0) Dispatcher::Instance().Unwatch(r.watch);
        r.watch = 0;
        if (r.Registered()) RelayRelease();
        table.records.erase(it);
    };
    if (needsGui)
        Dispatcher::Instance().Synchronize(forget);
    else
        forget();
    return true;
}

int SetNonBlocking(int fd, bool nonBlocking) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, true);
    if (!record) return WSAENOTSOCK;
    if (!nonBlocking && record->Registered()) return WSAEINVAL;
    if (!SetFdNonBlocking(fd, nonBlocking)) return WsaFromErrno(errno);
    record->nonBlocking = nonBlocking;
    return 0;
}

bool IsNonBlocking(int fd) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, false);
    return record ? record->nonBlocking : FdNonBlocking(fd);
}

int NoteConnect(int fd, int error) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, true);
    if (!record) return WsaFromErrno(error);
    Record& r = *record;
    const bool notified = r.Registered();
    if (error == 0) {
        // Connected at once: with notifications selected, FD_CONNECT still follows.
        r.state = notified ? SocketState::Connecting : SocketState::Connected;
        r.pendingConnectError = 0;
        Refresh(r);
        return 0;
    }
    if (error == EINPROGRESS ||
        (notified && r.Selected(FD_CONNECT) && IsDeferredConnectError(error))) {
        r.state = SocketState::Connecting;
        r.pendingConnectError = error == EINPROGRESS ? 0 : error;
        r.armed |= FD_CONNECT | FD_WRITE;
        Refresh(r);
        return WSAEWOULDBLOCK;
    }
    if (error != EALREADY && error != EISCONN) r.state = SocketState::Idle;
    return WsaFromErrno(error);
}

void NoteListen(int fd) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, true);
    if (!record) return;
    record->state = SocketState::Listening;
    Refresh(*record);
}

void NoteAccept(int listener) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, listener, false);
    if (!record) return;
    record->armed |= FD_ACCEPT;
    Refresh(*record);
}

void NoteRecv(int fd, int error) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, false);
    if (!record) return;
    record->armed |= FD_READ;
    if (IsConnectionLoss(error) && record->closeError == 0)
        record->closeError = WsaFromErrno(error);
    Refresh(*record);
}

void NoteSend(int fd, int error, bool partial) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    auto record = FindLocked(table, fd, false);
    if (!record) return;
    // Linux may take part of a block and then be full; WinSock would have refused the
    // rest with would-block, so the writer is owed an FD_WRITE either way.
    if (error == EAGAIN || error == EWOULDBLOCK || partial) record->armed |= FD_WRITE;
    if (IsConnectionLoss(error) && record->closeError == 0)
        record->closeError = WsaFromErrno(error);
    Refresh(*record);
}

int Select(int fd, HWND window, std::uint32_t msg, long events) {
    events &= kAllEvents;
    Table& table = State();
    if (!IsGui()) {
        bool needsGui = false;
        {
            std::lock_guard lock(table.mutex);
            auto record = FindLocked(table, fd, true);
            if (!record) return WSAENOTSOCK;
            needsGui = record->watch != 0 || (window != 0 && events != 0);
        }
        if (needsGui) {
            // Watches belong to the GUI thread; WinSock allows selecting from any.
            int result = 0;
            Dispatcher::Instance().Synchronize([&] {
                std::lock_guard lock(table.mutex);
                result = SelectLocked(table, fd, window, msg, events);
            });
            return result;
        }
    }
    std::lock_guard lock(table.mutex);
    return SelectLocked(table, fd, window, msg, events);
}

}  // namespace portvale::ws::detail
