#include "headless/Reconnect.h"

#include "framework/SysUtils.h"
#include "headless/HostPort.h"

namespace portvale::headless {

namespace {

std::string Seconds(std::chrono::milliseconds delay) {
    if (delay.count() % 1000 == 0) return std::to_string(delay.count() / 1000) + " s";
    return std::to_string(delay.count()) + " ms";
}

}  // namespace

ClientReconnector::ClientReconnector(TClientSocket& client, std::chrono::milliseconds delay, Print print,
                                     std::function<void()> onAttempt)
    : client_(client),
      delay_(delay),
      print_(std::move(print)),
      onAttempt_(std::move(onAttempt)),
      timer_(std::make_unique<TTimer>(nullptr)),
      connect_(client.OnConnect, [this](TObject*, TCustomWinSocket*) { reconnecting_ = false; }),
      disconnect_(client.OnDisconnect, [this](TObject*, TCustomWinSocket*) { Schedule("was closed"); }),
      error_(client.OnError, [this](TObject*, TCustomWinSocket*, TErrorEvent errorEvent, int& errorCode) {
          if (errorEvent != erConnect && errorEvent != erLookup) return;
          // Handled here: the next attempt is the answer to it.
          errorCode = 0;
          Schedule(errorEvent == erLookup ? "could not be looked up" : "could not be made");
      }) {
    timer_->SetInterval(static_cast<std::uint32_t>(delay_.count()));
    timer_->OnTimer = [this](TObject*) { Attempt(); };
}

ClientReconnector::~ClientReconnector() { Stop(); }

void ClientReconnector::Stop() {
    stopped_ = true;
    timer_->SetEnabled(false);
}

void ClientReconnector::Schedule(const char* why) {
    if (stopped_ || timer_->Enabled()) return;
    if (!reconnecting_) {
        const std::string target = HostPort(client_.Host().empty() ? client_.Address() : client_.Host(),
                                            std::to_string(client_.Port()));
        print_("Connection to " + target + " " + why + "; connecting again every " + Seconds(delay_));
    }
    reconnecting_ = true;
    timer_->SetEnabled(true);
}

void ClientReconnector::Attempt() {
    timer_->SetEnabled(false);
    if (stopped_ || client_.Active()) return;
    if (onAttempt_) onAttempt_();
    try {
        // A fresh open: the stale descriptor of a failed attempt is closed, and the
        // host is looked up again (its address may have changed).
        client_.SetActive(true);
    } catch (const std::exception&) {
        // Already told through the error event where there is one; the next try is due.
        Schedule("could not be made");
    }
}

}  // namespace portvale::headless
