#include "platform/ProfileFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace portvale {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/portvale-profile-XXXXXX";
        dir = ::mkdtemp(pattern);
        file = dir + "/settings.ini";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Contents() const {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void SetContents(const std::string& text) const { std::ofstream(file, std::ios::binary) << text; }

    std::string dir;
    std::string file;
};

TEST_F(ProfileFileTest, FirstWriteCreatesFileSectionAndKey) {
    ASSERT_TRUE(WritePrivateProfileString("ComPort1", "Port", std::string("COM1"), file));
    ASSERT_TRUE(WritePrivateProfileString("ComPort1", "BaudRate", std::string("9600"), file));
    EXPECT_EQ(Contents(), "[ComPort1]\nPort=COM1\nBaudRate=9600\n");
    EXPECT_EQ(GetPrivateProfileString("ComPort1", "BaudRate", "x", file), "9600");
}

TEST_F(ProfileFileTest, RewritesAKeyInPlaceAndKeepsEverythingElse) {
    SetContents("; hand-written\n[A]\nKey=1\nOther=2\n\n[B]\nKey=3\n");
    ASSERT_TRUE(WritePrivateProfileString("a", "KEY", std::string("9"), file));
    EXPECT_EQ(Contents(), "; hand-written\n[A]\nKEY=9\nOther=2\n\n[B]\nKey=3\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "New", std::string("n"), file));
    EXPECT_EQ(Contents(), "; hand-written\n[A]\nKEY=9\nOther=2\nNew=n\n\n[B]\nKey=3\n");
}

TEST_F(ProfileFileTest, NamesMatchWithoutRegardToCase) {
    SetContents("[ComPort1]\nParity=Even\n");
    EXPECT_EQ(GetPrivateProfileString("COMPORT1", "parity", "None", file), "Even");
    EXPECT_EQ(GetPrivateProfileString("comport1", "PARITY", "None", file), "Even");
}

TEST_F(ProfileFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", file), "dflt");
    SetContents("[S]\nK=v\n");
    EXPECT_EQ(GetPrivateProfileString("T", "K", "dflt", file), "dflt");
    EXPECT_EQ(GetPrivateProfileString("S", "L", "dflt", file), "dflt");
    // A key of another section is not found through this one.
    SetContents("[S]\n[T]\nK=v\n");
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", file), "dflt");
}

TEST_F(ProfileFileTest, ReadingTrimsBlanksStripsQuotesAndCutsLongValues) {
    const std::string longValue(3000, 'v');
    SetContents(" [ S ] \r\n  K1  =  spaced out  \r\nK2=\"quoted \"\r\nK3=" + longValue + "\r\nK4=\r\n");
    EXPECT_EQ(GetPrivateProfileString("S", "K1", "", file), "spaced out");
    EXPECT_EQ(GetPrivateProfileString("S", "K2", "", file), "quoted ");
    EXPECT_EQ(GetPrivateProfileString("S", "K3", "", file), std::string(2047, 'v'));
    EXPECT_EQ(GetPrivateProfileString("S", "K4", "dflt", file), "");
}

TEST_F(ProfileFileTest, KeepsTheFilesCrLfLineEnds) {
    SetContents("[S]\r\nK=1\r\n");
    ASSERT_TRUE(WritePrivateProfileString("S", "L", std::string("2"), file));
    EXPECT_EQ(Contents(), "[S]\r\nK=1\r\nL=2\r\n");
}

TEST_F(ProfileFileTest, DeletesKeysAndSections) {
    SetContents("[S]\nK=1\nL=2\n[T]\nM=3\n");
    ASSERT_TRUE(WritePrivateProfileString("S", "K", std::nullopt, file));
    EXPECT_EQ(Contents(), "[S]\nL=2\n[T]\nM=3\n");
    ASSERT_TRUE(WritePrivateProfileString("S", std::nullopt, std::nullopt, file));
    EXPECT_EQ(Contents(), "[T]\nM=3\n");
}

TEST_F(ProfileFileTest, AnUnwritablePlaceFailsAndChangesNothing) {
    EXPECT_FALSE(WritePrivateProfileString("S", "K", std::string("v"), dir + "/missing/dir/x.ini"));
    // A directory where the file should be.
    fs::create_directory(dir + "/taken.ini");
    EXPECT_FALSE(WritePrivateProfileString("S", "K", std::string("v"), dir + "/taken.ini"));
    EXPECT_TRUE(fs::is_directory(dir + "/taken.ini"));
}

}  // namespace
}  // namespace portvale
