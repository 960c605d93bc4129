// The capture file: every block in order, rotation that keeps one old file and the
// size limit, and what happens when the disk cannot take more (a full device, a
// full tmpfs that gets room again) or the writer falls behind (a pipe nobody reads).

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "headless/CaptureFile.h"
#include "tests/app/FormTestSupport.h"
#include "tests/headless/CaptureTestSupport.h"

namespace portvale::headless {
namespace {

using test::CapturedBytes;
using test::ReadLines;

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

std::uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// What the capture reported, from its writer thread.
struct Reports {
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex);
        return lines;
    }
    int Count(const std::string& part) {
        int n = 0;
        for (const std::string& line : Lines()) n += line.find(part) != std::string::npos;
        return n;
    }
    CaptureFile::Report Sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

void ExpectEveryLineWhole(const std::string& path) {
    for (const std::string& line : ReadLines(path)) {
        const auto parsed = test::ParseCaptureLine(line);
        ASSERT_TRUE(parsed) << line;
        if (!parsed->note) {
            EXPECT_TRUE(std::regex_match(line, test::CaptureLinePattern())) << line;
        }
    }
}

// Walks capture text along everything added: each line's bytes come next, each note
// (for `reason`) skips as many bytes as it says. Returns where the text ends in
// `all`; `noted` adds up the notes.
std::size_t Walk(const std::string& all, const std::string& text, const std::string& reason, std::uint64_t& noted) {
    std::size_t at = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto parsed = test::ParseCaptureLine(line);
        if (!parsed) {
            ADD_FAILURE() << line;
            break;
        }
        if (parsed->note) {
            const std::uint64_t gap = std::stoull(parsed->noteText);
            EXPECT_EQ(parsed->noteText, std::to_string(gap) + " bytes not captured: " + reason);
            at += gap;
            noted += gap;
        } else if (all.compare(at, parsed->bytes.size(), parsed->bytes) != 0) {
            ADD_FAILURE() << "at byte " << at << ": " << line;
            break;
        } else {
            at += parsed->bytes.size();
        }
    }
    return at;
}

class CaptureFileTest : public ::testing::Test {
protected:
    test::ScratchDirectory dir;
    Reports reports;
};

TEST_F(CaptureFileTest, EveryBlockInOrderEachWayWithTheClientAddress) {
    const std::string path = dir.File("capture.txt");
    test::WriteFileBytes(path, "");  // an existing file is appended to
    std::string toCom, toTcp;
    {
        CaptureFile capture({path}, reports.Sink());
        for (int i = 0; i < 200; ++i) {
            const std::string block = RandomBytes(1 + static_cast<std::size_t>(i * 37 % 300), static_cast<unsigned>(i));
            if (i % 3) {
                capture.Add("tcp>com", "127.0.0.1:40312", block);
                toCom += block;
            } else {
                capture.Add("com>tcp", "127.0.0.1:40312", block);
                toTcp += block;
            }
        }
        capture.Drain();
        EXPECT_EQ(CapturedBytes({path}, "tcp>com"), toCom);
        EXPECT_EQ(capture.LostBytes(), 0u);
    }
    EXPECT_EQ(CapturedBytes({path}, "tcp>com"), toCom);
    EXPECT_EQ(CapturedBytes({path}, "com>tcp"), toTcp);
    for (const std::string& line : ReadLines(path)) EXPECT_EQ(test::ParseCaptureLine(line)->peer, "127.0.0.1:40312");
    ExpectEveryLineWhole(path);
    EXPECT_TRUE(reports.Lines().empty());

    // A second run goes on behind the first.
    {
        CaptureFile capture({path}, reports.Sink());
        capture.Add("tcp>com", "", "more");
    }
    EXPECT_EQ(CapturedBytes({path}, "tcp>com"), toCom + "more");
}

