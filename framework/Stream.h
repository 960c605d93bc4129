#pragma once
// The stream base: a byte source and sink with a position.

#include <cstdint>

#include "framework/BoundEvent.h"

namespace portvale {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    // Each returns the number of bytes moved.
    virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
    virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
    // Returns the new position.
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
};

}  // namespace portvale
