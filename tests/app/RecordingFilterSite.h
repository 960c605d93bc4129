#pragma once
// A layer's site that records what the layer did, for tests of one layer alone.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/Filter.h"

namespace portvale::test {

struct RecordingFilterSite : TFilterSite {
    void ToNetwork(TConnectionId id, std::string bytes) override {
        wire += bytes;
        sent[id] += bytes;
    }
    void ToDevice(TConnectionId id, std::string bytes) override { device[id] += bytes; }
    void Close(TConnectionId id) override { closed.push_back(id); }
    void Ready(TConnectionId id) override { ready.push_back(id); }
    void WantTicks(bool wanted) override { ticking = wanted; }
    void HoldSerial(bool hold) override { holds.push_back(hold); }
    void Log(const std::string& line) override { logged.push_back(line); }
    void Refused(TConnectionId, const std::string& reason) override { refused.push_back(reason); }
    void ModemState(std::uint8_t state) override { modemStates.push_back(state); }
    std::string Peer(TConnectionId id) const override { return "peer" + std::to_string(id); }
    bool Held() const { return !holds.empty() && holds.back(); }

    std::string wire;  // every connection's, in order
    std::map<TConnectionId, std::string> sent, device;
    std::vector<TConnectionId> closed, ready;
    std::vector<bool> holds;
    std::vector<std::string> logged, refused;
    std::vector<std::uint8_t> modemStates;
    bool ticking = false;
};

}  // namespace portvale::test
