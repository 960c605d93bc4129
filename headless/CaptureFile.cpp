#include "headless/CaptureFile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <ctime>
#include <stdexcept>

namespace portvale::headless {

namespace {

// Lines are gathered up to this much before a write: few system calls, and a
// failed write loses little.
constexpr std::size_t kWriteChunk = 256 << 10;
// The writer is woken when this much is queued, or a few milliseconds after the
// first block: one wake-up per batch rather than one per block.
constexpr std::size_t kBatch = 64 << 10;
constexpr auto kBatchDelay = std::chrono::milliseconds(5);
// Written text is pushed to the disk, and dropped from the page cache, this much at a time.
constexpr std::uint64_t kPaceStep = 4 << 20;
// The writer's share of one processor: enough for about 4 MiB/s of traffic, more than
// ten times a serial line at 3 Mbit/s. Measured with bench/bridge_bench.py on two
// busy cores, a tenth was already too much: the bridge between a pty and loopback
// TCP (50 MiB/s) lost a fifth of its speed, at this share it loses none.
constexpr double kCpuShare = 0.03;
// How much processor time a quiet writer may save up for a burst.
constexpr auto kCpuSaved = std::chrono::milliseconds(20);

std::chrono::nanoseconds ThreadCpuTime() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace

CaptureFile::CaptureFile(Settings settings, Report report)
    : settings_(std::move(settings)), report_(std::move(report)) {
    if (!Open(false)) throw std::runtime_error("cannot open capture file " + settings_.path + ": " + failure_);
    buffer_.reserve(kWriteChunk + (64 << 10));
    thread_ = std::thread([this] { Run(); });
}

CaptureFile::~CaptureFile() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

void CaptureFile::Add(std::string_view direction, std::string_view peer, std::string_view bytes) {
    if (bytes.empty()) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::unique_lock lock(mutex_);
    // Once one block is left out, so is every block until the writer has caught up:
    // what the file shows stays in order, with one gap where the note is.
    // The limit holds the writer's batch too, until each block of it is formatted: it
    // bounds the copies this capture keeps, not just the ones still queued.
    const std::size_t held = queued_ + inHand_.load(std::memory_order_relaxed);
    if (skipped_ > 0 || (held > 0 && held + bytes.size() > settings_.queueLimit)) {
        skipped_ += bytes.size();
        lost_.fetch_add(bytes.size(), std::memory_order_relaxed);
        return;
    }
    const bool first = queue_.empty();
    queue_.push_back(Block{now, std::string(direction), std::string(peer), std::string(bytes)});
    queued_ += bytes.size();
    const std::size_t enough = std::min(kBatch, settings_.queueLimit / 2);
    const bool wake = (first && !writing_) || (queued_ >= enough && queued_ - bytes.size() < enough);
    lock.unlock();
    if (wake) wake_.notify_one();
}

void CaptureFile::Drain() {
    std::unique_lock lock(mutex_);
    // Someone waits for the writer: it may take the processor time it needs.
    ++draining_;
    wake_.notify_one();
    drained_.wait(lock, [&] { return queue_.empty() && skipped_ == 0 && !writing_; });
    --draining_;
}

void CaptureFile::Run() {
    // The writer yields to everything else (nice 19, this thread only) and keeps to
    // its share of a processor: when the bridge runs flat out the capture falls behind
    // and says so, rather than slow the bridge down.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    lastLook_ = std::chrono::steady_clock::now();
    lastCpu_ = ThreadCpuTime();
    std::vector<Block> batch;
    for (;;) {
        std::uint64_t skipped = 0;
        {
            std::unique_lock lock(mutex_);
            writing_ = false;
            drained_.notify_all();
            wake_.wait(lock, [&] { return !queue_.empty() || skipped_ > 0 || stopping_; });
            if (queue_.empty() && skipped_ == 0) return;  // stopping, and all is written
            const std::size_t enough = std::min(kBatch, settings_.queueLimit / 2);
            wake_.wait_for(lock, kBatchDelay, [&] { return queued_ >= enough || skipped_ > 0 || stopping_; });
            batch.swap(queue_);
            inHand_.store(queued_, std::memory_order_relaxed);
            queued_ = 0;
            skipped = skipped_;
            skipped_ = 0;
            writing_ = true;
        }
        for (Block& block : batch) {
            Format(block);
            inHand_.fetch_sub(block.bytes.size(), std::memory_order_relaxed);
            std::string().swap(block.bytes);
        }
        if (skipped > 0) {
            missing_ += skipped;
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            Note(now, "the capture fell behind the bridge");
        }
        WriteOut();
        batch.clear();
        Rest();
    }
}

void CaptureFile::Rest() {
    // Priority alone is not enough on a machine the bridge keeps busy: the writer
    // would still take every gap between the bridge's threads, and their caches with
    // them. Processor time is earned at kCpuShare of the time that passes, a little
    // of it can be saved up for a burst, and what was spent beyond it is slept off.
    const auto now = std::chrono::steady_clock::now();
    const auto cpu = ThreadCpuTime();
    credit_ += std::chrono::duration_cast<std::chrono::nanoseconds>((now - lastLook_) * kCpuShare);
    credit_ = std::min(credit_, std::chrono::nanoseconds(kCpuSaved));
    credit_ -= cpu - lastCpu_;
    lastLook_ = now;
    lastCpu_ = cpu;
    if (credit_ >= std::chrono::nanoseconds(0)) return;
    {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::duration_cast<std::chrono::nanoseconds>(-credit_ / kCpuShare),
                       [&] { return stopping_ || draining_ > 0; });
    }
    credit_ = std::chrono::nanoseconds(0);
    lastLook_ = std::chrono::steady_clock::now();
}

void CaptureFile::Format(const Block& block) {
    if (missing_ > 0) Note(block.when, "the file could not be written");
    const CaptureFields fields{stamp_.Text(block.when), block.direction, block.peer, block.bytes.size()};
    const std::string_view bytes = block.bytes;
    const std::size_t fullLine = CaptureLineLength(fields, kCaptureBytesPerLine);
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t rest = bytes.size() - offset;
        std::size_t take = rest;
        if (settings_.maxBytes > 0) {
            const std::size_t tail = rest % kCaptureBytesPerLine;
            const std::uint64_t restLength =
                (rest / kCaptureBytesPerLine) * fullLine + (tail ? CaptureLineLength(fields, tail) : 0);
            if (Full(restLength)) {
                const std::uint64_t used = fileSize_ + buffer_.size();
                const std::uint64_t room = used < settings_.maxBytes ? settings_.maxBytes - used : 0;
                // As many whole lines as still fit; the block goes on in the next file.
                take = static_cast<std::size_t>(std::min<std::uint64_t>(room / fullLine, rest / kCaptureBytesPerLine)) *
                       kCaptureBytesPerLine;
                if (take == 0) {
                    if (used > 0) {
                        WriteOut();
                        Rotate();
                        if (missing_ > 0) Note(block.when, "the file could not be written");
                        continue;
                    }
                    // A limit below one line: each line gets a file of its own.
                    take = std::min(rest, kCaptureBytesPerLine);
                }
            }
        }
        // No more whole lines than the chunk has room for: a block of 256 KiB makes
        // 2 MiB of text, which would otherwise sit in the buffer all at once.
        const std::size_t room = buffer_.size() < kWriteChunk ? kWriteChunk - buffer_.size() : 0;
        take = std::min(take, std::max<std::size_t>(room / fullLine, 1) * kCaptureBytesPerLine);
        AppendCaptureLines(buffer_, fields, bytes.substr(offset, take), offset);
        bufferBytes_ += take;
        offset += take;
        if (buffer_.size() >= kWriteChunk) {
            WriteOut();
            // A failed write takes the rest of its block with it, as when a block's text
            // went out in one write: the capture goes on with the next block and its
            // note, not with a tail that may slip in just under a size limit and make
            // the failure be reported again.
            if (failing_ && offset < bytes.size()) {
                missing_ += bytes.size() - offset;
                Lose(bytes.size() - offset);
                return;
            }
        }
    }
}

