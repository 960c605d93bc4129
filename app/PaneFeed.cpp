#include "app/PaneFeed.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "app/MessageFormat.h"

namespace portvale {

namespace {

constexpr std::size_t kStringLineChars = 1024;

// How a UTF-8 sequence starting at bytes[i] stands: its length when whole and valid,
// 0 when it is not valid UTF-8, kUnfinished when the bytes end inside a valid start.
constexpr int kUnfinished = -1;

int Utf8Sequence(const std::string& bytes, std::size_t i) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    int length;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (int k = 1; k < length; ++k) {
        if (i + static_cast<std::size_t>(k) >= bytes.size()) return kUnfinished;
        const auto b = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
        if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string TimeStamp(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis < 0 ? millis + 1000 : millis));
    return text;
}

std::size_t TPaneFeed::LineLimit(int format) {
    switch (format) {
        case mfBinary: return 8;
        case mfDecimal:
        case mfHex: return 16;
        default: return kStringLineChars;
    }
}

void TPaneFeed::Show(const std::string& bytes, int format, TArrival at) {
    Queue(bytes, format, at);
    Render();
}

void TPaneFeed::Queue(const std::string& bytes, int format, TArrival at) {
    if (bytes.empty()) return;
    queue_.push_back(Block{bytes, format, at});
    queuedBytes_ += bytes.size();
    // Every byte shows as at least this much text, so more bytes than this would
    // push their own oldest text out of the pane.
    const std::size_t perByte = format == mfBinary ? 9 : format == mfString ? 1 : format == mfDecimal ? 2 : 3;
    const std::size_t keep = pane_.Capacity() / perByte + LineLimit(format);
    while (queuedBytes_ > keep) {
        Block& oldest = queue_.front();
        const std::size_t excess = queuedBytes_ - keep;
        if (excess >= oldest.bytes.size()) {
            queuedBytes_ -= oldest.bytes.size();
            queue_.pop_front();
        } else {
            oldest.bytes.erase(0, excess);
            queuedBytes_ -= excess;
        }
        gap_ = true;
    }
}

void TPaneFeed::Render() {
    overrun_ = gap_;
    if (gap_) {
        EndLine(false);
        softEnded_ = afterCr_ = false;
        carry_.clear();
        gap_ = false;
    }
    for (const Block& block : queue_) RenderBlock(block.bytes, block.format, block.at);
    queue_.clear();
    queuedBytes_ = 0;
}

std::optional<std::chrono::steady_clock::time_point> TPaneFeed::HeldUntil() const {
    // Queued blocks come first: one of them may finish the character.
    if (carry_.empty() || !queue_.empty()) return std::nullopt;
    return last_.steady + kLinePause;
}

void TPaneFeed::PauseOver(std::chrono::steady_clock::time_point now) {
    const auto until = HeldUntil();
    if (!until || now < *until) return;
    if (!pane_.TopLineOpen()) open_ = false;
    for (const char c : carry_) {
        MakeRoom();
        ++units_;
        *out_ += VisibleByte(static_cast<unsigned char>(c));
    }
    carry_.clear();
    Flush();
}

void TPaneFeed::RenderBlock(const std::string& bytes, int format, TArrival at) {
    // Text set on the pane since: what comes now is a line of its own.
    if (!pane_.TopLineOpen()) open_ = false;
    if (format != format_) {
        EndLine(false);
        softEnded_ = afterCr_ = false;
        format_ = format;
        limit_ = LineLimit(format);
    } else if (seenAny_ && at.steady - last_.steady >= kLinePause) {
        EndLine(true);
    }
    seenAny_ = true;
    last_ = at;
    lineArrival_ = at;
    if (format == mfString) {
        // Bytes of a character cut at the last block's end come first.
        if (carry_.empty()) {
            ShowString(bytes);
        } else {
            std::string joined = std::move(carry_);
            carry_.clear();
            joined += bytes;
            ShowString(joined);
        }
    } else {
        if (!carry_.empty()) {
            std::string joined = std::move(carry_);
            carry_.clear();
            ShowNumbers(joined);
        }
        ShowNumbers(bytes);
    }
    Flush();
}

void TPaneFeed::ShowString(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\n' || b == '\r') {
            // The LF of a CR LF ends nothing more.
            if (!(b == '\n' && afterCr_)) LineEnd();
            afterCr_ = b == '\r';
            ++i;
            continue;
        }
        afterCr_ = false;
        int length = b < 0x80 ? 1 : Utf8Sequence(bytes, i);
        if (length == kUnfinished) {
            carry_.assign(bytes, i, std::string::npos);
            return;
        }
        MakeRoom();
        ++units_;
        if (length <= 1) {
            *out_ += VisibleByte(b);
            ++i;
            continue;
        }
        // U+0080..U+009F are controls too: shown by code, as their single bytes are.
        if (b == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) <= 0x9F)
            *out_ += VisibleByte(static_cast<unsigned char>(bytes[i + 1]));
        else
            out_->append(bytes, i, static_cast<std::size_t>(length));
        i += static_cast<std::size_t>(length);
    }
}

void TPaneFeed::ShowNumbers(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size();) {
        MakeRoom();
        // The rest of the line in one run.
        const std::size_t run = std::min(limit_ - units_, bytes.size() - i);
        std::string& out = *out_;
        for (const std::size_t end = i + run; i < end; ++i) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            switch (format_) {
                case mfBinary:
                    for (int bit = 7; bit >= 0; --bit) out.push_back((b >> bit) & 1 ? '1' : '0');
                    break;
                case mfDecimal:
                    if (b >= 100) out.push_back(static_cast<char>('0' + b / 100));
                    if (b >= 10) out.push_back(static_cast<char>('0' + b / 10 % 10));
                    out.push_back(static_cast<char>('0' + b % 10));
                    break;
                default:
                    out.push_back(kHex[b >> 4]);
                    out.push_back(kHex[b & 15]);
                    break;
            }
            out.push_back(' ');
        }
        units_ += run;
    }
}

void TPaneFeed::MakeRoom() {
    if (open_ && units_ >= limit_) EndLine(true);
    if (!open_) BeginLine();
}

void TPaneFeed::BeginLine() {
    open_ = true;
    softEnded_ = false;
    units_ = 0;
    starts_.push_back(lines_.size());
    out_ = &lines_;
    if (ShowTime) lines_ += TimeStamp(lineArrival_.wall);
}

void TPaneFeed::EndLine(bool soft) {
    if (!open_) return;
    open_ = false;
    softEnded_ = soft;
}

void TPaneFeed::LineEnd() {
    if (open_) {
        EndLine(false);
    } else if (softEnded_) {
        softEnded_ = false;
    } else {
        // A line end with nothing before it: an empty line of the data's own.
        BeginLine();
        EndLine(false);
    }
}

void TPaneFeed::Flush() {
    if (!extend_.empty()) pane_.AppendToTopLine(std::move(extend_));
    if (!starts_.empty()) pane_.AddLines(lines_, starts_);
    extend_.clear();
    lines_.clear();
    starts_.clear();
    // The line left open is on top now, in the pane: more of it extends it there.
    out_ = &extend_;
}

}  // namespace portvale
