// The registry object over the file-backed store: relative and absolute key paths,
// typed reads and writes and the exceptions they raise.
#include "framework/Registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace portvale {
namespace {

class RegistryObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/portvale-tregistry-XXXXXX";
        dir = ::mkdtemp(pattern);
        reg::SetRegistryRoot(dir);
    }
    void TearDown() override {
        reg::SetRegistryRoot("");
        std::filesystem::remove_all(dir);
    }
    template <typename F>
    static std::string RaisedText(F f) {
        try {
            f();
        } catch (const ERegistryException& e) {
            return e.Message();
        }
        return "(nothing raised)";
    }
    std::string dir;
};

TEST_F(RegistryObjectTest, ValuesRoundTripThroughAnOpenedKey) {
    TRegistry registry;
    EXPECT_EQ(registry.RootKey(), reg::HKEY_CURRENT_USER);
    EXPECT_FALSE(registry.OpenKey("Software\\Portvale", false));
    EXPECT_EQ(registry.LastError(), reg::ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(registry.OpenKey("Software\\Portvale", true));
    registry.WriteString("Port", "COM3");
    registry.WriteInteger("CustomBaudRate", -5);
    registry.CloseKey();
    EXPECT_EQ(registry.CurrentKey(), 0u);

    TRegistry reader;
    ASSERT_TRUE(reader.OpenKeyReadOnly("software\\portvale"));
    EXPECT_TRUE(reader.ValueExists("PORT"));
    EXPECT_FALSE(reader.ValueExists("Parity"));
    EXPECT_EQ(reader.ReadString("Port"), "COM3");
    EXPECT_EQ(reader.ReadInteger("CustomBaudRate"), -5);
    EXPECT_EQ(reader.ReadString("Parity"), "");
    EXPECT_EQ(RaisedText([&] { reader.WriteString("Port", "x"); }), "Failed to set data for 'Port'");
    reader.SetRootKey(reg::HKEY_LOCAL_MACHINE);  // another root: the key closes
    EXPECT_EQ(reader.CurrentKey(), 0u);
    EXPECT_FALSE(reader.OpenKey("Software\\Portvale", false));
}

TEST_F(RegistryObjectTest, KeyPathsAreRelativeToTheCurrentKeyUnlessTheyStartAtTheRoot) {
    TRegistry registry;
    struct Step {
        const char* open;
        const char* path;  // CurrentPath afterwards
    };
    const Step steps[] = {
        {"A", "A"}, {"B\\", "A\\B"}, {"\\C\\D", "C\\D"}, {"E", "C\\D\\E"}, {"\\", ""},
    };
    for (const auto& s : steps) {
        ASSERT_TRUE(registry.OpenKey(s.open, true)) << s.open;
        EXPECT_EQ(registry.CurrentPath(), s.path) << s.open;
    }
    ASSERT_TRUE(registry.OpenKey("\\A\\B", false));
    EXPECT_FALSE(registry.OpenKey("Missing", false));
    EXPECT_EQ(registry.CurrentPath(), "A\\B");  // a failed open keeps the key
}

TEST_F(RegistryObjectTest, MissingOrMistypedValuesRaise) {
    TRegistry registry;
    const struct {
        const char* what;
        std::function<void()> call;
        const char* text;
    } cases[] = {
        {"no key: write", [&] { registry.WriteInteger("N", 1); }, "Failed to set data for 'N'"},
        {"missing integer", [&] { ASSERT_TRUE(registry.OpenKey("K", true)); registry.ReadInteger("N"); },
         "Failed to get data for 'N'"},
        {"text read as integer", [&] { registry.WriteString("S", "12"); registry.ReadInteger("S"); },
         "Invalid data type for 'S'"},
        {"integer read as text", [&] { registry.WriteInteger("I", 12); (void)registry.ReadString("I"); },
         "Invalid data type for 'I'"},
    };
    for (const auto& c : cases) EXPECT_EQ(RaisedText(c.call), c.text) << c.what;
}

}  // namespace
}  // namespace portvale
