#include "app/PaneFeed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <vector>

#include "app/MessageFormat.h"

namespace portvale {
namespace {

using std::chrono::milliseconds;

struct Block {
    std::string bytes;
    int format;
    int atMs;  // arrival, from the first block
};

std::vector<Block> OneByteAtATime(const std::string& text, int format = mfString) {
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < text.size(); ++i) blocks.push_back({text.substr(i, 1), format, static_cast<int>(i)});
    return blocks;
}

std::vector<Block> Then(std::vector<Block> a, const std::vector<Block>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(PaneFeedTest, BytesJoinTheTopLineInOrderUntilALineEndAPauseOrAFullLine) {
    const std::string s1030(1030, 'a');
    struct Case {
        const char* name;
        std::vector<Block> blocks;
        std::string pane;
    };
    const std::vector<Case> cases = {
        {"a device sending a byte at a time", Then(OneByteAtATime("Temperature=21.5C\r\n"), {{"T=22\r\n", mfString, 30}}),
         "T=22\nTemperature=21.5C"},
        {"blocks of one burst", {{"AB", mfString, 0}, {"CD", mfString, 5}, {"EF", mfString, 10}}, "ABCDEF"},
        {"a pause ends the line", {{"AB", mfString, 0}, {"CD", mfString, 100}}, "CD\nAB"},
        {"a lone CR, a CR LF cut between blocks, a blank line of the data's own",
         {{"A\rB\r", mfString, 0}, {"\nC\n\nD", mfString, 1}}, "D\n\nC\nB\nA"},
        {"a line end after a pause belongs to the line before it",
         {{"OK", mfString, 0}, {"\r\n", mfString, 200}, {"X", mfString, 201}}, "X\nOK"},
        {"String lines hold 1024 characters", {{s1030, mfString, 0}}, "aaaaaa\n" + std::string(1024, 'a')},
        {"Hex lines hold 16 bytes; line ends are data",
         {{std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10\x0D\x0A", 19), mfHex, 0}},
         "10 0D 0A \n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "},
        {"Binary lines hold 8 bytes", {{"\x41" "ABCDEFG", mfBinary, 0}, {"\xFF", mfBinary, 1}},
         "11111111 \n01000001 01000001 01000010 01000011 01000100 01000101 01000110 01000111 "},
        {"Decimal", {{"\x0D\xC8", mfDecimal, 0}}, "13 200 "},
        {"a change of format starts a line", {{"AB", mfString, 0}, {"CD", mfHex, 1}}, "43 44 \nAB"},
        {"UTF-8 cut between blocks", {{"\xE2\x82", mfString, 0}, {"\xAC" "1", mfString, 1}}, "\xE2\x82\xAC" "1"},
        {"bytes that are not UTF-8 show as Latin-1; controls by name",
         {{std::string("\xFF" "A\xC3(\xC2\x80\x00\x1B\x7F\t\x9B", 11), mfString, 0}},
         "\xC3\xBF" "A\xC3\x83(<80><NUL><ESC><DEL>\t<9B>"},
    };
    for (const Case& c : cases) {
        TRichEdit pane(nullptr);
        TPaneFeed feed(pane);
        const TArrival start = TArrival::Now();
        for (const Block& b : c.blocks)
            feed.Show(b.bytes, b.format, {start.steady + milliseconds(b.atMs), start.wall + milliseconds(b.atMs)});
        EXPECT_EQ(pane.Text(), c.pane) << c.name;
    }
}

// A byte that could start a UTF-8 character waits at a block's end for the rest; when
// the pause ends the line without it, it was a character of its own.
TEST(PaneFeedTest, BytesHeldForACharacterShowAsTheirCodesWhenThePauseEndsTheLine) {
    struct Step {
        const char* bytes;  // null: the pause timer looks at the pane
        int atMs;
        std::string pane;
    };
    const std::vector<std::vector<Step>> cases = {
        // A Latin-1 device's last byte.
        {{"caf\xE9", 0, "caf"}, {nullptr, 99, "caf"}, {nullptr, 100, "caf\xC3\xA9"}, {"!", 300, "!\ncaf\xC3\xA9"}},
        // Finished by the next block within the pause.
        {{"\xC3", 0, ""}, {nullptr, 50, ""}, {"\xA9", 60, "\xC3\xA9"}, {nullptr, 160, "\xC3\xA9"}},
        // A three-byte start that never ends, after a line end.
        {{"OK\r\n\xE2\x82", 0, "OK"}, {nullptr, 100, "\xC3\xA2<82>\nOK"}, {"\r\nx", 200, "x\n\xC3\xA2<82>\nOK"}},
    };
    for (const std::vector<Step>& steps : cases) {
        TRichEdit pane(nullptr);
        TPaneFeed feed(pane);
        const TArrival t0 = TArrival::Now();
        for (const Step& step : steps) {
            const auto at = milliseconds(step.atMs);
            step.bytes ? feed.Show(step.bytes, mfString, {t0.steady + at, t0.wall + at}) : feed.PauseOver(t0.steady + at);
            EXPECT_EQ(pane.Text(), step.pane) << steps[0].bytes << " at " << step.atMs << " ms";
        }
    }
}

TEST(PaneFeedTest, AQueuedBurstRendersOnlyTheNewestBytesThePaneCanKeep) {
    TRichEdit pane(nullptr);
    pane.SetCapacity(12);
    TPaneFeed feed(pane);
    std::string thirty;
    for (char b = 0; b < 30; ++b) thirty.push_back(b);
    feed.Queue(thirty.substr(0, 10), mfHex, TArrival::Now());
    feed.Queue(thirty.substr(10), mfHex, TArrival::Now());
    EXPECT_EQ(pane.Text(), "") << "nothing rendered before Render";
    feed.Render();
    // Bytes 0x0A.. on, lines counted from there; the pane keeps the newest 12 bytes.
    EXPECT_EQ(pane.Text(), "1A 1B 1C 1D ");
}

TEST(PaneFeedTest, ShowTimeStampsEachLineWithItsFirstBytesArrival) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    TRichEdit pane(nullptr);
    TPaneFeed feed(pane);
    feed.ShowTime = true;
    const auto wall = std::chrono::system_clock::time_point(std::chrono::seconds(3723)) + milliseconds(456);
    const auto steady = std::chrono::steady_clock::now();
    feed.Show("ab", mfString, {steady, wall});
    feed.Show("c\r\n", mfString, {steady + milliseconds(50), wall + milliseconds(50)});
    feed.Show("d", mfString, {steady + milliseconds(70), wall + milliseconds(70)});
    EXPECT_EQ(pane.Text(), "01:02:03.526 d\n01:02:03.456 abc");
    // What the user set on the pane stays whole; the next bytes start a line above it.
    pane.UserSetText("note");
    feed.Show("e", mfString, {steady + milliseconds(80), wall + milliseconds(80)});
    EXPECT_EQ(pane.Text(), "01:02:03.536 e\nnote");
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace portvale
