#include "platform/serial/RecordingSerialApi.h"

#include <algorithm>
#include <cstring>

namespace portvale {

namespace {

// Like the system's, the last error belongs to the calling thread.
thread_local std::uint32_t lastError = ERROR_SUCCESS;

RecordedCall Call(const char* name, HANDLE handle, std::uint32_t arg1 = 0, std::uint32_t arg2 = 0) {
    RecordedCall call;
    call.name = name;
    call.handle = handle;
    call.arg1 = arg1;
    call.arg2 = arg2;
    return call;
}

}  // namespace

// ---- the script ----

void RecordingSerialApi::Fail(const std::string& name, std::uint32_t error, int times) {
    std::lock_guard lock(mutex_);
    failures_[name] = {error, times};
}

void RecordingSerialApi::Succeed(const std::string& name) {
    std::lock_guard lock(mutex_);
    failures_.erase(name);
}

void RecordingSerialApi::AddInput(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    input_ += bytes;
}

std::string RecordingSerialApi::Input() const {
    std::lock_guard lock(mutex_);
    return input_;
}

void RecordingSerialApi::SetModemStatus(std::uint32_t status) {
    std::lock_guard lock(mutex_);
    modemStatus_ = status;
}

void RecordingSerialApi::SetLineErrors(std::uint32_t errors) {
    std::lock_guard lock(mutex_);
    lineErrors_ = errors;
}

void RecordingSerialApi::SetStatFlags(std::uint32_t flags) {
    std::lock_guard lock(mutex_);
    statFlags_ = flags;
}

void RecordingSerialApi::SetOutputQueue(std::uint32_t count) {
    std::lock_guard lock(mutex_);
    outQueue_ = count;
}

void RecordingSerialApi::RaiseEvents(std::uint32_t mask) {
    std::lock_guard lock(mutex_);
    occurred_ |= mask & commMask_;
    if (waitOverlapped_ && occurred_ != 0) CompleteEventWait(occurred_);
}

bool RecordingSerialApi::WaitForPendingEventWait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return waitOverlapped_ != nullptr; });
}

bool RecordingSerialApi::EventWaitPending() const {
    std::lock_guard lock(mutex_);
    return waitOverlapped_ != nullptr;
}

void RecordingSerialApi::HoldWrites(bool hold) {
    std::lock_guard lock(mutex_);
    holdWrites_ = hold;
}

void RecordingSerialApi::CompletePendingWrites() {
    std::lock_guard lock(mutex_);
    for (const PendingWrite& w : pendingWrites_) Complete(w.overlapped, ERROR_SUCCESS, w.count);
    pendingWrites_.clear();
}

// ---- the record ----

std::vector<RecordedCall> RecordingSerialApi::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> RecordingSerialApi::CallNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const RecordedCall& c : calls_) names.push_back(c.name);
    return names;
}

std::vector<RecordedCall> RecordingSerialApi::CallsNamed(const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedCall> out;
    for (const RecordedCall& c : calls_)
        if (c.name == name) out.push_back(c);
    return out;
}

std::size_t RecordingSerialApi::CountOf(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [&](const RecordedCall& c) { return c.name == name; }));
}

void RecordingSerialApi::ClearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::string RecordingSerialApi::Written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

std::uint32_t RecordingSerialApi::CommMask() const {
    std::lock_guard lock(mutex_);
    return commMask_;
}

int RecordingSerialApi::OpenHandles() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(handles_.size());
}

// ---- helpers (mutex held) ----

bool RecordingSerialApi::Enter(RecordedCall call) {
    const std::string name = call.name;
    const HANDLE handle = call.handle;
    calls_.push_back(std::move(call));
    auto it = failures_.find(name);
    if (it != failures_.end()) {
        lastError = it->second.first;
        if (it->second.second > 0 && --it->second.second == 0) failures_.erase(it);
        return false;
    }
    if (name != "CreateFile" && !IsOpen(handle)) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    return true;
}

bool RecordingSerialApi::IsOpen(HANDLE handle) const { return handles_.count(handle) != 0; }

