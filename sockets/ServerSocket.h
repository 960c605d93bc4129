#pragma once
// The server side of the socket layer: the listening socket object with its list of
// accepted connections, the connection objects, the server socket component, and the
// thread-blocking mode's accept thread and connection threads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/Thread.h"
#include "platform/Event.h"
#include "sockets/ClientSocket.h"
#include "sockets/WinSocket.h"

namespace portvale {

enum TServerType : int { stNonBlocking = 0, stThreadBlocking = 1 };

class TServerWinSocket;
class TServerClientWinSocket;
class TServerClientThread;
class TServerAcceptThread;

using TGetSocketEvent = TBoundEvent<void(TObject* Sender, ws::SOCKET Socket,
                                         TServerClientWinSocket*& ClientSocket)>;
using TGetThreadEvent = TBoundEvent<void(TObject* Sender, TServerClientWinSocket* ClientSocket,
                                         TServerClientThread*& SocketThread)>;
using TThreadNotifyEvent = TBoundEvent<void(TObject* Sender, TServerClientThread* Thread)>;

// One accepted connection; registered with its listening object for its whole life.
class TServerClientWinSocket : public TCustomWinSocket {
public:
    TServerClientWinSocket(ws::SOCKET socket, TServerWinSocket* serverWinSocket);
    ~TServerClientWinSocket() override;

    TServerWinSocket* OwnerServer() const { return ownerServer_; }

private:
    TServerWinSocket* ownerServer_ = nullptr;
};

class TServerWinSocket : public TCustomWinSocket {
public:
    TServerWinSocket();
    ~TServerWinSocket() override;

    // The listening open; in thread-blocking mode it also starts the accept thread.
    void Listen(const std::string& host, const std::string& address, const std::string& service,
                std::uint16_t port, int queueSize);

    void AcceptReady(ws::SOCKET socket) override;
    void Teardown(ws::SOCKET socket) override;
    virtual TServerClientThread* NewClientThread(TServerClientWinSocket* clientSocket);

    TServerType ServerType() const { return serverType_; }
    void SetServerType(TServerType value);
    std::int32_t ThreadCacheSize() const { return threadCacheSize_; }
    void SetThreadCacheSize(std::int32_t value);

    // The connection at that index, oldest first; EListError when there is none.
    TServerClientWinSocket* ConnectionAt(int index) const;
    int ActiveConnections() const;
    int ActiveThreads() const;

    void RegisterClient(TServerClientWinSocket* clientSocket);
    void UnregisterClient(TServerClientWinSocket* clientSocket);
    // Installed on every connection in non-blocking mode (and forwarded to by the
    // connection threads in thread-blocking mode).
    void RouteClientEvent(TObject* sender, TCustomWinSocket* socket, TSocketEventKind kind);
    void RouteClientError(TObject* sender, TCustomWinSocket* socket, TErrorEvent errorEvent,
                          int& errorCode);

    virtual void FireThreadEnd(TServerClientThread* thread);
    virtual void FireThreadStart(TServerClientThread* thread);
    virtual TServerClientWinSocket* MakeClientSocket(ws::SOCKET socket);
    virtual void AssignThread(TServerClientWinSocket* clientSocket);
    virtual void FireClientRead(TCustomWinSocket* socket);
    virtual void FireClientWrite(TCustomWinSocket* socket);
    virtual void FireClientConnect(TCustomWinSocket* socket);
    virtual void FireClientDisconnect(TCustomWinSocket* socket);
    virtual void FireClientError(TCustomWinSocket* socket, TErrorEvent errorEvent, int& errorCode);

    TGetSocketEvent OnGetSocket;
    TGetThreadEvent OnGetThread;
    TThreadNotifyEvent OnThreadStart;
    TThreadNotifyEvent OnThreadEnd;
    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    TSocketNotifyEvent OnClientWrite;
    TSocketErrorEvent OnClientError;
    // Asked for each accepted connection before anything else sees it, with the
    // peer's address and port; false closes it at once, before a byte is read or
    // sent, and no event is raised for it.
    std::function<bool(const std::string& address, std::uint16_t port)> OnAdmit;

private:
    friend class TServerClientThread;
    friend class TServerClientWinSocket;