TEST_F(CaptureFileTest, RotationKeepsOneOldFileAndTheNewestBytesWithinTheLimit) {
    struct Row {
        std::uint64_t maxBytes;
        bool linePerFile;  // a limit below one line's length
        int blocks;
    };
    for (const Row& row : {Row{4000, false, 400}, Row{100000, false, 400}, Row{100, true, 20}}) {
        SCOPED_TRACE(row.maxBytes);
        const std::string path = dir.File("rotating-" + std::to_string(row.maxBytes) + ".txt");
        std::string all;
        {
            CaptureFile capture({path, row.maxBytes}, reports.Sink());
            for (int i = 0; i < row.blocks; ++i) {
                const std::string block = RandomBytes(1 + static_cast<std::size_t>(i * 53 % 700), static_cast<unsigned>(i));
                capture.Add("com>tcp", "", block);
                all += block;
            }
        }
        ASSERT_TRUE(std::filesystem::exists(path + ".1"));
        EXPECT_FALSE(std::filesystem::exists(path + ".2"));
        for (const std::string& file : {path, path + ".1"}) {
            ExpectEveryLineWhole(file);
            if (row.linePerFile) {
                EXPECT_EQ(ReadLines(file).size(), 1u);
            } else {
                EXPECT_LE(FileSize(file), row.maxBytes);
            }
        }
        // The two files hold the newest bytes, without a gap, a block split between
        // them at a line.
        const std::string kept = CapturedBytes({path + ".1", path}, "com>tcp");
        ASSERT_LE(kept.size(), all.size());
        EXPECT_TRUE(all.compare(all.size() - kept.size(), kept.size(), kept) == 0);
        if (!row.linePerFile) {
            EXPECT_GT(FileSize(path) + FileSize(path + ".1"), row.maxBytes / 2);
        }
    }
    EXPECT_TRUE(reports.Lines().empty());
}

TEST_F(CaptureFileTest, AFileThatCannotBeCreatedIsRefusedWithTheReason) {
    try {
        CaptureFile capture({dir.File("missing/capture.txt")}, reports.Sink());
        FAIL() << "opened";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot open capture file " + dir.File("missing/capture.txt") + ": No such file or directory");
    }
}

TEST_F(CaptureFileTest, AFullDeviceIsReportedOnceAndEveryByteCountedAsLost) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    std::uint64_t total = 0;
    CaptureFile capture({"/dev/full"}, reports.Sink());
    for (int i = 0; i < 50; ++i) {
        capture.Add("tcp>com", "", RandomBytes(1000, static_cast<unsigned>(i)));
        total += 1000;
        capture.Drain();  // each block a write of its own
    }
    EXPECT_EQ(capture.LostBytes(), total);
    ASSERT_EQ(reports.Lines().size(), 1u);
    EXPECT_EQ(reports.Lines()[0],
              "Capture: cannot write /dev/full: No space left on device; the bridge goes on, the capture resumes "
              "when the file can be written");
}

// A pipe nobody reads holds the writer up as a very slow disk would.
TEST_F(CaptureFileTest, AWriterThatFallsBehindLeavesCountedGapsAndNeverBlocksTheCaller) {
    const std::string path = dir.File("fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // The pipe is full before the capture starts, so its first write already waits.
    const int filler = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(filler, std::string(4096, 'f').data(), 4096)) > 0;) filled += static_cast<std::size_t>(n);
    ::close(filler);
    std::string before, after;
    auto capture = std::make_unique<CaptureFile>(CaptureFile::Settings{path, 0, 64 << 10}, reports.Sink());
    int i = 0;
    // Blocks keep coming while the writer is stuck; Add returns every time.
    while (capture->LostBytes() < 200000) {
        const std::string block = RandomBytes(4096, static_cast<unsigned>(i++));
        capture->Add("com>tcp", "", block);
        before += block;
    }
    EXPECT_GE(capture->LostBytes(), 200000u);
    std::string text;
    std::thread drain([&] {
        ::fcntl(reader, F_SETFL, 0);
        char buffer[65536];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    });
    capture->Drain();
    for (int j = 0; j < 20; ++j) {
        const std::string block = RandomBytes(4096, static_cast<unsigned>(1000 + j));
        capture->Add("com>tcp", "", block);
        after += block;
    }
    capture->Drain();
    const std::uint64_t lost = capture->LostBytes();
    capture.reset();
    drain.join();
    ::close(reader);
    ASSERT_EQ(text.substr(0, filled), std::string(filled, 'f'));
    text.erase(0, filled);

    std::uint64_t noted = 0;
    EXPECT_EQ(Walk(before + after, text, "the capture fell behind the bridge", noted), before.size() + after.size());
    EXPECT_EQ(noted, lost);
    EXPECT_TRUE(reports.Lines().empty());
}

