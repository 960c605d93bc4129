// The systemd template unit in contrib/systemd: what systemd-analyze says of it, the
// settings that make it an unprivileged, restarted bridge with serial and socket
// access, and an example configuration the program understands.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "headless/HeadlessOptions.h"
#include "tests/app/FormTestSupport.h"
#include "tests/support/Command.h"

namespace portvale::headless {
namespace {

const std::filesystem::path kUnitDir = std::filesystem::path(__FILE__).parent_path() / "../../contrib/systemd";

bool HaveCommand(const std::string& name) {
    return ::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

using test::RunCommand;

// Every "Key=value" line of the unit; a key set twice keeps both, joined by '\n'.
std::map<std::string, std::string> Settings(const std::string& text) {
    std::map<std::string, std::string> settings;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#' || line[0] == '[') continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string& value = settings[line.substr(0, eq)];
        value += (value.empty() ? "" : "\n") + line.substr(eq + 1);
    }
    return settings;
}

class ServiceUnitTest : public ::testing::Test {
protected:
    std::string unit = test::ReadFileBytes((kUnitDir / "portvale@.service").string());
};

TEST_F(ServiceUnitTest, SystemdAnalyzeVerifiesAnInstanceWithoutAWord) {
    if (!HaveCommand("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
#ifndef PORTVALE_BINARY
    GTEST_SKIP() << "no program built to point the unit at";
#else
    ASSERT_FALSE(unit.empty());
    // verify insists that ExecStart's program exists: the copy runs the one just built.
    test::ScratchDirectory dir;
    std::string copy = std::regex_replace(unit, std::regex("/usr/local/bin/portvale"), PORTVALE_BINARY);
    test::WriteFileBytes(dir.File("portvale@.service"), copy);
    const auto [out, status] = RunCommand("systemd-analyze verify " + dir.File("portvale@ttyUSB0.service"));
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "") << "warnings are ignored settings";

    const auto [security, code] = RunCommand("systemd-analyze security --offline=true " + dir.File("portvale@ttyUSB0.service"));
    std::smatch level;
    if (code != 0 || !std::regex_search(security, level, std::regex(R"(Overall exposure level for \S+: (\d+\.\d+))")))
        GTEST_SKIP() << "this systemd-analyze cannot rate a unit file offline";
    RecordProperty("exposure", level[1].str());
    EXPECT_LT(std::stod(level[1].str()), 4.0) << security;
#endif
}

TEST_F(ServiceUnitTest, AnUnprivilegedDialoutUserRunsTheHeadlessModeAndIsRestarted) {
    const auto settings = Settings(unit);
    struct Row {
        const char* key;
        const char* value;
    };
    for (const Row& row : {
             Row{"ExecStart", "/usr/local/bin/portvale --headless $OPTIONS"},
             Row{"EnvironmentFile", "/etc/portvale/%i.conf"},
             Row{"Restart", "on-failure"},
             Row{"RestartPreventExitStatus", "2"},
             Row{"DynamicUser", "yes"},
             Row{"SupplementaryGroups", "dialout"},
             Row{"NoNewPrivileges", "yes"},
             Row{"CapabilityBoundingSet", ""},
             Row{"ProtectSystem", "strict"},
             Row{"WantedBy", "multi-user.target"},
         }) {
        ASSERT_TRUE(settings.count(row.key)) << row.key;
        EXPECT_EQ(settings.at(row.key), row.value) << row.key;
    }
    // Settings that would take the serial devices or the network away.
    for (const char* key : {"PrivateDevices", "DevicePolicy", "DeviceAllow", "PrivateNetwork", "IPAddressDeny",
                            "PrivateUsers", "User"})
        EXPECT_EQ(settings.count(key), 0u) << key;
    for (const char* family : {"AF_INET", "AF_UNIX"})
        EXPECT_NE(settings.at("RestrictAddressFamilies").find(family), std::string::npos) << family;
}

TEST_F(ServiceUnitTest, TheExampleConfigurationIsACommandLineTheProgramTakes) {
    const auto settings = Settings(test::ReadFileBytes((kUnitDir / "portvale.conf.example").string()));
    ASSERT_TRUE(settings.count("OPTIONS"));
    std::istringstream words(settings.at("OPTIONS"));
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    const ParseResult parsed = ParseOptions(args);
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.serial, "/dev/ttyUSB0");
    EXPECT_EQ(parsed.options.mode, 2);
    EXPECT_FALSE(parsed.options.dir) << "the unit's working directory holds the settings";
}

}  // namespace
}  // namespace portvale::headless
