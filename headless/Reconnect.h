#pragma once
// Client mode's reconnect: after a refused or failed attempt, or a connection that
// closed, the client socket opens again after a delay, its host looked up anew, for
// as long as the reconnector lives and is not stopped. One line is printed when the
// reconnecting starts, not one per attempt; why an attempt failed is the form's to
// show (its status panel, printed when the text changes).
//
// Threading: the GUI thread; the delay is a timer on the dispatcher, so waiting
// costs neither a thread nor a poll.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "framework/Timer.h"
#include "headless/EventChain.h"
#include "sockets/SocketComponents.h"

namespace portvale::headless {

class ClientReconnector {
public:
    using Print = std::function<void(const std::string&)>;

    // onAttempt runs before each new attempt (for the counters).
    ClientReconnector(TClientSocket& client, std::chrono::milliseconds delay, Print print,
                      std::function<void()> onAttempt = {});
    ~ClientReconnector();

    // No further attempts: the run is ending, or the user closed the connection.
    void Stop();
    // An attempt is due when the delay has passed.
    bool Waiting() const { return timer_->Enabled(); }

private:
    void Schedule(const char* why);
    void Attempt();

    TClientSocket& client_;
    const std::chrono::milliseconds delay_;
    const Print print_;
    const std::function<void()> onAttempt_;
    std::unique_ptr<TTimer> timer_;
    bool stopped_ = false;
    bool reconnecting_ = false;  // since the last connect, the line was printed

    EventChain<void(TObject*, TCustomWinSocket*)> connect_;
    EventChain<void(TObject*, TCustomWinSocket*)> disconnect_;
    EventChain<void(TObject*, TCustomWinSocket*, TErrorEvent, int&)> error_;
};

}  // namespace portvale::headless
