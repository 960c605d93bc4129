#pragma once
// Received bytes into the lines of a log pane, the newest line on top.
//
// Bytes join the top line in the order they came. A line ends at a line end in
// String format (LF, CR LF, or a CR not followed by LF; the line end itself is not
// shown), in every format when no byte came for kLinePause, and when it is full
// (16 bytes in Hex and Decimal, 8 in Binary, 1024 characters in String). A change of
// format, or text the user or program set on the pane, also starts a new line.
//
// String format shows valid UTF-8 as its characters, also when a character's bytes
// arrive in two blocks: an unfinished sequence waits here for the next block. Other
// bytes show as the character with that code, control bytes by name ("<ESC>"). When
// the line's pause passes and no block finished the sequence, its bytes were not
// UTF-8 after all (a Latin-1 device's final "\xE9"): PauseOver shows them as such, on
// the line they ended.
//
// Blocks may be queued and rendered later in one go (Queue, Render): a fast stream
// then renders only what the pane can keep. Queued bytes beyond what would fill the
// pane are dropped unrendered, oldest first, and the rest starts a new line.
//
// With ShowTime each line starts with the arrival time of its first byte
// ("HH:MM:SS.mmm "). Times are passed in, so the pane's behaviour does not depend on
// when a test runs.
//
// Threading: the pane's thread only. Each call costs the bytes given.

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "framework/controls/Controls.h"

namespace portvale {

inline constexpr std::chrono::milliseconds kLinePause{100};

struct TArrival {
    std::chrono::steady_clock::time_point steady;
    std::chrono::system_clock::time_point wall;
    static TArrival Now() { return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()}; }
};

class TPaneFeed {
public:
    explicit TPaneFeed(TRichEdit& pane) : pane_(pane) {}

    // Queue and Render at once.
    void Show(const std::string& bytes, int format, TArrival at);
    void Queue(const std::string& bytes, int format, TArrival at);
    void Render();
    bool Queued() const { return !queue_.empty(); }
    // The last Render left bytes out: they came faster than the pane can keep.
    bool Overrun() const { return overrun_; }
    bool ShowTime = false;

    // When the bytes of an unfinished character are to be shown as they stand, unless
    // a block comes first: the end of the pause after the last block. Nothing held,
    // or blocks still queued: none.
    std::optional<std::chrono::steady_clock::time_point> HeldUntil() const;
    // Shows the held bytes as the characters with their codes once their time (see
    // HeldUntil) has come by `now`; earlier, nothing changes.
    void PauseOver(std::chrono::steady_clock::time_point now);

    // The most a line holds in the format: bytes, or characters in String.
    static std::size_t LineLimit(int format);

private:
    struct Block {
        std::string bytes;
        int format;
        TArrival at;
    };
    void RenderBlock(const std::string& bytes, int format, TArrival at);
    void ShowString(const std::string& bytes);
    void ShowNumbers(const std::string& bytes);
    void BeginLine();
    // Makes room for one more byte or character, starting a line when needed.
    void MakeRoom();
    // soft: ended by a pause or a full line, so a line end that follows is that
    // line's own and starts no empty one.
    void EndLine(bool soft);
    void LineEnd();
    void Flush();

    TRichEdit& pane_;
    int format_ = -1;
    std::size_t limit_ = 0;
    TArrival last_{};
    bool seenAny_ = false;
    bool open_ = false;         // the pane's top line is ours and takes more
    bool softEnded_ = false;
    bool afterCr_ = false;
    std::size_t units_ = 0;     // bytes or characters on the open line
    // What a call gives the pane, in one go at its end: text for the line already on
    // top, then new lines one after another, each starting at an offset of starts_.
    std::string extend_;
    std::string lines_;
    std::vector<std::size_t> starts_;
    std::string* out_ = &extend_;  // where the open line's text goes
    std::string carry_;         // an unfinished UTF-8 sequence
    std::deque<Block> queue_;
    std::size_t queuedBytes_ = 0;
    bool gap_ = false;          // queued bytes were dropped unrendered
    bool overrun_ = false;
    TArrival lineArrival_{};
};

// "HH:MM:SS.mmm " in local time.
std::string TimeStamp(std::chrono::system_clock::time_point at);

}  // namespace portvale
