// The desktop entry packaging/portvale.desktop: valid for desktop-file-validate,
// starting the program that is built, with the icon the window uses.

#include <unistd.h>

#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/packaging/PackagingTestSupport.h"

namespace portvale::test {
namespace {

const std::filesystem::path kEntry = kPackagingDir / "portvale.desktop";

// The keys of the entry's "[Desktop Entry]" group.
std::map<std::string, std::string> Keys(const std::string& text) {
    std::map<std::string, std::string> keys;
    std::istringstream lines(text);
    bool inGroup = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '[') inGroup = line == "[Desktop Entry]";
        const auto eq = line.find('=');
        if (inGroup && eq != std::string::npos && line[0] != '#') keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

std::set<std::string> List(const std::string& value) {
    std::set<std::string> items;
    std::istringstream in(value);
    for (std::string item; std::getline(in, item, ';');)
        if (!item.empty()) items.insert(item);
    return items;
}

std::pair<std::string, int> Validate(const std::filesystem::path& entry) {
    return RunCommand("desktop-file-validate " + Quoted(entry.string()));
}

TEST(DesktopEntryTest, StartsTheProgramWithItsIconFromTheMenusOfItsKind) {
    const auto keys = Keys(ReadText(kEntry));
    EXPECT_EQ(keys.at("Type"), "Application");
    EXPECT_EQ(keys.at("Name"), "Portvale");
    // The installed program's name, with no arguments: the window.
    EXPECT_EQ(keys.at("Exec"), std::filesystem::path(PORTVALE_BINARY).filename().string());
    EXPECT_EQ(keys.at("Terminal"), "false");
    // The icon the window shows, installed under the same name in hicolor.
    EXPECT_EQ(keys.at("Icon"), "portvale");
    EXPECT_TRUE(std::filesystem::exists(kSourceDir / "gui/icons" / (keys.at("Icon") + ".svg")));
    EXPECT_EQ(List(keys.at("Categories")), (std::set<std::string>{"Development", "Electronics"}));
    const auto keywords = List(keys.at("Keywords"));
    for (const char* word : {"serial", "TCP", "bridge"}) EXPECT_TRUE(keywords.count(word)) << word;
}

TEST(DesktopEntryTest, DesktopFileValidateFindsNothingToSay) {
    if (!HaveCommand("desktop-file-validate")) GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
    const auto [report, status] = Validate(kEntry);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(report, "");
}

TEST(DesktopEntryTest, DesktopFileValidateRefusesAnEntryWithAFault) {
    if (!HaveCommand("desktop-file-validate")) GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
    const std::string entry = ReadText(kEntry);
    const std::filesystem::path broken =
        std::filesystem::temp_directory_path() / ("portvale-broken-" + std::to_string(::getpid()) + ".desktop");
    const std::vector<std::pair<std::string, std::string>> faults = {
        {"Type=Application\n", ""},                                  // no type
        {"Categories=Development;Electronics;", "Categories=Serial;"},  // no such category
        {"Terminal=false", "Terminal=no"},                           // not a boolean
    };
    for (const auto& [from, to] : faults) {
        std::string text = entry;
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        WriteText(broken, text.replace(at, from.size(), to));
        const auto [report, status] = Validate(broken);
        EXPECT_NE(status, 0) << from << " -> " << to;
        EXPECT_NE(report.find("error"), std::string::npos) << report;
    }
    std::filesystem::remove(broken);
}

}  // namespace
}  // namespace portvale::test
