// The systemd units in contrib/systemd: what systemd-analyze says of them, the
// settings that make them unprivileged, restarted bridges with serial and socket
// access, and the example configurations the program understands: the template's
// command line and the service's file, contrib/portvale.toml.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "headless/HeadlessOptions.h"
#include "headless/ServiceConfig.h"
#include "tests/app/FormTestSupport.h"
#include "tests/support/Command.h"

namespace portvale::headless {
namespace {

const std::filesystem::path kContribDir = std::filesystem::path(__FILE__).parent_path() / "../../contrib";
const std::filesystem::path kUnitDir = kContribDir / "systemd";

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

// systemd-analyze verify without a word, and an exposure rating below 4 where this
// systemd-analyze can rate a unit file offline. `file` names the unit's copy, `unit`
// the name to check (an instance of a template).
void VerifyUnit(const std::string& text, const std::string& file, const std::string& unit) {
    if (!HaveCommand("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
#ifndef PORTVALE_BINARY
    GTEST_SKIP() << "no program built to point the unit at";
#else
    ASSERT_FALSE(text.empty());
    // verify insists that ExecStart's program exists: the copy runs the one just built.
    test::ScratchDirectory dir;
    std::string copy = std::regex_replace(text, std::regex("/usr/local/bin/portvale"), PORTVALE_BINARY);
    test::WriteFileBytes(dir.File(file), copy);
    const auto [out, status] = RunCommand("systemd-analyze verify " + dir.File(unit));
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "") << "warnings are ignored settings";

    const auto [security, code] = RunCommand("systemd-analyze security --offline=true " + dir.File(unit));
    std::smatch level;
    if (code != 0 || !std::regex_search(security, level, std::regex(R"(Overall exposure level for \S+: (\d+\.\d+))")))
        GTEST_SKIP() << "this systemd-analyze cannot rate a unit file offline";
    ::testing::Test::RecordProperty("exposure", level[1].str());
    EXPECT_LT(std::stod(level[1].str()), 4.0) << security;
#endif
}

TEST_F(ServiceUnitTest, SystemdAnalyzeVerifiesAnInstanceWithoutAWord) {
    VerifyUnit(unit, "portvale@.service", "portvale@ttyUSB0.service");
}

TEST_F(ServiceUnitTest, AnUnprivilegedDialoutUserRunsTheHeadlessModeAndIsRestarted) {
    const auto settings = Settings(unit);
    struct Row {
        const char* key;
        const char* value;
    };
    for (const Row& row : {
             Row{"ExecStart", "/usr/local/bin/portvale --headless $OPTIONS"},
             // Ready once the bridge runs, its status line current, its loop watched.
             Row{"Type", "notify"},
             Row{"NotifyAccess", "main"},
             Row{"WatchdogSec", "30s"},
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

class ConfigServiceUnitTest : public ::testing::Test {
protected:
    std::string unit = test::ReadFileBytes((kUnitDir / "portvale.service").string());
};

TEST_F(ConfigServiceUnitTest, SystemdAnalyzeVerifiesItWithoutAWord) {
    VerifyUnit(unit, "portvale.service", "portvale.service");
}

// The same user, restarts and hardening as the template; only what names an instance
// differs, and the file replaces the command line.
TEST_F(ConfigServiceUnitTest, RunsTheFilesBridgesAsTheTemplateRunsOne) {
    const auto settings = Settings(unit);
    EXPECT_EQ(settings.at("ExecStart"), "/usr/local/bin/portvale --headless --config /etc/portvale/portvale.toml");
    EXPECT_EQ(settings.at("ExecReload"), "/bin/kill -HUP $MAINPID");
    EXPECT_EQ(settings.at("Type"), "notify");
    // Capture files go where the example file puts them.
    EXPECT_EQ(settings.at("LogsDirectory"), "portvale");

    const auto templateSettings = Settings(test::ReadFileBytes((kUnitDir / "portvale@.service").string()));
    const std::set<std::string> perInstance{"Description", "ExecStart",        "EnvironmentFile", "StateDirectory",
                                            "WorkingDirectory", "Environment", "RuntimeDirectory"};
    for (const auto& [key, value] : templateSettings) {
        if (perInstance.count(key)) continue;
        ASSERT_TRUE(settings.count(key)) << key;
        EXPECT_EQ(settings.at(key), value) << key;
    }
    for (const auto& [key, value] : settings) {
        if (perInstance.count(key) || key == "ExecReload") continue;
        EXPECT_TRUE(templateSettings.count(key)) << key << " is not the template's";
    }
}

// contrib/portvale.toml: read without an error by the program's own reader, with a
// bridge of each kind it describes.
TEST(ServiceConfigExampleTest, TheExampleFileIsOneTheProgramReads) {
    const ConfigResult read = ReadServiceConfig((kContribDir / "portvale.toml").string());
    ASSERT_EQ(read.error, "");
    const auto& bridges = read.config.bridges;
    ASSERT_GE(bridges.size(), 2u);
    const auto has = [&](const auto& predicate) { return std::any_of(bridges.begin(), bridges.end(), predicate); };
    EXPECT_TRUE(has([](const BridgeConfig& b) { return b.listen.rfind("127.0.0.1:", 0) == 0; }));
    EXPECT_TRUE(has([](const BridgeConfig& b) { return b.share && !b.allow.empty(); }));
    EXPECT_TRUE(has([](const BridgeConfig& b) { return !b.connect.empty(); }));
    // The service may write only there.
    for (const BridgeConfig& b : bridges)
        EXPECT_EQ(b.capture.value_or("/var/log/portvale/").rfind("/var/log/portvale/", 0), 0u) << b.name;
}

}  // namespace
}  // namespace portvale::headless
