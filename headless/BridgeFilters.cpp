#include "headless/BridgeFilters.h"

#include "framework/Persistent.h"
#include "headless/Module.h"

namespace portvale::headless {

BridgeFilters::BridgeFilters(TBridge& bridge, TCustomComPort& port, const std::optional<TTlsSettings>& tls,
                             bool rfc2217, Print print, BridgeCounters& counters, VirtualSerial* virtualSerial)
    : bridge_(bridge) {
    MakeTlsFilterFunction makeTls = nullptr;
    if (tls) {
        std::string error;
        makeTls = reinterpret_cast<MakeTlsFilterFunction>(ModuleEntry("portvale-tls.so", kMakeTlsFilter, error));
        if (!makeTls) throw EConvertError("TLS is not available: " + error);
    }
    TFilterPlan plan{tls, rfc2217, std::nullopt};
    if (rfc2217 && virtualSerial) plan.remoteLine = virtualSerial->Line();
    stack_ = MakeFilterStack(
        plan, bridge, port, makeTls,
        TFilterStack::Observers{print,
                                [print, &counters](const std::string& peer, const std::string& reason) {
                                    counters.TlsRefused();
                                    print("TLS refused " + peer + ": " + reason);
                                },
                                [&counters](std::uint8_t state) { counters.ModemState(state); }});
    if (tls)
        if (const std::string warning = TTlsFilter::KeyFileWarning(tls->key); !warning.empty()) print(warning);
    if (stack_ && plan.remoteLine) {
        virtualSerial_ = virtualSerial;
        virtualSerial_->SetClient(stack_->Find<TRfc2217Client>());
    }
    bridge_.Filter = stack_.get();
}

BridgeFilters::~BridgeFilters() {
    bridge_.Filter = nullptr;
    if (virtualSerial_) virtualSerial_->SetClient(nullptr);
}

}  // namespace portvale::headless
