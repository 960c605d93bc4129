#pragma once
// Bridged writes to the serial port without waiting on the GUI thread: bytes are
// queued and written with the port's asynchronous write, one operation at a time; a
// write the device takes at once completes at once, a slower one is finished when
// its completion event fires in the dispatcher. A write that times out short leaves
// the rest queued, so no byte is lost or reordered.

#include <cstdint>
#include <functional>
#include <string>

#include "app/ByteQueue.h"
#include "comport/ComPort.h"
#include "platform/Dispatcher.h"

namespace portvale {

class TSerialWriter {
public:
    explicit TSerialWriter(TCustomComPort& port);
    ~TSerialWriter();
    TSerialWriter(const TSerialWriter&) = delete;
    TSerialWriter& operator=(const TSerialWriter&) = delete;

    // Queues the bytes behind everything queued before and starts writing.
    void Write(std::string bytes);
    std::size_t Pending() const { return queue_.Size(); }
    void SetMarks(TQueueMarks marks) { marks_ = marks; }
    // Drops what is queued and forgets an operation in flight (the port is closing or
    // closed). Nothing is reported.
    void Reset();

    // The queue fell below the low-water mark after having reached the high one.
    std::function<void()> OnDrained;
    // A write failed; the queue was dropped. The text says why; `dropped` is how many
    // bytes went unwritten (the failed operation's and everything queued behind it).
    std::function<void(const std::string& why, std::size_t dropped)> OnFailed;

private:
    void Flush();
    void Finish();
    void Fail(const std::exception& error);
    void StopWatching();

    TCustomComPort& port_;
    PAsync async_ = nullptr;
    TByteQueue queue_;
    std::size_t inFlight_ = 0;  // bytes of the operation under way (0: none)
    Dispatcher::WatchId watch_ = 0;
    TQueueMarks marks_;
    bool wasAboveHigh_ = false;
    bool flushing_ = false;
};

}  // namespace portvale