    // Connection threads enter and leave the list themselves.
    void AddThread(TServerClientThread* thread);
    void RemoveThread(TServerClientThread* thread);
    bool IsRegistered(const TCustomWinSocket* socket) const;
    std::recursive_mutex& ClientListLock() { return clientListLock_; }

    TServerType serverType_ = stNonBlocking;
    std::int32_t threadCacheSize_ = 0;
    std::vector<TServerClientWinSocket*> connections_;
    std::vector<TServerClientThread*> threads_;
    mutable std::recursive_mutex clientListLock_;
    std::unique_ptr<TServerAcceptThread> acceptThread_;
    // The peer of the connection being made, for its object to keep.
    ws::SocketAddress acceptingPeer_{};
};

// Accepts connections for a thread-blocking server, one at a time, until told to stop.
class TServerAcceptThread : public TThread {
public:
    TServerAcceptThread(TServerWinSocket* serverSocket, ws::SOCKET listeningSocket);
    ~TServerAcceptThread() override;

    TServerWinSocket* ServerSocket() const { return serverSocket_; }

protected:
    void Execute() override;

private:
    TServerWinSocket* serverSocket_;
    ws::SOCKET listeningSocket_;
};

// Serves one connection at a time in thread-blocking mode; kept for reuse while the
// server's thread cache has room for it.
class TServerClientThread : public TThread {
public:
    explicit TServerClientThread(TServerClientWinSocket* clientSocket);
    ~TServerClientThread() override;

    TServerClientWinSocket* ClientSocket() const { return clientSocket_; }
    TServerWinSocket* ServerSocket() const { return serverSocket_; }
    bool KeepInCache() const { return keepInCache_; }
    void SetKeepInCache(bool keep) { keepInCache_ = keep; }

    // Binds the thread to a connection and wakes it.
    void ReActivate(TServerClientWinSocket* clientSocket);

protected:
    void Execute() override;
    // Waits for the connection to become readable and reports reads and writes on the
    // GUI thread until the peer closes or the thread is told to stop.
    virtual void ClientExecute();

private:
    friend class TServerWinSocket;
    // Lets go of the served connection; false when the thread is to end.
    bool ReleaseClient(bool ending);
    void Stop();

    TServerClientWinSocket* clientSocket_ = nullptr;
    TServerWinSocket* serverSocket_ = nullptr;
    std::atomic<bool> keepInCache_{false};
    bool stopping_ = false;  // under the server's client list lock
    Event wakeUp_{false, false};
};

class TCustomServerSocket : public TCustomSocket {
public:
    explicit TCustomServerSocket(TComponent* owner);
    ~TCustomServerSocket() override;

    TServerWinSocket* WinSocket() const { return socket_.get(); }
    TServerType ServerType() const { return socket_->ServerType(); }
    void SetServerType(TServerType value) { socket_->SetServerType(value); }
    std::int32_t ThreadCacheSize() const { return socket_->ThreadCacheSize(); }
    void SetThreadCacheSize(std::int32_t value) { socket_->SetThreadCacheSize(value); }

protected:
    void ApplyActive(bool value) override;

private:
    std::unique_ptr<TServerWinSocket> socket_;

public:
    // The socket object's own events, reached through the component.
    TGetSocketEvent& OnGetSocket;
    TGetThreadEvent& OnGetThread;
    TThreadNotifyEvent& OnThreadStart;
    TThreadNotifyEvent& OnThreadEnd;
    TSocketNotifyEvent& OnClientConnect;
    TSocketNotifyEvent& OnClientDisconnect;
    TSocketNotifyEvent& OnClientRead;
    TSocketNotifyEvent& OnClientWrite;
    TSocketErrorEvent& OnClientError;
};

class TServerSocket : public TCustomServerSocket {
public:
    explicit TServerSocket(TComponent* owner);
};

}  // namespace portvale