void CaptureFile::Note(const timespec& when, const std::string& text) {
    auto line = [&] { return CaptureNote(stamp_.Text(when), std::to_string(missing_) + " bytes not captured: " + text); };
    // Making room may fail to write and so add to the count: the text is made after.
    RotateIfFull(line().size() + 8);
    buffer_ += line();
    // Should this write fail too, the count goes back to the next note.
    bufferMissing_ += missing_;
    missing_ = 0;
}

void CaptureFile::RotateIfFull(std::size_t length) {
    if (settings_.maxBytes == 0 || !Full(length) || fileSize_ + buffer_.size() == 0) return;
    WriteOut();
    Rotate();
}

bool CaptureFile::Full(std::uint64_t length) {
    const auto over = [&] { return fileSize_ + buffer_.size() + length > settings_.maxBytes; };
    // The remembered size is wrong only when someone else changed the file, and then
    // mostly too high (emptied behind our back): the file is asked only before a
    // rotation, which would otherwise put a short file over FILE.1.
    return over() && (!Measure() || over());
}

bool CaptureFile::Measure() {
    struct stat st {};
    if (fd_ < 0 || !regular_ || ::fstat(fd_, &st) != 0) return false;
    fileSize_ = static_cast<std::uint64_t>(st.st_size);
    started_ = std::min(started_, fileSize_);
    dropped_ = std::min(dropped_, fileSize_);
    return true;
}

