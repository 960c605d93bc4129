#pragma once
// The state of one overlapped device event wait (event, overlapped record, result
// mask), kept on the heap because the backend writes into it until the wait ends.

#include <cstdint>
#include <memory>

#include "platform/Event.h"
#include "platform/serial/SerialApi.h"

namespace portvale {

struct EventWaitBlock {
    explicit EventWaitBlock(bool signalled) : event(true, signalled) { overlapped.hEvent = &event; }
    Event event;
    OVERLAPPED overlapped{};
    std::uint32_t mask = 0;
};

// Frees a block whose wait was ended by clearing the device's event mask. A wait still
// pending completes when the mask is cleared; should a driver not complete it in time,
// the block is deliberately left allocated, because a late completion still writes
// into it.
void RetireEventWaitBlock(std::unique_ptr<EventWaitBlock> block, bool pending);

}  // namespace portvale
