#include "platform/serial/ReceiveFilter.h"

namespace portvale {

void ReceiveFilter::Configure(const Options& options) {
    // A mark split across reads belongs to the old settings only while they still
    // apply; with marks turned off a pending 0xFF would otherwise be swallowed.
    if (!options.errorMarks && state_ != State::Plain) state_ = State::Plain;
    options_ = options;
}

void ReceiveFilter::Emit(char c, std::string& out) const {
    if (options_.discardNull && c == '\0') return;
    out.push_back(c);
}

void ReceiveFilter::Decode(const char* raw, std::size_t n, std::string& out) {
    if (!options_.errorMarks && !options_.discardNull) {
        out.append(raw, n);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const char c = raw[i];
        if (!options_.errorMarks) {
            Emit(c, out);
            continue;
        }
        // PARMRK: 0xFF 0xFF is a received 0xFF; 0xFF 0x00 c is c received with a
        // parity or framing error (c is 0x00 for a break).
        switch (state_) {
            case State::Plain:
                if (c == '\xFF')
                    state_ = State::Escape;
                else
                    Emit(c, out);
                break;
            case State::Escape:
                if (c == '\xFF') {
                    Emit(c, out);
                    state_ = State::Plain;
                } else if (c == '\0') {
                    state_ = State::Marked;
                } else {
                    // Not a sequence the line discipline makes; keep both bytes
                    // rather than lose one.
                    Emit('\xFF', out);
                    Emit(c, out);
                    state_ = State::Plain;
                }
                break;
            case State::Marked:
                Emit(options_.replaceErrors ? options_.replacement : c, out);
                state_ = State::Plain;
                break;
        }
    }
}

}  // namespace portvale
