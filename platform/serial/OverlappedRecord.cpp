#include "platform/serial/OverlappedRecord.h"

#include <condition_variable>
#include <mutex>

namespace portvale::termios_backend {

namespace {

// One lock orders every record's result fields and its event: once a caller has seen
// a record completed (under this lock), the backend is done with the record and its
// event, so the caller may destroy both.
std::mutex gMutex;
std::condition_variable gFinished;

}  // namespace

void StartRecord(OVERLAPPED* ov) {
    std::lock_guard lock(gMutex);
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
    if (ov->hEvent) ov->hEvent->Reset();
}

void FinishRecord(OVERLAPPED* ov, std::uint32_t status, std::uint32_t transferred) {
    {
        std::lock_guard lock(gMutex);
        ov->InternalHigh = transferred;
        ov->Internal = status;
        if (ov->hEvent) ov->hEvent->Set();
    }
    gFinished.notify_all();
}

void RejectRecord(OVERLAPPED* ov, std::uint32_t status) {
    {
        std::lock_guard lock(gMutex);
        ov->InternalHigh = 0;
        ov->Internal = status;
    }
    gFinished.notify_all();
}

bool ReadRecord(const OVERLAPPED* ov, bool wait, std::uint32_t& status, std::uint32_t& transferred) {
    std::unique_lock lock(gMutex);
    if (ov->Internal == kStatusPending) {
        if (!wait) return false;
        gFinished.wait(lock, [&] { return ov->Internal != kStatusPending; });
    }
    status = static_cast<std::uint32_t>(ov->Internal);
    transferred = static_cast<std::uint32_t>(ov->InternalHigh);
    return true;
}

}  // namespace portvale::termios_backend
