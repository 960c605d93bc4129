#pragma once
// A FIFO of bytes kept as the blocks they arrived in, so queueing a block costs its
// size and nothing is copied twice.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace portvale {

// Back-pressure marks of the bridge: a source stops being read while its sink's
// queue holds at least kHighWater bytes and is read again below kLowWater.
inline constexpr std::size_t kHighWater = 1 << 20;
inline constexpr std::size_t kLowWater = 256 << 10;

// A bridge's own marks: many bridges in one process keep less in flight each.
struct TQueueMarks {
    std::size_t high = kHighWater;
    std::size_t low = kLowWater;
};

class TByteQueue {
public:
    bool Empty() const { return size_ == 0; }
    std::size_t Size() const { return size_; }

    void Push(std::string bytes) {
        if (bytes.empty()) return;
        size_ += bytes.size();
        blocks_.push_back(std::move(bytes));
    }
    // The oldest bytes not yet taken, as one contiguous run.
    std::string_view Front() const {
        return blocks_.empty() ? std::string_view() : std::string_view(blocks_.front()).substr(offset_);
    }
    void Consume(std::size_t n) {
        while (n > 0 && !blocks_.empty()) {
            const std::size_t left = blocks_.front().size() - offset_;
            const std::size_t take = n < left ? n : left;
            offset_ += take;
            size_ -= take;
            n -= take;
            if (offset_ == blocks_.front().size()) {
                blocks_.pop_front();
                offset_ = 0;
            }
        }
    }
    void Clear() {
        blocks_.clear();
        offset_ = size_ = 0;
    }

private:
    std::deque<std::string> blocks_;
    std::size_t offset_ = 0;
    std::size_t size_ = 0;
};

}  // namespace portvale
