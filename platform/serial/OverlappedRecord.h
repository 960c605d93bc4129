#pragma once
// The result fields of OVERLAPPED records, as the backend fills them: Internal holds
// STATUS_PENDING while the operation runs, then its error code (0 for success);
// InternalHigh the bytes transferred.

#include <cstdint>

#include "platform/serial/SerialApi.h"

namespace portvale::termios_backend {

constexpr std::uintptr_t kStatusPending = 0x103;  // Windows' STATUS_PENDING

// Marks the record pending and resets its event.
void StartRecord(OVERLAPPED* ov);
// Stores the outcome, then signals the event.
void FinishRecord(OVERLAPPED* ov, std::uint32_t status, std::uint32_t transferred);
// Stores the outcome of a start that failed at once; the event stays reset, so a
// waiter looping on the event does not take a failure for a completion and spin.
void RejectRecord(OVERLAPPED* ov, std::uint32_t status);
// The outcome: false while pending and !wait; with wait, blocks until the end.
bool ReadRecord(const OVERLAPPED* ov, bool wait, std::uint32_t& status, std::uint32_t& transferred);

}  // namespace portvale::termios_backend
