// The capture file's lines: the hexdump -C layout behind the block's fields, each
// line complete on its own, and the time stamp with microseconds.

#include <stdlib.h>

#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "headless/CaptureFormat.h"
#include "tests/headless/CaptureTestSupport.h"

namespace portvale::headless {
namespace {

constexpr char kStamp[] = "2026-12-07T11:32:32.123456+0100";

TEST(CaptureFormatTest, OneLinePerSixteenBytesWithTheBlockFieldsOnEach) {
    const std::string hello("Hello world\r\n\0\1\2\xff\xfe" "AB", 20);
    struct Row {
        std::string peer;
        std::string bytes;
        std::size_t offset;
        std::vector<std::string> lines;
    };
    for (const Row& row : {
             Row{"", "A", 0,
                 {"2026-12-07T11:32:32.123456+0100 com>tcp len=1 00000000  41                       "
                  "                         |A|"}},
             Row{"127.0.0.1:40312", hello, 0,
                 {"2026-12-07T11:32:32.123456+0100 com>tcp 127.0.0.1:40312 len=20 00000000  48 65 6c 6c 6f 20 "
                  "77 6f  72 6c 64 0d 0a 00 01 02  |Hello world.....|",
                  "2026-12-07T11:32:32.123456+0100 com>tcp 127.0.0.1:40312 len=20 00000010  ff fe 41 42    "
                  "                                   |..AB|"}},
             Row{"", std::string(16, '~'), 0,
                 {"2026-12-07T11:32:32.123456+0100 com>tcp len=16 00000000  7e 7e 7e 7e 7e 7e 7e 7e  7e 7e 7e "
                  "7e 7e 7e 7e 7e  |~~~~~~~~~~~~~~~~|"}},
             // The second part of a block split across files keeps the block's offsets.
             Row{"", std::string("\x7f "), 0x20,
                 {"2026-12-07T11:32:32.123456+0100 com>tcp len=40 00000020  7f 20                    "
                  "                         |. |"}},
         }) {
        std::string out;
        const std::size_t length = row.offset ? 40 : row.bytes.size();
        const CaptureFields fields{kStamp, "com>tcp", row.peer, length};
        AppendCaptureLines(out, fields, row.bytes, row.offset);
        std::string expected;
        for (const std::string& line : row.lines) expected += line + "\n";
        EXPECT_EQ(out, expected);
        // Every line as long as promised, whatever it holds.
        std::size_t at = 0;
        for (std::size_t done = 0; done < row.bytes.size(); done += kCaptureBytesPerLine) {
            const std::size_t count = std::min(kCaptureBytesPerLine, row.bytes.size() - done);
            const std::size_t end = out.find('\n', at) + 1;
            EXPECT_EQ(end - at, CaptureLineLength(fields, count)) << count;
            at = end;
        }
    }
}

TEST(CaptureFormatTest, NothingForAnEmptyBlockAndANoteLineForTheCapture) {
    std::string out = "kept";
    AppendCaptureLines(out, CaptureFields{kStamp, "tcp>com", "", 0}, "");
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(CaptureNote(kStamp, "12 bytes not captured: why"), std::string(kStamp) + " # 12 bytes not captured: why\n");
}

TEST(CaptureFormatTest, TheHexAndTextColumnsAreThoseOfHexdump) {
    if (::system("command -v hexdump >/dev/null 2>&1") != 0) GTEST_SKIP() << "hexdump is not installed";
    std::mt19937 generator(3);
    std::string block(203, '\0');
    for (char& c : block) c = static_cast<char>(generator());
    block.replace(40, 20, "printable text here!");
    char path[] = "/tmp/portvale-capture-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    ::close(fd);
    std::string dump;
    // -v: hexdump folds repeated lines into '*'; a capture never does.
    if (FILE* pipe = ::popen(("hexdump -Cv " + std::string(path)).c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) dump.append(buffer, n);
        ::pclose(pipe);
    }
    ::unlink(path);
    std::string ours;
    const CaptureFields fields{kStamp, "tcp>com", "10.0.0.7:5000", block.size()};
    AppendCaptureLines(ours, fields, block);
    const std::string prefix = std::string(kStamp) + " tcp>com 10.0.0.7:5000 len=203 ";
    std::string stripped;
    std::istringstream lines(ours);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        EXPECT_TRUE(std::regex_match(line, test::CaptureLinePattern())) << line;
        stripped += line.substr(prefix.size()) + "\n";
    }
    // hexdump ends with a line holding only the length.
    EXPECT_EQ(stripped + "000000cb\n", dump);
}

TEST(CaptureFormatTest, StampIsLocalTimeWithMicrosecondsAndTheOffset) {
    const char* saved = std::getenv("TZ");
    const std::string previous = saved ? saved : "";
    struct Row {
        const char* zone;
        timespec when;
        const char* text;
    };
    for (const Row& row : {
             Row{"UTC0", {1700000000, 123456789}, "2023-11-14T22:13:20.123456+0000"},
             Row{"UTC0", {1700000000, 999}, "2023-11-14T22:13:20.000000+0000"},
             Row{"UTC0", {1700000001, 5000}, "2023-11-14T22:13:21.000005+0000"},
             Row{"<+0530>-5:30", {1700000000, 1000}, "2023-11-15T03:43:20.000001+0530"},
         }) {
        ::setenv("TZ", row.zone, 1);
        ::tzset();
        CaptureStamp stamp;
        EXPECT_EQ(stamp.Text(row.when), row.text);
        // A second call in the same second comes from the remembered text.
        timespec later = row.when;
        later.tv_nsec = 7000;
        EXPECT_EQ(std::string(stamp.Text(later)).substr(20, 6), "000007");
    }
    if (saved)
        ::setenv("TZ", previous.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace portvale::headless