void RecordingSerialApi::Complete(OVERLAPPED* overlapped, std::uint32_t status,
                                  std::uint32_t transferred) {
    overlapped->Internal = status;
    overlapped->InternalHigh = transferred;
    if (overlapped->hEvent) overlapped->hEvent->Set();
}

void RecordingSerialApi::CompleteEventWait(std::uint32_t mask) {
    *waitMask_ = mask;
    OVERLAPPED* overlapped = waitOverlapped_;
    waitMask_ = nullptr;
    waitOverlapped_ = nullptr;
    occurred_ = 0;
    Complete(overlapped, ERROR_SUCCESS, 0);
    changed_.notify_all();
}

// ---- ISerialApi ----

HANDLE RecordingSerialApi::CreateFile(const std::string& deviceName) {
    std::lock_guard lock(mutex_);
    RecordedCall call = Call("CreateFile", INVALID_HANDLE_VALUE);
    call.text = deviceName;
    if (!Enter(std::move(call))) return INVALID_HANDLE_VALUE;
    const HANDLE handle = nextHandle_++;
    handles_[handle] = true;
    return handle;
}

bool RecordingSerialApi::CloseHandle(HANDLE handle) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("CloseHandle", handle))) return false;
    handles_.erase(handle);
    // The driver ends whatever was still pending on the handle.
    if (waitOverlapped_) {
        OVERLAPPED* overlapped = waitOverlapped_;
        waitMask_ = nullptr;
        waitOverlapped_ = nullptr;
        Complete(overlapped, ERROR_OPERATION_ABORTED, 0);
    }
    for (const PendingWrite& w : pendingWrites_) Complete(w.overlapped, ERROR_OPERATION_ABORTED, 0);
    pendingWrites_.clear();
    input_.clear();
    return true;
}

bool RecordingSerialApi::SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    std::lock_guard lock(mutex_);
    return Enter(Call("SetupComm", handle, inQueue, outQueue));
}

bool RecordingSerialApi::SetCommState(HANDLE handle, const DCB& dcb) {
    std::lock_guard lock(mutex_);
    RecordedCall call = Call("SetCommState", handle);
    call.dcb = dcb;
    return Enter(std::move(call));
}

bool RecordingSerialApi::GetCommState(HANDLE handle, DCB& dcb) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("GetCommState", handle))) return false;
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (it->name == "SetCommState" && it->handle == handle) {
            dcb = it->dcb;
            break;
        }
    return true;
}

bool RecordingSerialApi::SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) {
    std::lock_guard lock(mutex_);
    RecordedCall call = Call("SetCommTimeouts", handle);
    call.timeouts = timeouts;
    return Enter(std::move(call));
}

bool RecordingSerialApi::GetCommTimeouts(HANDLE handle, COMMTIMEOUTS& timeouts) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("GetCommTimeouts", handle))) return false;
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (it->name == "SetCommTimeouts" && it->handle == handle) {
            timeouts = it->timeouts;
            break;
        }
    return true;
}

bool RecordingSerialApi::SetCommMask(HANDLE handle, std::uint32_t mask) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("SetCommMask", handle, mask))) return false;
    commMask_ = mask;
    occurred_ &= mask;
    // Changing the mask ends a pending wait with an empty mask, as the driver does.
    if (waitOverlapped_) CompleteEventWait(0);
    return true;
}

bool RecordingSerialApi::GetCommMask(HANDLE handle, std::uint32_t& mask) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("GetCommMask", handle))) return false;
    mask = commMask_;
    return true;
}

bool RecordingSerialApi::WaitCommEvent(HANDLE handle, std::uint32_t* mask, OVERLAPPED* overlapped) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("WaitCommEvent", handle))) return false;
    if (occurred_ != 0) {
        *mask = occurred_;
        occurred_ = 0;
        Complete(overlapped, ERROR_SUCCESS, 0);
        return true;
    }
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    if (overlapped->hEvent) overlapped->hEvent->Reset();
    waitMask_ = mask;
    waitOverlapped_ = overlapped;
    changed_.notify_all();
    lastError = ERROR_IO_PENDING;
    return false;
}

