#pragma once
// Two bridge filters one behind the other: `outer` next to the wire (TLS), `inner`
// next to the device (RFC 2217). Bytes from TCP pass outer then inner; bytes for TCP
// inner then outer. Neither is owned.

#include "app/BridgeFilter.h"

namespace portvale {

class TFilterChain : public TBridgeFilter {
public:
    TFilterChain(TBridgeFilter& outer, TBridgeFilter& inner) : outer_(outer), inner_(inner) {}

    void Connected(TCustomWinSocket* socket) override {
        outer_.Connected(socket);
        inner_.Connected(socket);
    }
    void Disconnected(TCustomWinSocket* socket) override {
        inner_.Disconnected(socket);
        outer_.Disconnected(socket);
    }
    std::string FromTcp(TCustomWinSocket* socket, const std::string& bytes) override {
        const std::string plain = outer_.FromTcp(socket, bytes);
        return plain.empty() ? plain : inner_.FromTcp(socket, plain);
    }
    std::string ToTcp(TCustomWinSocket* socket, const std::string& bytes) override {
        return outer_.ToTcp(socket, inner_.ToTcp(socket, bytes));
    }
    bool Ready(TCustomWinSocket* socket) override { return outer_.Ready(socket) && inner_.Ready(socket); }
    bool HoldsNewConnections() const override {
        return outer_.HoldsNewConnections() || inner_.HoldsNewConnections();
    }

private:
    TBridgeFilter& outer_;
    TBridgeFilter& inner_;
};

}  // namespace portvale