// A file size limit for this process while it lives (SIGXFSZ ignored, as the program
// does): a write past it fails with EFBIG, part-way when it straddles the limit, as
// on a full disk, for root as for anyone.
struct FileSizeLimit {
    explicit FileSizeLimit(std::uint64_t bytes) : handler(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit limited = old;
        limited.rlim_cur = static_cast<rlim_t>(bytes);
        ok = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        Lift();
        std::signal(SIGXFSZ, handler);
    }
    void Lift() {
        if (ok) ::setrlimit(RLIMIT_FSIZE, &old);
        ok = false;
    }
    void (*handler)(int);
    rlimit old{};
    bool ok = false;
};

// What a capture file holds now, checked: whole lines only, and never a zero byte
// (a cut to a size past the end leaves zeros).
std::string Checked(const std::string& path) {
    const std::string text = test::ReadFileBytes(path);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "zero bytes in " << path << " (" << text.size() << " bytes)";
    ExpectEveryLineWhole(path);
    return text;
}

// The disk fills (here a file size limit) and a user empties the capture file now and
// then to make room: the writes go on at the file's real end, the cutting back after
// a failed write works from the real size, and each episode of failure is reported
// once at its start and once at its end, however many writes succeed in between in
// the room the cutting back left. Every byte added is in the file as it was before
// an emptying, or counted as lost and told in a note.
TEST_F(CaptureFileTest, AFileEmptiedByOthersWhileWritesFailGetsNoZerosAndOneReportPerEpisode) {
    const std::string path = dir.File("capture.txt");
    CaptureFile capture({path}, reports.Sink());
    std::string all;
    std::string texts;  // what the file held before each emptying, and at the end
    const auto add = [&](std::size_t bytes) {
        const std::string block = RandomBytes(bytes, static_cast<unsigned>(all.size()));
        capture.Add("tcp>com", "", block);
        all += block;
        capture.Drain();  // each block a write of its own
    };
    const auto empty = [&] {
        texts += Checked(path);
        ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    };
    const std::string cannot = "Capture: cannot write " + path + ": File too large;";
    const std::string again = "Capture: writing " + path + " again";
    const auto expectReports = [&](int failing, int working) {
        EXPECT_EQ(reports.Count(cannot), failing) << ::testing::PrintToString(reports.Lines());
        EXPECT_EQ(reports.Count(again), working) << ::testing::PrintToString(reports.Lines());
        EXPECT_EQ(reports.Lines().size(), static_cast<std::size_t>(failing + working));
    };

    // The text of a 1000-byte block: the limit lets six and a half in.
    add(1000);
    const std::uint64_t block = FileSize(path);
    FileSizeLimit limit(block * 13 / 2);
    ASSERT_TRUE(limit.ok);

    // The seventh block fills the file part-way and fails; it is cut back.
    for (int i = 0; i < 6; ++i) add(1000);
    EXPECT_EQ(capture.LostBytes(), 1000u);
    EXPECT_EQ(FileSize(path), 6 * block);
    expectReports(1, 0);

    // Small blocks: some fit in the half block the cutting back left, then the file
    // is full again. One episode still.
    for (int i = 0; i < 60; ++i) add(10);
    EXPECT_GT(capture.LostBytes(), 1000u);
    EXPECT_GT(CapturedBytes({path}, "tcp>com").size(), 6000u);
    expectReports(1, 0);

    // Emptied by a user: the next block goes to the start, and writing works again.
    empty();
    add(10);
    EXPECT_LT(FileSize(path), block);
    expectReports(1, 1);

    // Full again; emptied while failing; then a block too big for the limit, written
    // part-way: cut back to the file's real start, not to a remembered size.
    while (reports.Count(cannot) < 2) {
        ASSERT_LT(all.size(), 100000u) << "the limit was never reached";
        add(1000);
    }
    empty();
    add(8000);
    EXPECT_EQ(FileSize(path), 0u);
    expectReports(2, 1);

    // Room again: a block past where the writes failed ends the episode.
    limit.Lift();
    add(8000);
    texts += Checked(path);
    expectReports(2, 2);
    std::uint64_t noted = 0;
    EXPECT_EQ(Walk(all, texts, "the file could not be written", noted), all.size());
    EXPECT_EQ(noted, capture.LostBytes());
}