bool RecordingSerialApi::GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped,
                                             std::uint32_t* transferred, bool wait) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(Call("GetOverlappedResult", handle, wait ? 1 : 0));
        auto it = failures_.find("GetOverlappedResult");
        if (it != failures_.end()) {
            lastError = it->second.first;
            if (it->second.second > 0 && --it->second.second == 0) failures_.erase(it);
            return false;
        }
    }
    if (wait && overlapped->hEvent) WaitForSingleObject(*overlapped->hEvent, INFINITE);
    std::lock_guard lock(mutex_);
    if (overlapped->Internal == kStatusPending) {
        lastError = ERROR_IO_INCOMPLETE;
        return false;
    }
    if (transferred) *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) {
        lastError = static_cast<std::uint32_t>(overlapped->Internal);
        return false;
    }
    return true;
}

bool RecordingSerialApi::ClearCommError(HANDLE handle, std::uint32_t* errors, COMSTAT* stat) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("ClearCommError", handle))) return false;
    if (errors) *errors = lineErrors_;
    lineErrors_ = 0;
    if (stat) {
        stat->Flags = statFlags_;
        stat->cbInQue = static_cast<std::uint32_t>(input_.size());
        stat->cbOutQue = outQueue_;
    }
    return true;
}

bool RecordingSerialApi::PurgeComm(HANDLE handle, std::uint32_t flags) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("PurgeComm", handle, flags))) return false;
    if (flags & PURGE_RXCLEAR) input_.clear();
    if (flags & PURGE_TXCLEAR) outQueue_ = 0;
    if (flags & PURGE_TXABORT) {
        for (const PendingWrite& w : pendingWrites_)
            Complete(w.overlapped, ERROR_OPERATION_ABORTED, 0);
        pendingWrites_.clear();
    }
    return true;
}

bool RecordingSerialApi::EscapeCommFunction(HANDLE handle, std::uint32_t function) {
    std::lock_guard lock(mutex_);
    return Enter(Call("EscapeCommFunction", handle, function));
}

bool RecordingSerialApi::GetCommModemStatus(HANDLE handle, std::uint32_t* status) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("GetCommModemStatus", handle))) return false;
    *status = modemStatus_;
    return true;
}

bool RecordingSerialApi::TransmitCommChar(HANDLE handle, char c) {
    std::lock_guard lock(mutex_);
    return Enter(Call("TransmitCommChar", handle, static_cast<unsigned char>(c)));
}

bool RecordingSerialApi::ReadFile(HANDLE handle, void* buffer, std::uint32_t count,
                                  std::uint32_t* read, OVERLAPPED* overlapped) {
    std::lock_guard lock(mutex_);
    if (!Enter(Call("ReadFile", handle, count))) return false;
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, input_.size()));
    std::memcpy(buffer, input_.data(), n);
    input_.erase(0, n);
    if (read) *read = n;
    Complete(overlapped, ERROR_SUCCESS, n);
    return true;
}

bool RecordingSerialApi::WriteFile(HANDLE handle, const void* buffer, std::uint32_t count,
                                   std::uint32_t* written, OVERLAPPED* overlapped) {
    std::lock_guard lock(mutex_);
    RecordedCall call = Call("WriteFile", handle, count);
    call.text.assign(static_cast<const char*>(buffer), count);
    if (!Enter(std::move(call))) return false;
    written_.append(static_cast<const char*>(buffer), count);
    if (holdWrites_) {
        overlapped->Internal = kStatusPending;
        overlapped->InternalHigh = 0;
        if (overlapped->hEvent) overlapped->hEvent->Reset();
        pendingWrites_.push_back(PendingWrite{overlapped, count});
        if (written) *written = 0;
        lastError = ERROR_IO_PENDING;
        return false;
    }
    if (written) *written = count;
    Complete(overlapped, ERROR_SUCCESS, count);
    return true;
}

std::uint32_t RecordingSerialApi::GetLastError() { return lastError; }

}  // namespace portvale
