#pragma once
// Sends on the TCP side without dropping what the socket cannot take yet: a queue
// per connection, flushed on the connection's write-ready notification (which the
// socket layer posts after a send that would block).

#include <functional>
#include <map>
#include <string>

#include "app/ByteQueue.h"
#include "sockets/WinSocket.h"

namespace portvale {

class TTcpSender {
public:
    // Queues the bytes for the connection behind what it already has, and sends what
    // the socket takes now. Errors of the send are raised as the socket raises them.
    void Send(TCustomWinSocket* socket, std::string bytes);
    // The connection can take more.
    void WriteReady(TCustomWinSocket* socket);
    // The connection is gone (or going): its queue goes with it.
    void Forget(TCustomWinSocket* socket);
    void Clear();

    std::size_t Pending() const { return total_; }
    void SetMarks(TQueueMarks marks) { marks_ = marks; }
    std::size_t Pending(TCustomWinSocket* socket) const;

    // The bytes queued in all fell below the low-water mark after reaching the high one.
    std::function<void()> OnDrained;

private:
    void Flush(TCustomWinSocket* socket);
    void CheckDrained();

    std::map<TCustomWinSocket*, TByteQueue> queues_;
    std::size_t total_ = 0;
    TQueueMarks marks_;
    bool wasAboveHigh_ = false;
};

}  // namespace portvale
