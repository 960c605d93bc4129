#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "framework/Exceptions.h"
#include "framework/IniFile.h"
#include "framework/StringList.h"
#include "framework/SysUtils.h"

namespace portvale {
namespace {

struct IntCase {
    const char* text;
    bool ok;
    std::int32_t value;
};

TEST(SysUtilsTest, IntegerParseRules) {
    const IntCase cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {"   42", true, 42},
        {"\t-17", true, -17},
        {"+8", true, 8},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"$10", true, 16},
        {"x1F", true, 31},
        {"X1f", true, 31},
        {"0x1001", true, 4097},
        {"0X7fffFFFF", true, INT32_MAX},
        {"$FFFFFFFF", true, -1},
        {"-$10", true, -16},
        {"$100000000", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"-", false, 0},
        {"$", false, 0},
        {"12a", false, 0},
        {"1 2", false, 0},
        {"12 ", false, 0},
        {"0x", false, 0},
        {"abc", false, 0},
    };
    for (const auto& c : cases) {
        std::int32_t value = 12345;
        EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
        EXPECT_EQ(StrToIntDef(c.text, -99), c.ok ? c.value : -99) << '"' << c.text << '"';
    }
}

TEST(SysUtilsTest, TextComparisonIgnoresCase) {
    EXPECT_TRUE(SameText("ComPort1", "COMPORT1"));
    EXPECT_LT(CompareText("apple", "Banana"), 0);
    EXPECT_GT(CompareText("COM10", "com1"), 0);
    EXPECT_EQ(Format("Cannot open file %s (%d)", "x", 3), "Cannot open file x (3)");
}

TEST(StringListTest, SortsAsTextWithoutRegardToCase) {
    TStringList list;
    for (const char* s : {"ttyUSB0", "COM3", "com1", "Bravo", "alpha"}) list.Add(s);
    list.Sort();
    EXPECT_EQ(list.Text(), "alpha\nBravo\ncom1\nCOM3\nttyUSB0\n");
    EXPECT_EQ(list.IndexOf("BRAVO"), 1);
    EXPECT_EQ(list.IndexOf("charlie"), -1);
}

TEST(StringListTest, SortedListsInsertInPlaceAndIndexErrorsCarryTheIndex) {
    TStringList list;
    list.SetSorted(true);
    list.Add("COM3");
    list.Add("COM1");
    EXPECT_EQ(list.Add("com2"), 1);
    EXPECT_EQ(list[0], "COM1");
    try {
        (void)list.Strings(3);
        FAIL() << "no exception";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (3)");
    }
    EXPECT_THROW(list.Delete(-1), EListError);
    list.SetText("a\r\nb\n");
    EXPECT_EQ(list.Count(), 2);
}

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/portvale-ini-XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

TEST_F(IniFileTest, ReadsAndWritesStringsAndIntegers) {
    TIniFile ini(dir + "/comport.ini");
    ini.WriteString("ComPort1", "Port", "COM1");
    ini.WriteInteger("ComPort1", "Buffer.InputSize", -4096);
    EXPECT_EQ(ini.ReadString("comport1", "port", ""), "COM1");
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Buffer.InputSize", 0), -4096);
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Missing", 7), 7);
    std::ofstream(dir + "/hand.ini") << "[S]\nHex= 0x1001\nBad=12x\n";
    TIniFile hand(dir + "/hand.ini");
    EXPECT_EQ(hand.ReadInteger("S", "Hex", 0), 4097);
    EXPECT_EQ(hand.ReadInteger("S", "Bad", 5), 5);
}

TEST_F(IniFileTest, AFailedWriteRaises) {
    TIniFile ini(dir + "/no/such/dir/comport.ini");
    try {
        ini.WriteString("S", "K", "v");
        FAIL() << "no exception";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + dir + "/no/such/dir/comport.ini");
    }
}

}  // namespace
}  // namespace portvale
