#pragma once
// The client side of the socket layer and the component base shared by the client
// and the server socket components: connection settings, the component's Active flag
// kept in step with its socket object's events, and the On... events.

#include <cstdint>
#include <memory>
#include <string>

#include "framework/BoundEvent.h"
#include "framework/Component.h"
#include "sockets/WinSocket.h"

namespace portvale {

enum TClientType : int { ctNonBlocking = 0, ctBlocking = 1 };

using TSocketNotifyEvent = TBoundEvent<void(TObject* Sender, TCustomWinSocket* Socket)>;
using TSocketErrorEvent = TBoundEvent<void(TObject* Sender, TCustomWinSocket* Socket,
                                           TErrorEvent ErrorEvent, int& ErrorCode)>;

class TClientWinSocket : public TCustomWinSocket {
public:
    TClientWinSocket() : TCustomWinSocket(ws::INVALID_SOCKET) {}

    TClientType ClientType() const { return clientType_; }
    void SetClientType(TClientType value);

    // The connect-complete notification; the descriptor is not compared with ours.
    void ConnectDone(ws::SOCKET socket) override;

private:
    TClientType clientType_ = ctNonBlocking;
};

class TAbstractSocket : public TComponent {
public:
    explicit TAbstractSocket(TComponent* owner) : TComponent(owner) {}

    bool Active() const { return active_; }
    void SetActive(bool value);
    std::int32_t Port() const { return port_; }
    void SetPort(std::int32_t value);
    const std::string& Address() const { return address_; }
    void SetAddress(const std::string& value);
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& value);
    const std::string& Service() const { return service_; }
    void SetService(const std::string& value);

    void Loaded() override;

protected:
    virtual void DispatchEvent(TCustomWinSocket* socket, TSocketEventKind kind) = 0;
    virtual void DispatchError(TCustomWinSocket* socket, TErrorEvent errorEvent,
                               int& errorCode) = 0;
    virtual void ApplyActive(bool value) = 0;

    // Makes this component the event and error sink of its socket object.
    void InstallSinks(TCustomWinSocket& socket);
    void SetActiveField(bool value) { active_ = value; }

private:
    void SinkEvent(TCustomWinSocket* sender, TCustomWinSocket* socket, TSocketEventKind kind);
    void SinkError(TCustomWinSocket* sender, TCustomWinSocket* socket, TErrorEvent errorEvent,
                   int& errorCode);
    void CheckChangeAllowed() const;

    bool active_ = false;
    std::int32_t port_ = 0;
    std::string address_;
    std::string host_;
    std::string service_;
};

class TCustomSocket : public TAbstractSocket {
public:
    using TAbstractSocket::TAbstractSocket;

    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnListen;
    TSocketNotifyEvent OnAccept;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnWrite;
    TSocketErrorEvent OnError;

protected:
    void DispatchEvent(TCustomWinSocket* socket, TSocketEventKind kind) override;
    void DispatchError(TCustomWinSocket* socket, TErrorEvent errorEvent, int& errorCode) override;
};

class TClientSocket : public TCustomSocket {
public:
    explicit TClientSocket(TComponent* owner);
    ~TClientSocket() override;

    TClientWinSocket* WinSocket() const { return socket_.get(); }
    TClientType ClientType() const { return socket_->ClientType(); }
    void SetClientType(TClientType value) { socket_->SetClientType(value); }

protected:
    void ApplyActive(bool value) override;

private:
    std::unique_ptr<TClientWinSocket> socket_;
};

}  // namespace portvale
