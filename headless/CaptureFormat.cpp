#include "headless/CaptureFormat.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace portvale::headless {

namespace {

// "00000000  " + 16 * "xx " + the space in the middle + " |"
constexpr std::size_t kOffsetWidth = 8;
constexpr std::size_t kHexStart = kOffsetWidth + 2;
constexpr std::size_t kHexWidth = kCaptureBytesPerLine * 3 + 1;
constexpr std::size_t kTextStart = kHexStart + kHexWidth + 1;  // where '|' opens the text

constexpr char kDigits[] = "0123456789abcdef";

constexpr char Printable(unsigned char byte) { return byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.'; }

// The two hex digits of every byte value.
const std::array<std::array<char, 2>, 256>& HexPairs() {
    static const auto pairs = [] {
        std::array<std::array<char, 2>, 256> table{};
        for (std::size_t i = 0; i < 256; ++i) table[i] = {kDigits[i >> 4], kDigits[i & 15]};
        return table;
    }();
    return pairs;
}

std::size_t DecimalLength(std::size_t n) {
    std::size_t length = 1;
    while (n >= 10) {
        n /= 10;
        ++length;
    }
    return length;
}

std::size_t PrefixLength(const CaptureFields& f) {
    // "<stamp> <direction> [<peer> ]len=<n> "
    return f.stamp.size() + 1 + f.direction.size() + 1 + (f.peer.empty() ? 0 : f.peer.size() + 1) + 4 +
           DecimalLength(f.blockLength) + 1;
}

}  // namespace

std::string_view CaptureStamp::Text(const timespec& when) {
    if (when.tv_sec != second_) {
        second_ = when.tv_sec;
        std::tm local{};
        ::localtime_r(&second_, &local);
        char date[32];
        char zone[8];
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
        std::strftime(zone, sizeof zone, "%z", &local);
        text_ = std::string(date) + ".000000" + zone;
    }
    // Only the microseconds change within the second.
    const std::size_t micros = text_.find('.') + 1;
    long value = when.tv_nsec / 1000;
    for (std::size_t i = micros + 6; i-- > micros;) {
        text_[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return text_;
}

std::size_t CaptureLineLength(const CaptureFields& fields, std::size_t count) {
    // The text column holds only the line's bytes, then "|\n".
    return PrefixLength(fields) + kTextStart + 1 + count + 2;
}

void AppendCaptureLines(std::string& out, const CaptureFields& f, std::string_view part, std::size_t offset) {
    if (part.empty()) return;
    // Every full line of the block is the same template with its own offset, hex and
    // text patched in: a copy and a few stores per byte, since a capture runs at the
    // bridge's full speed.
    std::string line;
    line.reserve(PrefixLength(f) + kTextStart + kCaptureBytesPerLine + 3);
    line.append(f.stamp).append(" ").append(f.direction).append(" ");
    if (!f.peer.empty()) line.append(f.peer).append(" ");
    line.append("len=").append(std::to_string(f.blockLength)).append(" ");
    const std::size_t prefix = line.size();
    line.append(kTextStart, ' ');
    line.append("|");
    line.append(kCaptureBytesPerLine, '.');
    line.append("|\n");
    const std::size_t fullLine = line.size();

    const std::size_t lines = (part.size() + kCaptureBytesPerLine - 1) / kCaptureBytesPerLine;
    const std::size_t start = out.size();
    out.resize(start + lines * fullLine);  // the last line may be shorter; trimmed below
    char* p = out.data() + start;
    const auto* data = reinterpret_cast<const unsigned char*>(part.data());
    const auto& hex = HexPairs();
    for (std::size_t at = 0; at < part.size(); at += kCaptureBytesPerLine) {
        const std::size_t count = std::min(kCaptureBytesPerLine, part.size() - at);
        std::memcpy(p, line.data(), fullLine);
        char* body = p + prefix;
        for (std::size_t i = 0, v = offset + at; i < kOffsetWidth; ++i, v >>= 4)
            body[kOffsetWidth - 1 - i] = kDigits[v & 15];
        char* cells = body + kHexStart;
        char* text = body + kTextStart + 1;
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char byte = data[at + i];
            std::memcpy(cells + i * 3 + (i >= 8 ? 1 : 0), hex[byte].data(), 2);
            text[i] = Printable(byte);
        }
        if (count < kCaptureBytesPerLine) {
            text[count] = '|';
            text[count + 1] = '\n';
            p = text + count + 2;
        } else {
            p += fullLine;
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string CaptureNote(std::string_view stamp, std::string_view text) {
    std::string line;
    line.reserve(stamp.size() + text.size() + 4);
    line.append(stamp).append(" # ").append(text).append("\n");
    return line;
}

}  // namespace portvale::headless
