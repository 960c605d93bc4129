#pragma once
// A scripted serial device for unit tests. Every call is recorded in order with the
// values it was given; any call can be told to fail with an error code; the test
// scripts the device's side (received bytes, modem lines, line errors, queue counts)
// and raises device events, which complete a pending WaitCommEvent.
//
// Overlapped operations keep the Windows convention: OVERLAPPED::Internal holds the
// status (kStatusPending while pending, else the error code, 0 for success) and
// InternalHigh the transferred count. Reads and writes complete at once unless
// writes are held (HoldWrites), so a test can look at a pending write.
//
// Thread-safe: the event thread of a port waits on it while the test drives it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial/SerialApi.h"

namespace portvale {

struct RecordedCall {
    std::string name;       // the ISerialApi method, "SetCommState", ...
    HANDLE handle = INVALID_HANDLE_VALUE;
    // Queue sizes (in, out), mask, purge flags, escape code, transmitted char,
    // read/write count: the call's numeric arguments in their order.
    std::uint32_t arg1 = 0;
    std::uint32_t arg2 = 0;
    DCB dcb{};               // SetCommState
    COMMTIMEOUTS timeouts{}; // SetCommTimeouts
    std::string text;        // CreateFile's device name, WriteFile's bytes
};

class RecordingSerialApi : public ISerialApi {
public:
    static constexpr std::uintptr_t kStatusPending = 0x103;

    RecordingSerialApi() = default;
    ~RecordingSerialApi() override = default;

    // ---- the script ----
    // The next `times` calls of `name` fail with `error` (times < 0: until Succeed).
    void Fail(const std::string& name, std::uint32_t error, int times = -1);
    void Succeed(const std::string& name);
    // Bytes that arrive from the line; they wait in the input queue for ReadFile.
    void AddInput(const std::string& bytes);
    std::string Input() const;
    void SetModemStatus(std::uint32_t status);
    // Line errors reported (and cleared) by the next ClearCommError.
    void SetLineErrors(std::uint32_t errors);
    void SetStatFlags(std::uint32_t flags);
    void SetOutputQueue(std::uint32_t count);
    // Events occur on the device: a pending WaitCommEvent completes with those in the
    // current mask; otherwise they are kept for the next wait, as the driver does.
    void RaiseEvents(std::uint32_t mask);
    // True while a WaitCommEvent is pending; waits up to the deadline for one.
    bool WaitForPendingEventWait(std::chrono::milliseconds limit);
    bool EventWaitPending() const;
    // While held, writes stay pending until CompletePendingWrites.
    void HoldWrites(bool hold);
    void CompletePendingWrites();

    // ---- the record ----
    std::vector<RecordedCall> Calls() const;
    std::vector<std::string> CallNames() const;
    std::vector<RecordedCall> CallsNamed(const std::string& name) const;
    std::size_t CountOf(const std::string& name) const;
    void ClearCalls();
    // Bytes written so far, all writes joined.
    std::string Written() const;
    std::uint32_t CommMask() const;
    int OpenHandles() const;

    // ---- ISerialApi ----
    HANDLE CreateFile(const std::string& deviceName) override;
    bool CloseHandle(HANDLE handle) override;
    bool SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool SetCommState(HANDLE handle, const DCB& dcb) override;
    bool GetCommState(HANDLE handle, DCB& dcb) override;
    bool SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) override;
    bool GetCommTimeouts(HANDLE handle, COMMTIMEOUTS& timeouts) override;
    bool SetCommMask(HANDLE handle, std::uint32_t mask) override;
    bool GetCommMask(HANDLE handle, std::uint32_t& mask) override;
    bool WaitCommEvent(HANDLE handle, std::uint32_t* mask, OVERLAPPED* overlapped) override;
    bool GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, std::uint32_t* transferred,
                             bool wait) override;
    bool ClearCommError(HANDLE handle, std::uint32_t* errors, COMSTAT* stat) override;
    bool PurgeComm(HANDLE handle, std::uint32_t flags) override;
    bool EscapeCommFunction(HANDLE handle, std::uint32_t function) override;
    bool GetCommModemStatus(HANDLE handle, std::uint32_t* status) override;
    bool TransmitCommChar(HANDLE handle, char c) override;
    bool ReadFile(HANDLE handle, void* buffer, std::uint32_t count, std::uint32_t* read,
                  OVERLAPPED* overlapped) override;
    bool WriteFile(HANDLE handle, const void* buffer, std::uint32_t count, std::uint32_t* written,
                   OVERLAPPED* overlapped) override;
    std::uint32_t GetLastError() override;

private:
    struct PendingWrite {
        OVERLAPPED* overlapped;
        std::uint32_t count;
    };

    // Records the call and applies a scripted failure; false when the call fails.
    bool Enter(RecordedCall call);
    bool IsOpen(HANDLE handle) const;
    void Complete(OVERLAPPED* overlapped, std::uint32_t status, std::uint32_t transferred);
    void CompleteEventWait(std::uint32_t mask);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RecordedCall> calls_;
    std::map<std::string, std::pair<std::uint32_t, int>> failures_;
    std::map<HANDLE, bool> handles_;
    HANDLE nextHandle_ = 100;
    std::string input_;
    std::string written_;
    std::uint32_t modemStatus_ = 0;
    std::uint32_t lineErrors_ = 0;
    std::uint32_t statFlags_ = 0;
    std::uint32_t outQueue_ = 0;
    std::uint32_t commMask_ = 0;
    std::uint32_t occurred_ = 0;  // events not yet reported to a wait
    std::uint32_t* waitMask_ = nullptr;
    OVERLAPPED* waitOverlapped_ = nullptr;
    bool holdWrites_ = false;
    std::vector<PendingWrite> pendingWrites_;
};

}  // namespace portvale
