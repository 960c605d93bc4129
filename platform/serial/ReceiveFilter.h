#pragma once
// What the receive path does to bytes between the line discipline and the caller:
// decoding of error marks (PARMRK), the replacement character for bytes received
// with a line error, and dropping of zero bytes. Keeps the state of a mark split
// across two reads.

#include <cstddef>
#include <string>

namespace portvale {

class ReceiveFilter {
public:
    struct Options {
        bool errorMarks = false;    // the line discipline marks bytes with errors (PARMRK)
        bool replaceErrors = false; // a marked byte becomes replacement
        char replacement = 0;
        bool discardNull = false;   // zero bytes are dropped (after replacement)
    };

    void Configure(const Options& options);
    // Forgets a partly received mark (after the input queue was purged).
    void Reset() { state_ = State::Plain; }
    // Appends the decoded form of raw[0..n) to out.
    void Decode(const char* raw, std::size_t n, std::string& out);

private:
    enum class State { Plain, Escape, Marked };
    void Emit(char c, std::string& out) const;

    Options options_;
    State state_ = State::Plain;
};

}  // namespace portvale
