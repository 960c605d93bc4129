#pragma once
// Shared by the port tests: a port on the recording serial double, and a thread-safe
// log of what handlers and links were told.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comport/ComPort.h"
#include "comport/ComThread.h"
#include "platform/serial/RecordingSerialApi.h"
#include "tests/support/Wait.h"

namespace portvale::test {

class CallLog {
public:
    void Add(const std::string& entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    std::vector<std::string> Entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    std::size_t Size() const {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// Every handler of the port writes its name (and argument) into the log.
inline void LogAllHandlers(TCustomComPort& port, CallLog& log) {
    port.OnRxChar = [&log](TObject*, std::int32_t n) { log.Add("RxChar " + std::to_string(n)); };
    port.OnRxBuf = [&log](TObject*, const char* b, std::int32_t n) { log.Add("RxBuf " + std::string(b, n)); };
    port.OnTxEmpty = [&log](TObject*) { log.Add("TxEmpty"); };
    port.OnBreak = [&log](TObject*) { log.Add("Break"); };
    port.OnRing = [&log](TObject*) { log.Add("Ring"); };
    port.OnCTSChange = [&log](TObject*, bool on) { log.Add(std::string("CTS ") + (on ? "on" : "off")); };
    port.OnDSRChange = [&log](TObject*, bool on) { log.Add(std::string("DSR ") + (on ? "on" : "off")); };
    port.OnRLSDChange = [&log](TObject*, bool on) { log.Add(std::string("RLSD ") + (on ? "on" : "off")); };
    port.OnError = [&log](TObject*, TComErrors e) { log.Add("Error " + std::to_string(e.ToBits())); };
    port.OnRxFlag = [&log](TObject*) { log.Add("RxFlag"); };
    port.OnRx80Full = [&log](TObject*) { log.Add("Rx80Full"); };
    port.OnBeforeOpen = [&log](TObject*) { log.Add("BeforeOpen"); };
    port.OnAfterOpen = [&log](TObject*) { log.Add("AfterOpen"); };
    port.OnBeforeClose = [&log](TObject*) { log.Add("BeforeClose"); };
    port.OnAfterClose = [&log](TObject*) { log.Add("AfterClose"); };
}

// Polls a condition from a thread that is not the GUI thread's loop.
template <typename F>
bool WaitFor(F condition, std::chrono::milliseconds limit = kDeadline) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class RecordedPortTest : public ::testing::Test {
protected:
    void SetUp() override { SetSerialApi(&api); }
    void TearDown() override {
        port.reset();
        // Threads cut loose from a port finish on their own, shortly.
        EXPECT_TRUE(PumpUntil([] { return TComThread::LiveCount() == 0; }));
        SetSerialApi(nullptr);
    }
    RecordingSerialApi api;
    CallLog log;  // these outlive the port, whose destructor still tells them
    TComLink link;
    TComLink otherLink;
    std::unique_ptr<TComPort> port = std::make_unique<TComPort>(nullptr);
};

}  // namespace portvale::test
