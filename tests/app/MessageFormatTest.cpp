// Typed text to bytes and received bytes to text, in the four formats.
#include <gtest/gtest.h>

#include "app/MessageFormat.h"

namespace portvale {
namespace {

struct EncodeRow {
    int format;
    const char* text;
    TLineEnds ends;
    std::string bytes;      // expected when error is null
    const char* error;      // expected error text, or null
};

constexpr TLineEnds kNone{false, false};
constexpr TLineEnds kBoth{true, true};

class EncodeTest : public ::testing::TestWithParam<EncodeRow> {};

TEST_P(EncodeTest, GivesTheBytesOrTheErrorAndNothingElse) {
    const EncodeRow& row = GetParam();
    const TEncodedMessage result = ConvertMessage(row.text, row.format, row.ends);
    if (row.error) {
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(result.bytes, "") << "a failed conversion sends nothing, not even the line ends";
    } else {
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(result.bytes, row.bytes);
    }
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Formats, EncodeTest,
    ::testing::Values(
        // String: one byte per character up to U+00FF, line ends after.
        EncodeRow{mfString, "AB", kBoth, "AB\r\n", nullptr},
        EncodeRow{mfString, "", kNone, "", nullptr},
        EncodeRow{mfString, "", kBoth, "\r\n", nullptr},
        EncodeRow{mfString, "\xC3\xA9\xC3\xBF", kNone, "\xE9\xFF", nullptr},  // é ÿ
        EncodeRow{mfString, "CR only", TLineEnds{true, false}, "CR only\r", nullptr},
        EncodeRow{mfString, "LF only", TLineEnds{false, true}, "LF only\n", nullptr},
        // Binary: bits run on across spaces; bits that do not make whole bytes fail.
        EncodeRow{mfBinary, "10001000 10001000", kBoth, "\x88\x88\r\n", nullptr},
        EncodeRow{mfBinary, "1000100010001000", kNone, "\x88\x88", nullptr},
        EncodeRow{mfBinary, "1000 1000 1000 1000", kNone, "\x88\x88", nullptr},
        EncodeRow{mfBinary, "100010001", kNone, "", sNotBinary},
        EncodeRow{mfBinary, "1010", kBoth, "", sNotBinary},
        EncodeRow{mfBinary, "111111111111", kNone, "", sNotBinary},
        EncodeRow{mfBinary, "", kBoth, "\r\n", nullptr},
        EncodeRow{mfBinary, "10201000", kBoth, "", sNotBinary},
        EncodeRow{mfBinary, "1000\t1000", kNone, "", sNotBinary},
        // Decimal: fields at spaces, signed 32-bit and $/0x forms, at most 255.
        EncodeRow{mfDecimal, "11 22 33 255", kBoth, "\x0B\x16\x21\xFF\r\n", nullptr},
        EncodeRow{mfDecimal, "11 22 ", kNone, "\x0B\x16", nullptr},
        EncodeRow{mfDecimal, "11  22", kNone, "\x0B\x16", nullptr},  // empty field: no byte
        EncodeRow{mfDecimal, " 11", kNone, "\x0B", nullptr},
        EncodeRow{mfDecimal, "  ", kBoth, "\r\n", nullptr},
        EncodeRow{mfDecimal, "-1 -56 007 $10 0x1F", kNone, "\xFF\xC8\x07\x10\x1F", nullptr},
        EncodeRow{mfDecimal, "0", kNone, "\0"s, nullptr},
        EncodeRow{mfDecimal, "256", kBoth, "", sAbove255},
        EncodeRow{mfDecimal, "65536", kNone, "", sAbove255},
        EncodeRow{mfDecimal, "1 abc", kBoth, "", sNotDecimal},
        EncodeRow{mfDecimal, "1.5", kNone, "", sNotDecimal},
        EncodeRow{mfDecimal, "12a", kNone, "", sNotDecimal},
        EncodeRow{mfDecimal, "99999999999", kNone, "", sNotDecimal},
        // Hex: digits only, unsigned, at most FF, 32 bits at most; its own texts.
        EncodeRow{mfHex, "ff 0A", kBoth, "\xFF\x0A\r\n", nullptr},
        EncodeRow{mfHex, "00 7f", kNone, "\0\x7F"s, nullptr},
        EncodeRow{mfHex, "100", kNone, "", sAboveFF},
        EncodeRow{mfHex, "FFFFFFFF", kNone, "", sAboveFF},
        EncodeRow{mfHex, "100000000", kNone, "", sNotHex},
        EncodeRow{mfHex, "0x1F", kNone, "", sNotHex},
        EncodeRow{mfHex, "$1F", kNone, "", sNotHex},
        EncodeRow{mfHex, "-1", kNone, "", sNotHex},
        EncodeRow{mfHex, "G1", kBoth, "", sNotHex},
        EncodeRow{mfHex, "4G", kNone, "", sNotHex}));

TEST(EncodeTest, StringRefusesACharacterWithoutASingleByteAndNamesIt) {
    const TEncodedMessage result = ConvertMessage("price \xE2\x82\xAC 5", mfString, kBoth);  // €
    EXPECT_EQ(result.bytes, "");
    EXPECT_NE(result.error.find("U+20AC"), std::string::npos) << result.error;
}

TEST(RenderTest, EachFormatShowsEveryByteValue) {
    const std::string bytes("\x00\x7F\x80\xFF\x0D\xC8", 6);
    EXPECT_EQ(FormatBytes(bytes, mfDecimal), "0 127 128 255 13 200 ");
    EXPECT_EQ(FormatBytes(bytes, mfHex), "00 7F 80 FF 0D C8 ");
    EXPECT_EQ(FormatBytes(bytes, mfBinary),
              "00000000 01111111 10000000 11111111 00001101 11001000 ");
    EXPECT_EQ(FormatBytes({}, mfHex), "");
}

TEST(RenderTest, StringShowsControlBytesVisiblyAndCutsNothing) {
    struct Row {
        std::string bytes;
        std::string text;
    };
    for (const Row& row : {Row{"A\r\nB\t", "A\r\nB\t"},
                           Row{std::string("\0tail", 5), "<NUL>tail"}, Row{"\x1B[0m", "<ESC>[0m"},
                           Row{"\x7F\x1F", "<DEL><US>"}, Row{"\x85", "<85>"},
                           Row{"\xA0\xE9\xFF", "\xC2\xA0\xC3\xA9\xC3\xBF"}}) {  // Latin-1
        EXPECT_EQ(FormatBytes(row.bytes, mfString), row.text);
    }
}

}  // namespace
}  // namespace portvale
