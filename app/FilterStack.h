#pragma once
// The layers of a bridge's TCP side, from the wire up (TLS, then RFC 2217, then
// whatever framing comes later), as the bridge's one filter. The stack numbers the
// connections, passes bytes through every layer in order (up from the network, down
// from the device), and gives each layer a site through which it acts on its own:
// an answer a layer sends goes down through the layers below it, a connection it
// says is ready becomes a target, a tick it asks for comes once a second.
//
// Threading: the dispatching thread, with the bridge; handlers may re-enter.

#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "app/Bridge.h"
#include "app/Filter.h"
#include "app/Rfc2217Client.h"
#include "app/TlsFilter.h"
#include "framework/Timer.h"

namespace portvale {

class TFilterStack : public TBridgeFilter {
public:
    // What the layers report, for the front end to log and count.
    struct Observers {
        std::function<void(const std::string&)> log;
        std::function<void(const std::string& peer, const std::string& reason)> refused;
        std::function<void(std::uint8_t)> modemState;
    };

    // The layers act on `bridge`; the owner makes the stack the bridge's filter.
    TFilterStack(TBridge& bridge, Observers observers);
    ~TFilterStack() override;
    TFilterStack(const TFilterStack&) = delete;
    TFilterStack& operator=(const TFilterStack&) = delete;

    // The next layer up, taken before any connection opens.
    void Push(std::unique_ptr<TFilter> layer);
    std::size_t Depth() const { return layers_.size(); }
    // The first layer of that type, or null.
    template <class Layer>
    Layer* Find() const {
        for (const auto& l : layers_)
            if (auto* found = dynamic_cast<Layer*>(l.get())) return found;
        return nullptr;
    }

    void Connected(TCustomWinSocket* socket) override;
    void Disconnected(TCustomWinSocket* socket) override;
    std::string FromTcp(TCustomWinSocket* socket, const std::string& bytes) override;
    std::string ToTcp(TCustomWinSocket* socket, const std::string& bytes) override;
    bool Ready(TCustomWinSocket* socket) override;
    bool HoldsNewConnections() const override;

private:
    class Site;
    TConnectionId IdOf(TCustomWinSocket* socket) const;
    TCustomWinSocket* SocketOf(TConnectionId id) const;
    // Bytes through the layers below `from` (toward the wire) or above it.
    std::string Down(std::size_t from, TConnectionId id, std::string bytes);
    std::string Up(std::size_t from, TConnectionId id, std::string bytes);
    void Ticking(std::size_t layer, bool wanted);

    TBridge& bridge_;
    const Observers observers_;
    std::vector<std::unique_ptr<TFilter>> layers_;
    std::vector<std::unique_ptr<Site>> sites_;
    std::vector<bool> ticking_;
    std::map<TCustomWinSocket*, TConnectionId> ids_;
    std::map<TConnectionId, TCustomWinSocket*> sockets_;
    TConnectionId next_ = 1;
    std::unique_ptr<TTimer> ticker_;
};

// What a bridge speaks on its TCP side, as its configuration says.
struct TFilterPlan {
    std::optional<TTlsSettings> tls;
    bool rfc2217 = false;
    // With a virtual device, RFC 2217 is the client's side, asking the far server for
    // this line; otherwise the server's, over the bridge's own port.
    std::optional<rfc2217::LineSettings> remoteLine;
};

// The stack of `plan` over `bridge`, TLS next to the wire and RFC 2217 above it; null
// when the plan has no layer. `makeTls` makes the TLS layer (it lives in a module the
// front end loads); throws EConvertError with the reason when it cannot.
std::unique_ptr<TFilterStack> MakeFilterStack(const TFilterPlan& plan, TBridge& bridge, TCustomComPort& port,
                                              MakeTlsFilterFunction makeTls, TFilterStack::Observers observers);

}  // namespace portvale
