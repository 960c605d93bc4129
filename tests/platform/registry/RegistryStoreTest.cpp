// The file-backed registry: values survive in a readable file, names match without
// regard to case, enumeration order, Windows' error numbers, and a
// failed write that leaves the old file as it was.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry/Registry.h"

namespace portvale::reg {
namespace {

namespace fs = std::filesystem;

class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/portvale-registry-XXXXXX";
        dir = ::mkdtemp(pattern);
        SetRegistryRoot(dir + "/config");
    }
    void TearDown() override {
        SetRegistryRoot("");
        fs::remove_all(dir);
    }

    std::string UserFile() const { return dir + "/config/user.reg"; }
    static std::string Contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    HKEY Create(const std::string& path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = 0;
        EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, path, access, &key, nullptr), ERROR_SUCCESS);
        return key;
    }
    static LSTATUS SetString(HKEY key, const std::string& name, const std::string& text) {
        return RegSetValueEx(key, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    static LSTATUS SetNumber(HKEY key, const std::string& name, std::uint32_t n) {
        return RegSetValueEx(key, name, REG_DWORD, &n, sizeof n);
    }
    static std::string QueryString(HKEY key, const std::string& name) {
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        DWORD type = REG_NONE;
        EXPECT_EQ(RegQueryValueEx(key, name, &type, buffer, &size), ERROR_SUCCESS) << name;
        EXPECT_EQ(type, REG_SZ);
        return buffer;
    }

    std::string dir;
};

TEST_F(RegistryStoreTest, ValuesSurviveInAReadableFileAndMatchWithoutRegardToCase) {
    HKEY key = Create("Software\\Portvale\\ComPort1");
    DWORD disposition = 0;
    HKEY again = 0;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\portvale\\ComPort1\\", KEY_READ, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(SetString(key, "Port", "COM0"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "PORT", "COM1"), ERROR_SUCCESS);  // the first spelling stays
    ASSERT_EQ(SetNumber(key, "CustomBaudRate", 250000), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "", "quote \" back\\slash\nline"), ERROR_SUCCESS);
    EXPECT_EQ(Contents(UserFile()),
              "REGEDIT4\n\n"
              "[HKEY_CURRENT_USER\\Software]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Portvale]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Portvale\\ComPort1]\n"
              "\"Port\"=\"COM1\"\n"
              "\"CustomBaudRate\"=dword:0003d090\n"
              "@=\"quote \\\" back\\\\slash\\nline\"\n");
    EXPECT_EQ(QueryString(again, "port"), "COM1");
    EXPECT_EQ(QueryString(again, ""), "quote \" back\\slash\nline");
    std::uint32_t n = 0;
    DWORD size = sizeof n;
    DWORD type = REG_NONE;
    EXPECT_EQ(RegQueryValueEx(again, "CUSTOMBAUDRATE", &type, &n, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(n, 250000u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryStoreTest, EnumerationFollowsFirstSetOrderUntilNoMoreItems) {
    HKEY key = Create("Order");
    for (const char* name : {"b", "a", "c"}) ASSERT_EQ(SetString(key, name, name), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "a", "again"), ERROR_SUCCESS);  // keeps its place
    std::vector<std::string> seen;
    for (DWORD i = 0;; ++i) {
        char name[16];
        DWORD nameSize = sizeof name;
        char data[16];
        DWORD dataSize = sizeof data;
        const LSTATUS rc = RegEnumValue(key, i, name, &nameSize, nullptr, data, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(nameSize, 1u);
        seen.push_back(std::string(name) + "=" + data);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"b=b", "a=again", "c=c"}));
    RegCloseKey(key);
}

TEST_F(RegistryStoreTest, FailuresGiveWindowsErrorNumbers) {
    HKEY readOnly = 0;
    Create("Exists");
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Exists", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    HKEY out = 0;
    std::uint16_t shortNumber = 1;
    struct Case {
        const char* what;
        LSTATUS got;
        LSTATUS expected;
    };
    const Case cases[] = {
        {"missing key", RegOpenKeyEx(HKEY_CURRENT_USER, "Missing", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND},
        {"leading backslash", RegOpenKeyEx(HKEY_CURRENT_USER, "\\Exists", 0, KEY_READ, &out), ERROR_BAD_PATHNAME},
        {"empty name inside", RegCreateKeyEx(HKEY_CURRENT_USER, "A\\\\B", KEY_ALL_ACCESS, &out, nullptr),
         ERROR_BAD_PATHNAME},
        {"missing value", RegQueryValueEx(readOnly, "Nothing", nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND},
        {"write without the right", SetString(readOnly, "V", "x"), ERROR_ACCESS_DENIED},
        {"short integer", RegSetValueEx(Create("Exists"), "N", REG_DWORD, &shortNumber, 2), ERROR_INVALID_PARAMETER},
        {"unknown handle", RegQueryValueEx(0x7777, "V", nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE},
        {"delete missing value", RegDeleteValue(Create("Exists"), "Nothing"), ERROR_FILE_NOT_FOUND},
        {"create under HARDWARE", RegCreateKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\Mine", KEY_READ, &out, nullptr),
         ERROR_ACCESS_DENIED},
        {"write into HARDWARE", RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap", 0, KEY_WRITE, &out),
         ERROR_ACCESS_DENIED},
        {"unknown HARDWARE key", RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\Other", 0, KEY_READ, &out),
         ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
    EXPECT_FALSE(fs::exists(dir + "/config/machine.reg"));
}

TEST_F(RegistryStoreTest, HandEditedFileIsReadAndABrokenOneIsNeverOverwritten) {
    fs::create_directories(dir + "/config");
    std::ofstream(UserFile(), std::ios::binary) << "REGEDIT4\r\n; by hand\r\n\r\n"
                                                   "[hkey_current_user\\Hand\\Made]\r\n"
                                                   "  \"Tab\"=\"a\\tb\\x01\"  \r\n"
                                                   "\"Small\"=dword:1f\r\n";
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Hand", 0, KEY_READ, &key), ERROR_SUCCESS);  // implied parent
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Hand\\Made", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, "tab"), "a\tb\x01");
    std::uint32_t n = 0;
    DWORD size = sizeof n;
    EXPECT_EQ(RegQueryValueEx(key, "Small", nullptr, &n, &size), ERROR_SUCCESS);
    EXPECT_EQ(n, 31u);

    const std::string broken = "REGEDIT4\n[HKEY_CURRENT_USER\\Hand\\Made]\n\"Port\"=oops\n";
    std::ofstream(UserFile(), std::ios::binary | std::ios::trunc) << broken;
    EXPECT_EQ(SetString(key, "Port", "COM1"), ERROR_BADDB);
    EXPECT_EQ(RegQueryValueEx(key, "Port", nullptr, nullptr, nullptr), ERROR_BADDB);
    EXPECT_EQ(Contents(UserFile()), broken);
    RegCloseKey(key);
}

TEST_F(RegistryStoreTest, FailedWriteLeavesTheOldFileWhole) {
    HKEY key = Create("Software\\Portvale");
    ASSERT_EQ(SetString(key, "Port", "COM1"), ERROR_SUCCESS);
    const std::string before = Contents(UserFile());
    // A file size limit makes the kernel refuse the write half-way (EFBIG), for root
    // as for anyone, as a full disk would.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = before.size() + 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const LSTATUS rc = SetString(key, "Big", std::string(200, 'x'));
    const int systemError = RegLastSystemError();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(rc, ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(systemError, EFBIG);
    EXPECT_EQ(Contents(UserFile()), before);
    for (const auto& entry : fs::directory_iterator(dir + "/config")) {
        const auto name = entry.path().filename().string();
        EXPECT_TRUE(name == "user.reg" || name == "user.reg.lock") << "left behind: " << name;
    }
    EXPECT_EQ(QueryString(key, "Port"), "COM1");
    RegCloseKey(key);
}

TEST_F(RegistryStoreTest, UnusableRootFailsWithoutCreatingAnything) {
    std::ofstream(dir + "/file") << "not a directory";
    SetRegistryRoot(dir + "/file/config");
    HKEY key = 0;
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software", KEY_ALL_ACCESS, &key, nullptr), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegLastSystemError(), ENOTDIR);
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_REGISTRY_IO_FAILED);
}

TEST(RegistryRootTest, FollowsXdgConfigHomeElseHome) {
    const std::string xdg = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    struct Case {
        const char* xdg;  // null: unset
        const char* expected;
    };
    const Case cases[] = {
        {"/x/conf", "/x/conf/portvale"},
        {nullptr, "/h/.config/portvale"},
        {"", "/h/.config/portvale"},
        {"relative/conf", "/h/.config/portvale"},  // XDG: relative paths are ignored
    };
    ::setenv("HOME", "/h", 1);
    for (const auto& c : cases) {
        if (c.xdg)
            ::setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(RegistryRoot(), c.expected) << (c.xdg ? c.xdg : "(unset)");
    }
    SetRegistryRoot("/injected");
    EXPECT_EQ(RegistryRoot(), "/injected");
    SetRegistryRoot("");
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace portvale::reg
