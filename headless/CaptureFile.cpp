#include "headless/CaptureFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace portvale::headless {

namespace {

// Lines are gathered up to this much before a write: few system calls, and a
// failed write loses little.
constexpr std::size_t kWriteChunk = 256 << 10;

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
    if (skipped_ > 0 || (!queue_.empty() && queued_ + bytes.size() > settings_.queueLimit)) {
        skipped_ += bytes.size();
        lost_.fetch_add(bytes.size(), std::memory_order_relaxed);
        return;
    }
    queue_.push_back(Block{now, std::string(direction), std::string(peer), std::string(bytes)});
    queued_ += bytes.size();
    const bool idle = !writing_;
    lock.unlock();
    if (idle) wake_.notify_one();
}

void CaptureFile::Drain() {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [&] { return queue_.empty() && skipped_ == 0 && !writing_; });
}

void CaptureFile::Run() {
    // The writer gets only the processor time nobody else wants: at the speed of a
    // serial line that is plenty, and when the bridge runs flat out on a busy machine
    // the capture falls behind and says so, rather than slowing the bridge down.
    const sched_param lowest{};
    ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &lowest);
    std::vector<Block> batch;
    for (;;) {
        std::uint64_t skipped = 0;
        {
            std::unique_lock lock(mutex_);
            writing_ = false;
            drained_.notify_all();
            wake_.wait(lock, [&] { return !queue_.empty() || skipped_ > 0 || stopping_; });
            if (queue_.empty() && skipped_ == 0) return;  // stopping, and all is written
            batch.swap(queue_);
            queued_ = 0;
            skipped = skipped_;
            skipped_ = 0;
            writing_ = true;
        }
        for (const Block& block : batch) Format(block);
        if (skipped > 0) {
            missing_ += skipped;
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            Note(now, "the capture fell behind the bridge");
        }
        WriteOut();
        batch.clear();
    }
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
            const std::uint64_t used = fileSize_ + buffer_.size();
            const std::uint64_t room = used < settings_.maxBytes ? settings_.maxBytes - used : 0;
            const std::size_t tail = rest % kCaptureBytesPerLine;
            const std::uint64_t restLength =
                (rest / kCaptureBytesPerLine) * fullLine + (tail ? CaptureLineLength(fields, tail) : 0);
            if (restLength > room) {
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
        AppendCaptureLines(buffer_, fields, bytes.substr(offset, take), offset);
        bufferBytes_ += take;
        offset += take;
        if (buffer_.size() >= kWriteChunk) WriteOut();
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
    if (settings_.maxBytes == 0) return;
    const std::uint64_t used = fileSize_ + buffer_.size();
    if (used == 0 || used + length <= settings_.maxBytes) return;
    WriteOut();
    Rotate();
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
    fileSize_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    return true;
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
            if (failing_) report_("Capture: writing " + settings_.path + " again");
            failing_ = false;
            buffer_.clear();
            bufferBytes_ = 0;
            bufferMissing_ = 0;
            return;
        }
        // A line cut short would run into the next one: back to the last whole line.
        if (done > 0 && ::ftruncate(fd_, static_cast<off_t>(fileSize_)) != 0) fileSize_ += done;
    }
    Lose(bufferBytes_);
    missing_ += bufferBytes_ + bufferMissing_;
    if (!failing_)
        report_("Capture: cannot write " + settings_.path + ": " + error +
                "; the bridge goes on, the capture resumes when the file can be written");
    failing_ = true;
    buffer_.clear();
    bufferBytes_ = 0;
    bufferMissing_ = 0;
}

void CaptureFile::Lose(std::uint64_t bytes) { lost_.fetch_add(bytes, std::memory_order_relaxed); }

}  // namespace portvale::headless
