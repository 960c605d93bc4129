#include "headless/BridgeFilters.h"

#include "framework/Persistent.h"
#include "headless/Module.h"

namespace portvale::headless {

BridgeFilters::BridgeFilters(TBridge& bridge, TCustomComPort& port, const std::optional<TTlsSettings>& tls,
                             bool rfc2217, Print print, BridgeCounters& counters, VirtualSerial* virtualSerial)
    : bridge_(bridge), print_(std::move(print)), counters_(counters) {
    if (tls) {
        handshakes_ = std::make_unique<TTimer>(nullptr);
        handshakes_->SetEnabled(false);
        handshakes_->SetInterval(1000);
        handshakes_->OnTimer = [this](TObject*) {
            tls_->ExpireHandshakes(TTlsFilter::Clock::now());
            if (!tls_->Handshaking()) handshakes_->SetEnabled(false);
        };
        std::string error;
        const auto make = reinterpret_cast<MakeTlsFilterFunction>(ModuleEntry("portvale-tls.so", kMakeTlsFilter, error));
        if (!make) throw EConvertError("TLS is not available: " + error);
        tls_.reset(make(
            *tls, TTlsFilter::Links{
                      [this](TCustomWinSocket* s, std::string bytes) { bridge_.SendToTcp(s, std::move(bytes)); },
                      [](TCustomWinSocket* s) {
                          if (s->IsConnected()) s->CloseConnection();
                      },
                      [this](TCustomWinSocket* s) { bridge_.FilterReady(s); },
                      [this](TCustomWinSocket* s, const std::string& reason) {
                          counters_.TlsRefused();
                          print_("TLS refused " + PeerText(*s) + ": " + reason);
                      },
                      [this] { handshakes_->SetEnabled(true); }},
            error));
        if (!tls_) throw EConvertError(error);
        if (const std::string warning = TTlsFilter::KeyFileWarning(tls->key); !warning.empty()) print_(warning);
    }
    // The requests and answers go through TLS like the data.
    const auto send = [this](TCustomWinSocket* s, std::string bytes) {
        bridge_.SendToTcp(s, tls_ ? tls_->ToTcp(s, bytes) : std::move(bytes));
    };
    TBridgeFilter* protocol = nullptr;
    if (rfc2217 && virtualSerial) {
        rfc2217Client_ = std::make_unique<TRfc2217Client>(
            virtualSerial->Line(),
            TRfc2217Client::Links{send, [this](bool hold) { bridge_.HoldSerial(hold); }, print_,
                                  [this](std::uint8_t state) { counters_.ModemState(state); }});
        virtualSerial_ = virtualSerial;
        virtualSerial_->SetClient(rfc2217Client_.get());
        protocol = rfc2217Client_.get();
    } else if (rfc2217) {
        rfc2217_ = std::make_unique<TRfc2217Server>(
            port, TRfc2217Server::Links{send, [this](bool hold) { bridge_.HoldSerial(hold); }, print_});
        protocol = rfc2217_.get();
    }
    if (tls_ && protocol) {
        chain_ = std::make_unique<TFilterChain>(*tls_, *protocol);
        bridge_.Filter = chain_.get();
    } else if (tls_) {
        bridge_.Filter = tls_.get();
    } else {
        bridge_.Filter = protocol;
    }
}

BridgeFilters::~BridgeFilters() {
    bridge_.Filter = nullptr;
    if (virtualSerial_) virtualSerial_->SetClient(nullptr);
}

}  // namespace portvale::headless
