#pragma once
// The text of a capture file: one line per 16 bytes of a forwarded block, laid out as
// `hexdump -C` lays out a line, behind the block's own fields, so that every line can
// be found by grep on its own:
//
//   2026-12-07T11:32:32.123456+0100 tcp>com 127.0.0.1:40312 len=20 00000000  48 65 6c 6c 6f 20 77 6f  72 6c 64 0d 0a 00 01 02  |Hello world.....|
//   2026-12-07T11:32:32.123456+0100 tcp>com 127.0.0.1:40312 len=20 00000010  ff fe 41 42                                       |..AB|
//
// Fields: local wall-clock time with microseconds and the UTC offset; the direction;
// in server mode the client's address; the block's length in bytes (decimal); the
// offset of the line in the block (hex); the bytes in hex; the printable ones as text.
// A line that starts with '#' after the time is a note about the capture itself.
// Pure functions: no file, no clock, no thread.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace portvale::headless {

inline constexpr std::size_t kCaptureBytesPerLine = 16;

// Formats wall-clock times, remembering the last second's text: a burst of blocks
// pays for the calendar conversion once.
class CaptureStamp {
public:
    // "YYYY-MM-DDTHH:MM:SS.uuuuuu+hhmm" in local time.
    std::string_view Text(const timespec& when);

private:
    std::time_t second_ = -1;
    std::string text_;
};

// What every line of one block repeats.
struct CaptureFields {
    std::string_view stamp;      // the block's time as CaptureStamp gives it
    std::string_view direction;  // "tcp>com" or "com>tcp"
    std::string_view peer;       // the client's address, or empty
    std::size_t blockLength = 0;
};

// Appends the lines for `part`, the bytes of the block from `offset` on (a multiple of
// 16, so a block can be split across files at a line); nothing for an empty part.
void AppendCaptureLines(std::string& out, const CaptureFields& fields, std::string_view part,
                        std::size_t offset = 0);

// The length of a line that holds `count` (1..16) bytes.
std::size_t CaptureLineLength(const CaptureFields& fields, std::size_t count);

// A note line: "<stamp> # <text>\n".
std::string CaptureNote(std::string_view stamp, std::string_view text);

}  // namespace portvale::headless
