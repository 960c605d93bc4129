// The manual page packaging/portvale.1 against the program that is built: every
// option, exit code, signal and settings file that the two help texts name is in
// it, and groff reads it without a warning.

#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "tests/packaging/PackagingTestSupport.h"

namespace portvale::test {
namespace {

const std::filesystem::path kManPage = kPackagingDir / "portvale.1";

std::string Help(const std::string& arguments) {
    const auto [text, status] = RunCommand(Quoted(PORTVALE_BINARY) + " " + arguments);
    EXPECT_EQ(status, 0) << arguments << ": " << text;
    return text;
}

class ManPageTest : public ::testing::Test {
protected:
    std::string page = ReadText(kManPage);
};

TEST_F(ManPageTest, NamesEveryOptionOfHeadlessHelp) {
    const std::string help = Help("--headless --help");
    const std::set<std::string> options = OptionsNamed(help);
    // Not an empty comparison: the options of today's text are among those found.
    for (const char* known : {"--dir", "--serial", "--data-bits", "--format", "--capture", "--capture-max", "--help"})
        EXPECT_TRUE(options.count(known)) << known << " not found in --headless --help";
    EXPECT_EQ(MissingOptions(help, page), std::set<std::string>{}) << "add them to " << kManPage;
}

TEST_F(ManPageTest, NamesEveryOptionOfWindowHelp) {
    const std::string help = Help("--help");
    EXPECT_EQ(OptionsNamed(help), (std::set<std::string>{"--headless", "--help", "--version", "-h", "-platform",
                                                         "-style"}));
    EXPECT_EQ(MissingOptions(help, page), std::set<std::string>{}) << "add them to " << kManPage;
}

TEST_F(ManPageTest, ReportsAnOptionTheHelpGainedAndThePageLacks) {
    // A page written before --capture-max: its lines gone, the rest as it is.
    std::string older;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);)
        if (line.find(R"(\-\-capture\-max)") == std::string::npos) older += line + "\n";
    EXPECT_EQ(MissingOptions(Help("--headless --help"), older), std::set<std::string>{"--capture-max"});
    // The longer option never stands for the shorter one, nor a long one for a short.
    EXPECT_FALSE(Names(R"(.B \-\-capture\-max)", "--capture"));
    EXPECT_FALSE(Names(R"(.B \-\-headless)", "-h"));
    EXPECT_TRUE(Names(R"(.BR \-h ", " \-\-help)", "-h"));
    EXPECT_TRUE(Names(R"(\fB\-\-capture\fR FILE)", "--capture"));
}

TEST_F(ManPageTest, ListsEveryExitCodeOfHeadlessHelp) {
    std::string help = Help("--headless --help");
    help = std::regex_replace(help, std::regex(R"(\s+)"), " ");
    const auto codes = help.find("Exit codes:");
    ASSERT_NE(codes, std::string::npos) << help;
    const std::string paragraph = help.substr(codes);
    const std::regex code(R"((?:codes:|;) (\d+) )");
    const std::string status = Section(page, "EXIT STATUS");
    int found = 0;
    for (std::sregex_iterator it(paragraph.begin(), paragraph.end(), code), end; it != end; ++it, ++found)
        EXPECT_NE(status.find(".TP\n.B " + (*it)[1].str() + "\n"), std::string::npos)
            << "exit code " << (*it)[1] << " is not in EXIT STATUS";
    EXPECT_EQ(found, 3) << paragraph;
}

TEST_F(ManPageTest, ListsEverySignalOfHeadlessHelp) {
    const std::string help = Help("--headless --help");
    const std::string signals = Section(page, "SIGNALS");
    const std::regex signal(R"(SIG[A-Z0-9]+)");
    std::set<std::string> named;
    for (std::sregex_iterator it(help.begin(), help.end(), signal), end; it != end; ++it) named.insert(it->str());
    EXPECT_EQ(named, (std::set<std::string>{"SIGINT", "SIGTERM", "SIGUSR1", "SIGHUP"}));
    for (const std::string& name : named) EXPECT_NE(signals.find(name), std::string::npos) << name;
}

TEST_F(ManPageTest, DescribesTheSettingsFilesAndTheStore) {
    const std::string files = Section(page, "FILES");
    for (const std::string& help : {Help("--help"), Help("--headless --help")})
        for (const char* name : {"TCP.SET", "comport.ini"}) {
            ASSERT_NE(help.find(name), std::string::npos) << name << " left the help text";
            EXPECT_NE(files.find(".B " + std::string(name) + "\n"), std::string::npos) << name;
        }
    EXPECT_NE(files.find("$XDG_CONFIG_HOME/portvale/"), std::string::npos);
    EXPECT_NE(files.find("~/.config/portvale/"), std::string::npos);
}

TEST_F(ManPageTest, ShowsEveryExampleOfTheReadmesPortNames) {
    const std::string readme = ReadText(kSourceDir / "README.md");
    const auto start = readme.find("## Serial port names");
    ASSERT_NE(start, std::string::npos);
    const std::string table = readme.substr(start, readme.find("\n## ", start + 1) - start);
    const std::string names = Unescaped(Section(page, "SERIAL PORT NAMES"));
    // The table's rows: | form | example, example | device opened |
    const std::regex row(R"(\n\| [^|\n]+ \| ([^|\n]+) \| [^|\n]+ \|)");
    const std::regex example("`([^`]+)`");
    int examples = 0;
    for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it) {
        const std::string cell = (*it)[1];
        for (std::sregex_iterator e(cell.begin(), cell.end(), example); e != end; ++e, ++examples)
            EXPECT_NE(names.find((*e)[1].str()), std::string::npos) << (*e)[1];
    }
    EXPECT_GE(examples, 5);
}

TEST_F(ManPageTest, GroffReadsItWithoutAWarning) {
    if (!HaveCommand("groff")) GTEST_SKIP() << "groff is not installed (Debian package groff-base)";
    const auto [warnings, status] = RunCommand("groff -man -ww -z " + Quoted(kManPage.string()));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(warnings, "");
}

TEST_F(ManPageTest, GroffWarnsOfAPageWithAnUnknownMacroOrEscape) {
    if (!HaveCommand("groff")) GTEST_SKIP() << "groff is not installed (Debian package groff-base)";
    const std::filesystem::path broken =
        std::filesystem::temp_directory_path() / ("portvale-broken-" + std::to_string(::getpid()) + ".1");
    for (const std::string& fault : {std::string(".SX FILES\n"), std::string("The \\*[nosuchstring] end.\n")}) {
        WriteText(broken, page + fault);
        const auto [warnings, status] = RunCommand("groff -man -ww -z " + Quoted(broken.string()));
        EXPECT_NE(warnings, "") << fault;
    }
    std::filesystem::remove(broken);
}

}  // namespace
}  // namespace portvale::test
