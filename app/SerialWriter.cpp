#include "app/SerialWriter.h"

#include <sys/epoll.h>

#include <algorithm>

namespace portvale {

namespace {
// One operation's size: large enough to keep a fast device busy, small enough that a
// slow one finishes each operation soon.
constexpr std::size_t kChunk = 64 << 10;
}  // namespace

TSerialWriter::TSerialWriter(TCustomComPort& port) : port_(port) { InitAsync(async_); }

TSerialWriter::~TSerialWriter() {
    Reset();
    DoneAsync(async_);
}

void TSerialWriter::Write(std::string bytes) {
    queue_.Push(std::move(bytes));
    if (queue_.Size() >= marks_.high) wasAboveHigh_ = true;
    Flush();
}

void TSerialWriter::Flush() {
    // A completion handled inside a write's own call must not start a second one.
    if (flushing_) return;
    flushing_ = true;
    try {
        while (inFlight_ == 0 && !queue_.Empty() && port_.Connected()) {
            const std::string_view chunk = queue_.Front().substr(0, kChunk);
            inFlight_ = chunk.size();
            port_.WriteAsync(chunk.data(), static_cast<std::int32_t>(chunk.size()), async_);
            if (port_.IsAsyncCompleted(async_)) {
                Finish();
                continue;
            }
            watch_ = Dispatcher::Instance().WatchFd(async_->CompletionEvent->Fd(), EPOLLIN,
                                                    [this](std::uint32_t) {
                                                        StopWatching();
                                                        try {
                                                            Finish();
                                                            Flush();
                                                        } catch (const std::exception& error) {
                                                            Fail(error);
                                                        }
                                                    });
        }
    } catch (const std::exception& error) {
        flushing_ = false;
        Fail(error);
        return;
    }
    flushing_ = false;
    if (wasAboveHigh_ && queue_.Size() < marks_.low) {
        wasAboveHigh_ = false;
        if (OnDrained) OnDrained();
    }
}

void TSerialWriter::Finish() {
    const std::size_t asked = inFlight_;
    inFlight_ = 0;
    const std::int32_t written = port_.WaitForAsync(async_);
    // A write that timed out short: the rest stays at the front of the queue.
    queue_.Consume(std::min<std::size_t>(static_cast<std::size_t>(std::max(written, 0)), asked));
}

void TSerialWriter::Fail(const std::exception& error) {
    const std::string text = error.what();
    // The failed operation's bytes are still at the front: they are consumed only
    // once written.
    const std::size_t dropped = queue_.Size();
    Reset();
    if (OnFailed) OnFailed(text, dropped);
}

void TSerialWriter::StopWatching() {
    if (watch_ == 0) return;
    Dispatcher::Instance().Unwatch(watch_);
    watch_ = 0;
    // Only a write that must wait is watched: the others then cost no system call
    // for their event, and the bridge holds no descriptor between such writes.
    async_->CompletionEvent->ReleaseFd();
}

void TSerialWriter::Reset() {
    StopWatching();
    if (inFlight_ != 0) {
        inFlight_ = 0;
        // A closed port has aborted the operation; waiting ends at once.
        try {
            if (port_.Connected()) port_.AbortAllAsync();
            port_.WaitForAsync(async_);
        } catch (const std::exception&) {
            // An aborted write reports failure; there is nothing left to tell.
        }
    }
    queue_.Clear();
    wasAboveHigh_ = false;
}

}  // namespace portvale
