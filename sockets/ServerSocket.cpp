#include "sockets/ServerSocket.h"

#include <sys/select.h>

#include <algorithm>
#include <exception>

#include "framework/Application.h"
#include "framework/Exceptions.h"
#include "platform/Dispatcher.h"

namespace portvale {

namespace {

// The connection thread's readiness waits.
constexpr long kServeWaitMicroseconds = 500;

// A failure on a worker thread is shown like any other, on the GUI thread (the central
// handler keeps silent exceptions silent).
void ReportOnGuiThread(std::exception_ptr error) {
    try {
        Dispatcher::Instance().Synchronize([error] { Application().HandleException(error); });
    } catch (...) {
        // Nothing is left to tell; the thread goes on or ends all the same.
    }
}

}  // namespace

// ---- TServerClientWinSocket ----

TServerClientWinSocket::TServerClientWinSocket(ws::SOCKET socket, TServerWinSocket* serverWinSocket)
    : TCustomWinSocket(socket), ownerServer_(serverWinSocket) {
    TServerWinSocket* server = serverWinSocket;
    const bool notified = server && server->NotifyMask() != 0;
    if (server) {
        SetAcceptedPeer(server->acceptingPeer_);
        server->RegisterClient(this);
        if (notified) {
            EventSink = [server](TCustomWinSocket* sender, TCustomWinSocket* s, TSocketEventKind kind) {
                server->RouteClientEvent(sender, s, kind);
            };
            ErrorSink = [server](TCustomWinSocket* sender, TCustomWinSocket* s, TErrorEvent errorEvent,
                                 int& errorCode) {
                server->RouteClientError(sender, s, errorEvent, errorCode);
            };
        }
    }
    try {
        if (notified) ApplyNotifyMask();
        if (IsConnected()) NotifyEvent(this, skConnect);
    } catch (...) {
        // The base part is torn down by its own destructor; the registration is ours.
        if (server) server->UnregisterClient(this);
        throw;
    }
}

TServerClientWinSocket::~TServerClientWinSocket() {
    if (ownerServer_) ownerServer_->UnregisterClient(this);
}

// ---- TServerWinSocket ----

TServerWinSocket::TServerWinSocket() : TCustomWinSocket(ws::INVALID_SOCKET) {
    SetNotifyMaskField(kListenNotifyMask);
}

TServerWinSocket::~TServerWinSocket() {
    EventSink.Clear();
    try {
        // Our own Teardown, not the base's: it also stops the threads and destroys the
        // connections, whatever state the listening descriptor is in.
        TServerWinSocket::Teardown(SocketDesc());
    } catch (...) {
        Application().HandleException(std::current_exception());
    }
    DestroyQuietly();
}

void TServerWinSocket::Listen(const std::string& host, const std::string& address,
                              const std::string& service, std::uint16_t port, int queueSize) {
    OpenListener(host, address, service, port, queueSize, serverType_ == stThreadBlocking);
    if (IsConnected() && serverType_ == stThreadBlocking) {
        acceptThread_ = std::make_unique<TServerAcceptThread>(this, SocketDesc());
        acceptThread_->Resume();
    }
}

void TServerWinSocket::SetServerType(TServerType value) {
    if (value == serverType_) return;
    if (IsConnected()) throw ESocketError(sCantChangeWhileActive);
    serverType_ = value;
    SetNotifyMask(value == stThreadBlocking ? kBlockingNotifyMask : kListenNotifyMask);
}

void TServerWinSocket::SetThreadCacheSize(std::int32_t value) {
    if (value == threadCacheSize_) return;
    const std::int32_t keep = std::min(threadCacheSize_, value);
    threadCacheSize_ = value;
    std::lock_guard guard(clientListLock_);
    for (std::size_t i = 0; i < threads_.size(); ++i)
        threads_[i]->SetKeepInCache(static_cast<std::int32_t>(i) < keep);
}

TServerClientWinSocket* TServerWinSocket::ConnectionAt(int index) const {
    if (index < 0 || index >= static_cast<int>(connections_.size())) throw EListError(index);
    return connections_[static_cast<std::size_t>(index)];
}

int TServerWinSocket::ActiveConnections() const {
    std::lock_guard guard(clientListLock_);
    return static_cast<int>(connections_.size());
}

int TServerWinSocket::ActiveThreads() const {
    std::lock_guard guard(clientListLock_);
    return static_cast<int>(std::count_if(threads_.begin(), threads_.end(), [](const auto* t) {
        return t->ClientSocket() != nullptr;
    }));
}

void TServerWinSocket::RegisterClient(TServerClientWinSocket* clientSocket) {
    std::lock_guard guard(clientListLock_);
    if (std::find(connections_.begin(), connections_.end(), clientSocket) == connections_.end())
        connections_.push_back(clientSocket);
}

void TServerWinSocket::UnregisterClient(TServerClientWinSocket* clientSocket) {
    std::lock_guard guard(clientListLock_);
    connections_.erase(std::remove(connections_.begin(), connections_.end(), clientSocket),
                       connections_.end());
}

bool TServerWinSocket::IsRegistered(const TCustomWinSocket* socket) const {
    std::lock_guard guard(clientListLock_);
    return std::find(connections_.begin(), connections_.end(), socket) != connections_.end();
}

void TServerWinSocket::AddThread(TServerClientThread* thread) {
    std::lock_guard guard(clientListLock_);
    if (std::find(threads_.begin(), threads_.end(), thread) == threads_.end())
        threads_.push_back(thread);
    if (static_cast<std::int32_t>(threads_.size()) <= threadCacheSize_) thread->SetKeepInCache(true);
}

void TServerWinSocket::RemoveThread(TServerClientThread* thread) {
    std::lock_guard guard(clientListLock_);
    threads_.erase(std::remove(threads_.begin(), threads_.end(), thread), threads_.end());
}

void TServerWinSocket::AcceptReady(ws::SOCKET socket) {
    int openType = 0;
    int length = static_cast<int>(sizeof(openType));
    if (ws::getsockopt(ws::INVALID_SOCKET, SOL_SOCKET, ws::SO_OPENTYPE, &openType, &length) != 0)
        return;
    struct RestoreOpenType {
        int value;
        ~RestoreOpenType() {
            ws::setsockopt(ws::INVALID_SOCKET, SOL_SOCKET, ws::SO_OPENTYPE, &value,
                           static_cast<int>(sizeof(value)));
        }
    } restore{openType};
    const bool threadBlocking = serverType_ == stThreadBlocking;
    if (threadBlocking) {
        const int synchronous = ws::SO_SYNCHRONOUS_NONALERT;
        ws::setsockopt(ws::INVALID_SOCKET, SOL_SOCKET, ws::SO_OPENTYPE, &synchronous,
                       static_cast<int>(sizeof(synchronous)));
    }
    ws::SocketAddress peer{};
    int peerLength = static_cast<int>(sizeof(peer));
    const ws::SOCKET accepted = ws::accept(socket, &peer.any, &peerLength);
    if (accepted == ws::INVALID_SOCKET) return;
    if (OnAdmit && !OnAdmit(ws::AddressText(peer), ws::AddressPort(peer))) {
        ws::closesocket(accepted);
        return;
    }

    const auto life = LifeToken();
    acceptingPeer_ = peer;
    TServerClientWinSocket* clientSocket = MakeClientSocket(accepted);
    if (life->alive) acceptingPeer_ = ws::SocketAddress{};
    // OnClientConnect ran inside the construction; it may have stopped the server,
    // which destroys the connection with it.
    if (!life->alive || !IsRegistered(clientSocket)) return;
    if (EventSink) EventSink(this, clientSocket, skAccept);
    if (!life->alive || !IsRegistered(clientSocket)) return;
    if (threadBlocking) {
        clientSocket->SetNotifyMask(kBlockingNotifyMask);
        AssignThread(clientSocket);
    }
}

TServerClientWinSocket* TServerWinSocket::MakeClientSocket(ws::SOCKET socket) {
    TServerClientWinSocket* clientSocket = nullptr;
    if (OnGetSocket) OnGetSocket(this, socket, clientSocket);
    if (!clientSocket) clientSocket = new TServerClientWinSocket(socket, this);
    return clientSocket;
}

void TServerWinSocket::Teardown(ws::SOCKET socket) {
    const auto life = LifeToken();
    std::lock_guard guard(life->lock);
    const std::int32_t cacheSize = threadCacheSize_;
    SetThreadCacheSize(0);
    struct RestoreCacheSize {
        TServerWinSocket* server;
        std::shared_ptr<Life> life;
        std::int32_t value;
        ~RestoreCacheSize() {
            if (life->alive) server->SetThreadCacheSize(value);
        }
    } restore{this, life, cacheSize};

    for (;;) {
        TServerClientThread* thread = nullptr;
        {
            std::lock_guard listGuard(clientListLock_);
            if (threads_.empty()) break;
            thread = threads_.back();
            threads_.pop_back();
            // Under the list lock, so the thread has not yet decided to free itself.
            thread->FreeOnTerminate = false;
            thread->Stop();
            TServerClientWinSocket* served = thread->ClientSocket();
            if (served && served->IsConnected()) served->CloseConnection();
        }
        thread->WaitFor();
        delete thread;
    }

    for (;;) {
        TServerClientWinSocket* last = nullptr;
        {
            std::lock_guard listGuard(clientListLock_);
            if (connections_.empty()) break;
            last = connections_.back();
        }
        delete last;  // it leaves the list in its destructor, without a disconnect event
    }

    if (acceptThread_) acceptThread_->Terminate();
    TCustomWinSocket::Teardown(socket);
    if (!life->alive) return;
    acceptThread_.reset();
}

void TServerWinSocket::AssignThread(TServerClientWinSocket* clientSocket) {
    TServerClientThread* thread = nullptr;
    {
        std::lock_guard guard(clientListLock_);
        for (TServerClientThread* candidate : threads_) {
            if (candidate->ClientSocket() == nullptr && !candidate->stopping_) {
                thread = candidate;
                break;
            }
        }
        if (thread) {
            thread->ReActivate(clientSocket);
            return;
        }
    }
    if (OnGetThread) OnGetThread(this, clientSocket, thread);
    if (!thread) NewClientThread(clientSocket);
}

TServerClientThread* TServerWinSocket::NewClientThread(TServerClientWinSocket* clientSocket) {
    auto* thread = new TServerClientThread(clientSocket);
    thread->Resume();
    return thread;
}

void TServerWinSocket::RouteClientEvent(TObject*, TCustomWinSocket* socket, TSocketEventKind kind) {
    switch (kind) {
        case skConnect: FireClientConnect(socket); break;
        case skDisconnect: FireClientDisconnect(socket); break;
        case skRead: FireClientRead(socket); break;
        case skWrite: FireClientWrite(socket); break;
        default: break;
    }
}

void TServerWinSocket::RouteClientError(TObject*, TCustomWinSocket* socket, TErrorEvent errorEvent,
                                        int& errorCode) {
    FireClientError(socket, errorEvent, errorCode);
}

void TServerWinSocket::FireThreadStart(TServerClientThread* thread) { OnThreadStart(this, thread); }

void TServerWinSocket::FireThreadEnd(TServerClientThread* thread) { OnThreadEnd(this, thread); }

void TServerWinSocket::FireClientConnect(TCustomWinSocket* socket) { OnClientConnect(this, socket); }

void TServerWinSocket::FireClientRead(TCustomWinSocket* socket) { OnClientRead(this, socket); }

void TServerWinSocket::FireClientWrite(TCustomWinSocket* socket) { OnClientWrite(this, socket); }

void TServerWinSocket::FireClientDisconnect(TCustomWinSocket* socket) {
    OnClientDisconnect(this, socket);
    // The handler may have stopped the server, which destroyed the connection already.
    if (serverType_ == stNonBlocking && IsRegistered(socket)) socket->ScheduleRelease();
}

void TServerWinSocket::FireClientError(TCustomWinSocket* socket, TErrorEvent errorEvent,
                                       int& errorCode) {
    OnClientError(this, socket, errorEvent, errorCode);
}

// ---- TServerAcceptThread ----

TServerAcceptThread::TServerAcceptThread(TServerWinSocket* serverSocket, ws::SOCKET listeningSocket)
    : TThread(true), serverSocket_(serverSocket), listeningSocket_(listeningSocket) {}

TServerAcceptThread::~TServerAcceptThread() {
    Terminate();
    WaitFor();
}

void TServerAcceptThread::Execute() {
    // accept blocks here; closing the listening socket ends the wait.
    while (!Terminated()) {
        try {
            serverSocket_->AcceptReady(listeningSocket_);
        } catch (...) {
            ReportOnGuiThread(std::current_exception());
        }
    }
}

// ---- TServerClientThread ----

TServerClientThread::TServerClientThread(TServerClientWinSocket* clientSocket) : TThread(true) {
    FreeOnTerminate = true;
    SetPriority(TThreadPriority::tpHigher);
    if (clientSocket) ReActivate(clientSocket);
}

TServerClientThread::~TServerClientThread() {
    Stop();
    WaitFor();
}

void TServerClientThread::Stop() {
    Terminate();
    wakeUp_.Set();
}

void TServerClientThread::ReActivate(TServerClientWinSocket* clientSocket) {
    TServerWinSocket* server = clientSocket->OwnerServer();
    if (!server) return;
    std::lock_guard guard(server->ClientListLock());
    serverSocket_ = server;
    clientSocket_ = clientSocket;
    server->AddThread(this);
    clientSocket->EventSink = [this, server](TCustomWinSocket*, TCustomWinSocket* s,
                                             TSocketEventKind kind) {
        server->RouteClientEvent(this, s, kind);
    };
    clientSocket->ErrorSink = [this, server](TCustomWinSocket*, TCustomWinSocket* s,
                                             TErrorEvent errorEvent, int& errorCode) {
        server->RouteClientError(this, s, errorEvent, errorCode);
    };
    wakeUp_.Set();
}

bool TServerClientThread::ReleaseClient(bool ending) {
    if (!serverSocket_) return false;
    TServerClientWinSocket* finished = nullptr;
    bool keepGoing = false;
    {
        // Decided under the list lock, so a thread about to end is never handed a
        // new connection.
        std::lock_guard guard(serverSocket_->ClientListLock());
        finished = clientSocket_;
        clientSocket_ = nullptr;
        keepGoing = !ending && !Terminated() && keepInCache_;
        if (!keepGoing) stopping_ = true;
    }
    delete finished;
    return keepGoing;
}

void TServerClientThread::Execute() {
    TServerWinSocket* server = serverSocket_;
    try {
        if (server) server->FireThreadStart(this);
        for (;;) {
            WaitForSingleObject(wakeUp_, INFINITE);
            if (!Terminated()) ClientExecute();
            if (!ReleaseClient(false)) break;
        }
    } catch (...) {
        keepInCache_ = false;
        ReportOnGuiThread(std::current_exception());
        try {
            ReleaseClient(true);
        } catch (...) {
            ReportOnGuiThread(std::current_exception());
        }
    }
    try {
        if (server) server->FireThreadEnd(this);
    } catch (...) {
        ReportOnGuiThread(std::current_exception());
    }
    if (server) server->RemoveThread(this);
}

void TServerClientThread::ClientExecute() {
    TServerClientWinSocket* client = nullptr;
    TServerWinSocket* server = nullptr;
    if (serverSocket_) {
        std::lock_guard guard(serverSocket_->ClientListLock());
        client = clientSocket_;
        server = serverSocket_;
    }
    if (!client || !server) return;
    const ws::SOCKET descriptor = client->SocketDesc();
    while (!Terminated() && client->IsConnected()) {
        fd_set descriptors;
        FD_ZERO(&descriptors);
        FD_SET(descriptor, &descriptors);
        timeval readWait{0, kServeWaitMicroseconds};
        if (ws::select(descriptor + 1, &descriptors, nullptr, nullptr, &readWait) > 0 &&
            FD_ISSET(descriptor, &descriptors)) {
            if (client->BytesAvailable() == 0) return;  // readable with nothing: peer closed
            Synchronize([server, client] { server->NotifyEvent(client, skRead); });
        }
        // The same set as the read wait left it: the descriptor is only in it when it
        // was readable.
        timeval writeWait{0, kServeWaitMicroseconds};
        if (ws::select(descriptor + 1, nullptr, &descriptors, nullptr, &writeWait) > 0)
            Synchronize([server, client] { server->NotifyEvent(client, skWrite); });
    }
}

// ---- components ----

TCustomServerSocket::TCustomServerSocket(TComponent* owner)
    : TCustomSocket(owner),
      socket_(std::make_unique<TServerWinSocket>()),
      OnGetSocket(socket_->OnGetSocket),
      OnGetThread(socket_->OnGetThread),
      OnThreadStart(socket_->OnThreadStart),
      OnThreadEnd(socket_->OnThreadEnd),
      OnClientConnect(socket_->OnClientConnect),
      OnClientDisconnect(socket_->OnClientDisconnect),
      OnClientRead(socket_->OnClientRead),
      OnClientWrite(socket_->OnClientWrite),
      OnClientError(socket_->OnClientError) {
    InstallSinks(*socket_);
}

TCustomServerSocket::~TCustomServerSocket() {
    // Closes every connection without a disconnect event reaching the handlers.
    socket_.reset();
}

void TCustomServerSocket::ApplyActive(bool value) {
    if (value == socket_->IsConnected() || Designing()) return;
    if (socket_->IsConnected()) {
        socket_->Teardown(socket_->SocketDesc());
        return;
    }
    socket_->Listen(Host(), Address(), Service(), static_cast<std::uint16_t>(Port() & 0xFFFF), 5);
}

TServerSocket::TServerSocket(TComponent* owner) : TCustomServerSocket(owner) {
    SetThreadCacheSize(10);
}

}  // namespace portvale
