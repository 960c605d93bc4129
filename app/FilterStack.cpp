#include "app/FilterStack.h"

#include <algorithm>

#include "app/Rfc2217Server.h"
#include "framework/Persistent.h"

namespace portvale {

// One layer's view of the stack.
class TFilterStack::Site final : public TFilterSite {
public:
    Site(TFilterStack& stack, std::size_t layer) : stack_(stack), layer_(layer) {}

    void ToNetwork(TConnectionId id, std::string bytes) override {
        TCustomWinSocket* socket = stack_.SocketOf(id);
        if (!socket) return;
        bytes = stack_.Down(layer_, id, std::move(bytes));
        if (!bytes.empty()) stack_.bridge_.SendToTcp(socket, std::move(bytes));
    }
    void ToDevice(TConnectionId id, std::string bytes) override {
        if (!stack_.SocketOf(id)) return;
        bytes = stack_.Up(layer_, id, std::move(bytes));
        if (!bytes.empty()) stack_.bridge_.WriteSerial(std::move(bytes));
    }
    void Close(TConnectionId id) override {
        TCustomWinSocket* socket = stack_.SocketOf(id);
        if (socket && socket->IsConnected()) socket->CloseConnection();
    }
    void Ready(TConnectionId id) override {
        if (TCustomWinSocket* socket = stack_.SocketOf(id)) stack_.bridge_.FilterReady(socket);
    }
    void WantTicks(bool wanted) override { stack_.Ticking(layer_, wanted); }
    void HoldSerial(bool hold) override { stack_.bridge_.HoldSerial(hold); }
    void Log(const std::string& line) override {
        if (stack_.observers_.log) stack_.observers_.log(line);
    }
    void Refused(TConnectionId id, const std::string& reason) override {
        if (stack_.observers_.refused) stack_.observers_.refused(Peer(id), reason);
    }
    void ModemState(std::uint8_t state) override {
        if (stack_.observers_.modemState) stack_.observers_.modemState(state);
    }
    std::string Peer(TConnectionId id) const override {
        const TCustomWinSocket* socket = stack_.SocketOf(id);
        return socket ? PeerText(*socket) : std::string();
    }

private:
    TFilterStack& stack_;
    const std::size_t layer_;
};

TFilterStack::TFilterStack(TBridge& bridge, Observers observers)
    : bridge_(bridge), observers_(std::move(observers)) {
    ticker_ = std::make_unique<TTimer>(nullptr);
    ticker_->SetEnabled(false);
    ticker_->SetInterval(1000);
    ticker_->OnTimer = [this](TObject*) {
        const auto now = TFilter::Clock::now();
        // A layer may stop wanting ticks inside its own.
        for (std::size_t i = 0; i < layers_.size(); ++i)
            if (ticking_[i]) layers_[i]->Tick(now);
    };
}

TFilterStack::~TFilterStack() {
    ticker_->SetEnabled(false);
    // The layers go before their sites.
    layers_.clear();
}

void TFilterStack::Push(std::unique_ptr<TFilter> layer) {
    sites_.push_back(std::make_unique<Site>(*this, layers_.size()));
    layer->Attach(*sites_.back());
    layers_.push_back(std::move(layer));
    ticking_.push_back(false);
}

void TFilterStack::Ticking(std::size_t layer, bool wanted) {
    ticking_[layer] = wanted;
    ticker_->SetEnabled(std::find(ticking_.begin(), ticking_.end(), true) != ticking_.end());
}

TConnectionId TFilterStack::IdOf(TCustomWinSocket* socket) const {
    const auto it = ids_.find(socket);
    return it == ids_.end() ? 0 : it->second;
}

TCustomWinSocket* TFilterStack::SocketOf(TConnectionId id) const {
    const auto it = sockets_.find(id);
    return it == sockets_.end() ? nullptr : it->second;
}

std::string TFilterStack::Down(std::size_t from, TConnectionId id, std::string bytes) {
    for (std::size_t i = from; i-- > 0 && !bytes.empty() && SocketOf(id);) bytes = layers_[i]->FromDevice(id, bytes);
    return bytes;
}

std::string TFilterStack::Up(std::size_t from, TConnectionId id, std::string bytes) {
    for (std::size_t i = from + 1; i < layers_.size() && !bytes.empty() && SocketOf(id); ++i)
        bytes = layers_[i]->FromNetwork(id, bytes);
    return bytes;
}

void TFilterStack::Connected(TCustomWinSocket* socket) {
    // A descriptor's object may be reused for a later connection: that is a new one.
    if (const TConnectionId old = IdOf(socket)) sockets_.erase(old);
    const TConnectionId id = next_++;
    ids_[socket] = id;
    sockets_[id] = socket;
    // From the wire up: a layer's greeting goes down through the layers already open.
    for (std::size_t i = 0; i < layers_.size() && SocketOf(id); ++i) layers_[i]->Opened(id);
}

void TFilterStack::Disconnected(TCustomWinSocket* socket) {
    const TConnectionId id = IdOf(socket);
    if (id == 0) return;
    for (std::size_t i = layers_.size(); i-- > 0;) layers_[i]->Closed(id);
    ids_.erase(socket);
    sockets_.erase(id);
}

std::string TFilterStack::FromTcp(TCustomWinSocket* socket, const std::string& bytes) {
    const TConnectionId id = IdOf(socket);
    if (id == 0 || layers_.empty()) return {};
    std::string up = layers_[0]->FromNetwork(id, bytes);
    // A layer may close the connection on what it read: the rest goes nowhere.
    return SocketOf(id) ? Up(0, id, std::move(up)) : std::string();
}

std::string TFilterStack::ToTcp(TCustomWinSocket* socket, const std::string& bytes) {
    const TConnectionId id = IdOf(socket);
    if (id == 0) return {};
    return Down(layers_.size(), id, bytes);
}

bool TFilterStack::Ready(TCustomWinSocket* socket) {
    // A socket the stack does not know (one still connecting) is ready where no
    // layer sets its connections up first.
    const TConnectionId id = IdOf(socket);
    return socket && std::all_of(layers_.begin(), layers_.end(), [&](const auto& l) { return l->Ready(id); });
}

bool TFilterStack::HoldsNewConnections() const {
    return std::any_of(layers_.begin(), layers_.end(), [](const auto& l) { return l->HoldsNewConnections(); });
}

std::unique_ptr<TFilterStack> MakeFilterStack(const TFilterPlan& plan, TBridge& bridge, TCustomComPort& port,
                                              MakeTlsFilterFunction makeTls, TFilterStack::Observers observers) {
    if (!plan.tls && !plan.rfc2217) return nullptr;
    auto stack = std::make_unique<TFilterStack>(bridge, std::move(observers));
    if (plan.tls) {
        std::string error = "TLS is not available";
        std::unique_ptr<TTlsFilter> tls(makeTls ? makeTls(*plan.tls, error) : nullptr);
        if (!tls) throw EConvertError(error);
        stack->Push(std::move(tls));
    }
    if (plan.rfc2217 && plan.remoteLine)
        stack->Push(std::make_unique<TRfc2217Client>(*plan.remoteLine));
    else if (plan.rfc2217)
        stack->Push(std::make_unique<TRfc2217Server>(port));
    return stack;
}

}  // namespace portvale
