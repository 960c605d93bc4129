#pragma once
// The capture file of a headless run: every forwarded block in the text of
// CaptureFormat.h, written by a thread of its own so that the bridge never waits for
// the disk.
//
// Threading: Add is called on one thread (the GUI thread); it stamps the block, copies
// it into a queue and returns. The writer thread, at the lowest priority (nice 19)
// and within 3% of one processor, formats and writes: enough for traffic of about
// 4 MiB/s, far above any serial line. When the writer is behind by more than the
// queue's limit, further blocks are left out of the capture (never out of the
// bridge), and a note in the file says how many bytes are missing there. The report
// callback runs on the writer thread.
//
// Disk use: with a size limit, the file becomes FILE.1 (replacing the old one) before
// a line would take it past the limit, so the two files hold at most twice the limit.
// A write that fails (full disk, file size limit) is reported; the file is cut back to
// its last whole line, and the capture goes on trying with the blocks that follow. A
// note in the file says how many bytes are missing wherever some are.
//
// Someone else may cut the file short meanwhile (a user emptying it to make room):
// the writes append, so they go on at its end wherever that is, and the size that
// rotation and the cutting back work from is asked of the file when they need it,
// never taken from memory (a cut to a remembered size past the end would fill the
// file with zeros).
//
// The report comes once per episode: one line when writing starts failing, one when
// it works again, nothing between. Writes that fit in the room the cutting back
// itself left (the tail of a line under a size limit, the blocks it freed on a full
// disk) do not end the episode: writing works again once the file takes text past
// where the last write failed, or the file was made shorter than what it was cut back
// to (emptied, or a new one after rotation).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "headless/CaptureFormat.h"

namespace portvale::headless {

class CaptureFile {
public:
    struct Settings {
        std::string path;
        std::uint64_t maxBytes = 0;          // 0: no rotation
        // Bytes of blocks not yet formatted: room for all the bridge takes in at once
        // ahead of a slow side (kHighWater and a read), with some to spare.
        std::size_t queueLimit = 2 << 20;
    };
    using Report = std::function<void(const std::string&)>;

    // Opens the file for appending, creating it; throws std::runtime_error naming the
    // file and the reason when it cannot.
    CaptureFile(Settings settings, Report report);
    // Writes what is queued, then ends the thread.
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // `direction` is "tcp>com" or "com>tcp"; `peer` the client's address or empty.
    void Add(std::string_view direction, std::string_view peer, std::string_view bytes);
    // Returns once everything added before was written (or given up); meanwhile the
    // writer is not held to its share of the processor.
    void Drain();
    // Bytes of blocks that are not in the capture.
    std::uint64_t LostBytes() const { return lost_.load(std::memory_order_relaxed); }

private:
    struct Block {
        timespec when;
        std::string direction;
        std::string peer;
        std::string bytes;
    };

    void Run();
    void Format(const Block& block);
    void Note(const timespec& when, const std::string& text);
    // Starts the next file when `length` more bytes would take this one past the limit.
    void RotateIfFull(std::size_t length);
    void Rotate();
    bool Open(bool truncate);
    // fileSize_ from the file itself; false when it cannot tell (not a file).
    bool Measure();
    // Whether `length` more bytes would take the file past the limit: by the
    // remembered size, and when that says so, by the real one.
    bool Full(std::uint64_t length);
    void WriteOut();
    // After a write that failed having taken `done` bytes: back to the last whole line.
    void CutBack(std::size_t done);
    // Whether a write of `written` bytes that succeeded during a failure episode ends it.
    bool Recovered(std::size_t written);
    void Pace();
    void Rest();
    void Lose(std::uint64_t bytes);

    const Settings settings_;
    const Report report_;

    std::mutex mutex_;
    std::condition_variable wake_;     // the writer: work or the end
    std::condition_variable drained_;  // Drain: the queue is written
    std::vector<Block> queue_;
    std::size_t queued_ = 0;           // bytes in queue_
    std::atomic<std::size_t> inHand_{0};  // bytes of the writer's batch not yet formatted
    std::uint64_t skipped_ = 0;        // bytes left out since the writer last looked
    bool writing_ = false;
    bool stopping_ = false;
    int draining_ = 0;                 // callers waiting in Drain

    // The writer thread's own.
    int fd_ = -1;
    bool regular_ = false;             // a file, not a pipe or a device
    std::uint64_t fileSize_ = 0;
    std::uint64_t started_ = 0;        // text before this is on its way to the disk
    std::uint64_t dropped_ = 0;        // text before this has left the page cache
    std::string buffer_;               // whole lines not yet written
    std::uint64_t bufferBytes_ = 0;    // block bytes those lines show
    std::uint64_t missing_ = 0;        // bytes lost and not yet told in a note
    std::uint64_t bufferMissing_ = 0;  // what the notes in buffer_ tell
    bool failing_ = false;             // the last write failed
    bool episode_ = false;             // failing was reported, working again not yet
    bool failedKnown_ = false;         // failedEnd_ and failedCut_ hold
    std::uint64_t failedEnd_ = 0;      // where the file ended when the last write failed
    std::uint64_t failedCut_ = 0;      // where it was cut back to then
    bool renameFailing_ = false;
    std::chrono::steady_clock::time_point lastLook_;
    std::chrono::nanoseconds lastCpu_{0};
    std::chrono::nanoseconds credit_{0};  // processor time the writer may still take
    std::string failure_;
    CaptureStamp stamp_;

    std::atomic<std::uint64_t> lost_{0};
    std::thread thread_;
};

}  // namespace portvale::headless