void CaptureFile::Rotate() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    const std::string old = settings_.path + ".1";
    if (::rename(settings_.path.c_str(), old.c_str()) != 0 && errno != ENOENT) {
        // The file starts afresh all the same: the limit on the disk use holds.
        if (!renameFailing_) report_("Capture: cannot rename " + settings_.path + " to " + old + ": " + ErrorText(errno));
        renameFailing_ = true;
    } else {
        renameFailing_ = false;
    }
    fileSize_ = 0;
    Open(true);
}

bool CaptureFile::Open(bool truncate) {
    fd_ = ::open(settings_.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
    if (fd_ < 0) {
        failure_ = ErrorText(errno);
        return false;
    }
    struct stat st {};
    regular_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    fileSize_ = regular_ ? static_cast<std::uint64_t>(st.st_size) : 0;
    started_ = dropped_ = fileSize_;
    return true;
}

void CaptureFile::Pace() {
    // Left to itself the kernel writes the capture out with its flusher threads, at
    // normal priority beside the bridge, and keeps every page cached, crowding out
    // what others need. Here the writing starts from this thread (nice 19), and a
    // step once on the disk leaves the cache; a slow disk slows this thread only.
    if (!regular_ || fileSize_ - started_ < kPaceStep) return;
    ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(fileSize_ - started_),
                      SYNC_FILE_RANGE_WRITE);
    if (started_ > dropped_) {
        ::sync_file_range(fd_, static_cast<off_t>(dropped_), static_cast<off_t>(started_ - dropped_),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(fd_, static_cast<off_t>(dropped_), static_cast<off_t>(started_ - dropped_),
                        POSIX_FADV_DONTNEED);
        dropped_ = started_;
    }
    started_ = fileSize_;
}

void CaptureFile::WriteOut() {
    if (buffer_.empty()) return;
    std::string error;
    if (fd_ < 0 && !Open(false)) error = failure_;
    if (fd_ >= 0) {
        std::size_t done = 0;
        while (done < buffer_.size()) {
            const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                error = n < 0 ? ErrorText(errno) : "the file took nothing";
                break;
            }
        }
        if (error.empty()) {
            fileSize_ += done;
            if (episode_ && Recovered(done)) {
                report_("Capture: writing " + settings_.path + " again");
                episode_ = false;
            }
            failing_ = false;
            Pace();
            buffer_.clear();
            bufferBytes_ = 0;
            bufferMissing_ = 0;
            return;
        }
        CutBack(done);
    } else {
        failedKnown_ = false;
    }
    Lose(bufferBytes_);
    missing_ += bufferBytes_ + bufferMissing_;
    if (!episode_)
        report_("Capture: cannot write " + settings_.path + ": " + error +
                "; the bridge goes on, the capture resumes when the file can be written");
    episode_ = true;
    failing_ = true;
    buffer_.clear();
    bufferBytes_ = 0;
    bufferMissing_ = 0;
}

void CaptureFile::CutBack(std::size_t done) {
    failedKnown_ = Measure();
    if (!failedKnown_) {
        fileSize_ += done;  // a pipe or a device: nothing to take back
        return;
    }
    failedEnd_ = fileSize_;
    // A line cut short would run into the next one. The write appended, so its part
    // is the file's last `done` bytes; a file shorter than that was cut by someone
    // else since, and is left as it is. (Only a cut by someone else in the instant
    // between the two calls could still make the file longer.)
    if (done > 0 && fileSize_ >= done && ::ftruncate(fd_, static_cast<off_t>(fileSize_ - done)) == 0) {
        fileSize_ -= done;
        started_ = std::min(started_, fileSize_);
        dropped_ = std::min(dropped_, fileSize_);
    }
    failedCut_ = fileSize_;
}

bool CaptureFile::Recovered(std::size_t written) {
    if (!failedKnown_ || !Measure()) return true;
    const std::uint64_t start = fileSize_ > written ? fileSize_ - written : 0;
    return fileSize_ > failedEnd_ || start < failedCut_;
}

void CaptureFile::Lose(std::uint64_t bytes) { lost_.fetch_add(bytes, std::memory_order_relaxed); }

}  // namespace portvale::headless