// A real full file system: a small tmpfs, filled up, then given room again.
class FullDiskTest : public CaptureFileTest {
protected:
    void SetUp() override {
        mountPoint = dir.File("small");
        std::filesystem::create_directory(mountPoint);
        if (::mount("portvale-test", mountPoint.c_str(), "tmpfs", 0, "size=96k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
        mounted = true;
    }
    void TearDown() override {
        if (mounted) ::umount2(mountPoint.c_str(), MNT_DETACH);
    }
    std::string mountPoint;
    bool mounted = false;
};

TEST_F(FullDiskTest, TheCaptureGoesOnWhenThereIsRoomAgainWithTheGapCounted) {
    const std::string path = mountPoint + "/capture.txt";
    const std::string filler = mountPoint + "/filler";
    test::WriteFileBytes(filler, std::string(48 << 10, 'f'));
    CaptureFile capture({path}, reports.Sink());
    std::string kept;
    int i = 0;
    while (capture.LostBytes() == 0) {
        ASSERT_LT(i, 1000) << "the tmpfs never filled up";
        const std::string block = RandomBytes(300, static_cast<unsigned>(i++));
        capture.Add("tcp>com", "", block);
        capture.Drain();
        if (capture.LostBytes() == 0) kept += block;
    }
    for (int j = 0; j < 5; ++j) {
        capture.Add("tcp>com", "", RandomBytes(300, 5000u + static_cast<unsigned>(j)));
        capture.Drain();
    }
    const std::uint64_t lost = capture.LostBytes();
    EXPECT_EQ(lost, 6u * 300u);
    EXPECT_EQ(reports.Count("Capture: cannot write " + path + ": No space left on device"), 1);
    // Cut back to the last whole line: nothing half written stays.
    ExpectEveryLineWhole(path);
    EXPECT_EQ(CapturedBytes({path}, "tcp>com"), kept);

    ASSERT_EQ(::unlink(filler.c_str()), 0);
    const std::string later = RandomBytes(300, 9999);
    capture.Add("tcp>com", "", later);
    capture.Drain();
    EXPECT_EQ(reports.Count("Capture: writing " + path + " again"), 1);
    EXPECT_EQ(capture.LostBytes(), lost);
    ExpectEveryLineWhole(path);
    EXPECT_EQ(CapturedBytes({path}, "tcp>com"), kept + later);
    const std::vector<std::string> lines = ReadLines(path);
    const auto note = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find(" # ") != std::string::npos; });
    ASSERT_NE(note, lines.end());
    EXPECT_EQ(test::ParseCaptureLine(*note)->noteText,
              std::to_string(lost) + " bytes not captured: the file could not be written");
}

}  // namespace
}  // namespace portvale::headless
